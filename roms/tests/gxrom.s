; mapper 66 (GxROM): 32 KB of PRG from bits 4-5, 8 KB of CHR from bits 0-1.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 4, $20, $40, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 3, 12

.segment "RODATA"
test_name: .byte "gxrom", 0

select_by_write $8000, $8000

.segment "CODE"
reset:
    probe_start
    check 1
    expect_prg $00, 0, 1, 2, 3
    expect_chr 0, 0
    expect_prg $13, 4, 5, 6, 7
    expect_chr 0, 24
    expect_chr 7, 31
    expect_prg $32, 12, 13, 14, 15
    expect_chr 0, 16
    jmp pass
irq:
    rti
