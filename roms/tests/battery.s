; A battery cartridge (header byte 6 bit 1): its save RAM counts the runs that
; found it there. The count lives at $7F04 behind a signature at $7F00; the
; result text says it: "battery: run N".
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $02, $00, 0, 0, 0, 0, 0, 0, 0, 0

SIGNATURE = $7F00
COUNT     = $7F04

.segment "RODATA"
test_name: .byte "battery", 0
signature: .byte "QELB"
text: .byte "battery: run ", 0

.segment "CODE"
reset:
    cartridge_reset
    result_begin

    ldx #3                      ; a save without the signature counts afresh
@check:
    lda SIGNATURE, x
    cmp signature, x
    bne @fresh
    dex
    bpl @check
    jmp @count
@fresh:
    ldx #3
@sign:
    lda signature, x
    sta SIGNATURE, x
    dex
    bpl @sign
    lda #0
    sta COUNT
@count:
    inc COUNT

    ldx #0                      ; the text, then the count
@copy:
    lda text, x
    beq @number
    sta RESULT_TEXT, x
    inx
    bne @copy
@number:
    lda COUNT                   ; one digit: the check stops at run 3
    ora #'0'
    sta RESULT_TEXT, x
    inx
    lda #0
    sta RESULT_TEXT, x
    sta RESULT_STATUS
@forever:
    jmp @forever

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
