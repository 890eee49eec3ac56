; pictures: five screens for golden images, each held for 60 frames:
;   frames   1-60   fine horizontal scroll of 13 across both pages
;   frames  61-120  a mid-frame scroll split through $2006 under a sprite-0 hit
;   frames 121-180  8x16 sprites with every flip, from both pattern tables
;   frames 181-240  behind-background sprites over colour 0, colour 1 and a
;                   colour marked as the backdrop's; front sprites over all;
;                   the backdrop changed from black to blue
;   frames 241-     a scroll of -16 (the attribute rows on top), overlapping
;                   sprites, sprites at the right and bottom edges

.include "console.inc"
.segment "HEADER"
    .byte "NES", $1A, 2, 1, $01, $00, 0, 0, 0, 0, 0, 0, 0, 0   ; vertical arrangement

.segment "ZEROPAGE"
nmi_count: .res 1
screen:    .res 1
frames:    .res 1
col:       .res 1
; The screen's settings, copied from screen_table (in this order).
control:   .res 1
scroll_x:  .res 1
scroll_y:  .res 1
split:     .res 1
attr:      .res 1
backdrop:  .res 2               ; and palette 0's colour 2
page:      .res 1
tile_of:   .res 2
pointer:   .res 2

.segment "BSS"
.align 256
sprites: .res 256

.segment "RODATA"
palettes:
    .byte $0F, $16, $27, $30,  $0F, $1A, $2A, $3A,  $0F, $12, $22, $32,  $0F, $14, $24, $34
    .byte $0F, $16, $27, $30,  $0F, $1A, $2A, $39,  $0F, $13, $23, $33,  $0F, $17, $28, $38
; Each screen's control, horizontal scroll, split, attribute bytes, backdrop
; and palette 0's colour 2 (the last screen's backdrop turns blue and that
; colour equals it: stored marked), page, its tiles and its sprites.
; A column a screen; the sixth draws page B (all checker) once at reset.
SCREENS = 6
.define TILES stripes, stripes, floor, columns, floor, checker
.define SPRITES no_sprites, split_sprites, tall_sprites, behind_sprites, edge_sprites, no_sprites
screen_table:
    .byte $88, $88, $A0, $88, $88, $88 ; NMI, sprites at $1000 (the third: 8x16)
    .byte 13, 0, 0, 0, 0, 0            ; scroll_x
    .byte 0, 0, 0, 0, $F0, 0           ; scroll_y: $F0 = -16, rows 30 and 31 on top
    .byte 0, 1, 0, 0, 0, 0             ; split
    .byte $E4, $E4, $00, $00, $06, $1B ; attr
    .byte $0F, $0F, $0F, $11, $0F, $0F ; backdrop
    .byte $27, $27, $27, $11, $27, $27 ; palette 0's colour 2
    .byte $20, $20, $20, $20, $20, $24 ; page
    .lobytes TILES
    .hibytes TILES
    .lobytes SPRITES
    .hibytes SPRITES

.segment "CODE"

define_wait_nmi

; Fills the page at PPU address (A = high byte) with tiles from the routine
; whose address is in tile_of: it gets the row in Y and the column in X and
; returns the tile in A. Then its attribute bytes: all attr.
fill_page:
    sta $2006
    ldy #0
    sty $2006
@rows:
    ldx #0
@cols:
    jsr tile_at
    sta $2007
    inx
    cpx #32
    bne @cols
    iny
    cpy #30
    bne @rows
    ldx #64
    lda attr
:   sta $2007
    dex
    bne :-
    rts

tile_at:
    jmp (tile_of)

; Page A of screens 1 and 2: diagonal stripes of colours 0-3.
stripes:
    stx col
    tya
    lsr a
    clc
    adc col
    and #3
    rts
checker:
    lda #5
    rts
; Screen 3's background: empty, with a floor of blocks.
floor:
    lda floor_tiles, y
    rts
floor_tiles: .res 20, 0
    .res 10, 6
; Screen 4's background: columns of colour 0, the marked colour 2, colour 1.
columns:
    lda column_tiles, x
    rts
column_tiles: .res 10, 0
    .res 10, 2
    .res 12, 1

; Draws screen X with the picture off: its sprites (the table's 16,
; the rest hidden), registers, backdrop and page.
draw_screen:
    lda #0
    sta $2001
    ldy #0
:   lda screen_table, x
    sta control, y
    txa
    clc
    adc #SCREENS
    tax
    iny
    cpy #pointer + 2 - control
    bne :-
    ldy #0
@sprites:
    lda #$F0
    cpy #64
    bcs :+
    lda (pointer), y
