; mapper 4 (MMC3): every 8 KB PRG bank through registers 6 and 7 in both PRG
; modes, every 1 KB CHR bank, CHR inversion, mirroring, and the scanline
; interrupt arriving every N lines.
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

; Latch A, the counter reloaded (off, then on), and from the next NMI on a
; count of zero.
arm_irq:
    sta $C001
    sta $E000
    sta $E001
    jsr wait_nmi
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

    check 3                     ; only the exact addresses act
    lda #9
    sta $8003
    sta $9FFF
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

    check 9                     ; interrupts every N lines of a frame
    expect_irqs 20, 11          ; lines 20, 40, ... 220
    expect_irqs 10, 23
    expect_irqs 0, 1

    check 10                    ; with I set, no interrupt is taken later
    sei                         ; (each check starts with I clear)
    lda #10
    jsr arm_irq
    jsr wait_nmi
    cli
    nop
    nop
    sei
    expect_mem irq_count, 0

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
    cmp #10 * 150 / 13 - 8     ; 150 cycles a line with this mapper, 13 a poll
    bcc @bad
    cmp #10 * 150 / 13 + 8
    bcs @bad
    lda #$00
    sta $E000
    jmp pass
@bad:
    jmp fail

nmi:
    inc nmi_count
    rti

irq:
    inc irq_count
    rti

.segment "VECTORS"
    .word nmi, reset, irq
