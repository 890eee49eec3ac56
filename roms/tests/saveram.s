; Code in cartridge RAM: routines copied to $6000-$7FFF and called there run
; from save RAM, written bytes and all; an instruction that starts at $7FFF
; takes its operand from $8000.
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $00, $00, 0, 0, 0, 0, 0, 0, 0, 0

ROUTINE  = $7000
STRADDLE = $7FFF

.segment "CODE"
; The operand of the LDA # at $7FFF, then the RTS it runs on into.
straddle_rest:
    .byte $42
    rts

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

    check 2                     ; a byte written there is the one run
    lda #$3C
    sta ROUTINE + 1
    jsr ROUTINE
    expect_a $3C

    check 3                     ; across $7FFF into the PRG
    lda #$A9                    ; LDA #
    sta STRADDLE
    lda #0
    jsr STRADDLE
    expect_a $42
    jmp pass

nmi:
irq:
    jmp fail                    ; a BRK: the bytes run were not the ones written

.segment "VECTORS"
    .word nmi, reset, irq
