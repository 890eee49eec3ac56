; mapper 3 (CNROM): every 8 KB CHR bank, and bank numbers past the image
; reduced by the bank mask.
.include "console.inc"
.include "result.inc"
.include "banks.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 4, $30, $00, 0, 0, 0, 0, 0, 0, 0, 0

chr_signatures 32

.segment "ZEROPAGE"
bank: .res 1
want: .res 1

.segment "RODATA"
test_name: .byte "cnrom", 0

.segment "CODE"
reset:
    cartridge_reset
    result_begin

    check 1                     ; after loading: the first bank
    read_ppu $0000
    expect_a 0
    read_ppu $1C00
    expect_a 7

    check 2                     ; every bank
    lda #0
    sta bank
@loop:
    lda bank
    sta $8000
    asl a
    asl a
    asl a
    sta want
    read_ppu $0000
    cmp want
    fail_ne
    inc want
    read_ppu $0400
    cmp want
    fail_ne
    inc bank
    lda bank
    cmp #4
    bne @loop

    check 3                     ; 5 of 4 banks is bank 1, 6 is bank 2
    lda #5
    sta $9000
    read_ppu $0000
    expect_a 8
    lda #6
    sta $FFFF
    read_ppu $0000
    expect_a 16
    jmp pass

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
