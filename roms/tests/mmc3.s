; mapper 4 (MMC3): every 8 KB PRG bank through registers 6 and 7 in both PRG
; modes, every 1 KB CHR bank, CHR inversion, mirroring, the registers'
; repeats, and the scanline interrupt arriving every N + 1 lines, held until
; answered.
.include "console.inc"
.include "result.inc"
.include "banks.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 8, 16, $40, $00, 0, 0, 0, 0, 0, 0, 0, 0

prg_signatures 16, $2000, "BANK15"  ; each PRG bank starts with its number
chr_signatures 128

.segment "ZEROPAGE"
bank:      .res 1
nmi_count: .res 1
irq_count: .res 1
polls:     .res 2
first:     .res 2

.segment "RODATA"
test_name: .byte "mmc3", 0

.segment "CODE"

.macro select register
    lda #register
    sta $8000
.endmacro

; Selects the register (with the mode bits) and writes the value to it.
.macro set_bank register, value
    select register
    lda #value
    sta $8001
.endmacro

; Fails unless a whole frame with the latch has that many interrupts.
.macro expect_irqs latch, count
    lda #latch
    jsr irqs_in_a_frame
    expect_a count
.endmacro

define_wait_nmi

; From the next NMI on: latch A, the counter cleared (the line before the
; picture reloads it), interrupts on and a count of zero.
arm_irq:
    pha
    jsr wait_nmi
    pla
    sta $C000
    sta $C001
    sta $E000
    sta $E001
    lda #0
    sta irq_count
    rts

; Counts the interrupts of one whole frame with latch A.
irqs_in_a_frame:
    jsr arm_irq
    cli
    jsr wait_nmi
    sei
    lda irq_count
    rts

; Polls from the NMI until the first interrupt, with latch A (7 cycles a poll).
polls_to_irq:
    jsr arm_irq
    sta polls
    sta polls + 1
    cli
@loop:
    lda irq_count               ; 3
    bne @done                   ; 2
    inc polls                   ; 5
    bne @loop                   ; 3
    inc polls + 1
    jmp @loop
@done:
    sei
    rts

reset:
    cartridge_reset
    result_begin
    lda #$80
    sta $2000

    check 1                     ; after loading: bank 0, then the last 16 KB
    expect_mem $8000, 0
    expect_mem $C000, 14
    expect_mem $E000, 15

    check 2                     ; PRG mode 0: registers 6 and 7, every bank
.repeat 16, i
    set_bank 6, i
    expect_mem $8000, i
    set_bank 7, i
    expect_mem $A000, i
    expect_mem $C000, 14
.endrepeat
    set_bank 6, 16 + 3          ; masked to the image
    expect_mem $8000, 3

    check 3                     ; the pairs repeat, told apart by A0
    lda #9
    sta $9FFF                   ; bank data: register 6
    expect_mem $8000, 9
    lda #6
    sta $9FFE                   ; bank select
    lda #3
    sta $8003
    expect_mem $8000, 3

    check 4                     ; PRG mode 1: the second-to-last bank at $8000
    select $46
    expect_mem $8000, 14
    lda #5
    sta $8001
    expect_mem $C000, 5
    expect_mem $8000, 14
    select $46                  ; mode 1 again: nothing moves
    expect_mem $C000, 5
    select $06                  ; back to mode 0: the last 16 KB at $C000
    expect_mem $C000, 14
    expect_mem $E000, 15
    expect_mem $8000, 14        ; stays until register 6 is written

    check 5                     ; 2 KB CHR banks ignore bit 0
    set_bank 0, 7
    expect_ppu $0000, 6
    expect_ppu $0400, 7
    set_bank 1, 10
    expect_ppu $0800, 10
    expect_ppu $0C00, 11

    check 6                     ; every 1 KB CHR bank, in registers 2 to 5
    lda #0
    sta bank
@chr:
    select 2
    lda bank
    sta $8001
    read_ppu $1000
    cmp bank
    fail_ne
    select 5
    lda bank
    eor #$7F
    sta $8001
    read_ppu $1C00
    eor #$7F
    cmp bank
    fail_ne
    inc bank
    bpl @chr
    set_bank 3, 33
    expect_ppu $1400, 33
    set_bank 4, 44
    expect_ppu $1800, 44

    check 7                     ; CHR inversion swaps the halves
    set_bank $82, 40
    expect_ppu $0000, 40
    set_bank $80, 20
    expect_ppu $1000, 20
    expect_ppu $1400, 21
    select 0

    check 8                     ; mirroring
    lda #0
    sta $A000                   ; vertical
    set_ppu_address $2010
    lda #$77
    sta $2007
    expect_ppu $2810, $77
    lda #1
    sta $A000                   ; horizontal
    expect_ppu $2410, $77

    lda #$08                    ; the counter runs while the picture renders
    sta $2001
    check 9                     ; interrupts every N + 1 lines of a frame
    expect_irqs 20, 11          ; lines 19, 40, ... 229
    expect_irqs 10, 21          ; lines 9, 20, ... 229
    expect_irqs 0, 241          ; every clock: the line before and 240 lines

    check 10                    ; with I set the request waits for CLI
    sei                         ; (each check starts with I clear)
    lda #10
    jsr arm_irq
    jsr wait_nmi
    expect_mem irq_count, 0
    cli
    nop
    sei
    expect_mem irq_count, 1

    check 11                    ; latch 20 arrives about 10 lines after latch 10
    lda #10
    jsr polls_to_irq
    lda polls
    sta first
    lda polls + 1
    sta first + 1
    lda #20
    jsr polls_to_irq
    sec
    lda polls
    sbc first
    tax
    lda polls + 1
    sbc first + 1
    fail_ne                     ; (high byte of the difference is 0)
    txa
    cmp #10 * 113 / 13 - 8     ; 113 cycles a line, 13 a poll
    bcc @bad
    cmp #10 * 113 / 13 + 8
    bcs @bad
    lda #$00
    sta $E000
    jmp pass
@bad:
    jmp fail

nmi:
    inc nmi_count
    rti

; Counts and answers the interrupt ($E000), and lets the next one come.
irq:
    pha
    inc irq_count
    sta $E000
    sta $E001
    pla
    rti

.segment "VECTORS"
    .word nmi, reset, irq
