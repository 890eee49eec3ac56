; mapper 71 (Camerica): 16 KB at $8000 from writes to $C000-$FFFF, the last
; 16 KB fixed, and the Fire Hawk's one-page bit at $9000.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 0, $70, $40, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 15

.segment "RODATA"
test_name: .byte "camerica", 0

select_by_write $C000

.segment "CODE"
reset:
    probe_start
    check 1
    expect_prg 0, 0, 1, 14, 15
    expect_prg 3, 6, 7, 14, 15
    expect_prg 9, 2, 3, 14, 15  ; 9 of 8 banks
    check 2
    lda #$10
    sta $8000                   ; not the Fire Hawk's register
    expect_arrangement $22, $22
    sta $9000
    expect_arrangement $44, $44
    jmp pass
irq:
    rti
