; mapper 7 (AxROM): every 32 KB bank, numbers past the image reduced to it,
; and the one nametable page bit 4 chooses.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 0, $70, $00, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 3, 12

.segment "RODATA"
test_name: .byte "axrom", 0

select_by_write $8000, $8000

.segment "CODE"
reset:
    probe_start
    check 1                     ; every bank
    expect_prg 0, 0, 1, 2, 3
    expect_prg 1, 4, 5, 6, 7
    expect_prg 3, 12, 13, 14, 15
    expect_prg 6, 8, 9, 10, 11  ; 6 of 4 banks
    check 2                     ; one page for all four nametables
    expect_arrangement $44, $44
    set_ppu_address $2000
    lda #$55
    sta $2007
    lda #$10                    ; the other page
    sta $8000
    read_ppu $2000
    cmp #$55
    bne :+
    jmp fail
:   lda #0
    sta $8000
    expect_ppu $2000, $55
    jmp pass
irq:
    rti
