; Asks for a reset through the result protocol ($81 at $6000), then checks on
; the second start that the reset came and put $80 back: $6001 holds $DE only
; once the first start has written the protocol's bytes.
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $00, $00, 0, 0, 0, 0, 0, 0, 0, 0

.segment "RODATA"
test_name: .byte "reset", 0

.segment "CODE"
reset:
    cartridge_reset
    check 1
    lda RESULT_STATUS + 1
    cmp #$DE
    bne @first
    lda RESULT_STATUS           ; the second start
    cmp #$80
    fail_ne
    jmp pass
@first:
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
