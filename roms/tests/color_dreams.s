; mapper 11 (Color Dreams): 32 KB of PRG from bits 0-1, 8 KB of CHR from bits 4-7.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 8, $B0, $00, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 3, 12

.segment "RODATA"
test_name: .byte "color_dreams", 0

select_by_write $8000, $8000

.segment "CODE"
reset:
    probe_start
    check 1
    expect_prg $00, 0, 1, 2, 3
    expect_chr 0, 0
    expect_prg $31, 4, 5, 6, 7
    expect_chr 0, 24
    expect_chr 7, 31
    expect_prg $72, 8, 9, 10, 11
    expect_chr 0, 56
    expect_prg $F3, 12, 13, 14, 15
    expect_chr 0, 56            ; 15 of 8 banks
    jmp pass
irq:
    rti
