; The Qel demo: a playfield twice the screen's width scrolling under a status
; bar held still by a sprite-0 split, a hero the pad moves, birds and a ball
; that passes behind the pillars, sprites switching between 8x16 and 8x8
; every few seconds, and music on both squares, the triangle, the noise
; channel and a delta-modulation kick drum. Start pauses.
;
; MMC1: the music lives in PRG bank 2, switched in at $8000; the background
; patterns swap between two 4 KB CHR banks to move the water.

.segment "HEADER"
    .byte "NES", $1A, 4, 2, $10, $00, 0, 0, 0, 0, 0, 0, 0, 0

.include "console.inc"
.include "graphics.s"
.include "sound.s"
.include "playfield.s"

PAD_A      = $01
PAD_B      = $02
PAD_SELECT = $04
PAD_START  = $08
PAD_UP     = $10
PAD_DOWN   = $20
PAD_LEFT   = $40
PAD_RIGHT  = $80

GROUND_Y   = 143                ; the hero's Y byte when standing on the grass
BIRDS      = 3
STEP_FRAMES = 8                 ; frames per music step

.segment "ZEROPAGE"
nmi_count:   .res 1
frame:       .res 1
pad:         .res 1
pad_before:  .res 1
paused:      .res 1
scroll:      .res 2             ; 0-511
hero_x:      .res 1
hero_y:      .res 1
hero_vy:     .res 1
hero_facing: .res 1             ; 0 right, $40 left
tall:        .res 1             ; $20 in 8x16 mode, 0 in 8x8 mode
mode_timer:  .res 1
ball:        .res 2             ; position in the playfield, 0-511
step:        .res 1
step_timer:  .res 1
status_dirty: .res 1
reg:         .res 2
tmp:         .res 1
src:         .res 2
oam_index:   .res 1

.segment "BSS"
oam: .res 256

.segment "MUSIC"
; 32 steps a bar line, a note number or REST (no change) or OFF.
REST = $FF
OFF  = $FE
melody:
    .byte C5, E5, G5, E5, F5, A5, C6, A5, G5, F5, E5, D5, C5, REST, G4, REST
    .byte A4, C5, E5, C5, D5, F5, A5, F5, E5, D5, C5, B4, C5, REST, OFF, REST
harmony:
    .byte E4, REST, REST, REST, F4, REST, REST, REST, G4, REST, REST, REST, E4, REST, REST, REST
    .byte C4, REST, REST, REST, D4, REST, REST, REST, G4, REST, REST, REST, E4, REST, OFF, REST
bass:                           ; on the triangle: an octave below the names
    .byte C4, REST, C4, REST, F3, REST, F3, REST, G3, REST, G3, REST, C4, REST, G3, REST
    .byte A3, REST, A3, REST, D4, REST, D4, REST, G3, REST, G3, REST, C4, REST, C4, REST

.segment "RODATA"
palettes:
    .byte $21, $0F, $11, $30,  $21, $09, $1A, $2A,  $21, $07, $17, $27,  $21, $01, $11, $31
    .byte $21, $16, $36, $0F,  $21, $30, $16, $27,  $21, $0F, $30, $27,  $21, $2A, $1A, $0F
bird_y:      .byte 48, 64, 56
bird_x:      .byte 40, 120, 200
mode_text_tall:  .byte $09, $22, $02, $07   ; "8X16"
mode_text_small: .byte $30, $09, $22, $09   ; " 8X8"
title_text:      .byte $1B, $0F, $16, $30, $0E, $0F, $17, $19   ; "QEL DEMO"
paused_text:     .byte $26, $1A, $0B, $1F, $1D, $0F, $0E, $26   ; "-PAUSED-"

.segment "CODE"

define_mmc1_write

define_wait_nmi

; Copies 1024 bytes from (src) to the PPU at A x 256.
copy_page:
    sta $2006
    lda #0
    sta $2006
    ldx #4
    ldy #0
:   lda (src), y
    sta $2007
    iny
    bne :-
    inc src + 1
    dex
    bne :-
    rts

reset:
    cartridge_reset
    lda #0
    sta $2000
    sta $2001
    lda #$80                    ; MMC1: reset
    sta $8000
    lda #$1C                    ; vertical arrangement, 16 KB at $8000, 4 KB CHR
    ldx #$80
    jsr mmc1_write
    lda #0                      ; background patterns: bank 0
    ldx #$A0
    jsr mmc1_write
    lda #2                      ; sprite patterns: bank 2
    ldx #$C0
    jsr mmc1_write
    lda #2                      ; the music's PRG bank
    ldx #$E0
    jsr mmc1_write

    ldx #0
    txa
:   sta $00, x
    sta oam, x
    inx
    bne :-
    lda #$F0                    ; every sprite off screen
:   sta oam, x
    inx
    bne :-

