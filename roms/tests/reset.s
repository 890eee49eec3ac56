; Asks for a reset through the result protocol ($81 at $6000), then checks on
; the second start that the reset came and put $80 back. A signature at $7F00
; tells the second start from the first.
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $00, $00, 0, 0, 0, 0, 0, 0, 0, 0

SIGNATURE = $7F00

.segment "RODATA"
test_name: .byte "reset", 0
signature: .byte "QELR"

.segment "CODE"
reset:
    cartridge_reset
    check 1
    ldx #3
@check:
    lda SIGNATURE, x
    cmp signature, x
    bne @first
    dex
    bpl @check
    lda RESULT_STATUS           ; the second start
    cmp #$80
    fail_ne
    jmp pass
@first:
    ldx #3
@sign:
    lda signature, x
    sta SIGNATURE, x
    dex
    bpl @sign
    result_begin
    lda #$81
    sta RESULT_STATUS
@forever:
    jmp @forever

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
