; The ends of a test cartridge: pass writes "NAME: passed" and result 0; fail
; writes "NAME: failed check NN" and the check's number as the result.
RESULT_DEFINED = 1
.include "result.inc"

.export pass, fail, print_text
.exportzp check_number, expect_saved_a
.import test_name

.segment "ZEROPAGE"
check_number: .res 1
expect_saved_a: .res 1
text_pointer: .res 2
text_end:     .res 1

.segment "CODE"

; Appends the zero-terminated text at (text_pointer) to the result text.
print_text:
    ldx text_end
    ldy #0
@loop:
    lda (text_pointer), y
    sta RESULT_TEXT, x
    beq @done
    inx
    iny
    bne @loop
@done:
    stx text_end
    rts

print_name:
    lda #0
    sta text_end
    lda #<test_name
    sta text_pointer
    lda #>test_name
    sta text_pointer + 1
    jmp print_text

pass:
    cld
    jsr print_name
    lda #<passed_text
    sta text_pointer
    lda #>passed_text
    sta text_pointer + 1
    jsr print_text
    lda #0
    sta RESULT_STATUS
@forever:
    jmp @forever

fail:
    cld
    jsr print_name
    lda #<failed_text
    sta text_pointer
    lda #>failed_text
    sta text_pointer + 1
    jsr print_text
    ; two decimal digits of the check number
    lda check_number
    ldx #0
@tens:
    cmp #10
    bcc @ones
    sbc #10
    inx
    bne @tens
@ones:
    pha
    txa
    ora #'0'
    ldx text_end
    sta RESULT_TEXT, x
    pla
    ora #'0'
    sta RESULT_TEXT + 1, x
    lda #0
    sta RESULT_TEXT + 2, x
    lda check_number
    bne :+
    lda #$7F
:   sta RESULT_STATUS
@forever:
    jmp @forever

.segment "RODATA"
passed_text: .byte ": passed", 10, 0
failed_text: .byte ": failed check ", 0
