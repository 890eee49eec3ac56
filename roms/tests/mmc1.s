; mapper 1 (MMC1): the serial protocol with its reset bit, every PRG bank in
; both 16 KB modes and the 32 KB mode, every CHR bank in 4 and 8 KB units,
; and the mirroring bit.
.include "console.inc"
.include "result.inc"
.include "banks.inc"
.export test_name
.import __RAMCODE_LOAD__, __RAMCODE_RUN__, __RAMCODE_SIZE__

.segment "HEADER"
    .byte "NES", $1A, 8, 4, $10, $00, 0, 0, 0, 0, 0, 0, 0, 0

prg_signatures 8, $4000, "BANK7"  ; each PRG bank starts with its number
chr_signatures 32

.segment "ZEROPAGE"
reg:  .res 2
sig0: .res 1
sig1: .res 1

.segment "RODATA"
test_name: .byte "mmc1", 0

.segment "RAMCODE"
define_mmc1_write

; Writes the value to an MMC1 register ($80 control, $A0 and $C0 CHR, $E0 PRG).
.macro mmc1_set value, register
    lda #value
    ldx #register
    jsr mmc1_write
.endmacro

; Writes the control value, selects PRG bank `bank`, and expects the two
; halves to start with `low` and `high`; then selects bank 7 again (in 32 KB
; mode the pair 6 / 7), keeping the code mapped.
.macro expect_prg control, bank, low, high
    ldx #control
    lda #bank
    jsr prg_read
    expect_mem sig0, low
    expect_mem sig1, high
.endmacro

prg_read:
    pha
    txa
    ldx #$80
    jsr mmc1_write
    pla
    ldx #$E0
    jsr mmc1_write
    lda $8000
    sta sig0
    lda $C000
    sta sig1
    lda #7
    ldx #$E0
    jmp mmc1_write

.segment "CODE"

reset:
    cartridge_reset
    result_begin
    ldx #0
:   lda __RAMCODE_LOAD__, x
    sta __RAMCODE_RUN__, x
    inx
    cpx #<__RAMCODE_SIZE__
    bne :-

    check 1                     ; after loading: bank 0 and the last bank
    expect_mem $8000, 0
    expect_mem $C000, 7

    check 2                     ; 16 KB at $8000: every bank
    lda #$80
    sta $8000
.repeat 8, i
    mmc1_set i, $E0
    expect_mem $8000, i
    expect_mem $C000, 7
.endrepeat

    check 3                     ; the reset bit discards the bits so far
    lda #1
    sta $E000
    sta $E000
    lda #$80
    sta $E000
    mmc1_set 3, $E0
    expect_mem $8000, 3

    check 4                     ; 16 KB at $C000: every bank but the code's
.repeat 7, i
    expect_prg $08, i, 3, i     ; $8000 stays
.endrepeat

    check 5                     ; 32 KB: pairs, bit 0 unused
    expect_prg $00, 2, 2, 3
    expect_prg $00, 5, 4, 5
    mmc1_set $0C, $80
    expect_mem $C000, 7

    check 6                     ; CHR in 4 KB units
    mmc1_set $1C, $80
.repeat 8, i                    ; the other half gets another bank
    mmc1_set i, $A0
    mmc1_set i ^ 7, $C0
    expect_ppu $0000, i * 4
    expect_ppu $1000, (i ^ 7) * 4
.endrepeat

    check 7                     ; CHR in 8 KB units, from any 4 KB boundary
    mmc1_set $0C, $80
    mmc1_set 2, $A0
    expect_ppu $0000, 8
    expect_ppu $1000, 12
    mmc1_set 3, $A0
    expect_ppu $0000, 12
    expect_ppu $1000, 16
    mmc1_set 0, $C0             ; CHR bank 1 in 8 KB mode: no effect
    expect_ppu $1000, 16

    check 8                     ; mirroring: bit 0 clear is vertical
    set_ppu_address $2000
    lda #$AB
    sta $2007
    expect_ppu $2800, $AB
    mmc1_set $0D, $80
    set_ppu_address $2400
    lda #$CD
    sta $2007
    expect_ppu $2000, $CD
    jmp pass

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
