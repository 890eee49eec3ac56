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

.segment "SIGNATURES"            ; each PRG bank starts with its number
.repeat 7, i
    .byte i
    .res $3FFF, $FF
.endrepeat
.segment "BANK7"
    .byte 7
chr_signatures 32

.segment "ZEROPAGE"
reg:  .res 2
sig0: .res 1
sig1: .res 1
bank: .res 1

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

; With PRG switched at $C000: selects bank A there, reads both halves, and
; puts the last bank back under the code.
switch_c000:
    ldx #$E0
    jsr mmc1_write
    lda $8000
    sta sig0
    lda $C000
    sta sig1
    lda #7
    ldx #$E0
    jmp mmc1_write

; In 32 KB mode: selects pair A / 2, reads both halves, then banks 6 and 7
; again and 16 KB switching at $8000.
switch_32k:
    pha
    mmc1_set $00, $80
    pla
    ldx #$E0
    jsr mmc1_write
    lda $8000
    sta sig0
    lda $C000
    sta sig1
    mmc1_set 6, $E0
    lda #$0C
    ldx #$80
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
    lda #0
    sta bank
@prg16:
    lda bank
    ldx #$E0
    jsr mmc1_write
    lda $8000
    cmp bank
    fail_ne
    expect_mem $C000, 7
    inc bank
    lda bank
    cmp #8
    bne @prg16

    check 3                     ; the reset bit discards the bits so far
    lda #1
    sta $E000
    sta $E000
    lda #$80
    sta $E000
    mmc1_set 3, $E0
    expect_mem $8000, 3

    check 4                     ; 16 KB at $C000: every bank but the code's
    mmc1_set $08, $80
    lda #0
    sta bank
@prgc000:
    lda bank
    jsr switch_c000
    lda sig1
    cmp bank
    fail_ne
    lda sig0
    cmp #3                      ; $8000 stays
    fail_ne
    inc bank
    lda bank
    cmp #7
    bne @prgc000
    mmc1_set $0C, $80

    check 5                     ; 32 KB: pairs, bit 0 unused
    lda #2
    jsr switch_32k
    expect_mem sig0, 2
    expect_mem sig1, 3
    lda #5
    jsr switch_32k
    expect_mem sig0, 4
    expect_mem sig1, 5
    expect_mem $C000, 7

    check 6                     ; CHR in 4 KB units
    mmc1_set $1C, $80
    lda #0
    sta bank
@chr4:
    lda bank
    ldx #$A0
    jsr mmc1_write
    lda bank
    eor #7                      ; the other half gets another bank
    ldx #$C0
    jsr mmc1_write
    read_ppu $0000
    sta sig0
    lda bank
    asl a
    asl a
    cmp sig0
    fail_ne
    read_ppu $1000
    sta sig1
    lda bank
    eor #7
    asl a
    asl a
    cmp sig1
    fail_ne
    inc bank
    lda bank
    cmp #8
    bne @chr4

    check 7                     ; CHR in 8 KB units, from any 4 KB boundary
    mmc1_set $0C, $80
    mmc1_set 2, $A0
    read_ppu $0000
    expect_a 8
    read_ppu $1000
    expect_a 12
    mmc1_set 3, $A0
    read_ppu $0000
    expect_a 12
    read_ppu $1000
    expect_a 16
    mmc1_set 0, $C0             ; CHR bank 1 in 8 KB mode: no effect
    read_ppu $1000
    expect_a 16

    check 8                     ; mirroring: bit 0 clear is vertical
    set_ppu_address $2000
    lda #$AB
    sta $2007
    read_ppu $2800
    expect_a $AB
    mmc1_set $0D, $80
    set_ppu_address $2400
    lda #$CD
    sta $2007
    read_ppu $2000
    expect_a $CD
    jmp pass

nmi:
irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