:   bit $2002                   ; wait for vertical blank
    bpl :-

    load_palettes palettes
    lda #<page_a
    sta src
    lda #>page_a
    sta src + 1
    lda #$20
    jsr copy_page
    lda #<page_b
    sta src
    lda #>page_b
    sta src + 1
    lda #$24
    jsr copy_page

    lda #$0F                    ; squares, triangle and noise on
    sta $4015
    lda #$0F                    ; the kick drum at the fastest rate
    sta $4010
    lda #<((kick_sample - $C000) / 64)
    sta $4012
    lda #KICK_LENGTH
    sta $4013

    lda #40
    sta hero_x
    lda #GROUND_Y
    sta hero_y
    lda #$20
    sta tall
    lda #1
    sta step_timer
    jsr build_sprites
    lda #$88                    ; NMI on, 8x8 sprites from $1000
    sta $2000

main:
    jsr wait_nmi
    ; The status bar is drawn with no scroll; from the line after sprite 0's
    ; hit the playfield takes its scroll.
:   bit $2002
    bvs :-
    ldy #8                      ; (not for ever: about 60 lines at most)
    ldx #0
:   bit $2002
    bvs :+
    dex
    bne :-
    dey
    bne :-
:   lda scroll
    sta $2005
    lda scroll + 1
    and #1
    ora #$88
    ora tall
    sta $2000

    jsr read_pad
    lda pad
    and #PAD_START
    beq :+
    lda pad_before
    and #PAD_START
    bne :+
    lda paused
    eor #1
    sta paused
    inc status_dirty
    jsr silence
:   lda paused
    bne @still
    jsr move_world
    jsr move_hero
    jsr play_music
@still:
    jsr build_sprites
    jmp main

read_pad:
    lda pad
    sta pad_before
    lda #1
    sta $4016
    lda #0
    sta $4016
    ldx #8
:   lda $4016
    lsr a
    ror pad
    dex
    bne :-
    rts

move_world:
    inc frame
    inc scroll                  ; the playfield scrolls one pixel a frame
    bne :+
    inc scroll + 1
:   lda ball                    ; the ball rolls twice as fast, the other way
    sec
    sbc #2
    sta ball
    bcs :+
    dec ball + 1
:   inc mode_timer              ; 8x16 and 8x8 sprites take turns
    bne :+
    lda tall
    eor #$20
    sta tall
    inc status_dirty
:   rts

move_hero:
    lda pad
    and #PAD_LEFT
    beq :+
    lda hero_x
    cmp #8
    bcc :+
    dec hero_x
    dec hero_x
    lda #$40
    sta hero_facing
:   lda pad
    and #PAD_RIGHT
    beq :+
    lda hero_x
    cmp #232
    bcs :+
    inc hero_x
    inc hero_x
    lda #0
    sta hero_facing
:   lda pad                     ; A jumps from the ground
    and #PAD_A
    beq @fall
    lda hero_y
    cmp #GROUND_Y
    bne @fall
    lda #<-7
    sta hero_vy
@fall:
    lda hero_y
    clc
    adc hero_vy
    sta hero_y
    cmp #GROUND_Y
    bcc @air
    lda #GROUND_Y
    sta hero_y
    lda #0
    sta hero_vy
    rts
@air:
    lda frame
    and #3
    bne :+
    inc hero_vy                 ; gravity
:   rts

; Sprite 0 marks the split; then the hero, the birds and the ball.
build_sprites:
    ldx #0
    lda #29                     ; on the status bar's lower border, behind it
    sta oam, x
    lda tall                    ; the line: tile $01, or the top of $02/$03
    beq :+
    lda #$03 - $01
:   clc
    adc #$01
    sta oam + 1, x
    lda #$20
    sta oam + 2, x
    lda #8
    sta oam + 3, x
    ldx #4
    ; The hero: two 8x16 sprites, or four 8x8 ones.
    lda hero_facing
    sta tmp
    lda tall
    beq @hero_small
    lda #$11                    ; tiles $10/$11 (odd: from $1000)
    ldy #$13
    jsr hero_column_tall
    jmp @birds
@hero_small:
    jsr hero_small
@birds:
    ldy #0
@bird:
    lda frame
    clc
    adc bird_x, y
    sta oam + 3, x
    lda frame
    lsr a
    lsr a
    and #7
    clc
    adc bird_y, y
    sta oam, x
    lda tall
    beq :+
    lda #$21                    ; 8x16: the bird over an empty half
    bne :++
:   lda #$20
:   sta oam + 1, x
    lda #$02
    sta oam + 2, x
    inx
    inx
    inx
    inx
    iny
    cpy #BIRDS
    bne @bird
    ; The ball, behind the background: on screen when its place in the
    ; playfield is within 248 pixels right of the scroll.
    lda ball
    sec
    sbc scroll
    sta tmp
    lda ball + 1
    sbc scroll + 1
    and #1
    bne @no_ball
    lda tmp
    cmp #248
    bcs @no_ball
    sta oam + 3, x
    lda #124
    sta oam, x
    lda tall
    beq :+
    lda #$23
    bne :++
