; mapper 34 as BNROM (8 KB of CHR or less): a 32 KB bank from any write to
; $8000-$FFFF, numbers past the image reduced to it.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 0, $20, $20, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 3, 12

.segment "RODATA"
test_name: .byte "bnrom", 0

select_by_write $FFF0, $8000

.segment "CODE"
reset:
    probe_start
    check 1
    expect_prg 0, 0, 1, 2, 3
    expect_prg 3, 12, 13, 14, 15
    expect_prg 6, 8, 9, 10, 11
    jmp pass
irq:
    rti
