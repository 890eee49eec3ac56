; mapper 30 (UNROM 512): 16 KB at $8000 from bits 0-4, the last 16 KB fixed,
; and with header byte 6 bits 3/0 = 1/0 one nametable page from bit 7.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 0, $E8, $10, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 15

.segment "RODATA"
test_name: .byte "unrom512", 0

select_by_write $C000

.segment "CODE"
reset:
    probe_start
    check 1
    expect_prg 0, 0, 1, 14, 15
    expect_prg 5, 10, 11, 14, 15
    expect_prg $27, 14, 15, 14, 15  ; bits 5-6 choose CHR RAM, not PRG
    check 2
    expect_arrangement $44, $44
    set_ppu_address $2000
    lda #$55
    sta $2007
    lda #$80
    sta $C000
    read_ppu $2000
    cmp #$55
    bne :+
    jmp fail
:   lda #0
    sta $C000
    expect_ppu $2000, $55
    jmp pass
irq:
    rti
