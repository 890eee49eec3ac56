; mapper 206 (Namco 108): the MMC3's bank registers at $8000-$9FFF only, the
; last 16 KB fixed.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 8, $E0, $C0, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 15

.segment "RODATA"
test_name: .byte "namco108", 0

.segment "RAMCODE"
select:
    ldx #6
    stx $8000
    sta $8001
select_home:
    rts

.segment "CODE"
.macro bank register, value
    lda #register
    sta $8000
    lda #value
    sta $8001
.endmacro

reset:
    probe_start
    check 1
    expect_prg 5, 5, 1, 14, 15
    bank 7, 9
    bank 0, 11                  ; 2 KB: bit 0 ignored
    bank 2, 33
    expect_prg 2, 2, 9, 14, 15
    expect_chr 0, 10
    expect_chr 1, 11
    expect_chr 4, 33
    check 2                     ; nothing at $A000-$FFFF
    lda #7
    sta $A000
    lda #3
    sta $A001
    expect_prg 2, 2, 9, 14, 15
    jmp pass
irq:
    rti
