; Code in cartridge RAM: a routine copied to $7000 and called there runs from
; save RAM, through the console's own wiring. (Instructions straddling $8000:
; the CPU's unit test.)
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $00, $00, 0, 0, 0, 0, 0, 0, 0, 0

ROUTINE  = $7000

.segment "RODATA"
test_name: .byte "saveram", 0
; LDA #$A5; LDY #$20; DEY; BNE back; RTS: a value and a counted wait.
routine:
    .byte $A9, $A5, $A0, $20, $88, $D0, $FD, $60
routine_end:

.segment "CODE"
reset:
    cartridge_reset
    result_begin

    check 1                     ; the routine runs from save RAM
    ldx #routine_end - routine - 1
@copy:
    lda routine, x
    sta ROUTINE, x
    dex
    bpl @copy
    lda #0
    ldy #$FF
    jsr ROUTINE
    expect_a $A5
    tya
    expect_a 0
    jmp pass

nmi:
irq:
    jmp fail                    ; a BRK: the bytes run were not the ones written

.segment "VECTORS"
    .word nmi, reset, irq
