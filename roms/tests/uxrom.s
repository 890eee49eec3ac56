; mapper 2 (UxROM): every PRG bank at $8000, whatever address is written,
; the last bank fixed at $C000, banks past the image reduced to it, and CHR
; RAM.
.include "console.inc"
.include "result.inc"
.include "banks.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 8, 0, $20, $00, 0, 0, 0, 0, 0, 0, 0, 0

prg_signatures 8, $4000, "BANK7"  ; each PRG bank starts with its number

.segment "ZEROPAGE"
bank: .res 1

.segment "RODATA"
test_name: .byte "uxrom", 0

.segment "CODE"
reset:
    cartridge_reset
    result_begin

    check 1
    expect_mem $8000, 0
    expect_mem $C000, 7

    check 2                     ; every bank
    lda #0
    sta bank
@loop:
    lda bank
    sta $8000
    lda $8000
    cmp bank
    fail_ne
    expect_mem $C000, 7
    inc bank
    lda bank
    cmp #8
    bne @loop

    check 3                     ; any address of $8000-$FFFF selects
    lda #2
    sta $FFF0
    expect_mem $8000, 2
    lda #11                     ; past the image: 11 of 8 is bank 3
    sta $8000
    expect_mem $8000, 3

    check 4                     ; the pattern area is RAM
    lda #$00
    sta $2006
    sta $2006
    lda #$5A
    sta $2007
    set_ppu_address $1FFF
    lda #$A5
    sta $2007
    read_ppu $0000
    expect_a $5A
    read_ppu $1FFF
    expect_a $A5
    jmp pass

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