:   lda #$22
:   sta oam + 1, x
    lda #$21                    ; behind the background, palette 1
    sta oam + 2, x
    inx
    inx
    inx
    inx
@no_ball:
    lda #$F0
:   sta oam, x
    inx
    bne :-
    rts

; The hero in 8x16 sprites: the left column with tile A, the right with Y,
; swapped when facing left.
hero_column_tall:
    sta src
    sty src + 1
    lda hero_y
    sta oam, x
    sta oam + 4, x
    lda tmp
    ora #$00
    sta oam + 2, x
    sta oam + 6, x
    bne @left
    lda src
    sta oam + 1, x
    lda src + 1
    sta oam + 5, x
    jmp @place
@left:
    lda src + 1
    sta oam + 1, x
    lda src
    sta oam + 5, x
@place:
    lda hero_x
    sta oam + 3, x
    clc
    adc #8
    sta oam + 7, x
    txa
    clc
    adc #8
    tax
    rts

; The hero in 8x8 sprites: four tiles, mirrored when facing left.
hero_small:
    ldy #0
@tile:
    lda hero_y
    cpy #2
    bcc :+
    clc
    adc #8
:   sta oam, x
    tya                         ; tiles: $10 top left, $11 bottom left, $12, $13
    and #1
    asl a
    sta src
    tya
    lsr a
    ora src
    eor #0
    sta src                     ; 0: TL, 2: TR, 1: BL, 3: BR
    lda tmp
    beq :+
    lda src
    eor #2                      ; facing left: the columns swap
    sta src
:   lda src
    clc
    adc #$10
    sta oam + 1, x
    lda tmp
    sta oam + 2, x
    tya
    and #1
    beq :+
    lda #8
:   clc
    adc hero_x
    sta oam + 3, x
    inx
    inx
    inx
    inx
    iny
    cpy #4
    bne @tile
    rts

silence:
    lda #$30
    sta $4000
    sta $4004
    sta $400C
    lda #$80
    sta $4008
    rts

play_music:
    dec step_timer
    beq :+
    rts
:   lda #STEP_FRAMES
    sta step_timer
    ldy step
    lda melody, y               ; square 1: duty 2, volume 10
    cmp #REST
    beq @harmony
    cmp #OFF
    bne :+
    lda #$30
    sta $4000
    jmp @harmony
:   tax
    lda #$BA
    sta $4000
    lda #$00
    sta $4001
    lda period_low, x
    sta $4002
    lda period_high, x
    ora #$08
    sta $4003
@harmony:
    lda harmony, y              ; square 2: duty 1, volume 6
    cmp #REST
    beq @bass
    cmp #OFF
    bne :+
    lda #$30
    sta $4004
    jmp @bass
:   tax
    lda #$76
    sta $4004
    lda #$00
    sta $4005
    lda period_low, x
    sta $4006
    lda period_high, x
    ora #$08
    sta $4007
@bass:
    lda bass, y
    cmp #REST
    beq @drums
    tax
    lda #$FF                    ; held while the linear counter lasts
    sta $4008
    lda period_low, x
    sta $400A
    lda period_high, x
    ora #$08
    sta $400B
@drums:
    tya                         ; a closed hat on every odd step
    and #1
    beq :+
    lda #$14
    sta $400C
    lda #$03
    sta $400E
    lda #$18                    ; one frame long
    sta $400F
:   tya                         ; the kick on every fourth step
    and #3
    bne :+
    lda #$0F
    sta $4015
    lda #$1F
    sta $4015
:   iny
    cpy #32
    bne :+
    ldy #0
:   sty step
    rts

nmi:
    pha
    txa
    pha
    tya
    pha
    lda #>oam
    sta $4014
    lda status_dirty
    beq @status_done
    lda #0
    sta status_dirty
    bit $2002                   ; the main loop's $2005 write left the toggle set
    lda #$20                    ; the sprite mode, top right
    sta $2006
    lda #$3C
    sta $2006
    ldx #0
:   lda tall
    beq :+
    lda mode_text_tall, x
    jmp :++
:   lda mode_text_small, x
:   sta $2007
    inx
    cpx #4
    bne :---
    lda #$20                    ; the title, or the pause notice
    sta $2006
    lda #$22
    sta $2006
    ldx #0
:   lda paused
    beq :+
    lda paused_text, x
    jmp :++
:   lda title_text, x
:   sta $2007
    inx
    cpx #8
    bne :---
@status_done:
    lda #$88                    ; the status bar: no scroll, page A
    ora tall
    sta $2000
    bit $2002
    lda #0
    sta $2005
    sta $2005
    lda #$1E
    sta $2001
    lda paused                  ; the water moves: swap the background bank
    bne :+
    lda frame
    and #15
    bne :+
    lda frame
    lsr a
    lsr a
    lsr a
    lsr a
    and #1
    ldx #$A0
    jsr mmc1_write
:   inc nmi_count
    pla
    tay
    pla
    tax
    pla
    rti

irq:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
