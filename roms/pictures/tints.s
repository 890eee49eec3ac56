; tints: the greyscale and colour emphasis bits of $2001, changed every 23
; lines from the hit under sprite 0: no tint, greyscale, red, green, blue,
; red and green, all three, greyscale with blue. Columns of colours 0-3 run
; down the picture; a ball behind the background and one in front of it lie
; in every band.
.include "console.inc"
.segment "HEADER"
    .byte "NES", $1A, 2, 1, $01, $00, 0, 0, 0, 0, 0, 0, 0, 0

.segment "ZEROPAGE"
nmi_count: .res 1
band:      .res 1

.segment "BSS"
.align 256
sprites: .res 256

.segment "RODATA"
palettes:
    .byte $21, $16, $2A, $30,  $21, $16, $2A, $30,  $21, $16, $2A, $30,  $21, $16, $2A, $30
    .byte $21, $27, $14, $0F,  $21, $27, $14, $0F,  $21, $27, $14, $0F,  $21, $27, $14, $0F
; $2001 for each band after the first.
masks:
    .byte $1F, $3E, $5E, $9E, $7E, $FE, $9F
MASKS = * - masks

.segment "CODE"

define_wait_nmi

reset:
    cartridge_reset
    lda #0
    sta $2000
    sta $2001
    jsr wait_vblank
    jsr wait_vblank
    load_palettes palettes
    set_ppu_address $2000       ; columns of tiles 0, 1, 2, 3 over and over
    ldy #30
@row:
    ldx #0
:   txa
    and #3
    sta $2007
    inx
    cpx #32
    bne :-
    dey
    bne @row
    lda #0                      ; attributes: palette 0
    ldx #64
:   sta $2007
    dex
    bne :-
    ldx #0                      ; sprites: hidden but for the table's
    lda #$F0
:   sta sprites, x
    inx
    bne :-
    ldx #0
:   lda sprite_table, x
    sta sprites, x
    inx
    cpx #SPRITE_TABLE
    bne :-
    lda #$80
    sta $2000

main:
    jsr wait_nmi
:   bit $2002                   ; wait out the last frame's hit
    bvs :-
:   bit $2002                   ; the hit under sprite 0
    bvc :-
    lda #0
    sta band
@bands:
    ldy #2                      ; about 23 lines
    ldx #0
:   dex
    bne :-
    dey
    bne :-
    ldx band
    lda masks, x
    sta $2001
    inc band
    lda band
    cmp #MASKS
    bne @bands
    jmp main

wait_vblank:
    bit $2002
:   bit $2002
    bpl :-
    rts

nmi:
    pha
    lda #>sprites
    sta $4014
    lda #$88
    sta $2000
    lda #0
    sta $2005
    sta $2005
    lda #$1E
    sta $2001
    inc nmi_count
    pla
irq:
    rti

.segment "RODATA"
; Sprite 0 over a colour-1 column, then in every band a ball behind the
; background over colour 0 and a ball in front over colour 2.
sprite_table:
    .byte 10, 1, $00, 8
    .repeat 8, i
        .byte 16 + i * 45 / 2, 2, $20, i * 32
        .byte 16 + i * 45 / 2, 2, $00, 16 + i * 32
    .endrepeat
SPRITE_TABLE = * - sprite_table

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
; Table $0000: the background.
    .res 16, $00                ; 0: colour 0
    .res 8, $FF                 ; 1: colour 1
    .res 8, $00
    .res 8, $00                 ; 2: colour 2
    .res 8, $FF
    .res 16, $FF                ; 3: colour 3
    .res $1000 - 4 * 16, $00
; Table $1000: the sprites.
    .res 16, $00                ; 0: transparent
    .res 8, $FF                 ; 1: a block of colour 1
    .res 8, $00
    ; 2: a ball of colours 1 to 3
    .byte %00111100, %01100110, %11000011, %10011001, %10011001, %11000011, %01100110, %00111100
    .byte %00111100, %01111110, %11111111, %11100111, %11100111, %11111111, %01111110, %00111100
    .res $1000 - 3 * 16, $00
