; mapper 34 as NINA-001 (CHR ROM beyond 8 KB): $7FFD chooses 32 KB of PRG,
; $7FFE and $7FFF 4 KB of CHR at $0000 and $1000; the save RAM keeps the bytes.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 8, $20, $20, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 3, 12

.segment "RODATA"
test_name: .byte "nina001", 0

select_by_write $7FFD, $7FFD

.segment "CODE"
reset:
    probe_start
    check 1
    lda #5
    sta $7FFE
    lda #3
    sta $7FFF
    expect_prg 1, 4, 5, 6, 7
    check 2
    expect_chr 0, 20
    expect_chr 3, 23
    expect_chr 4, 12
    expect_chr 7, 15
    check 3
    expect_mem $7FFE, 5
    expect_prg 2, 0, 1, 2, 3    ; only bit 0
    jmp pass
irq:
    rti