:   sta sprites, y
    iny
    bne @sprites
    set_ppu_address $3F00
    lda backdrop
    sta $2007
    lda #$16
    sta $2007
    lda backdrop + 1
    sta $2007
    lda page
    jmp fill_page

reset:
    cartridge_reset
    lda #$80
    sta control
    sta $2000
    jsr wait_nmi
    load_palettes palettes
    ldx #5
    jsr draw_screen
    ldx #0
    stx screen
    lda #60
    sta frames
    jsr draw_screen

main:
    jsr wait_nmi
    lda split
    beq @no_split
:   bit $2002                   ; wait out the last frame's hit
    bvs :-
:   bit $2002                   ; the hit under sprite 0
    bvc :-
    set_ppu_address $2400           ; page B from its top row, from here down
@no_split:
    dec frames                  ; 60 frames a screen
    bne main
    lda #60
    sta frames
    lda screen
    cmp #4                      ; the last screen stays
    beq main
    inc screen
    ldx screen
    jsr draw_screen
    jmp main

nmi:
    pha
    lda #>sprites
    sta $4014
    lda control
    sta $2000
    lda scroll_x
    sta $2005
    lda scroll_y
    sta $2005
    lda #$1E
    sta $2001
    inc nmi_count
    pla
irq:
    rti

.segment "RODATA"
; Each table: 16 sprites of Y, tile, attributes, X.
split_sprites:
    .byte 99, 1, $00, 8
no_sprites:
    .res 64, $F0
tall_sprites:
    .byte 100, $05, $00, 40     ; table $1000, tiles 4 and 5: a flag
    .byte 100, $05, $40, 80     ; flipped horizontally
    .byte 100, $05, $80, 120    ; vertically
    .byte 100, $05, $C1, 160    ; both, palette 1
    .byte 100, $04, $02, 200    ; table $0000, tiles 4 and 5
    .byte 130, $05, $03, 60
    .byte 130, $05, $43, 68     ; overlapping: the lower number lies on top
    .res 36, $F0
behind_sprites:
    .repeat 8, i
        .byte 60, 2, $20, 8 + i * 32   ; behind
    .endrepeat
    .repeat 8, i
        .byte 120, 2, $01, 24 + i * 32 ; in front
    .endrepeat

edge_sprites:
    .byte 50, 1, $00, 100       ; over sprite 1: the lower number lies on top
    .byte 50, 2, $00, 104
    .byte 235, 1, $00, 252      ; clipped at the right and bottom edges
    .byte 239, 2, $00, 10       ; below the picture
    .res 48, $F0

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
    ; 4: an arrow's top
    .byte %00011000, %00111100, %01111110, %11111111, %00111100, %00111100, %00111100, %00111100
    .byte %00011000, %00111100, %01111110, %11011011, %00010000, %00010000, %00010000, %00010000
    ; 5: checker of colours 1 and 2 (and an arrow's foot for tall sprites)
    .byte %11110000, %11110000, %11110000, %11110000, %00001111, %00001111, %00001111, %00001111
    .byte %00001111, %00001111, %00001111, %00001111, %11110000, %11110000, %11110000, %11110000
    ; 6: a framed block
    .byte %11111111, %11111111, %11000011, %11011011, %11011011, %11000011, %11111111, %11111111
    .byte %11111111, %10000001, %10111101, %10111101, %10111101, %10111101, %10000001, %11111111
    .res $1000 - 7 * 16, $00
; Table $1000: the sprites.
    .res 16, $00                ; 0: transparent
    ; 1: a framed block
    .byte %11111111, %11111111, %11000011, %11011011, %11011011, %11000011, %11111111, %11111111
    .byte %11111111, %10000001, %10111101, %10111101, %10111101, %10111101, %10000001, %11111111
    ; 2: a ball of colours 1 to 3
    .byte %00111100, %01100110, %11000011, %10011001, %10011001, %11000011, %01100110, %00111100
    .byte %00111100, %01111110, %11111111, %11100111, %11100111, %11111111, %01111110, %00111100
    .res 16, $00                ; 3
    ; 4: a flag's top, different from every side
    .byte %11111100, %11111110, %11100111, %11111110, %11111100, %11000000, %11000000, %11000000
    .byte %11111100, %11000110, %11011011, %11000110, %11111100, %11000000, %11000000, %11000000
    ; 5: its pole and foot
    .byte %11000000, %11000000, %11000000, %11000000, %11000000, %10000000, %10000000, %00000000
    .byte %11000000, %11000000, %11000000, %11000000, %11000000, %11111100, %11111100, %00000000
