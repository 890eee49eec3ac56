; apu: the $4015 status after writes with channels enabled and disabled, the
; length counters running out across frames, and the delta channel's
; interrupt with its flag in $4015 bit 7.
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $00, $00, 0, 0, 0, 0, 0, 0, 0, 0

.segment "ZEROPAGE"
nmi_count:   .res 1
nmi_status:  .res 1
irq_count:   .res 1
irq_status:  .res 1

.segment "RODATA"
test_name: .byte "apu", 0

.segment "PAGES"                ; $E000: never reached by a sample; the sample is at $C000
.segment "CODE"

define_wait_nmi

; Waits for A frames.
wait_frames:
    pha
    jsr wait_nmi
    pla
    sec
    sbc #1
    bne wait_frames
    rts

reset:
    cartridge_reset
    result_begin
    lda #$80
    sta $2000

    check 1                     ; disabled channels take no length
    lda #0
    sta $4015
    lda #$10                    ; constant volume, length counting
    sta $4000
    sta $4004
    sta $400C
    lda #$7F                    ; triangle: counters not held
    sta $4008
    lda #$08                    ; length index 1: 127 frames
    sta $4003
    sta $4007
    sta $400B
    sta $400F
    lda $4015
    and #$1F
    expect_a $00
    lda #$0F                    ; enabling loads nothing
    sta $4015
    lda $4015
    and #$1F
    expect_a $00

    check 2                     ; enabled channels take it
    lda #$08
    sta $4003
    sta $4007
    sta $400B
    sta $400F
    lda $4015
    and #$1F
    expect_a $0F
    lda #$0A                    ; disabling square 1 and the triangle clears their lengths
    sta $4015
    lda $4015
    and #$1F
    expect_a $0A

    check 3                     ; lengths of 10 frames run out
    lda #$0F
    sta $4015
    lda #$10                    ; length index 2: 10 frames
    sta $4003
    sta $4007
    sta $400B
    sta $400F
    lda #5
    jsr wait_frames
    lda $4015
    and #$0F
    expect_a $0F
    lda #8
    jsr wait_frames
    lda $4015
    and #$0F
    expect_a $00

    check 4                     ; a halted length does not run out
    lda #$30                    ; halt
    sta $4000
    lda #$10
    sta $4003
    lda #15
    jsr wait_frames
    lda $4015
    and #$01
    expect_a $01
    lda #0
    sta $4015

    check 5                     ; $4015 bit 6 reads the vertical blank
    jsr wait_nmi
    lda nmi_status
    and #$40
    expect_a $40

    check 6                     ; the delta channel's interrupt
    lda #0
    sta irq_count
    lda #$8F                    ; interrupt on, fastest rate, no loop
    sta $4010
    lda #0
    sta $4012                   ; $C000
    sta $4013                   ; one byte
    lda #$10
    sta $4015
    lda $4015
    and #$90
    expect_a $10                ; playing, no interrupt yet
    cli
    lda #3
    jsr wait_frames
    sei
    lda irq_count
    expect_a 1
    lda irq_status
    and #$90
    expect_a $80                ; the handler saw bit 7, the sample over
    lda $4015
    and #$80
    expect_a $00                ; $4010 with bit 7 clear cleared it

    check 7                     ; a $4015 write clears the flag too
    sei                         ; (each check starts with I clear)
    lda #$8F
    sta $4010
    lda #$10
    sta $4015                   ; the last sample is over: starts again
    lda #0
    sta $4015
    lda #$10
    sta $4015                   ; restart
    lda #2
    jsr wait_frames             ; I is set: the request is lost, the flag stays
    lda $4015
    and #$80
    expect_a $80
    lda #$10
    sta $4015
    lda $4015
    and #$80
    expect_a $00
    lda #0
    sta $4015
    sta $4010
    jmp pass

nmi:
    pha
    lda $4015
    sta nmi_status
    inc nmi_count
    pla
    rti

irq:
    pha
    lda $4015
    sta irq_status
    inc irq_count
    lda #$0F                    ; interrupt off: clears the flag
    sta $4010
    pla
    rti

.segment "VECTORS"
    .word nmi, reset, irq
