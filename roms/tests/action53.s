; mapper 28 (Action 53): the outer bank at power ($FF: the last 32 KB), 32 KB
; banks, the UxROM mode with $C000 fixed, and the arrangements of the mode.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 0, $C0, $10, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 15

.segment "RODATA"
test_name: .byte "action53", 0

.segment "RAMCODE"
select:                         ; outer bank A in the 32 KB mode
    ldx #$81
    stx $5000
    sta $8000
    rts
select_home:
    lda #$FF
    bne select

.segment "CODE"
.macro register r, value
    lda #r
    sta $5000
    lda #value
    sta $8000
.endmacro

reset:
    probe_start
    check 1
    expect_prg $FF, 12, 13, 14, 15
    expect_prg 1, 4, 5, 6, 7
    expect_prg 2, 8, 9, 10, 11
    check 2                     ; UxROM, 128 KB games: $C000 fixed
    register $80, $2E           ; size 2, $C000 fixed, vertical
    register $01, 2
    lda #$FF
    jsr probe
    expect_mem sig, 4
    expect_mem sig + 2, 14
    expect_arrangement $33, $44
    register $80, $2F           ; horizontal
    expect_arrangement $22, $22
    jmp pass
irq:
    rti
