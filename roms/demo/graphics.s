; The demo's pictures, drawn for it: the background tiles (two banks of
; 4 KB that differ only in the water's wave) and the sprite tiles.
; Each tile: 8 bytes of bit plane 0, then 8 of bit plane 1.

; The background bank; `wave` picks the water's frame.
.macro background_bank wave
    ; $00: sky
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    ; $01: glyph 0
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $4C, $54, $64, $44, $38
    ; $02: glyph 1
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $10, $30, $10, $10, $10, $10, $38
    ; $03: glyph 2
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $04, $08, $10, $20, $7C
    ; $04: glyph 3
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $78, $04, $04, $38, $04, $04, $78
    ; $05: glyph 4
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $08, $18, $28, $48, $7C, $08, $08
    ; $06: glyph 5
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $7C, $40, $78, $04, $04, $44, $38
    ; $07: glyph 6
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $18, $20, $40, $78, $44, $44, $38
    ; $08: glyph 7
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $7C, $04, $08, $10, $20, $20, $20
    ; $09: glyph 8
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $44, $38, $44, $44, $38
    ; $0A: glyph 9
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $44, $3C, $04, $08, $30
    ; $0B: glyph A
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $44, $7C, $44, $44, $44
    ; $0C: glyph B
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $78, $44, $44, $78, $44, $44, $78
    ; $0D: glyph C
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $40, $40, $40, $44, $38
    ; $0E: glyph D
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $70, $48, $44, $44, $44, $48, $70
    ; $0F: glyph E
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $7C, $40, $40, $78, $40, $40, $7C
    ; $10: glyph F
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $7C, $40, $40, $78, $40, $40, $40
    ; $11: glyph G
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $40, $5C, $44, $44, $3C
    ; $12: glyph H
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $44, $44, $7C, $44, $44, $44
    ; $13: glyph I
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $10, $10, $10, $10, $10, $38
    ; $14: glyph J
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $1C, $08, $08, $08, $08, $48, $30
    ; $15: glyph K
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $48, $50, $60, $50, $48, $44
    ; $16: glyph L
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $40, $40, $40, $40, $40, $40, $7C
    ; $17: glyph M
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $6C, $54, $54, $44, $44, $44
    ; $18: glyph N
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $44, $64, $54, $4C, $44, $44
    ; $19: glyph O
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $44, $44, $44, $44, $38
    ; $1A: glyph P
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $78, $44, $44, $78, $40, $40, $40
    ; $1B: glyph Q
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $38, $44, $44, $44, $54, $48, $34
    ; $1C: glyph R
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $78, $44, $44, $78, $50, $48, $44
    ; $1D: glyph S
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $3C, $40, $40, $38, $04, $04, $78
    ; $1E: glyph T
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $7C, $10, $10, $10, $10, $10, $10
    ; $1F: glyph U
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $44, $44, $44, $44, $44, $38
    ; $20: glyph V
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $44, $44, $44, $44, $28, $10
    ; $21: glyph W
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $44, $44, $54, $54, $54, $28
    ; $22: glyph X
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $44, $28, $10, $28, $44, $44
    ; $23: glyph Y
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $44, $44, $28, $10, $10, $10, $10
    ; $24: glyph Z
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $7C, $04, $08, $10, $20, $40, $7C
    ; $25: glyph :
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $00, $30, $30, $00, $30, $30, $00
    ; $26: glyph -
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $00, $00, $00, $7C, $00, $00, $00
    .res $90, 0
    ; $30: status bar: blank
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $FF, $FF
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    ; $31: status bar: lower border
    .byte $FF, $FF, $FF, $FF, $FF, $FF, $00, $FF
    .byte $00, $00, $00, $00, $00, $00, $FF, $FF
    .res $E0, 0
    ; $40: cloud, top left
    .byte $00, $00, $07, $1F, $3F, $7F, $7F, $1F
    .byte $00, $07, $1F, $3F, $7F, $FF, $FF, $7F
    ; $41: cloud, top right
    .byte $00, $00, $C0, $F0, $FC, $FE, $FE, $F8
    .byte $00, $C0, $F0, $FC, $FE, $FF, $FF, $FE
    ; $42: cloud, bottom left
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .byte $3F, $00, $00, $00, $00, $00, $00, $00
    ; $43: cloud, bottom right
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .byte $FC, $00, $00, $00, $00, $00, $00, $00
    ; $44: hill, top left
    .byte $01, $02, $04, $09, $10, $22, $40, $80
    .byte $00, $01, $03, $07, $0F, $1F, $3F, $7F
    ; $45: hill, top right
    .byte $80, $40, $20, $10, $08, $04, $22, $01
    .byte $00, $80, $C0, $E0, $F0, $F8, $FC, $FE
    ; $46: hill, bottom left
    .byte $88, $80, $81, $90, $80, $80, $88, $80
    .byte $7F, $7F, $7F, $7F, $7F, $7F, $7F, $7F
    ; $47: hill, bottom right
    .byte $01, $11, $01, $05, $01, $81, $01, $01
    .byte $FE, $FE, $FE, $FE, $FE, $FE, $FE, $FE
    ; $48: pillar, left half
    .byte $E0, $E0, $E0, $E0, $E0, $E0, $E0, $E0
    .byte $7F, $7F, $7F, $7F, $7F, $7F, $7F, $7F
    ; $49: pillar, right half
    .byte $07, $07, $07, $07, $07, $07, $07, $07
    .byte $FE, $FE, $FE, $FE, $FE, $FE, $FE, $FE
    ; $4A: pillar, capital left
    .byte $FF, $FF, $C0, $FF, $60, $60, $E0, $E0
    .byte $00, $7F, $7F, $00, $3F, $3F, $7F, $7F
    ; $4B: pillar, capital right
    .byte $FF, $FF, $03, $FF, $06, $06, $07, $07
    .byte $00, $FE, $FE, $00, $FC, $FC, $FE, $FE
    .res $40, 0
    ; $50: bricks
    .byte $FF, $88, $88, $88, $FF, $22, $22, $22
    .byte $00, $FF, $FF, $FF, $00, $FF, $FF, $FF
    ; $51: grass
    .byte $00, $22, $77, $FF, $00, $44, $AA, $FF
    .byte $22, $77, $FF, $FF, $FF, $BB, $55, $00
    ; $52: water, its wave up in bank 0 and down in bank 1
    .if wave = 0
        .byte $00, $00, $18, $7E, $FF, $FF, $FF, $FF
        .byte $00, $18, $7E, $FF, $FF, $00, $00, $00
    .else
        .byte $00, $00, $C1, $F7, $FF, $FF, $FF, $FF
        .byte $00, $C1, $F7, $FF, $FF, $00, $00, $00
    .endif
    .res $AD0, 0
.endmacro

.segment "CHARS"
; Banks 0 and 1: the background, the wave up and down.
    background_bank 0
    background_bank 1
; Bank 2: sprites
    ; $00: empty
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    ; $01: sprite-0 marker: a line
    .byte $FF, $00, $00, $00, $00, $00, $00, $00
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    ; $02: sprite-0 marker again: the top of the 8x16 pair $02/$03
    .byte $FF, $00, $00, $00, $00, $00, $00, $00
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .res $D0, 0
    ; $10: hero, left column top
    .byte $07, $0F, $0E, $14, $16, $18, $00, $1F
    .byte $00, $00, $0F, $1F, $1F, $1F, $07, $01
    ; $11: hero, left column bottom
    .byte $7F, $FF, $3E, $1F, $3F, $1E, $3C, $7C
    .byte $01, $01, $C3, $E7, $DF, $1E, $00, $00
    ; $12: hero, right column top
    .byte $E0, $F8, $40, $40, $20, $78, $00, $E0
    .byte $00, $00, $C0, $F8, $FC, $F8, $F0, $00
    ; $13: hero, right column bottom
    .byte $FC, $FE, $D8, $F0, $F8, $78, $3C, $3E
    .byte $10, $E0, $F6, $FE, $FE, $78, $00, $00
    .res $C0, 0
    ; $20: bird
    .byte $00, $C3, $66, $24, $18, $00, $00, $00
    .byte $00, $00, $00, $18, $18, $00, $00, $00
    ; $21: empty: the bird's lower half in 8x16
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    ; $22: ball
    .byte $3C, $66, $C3, $81, $83, $C7, $7E, $3C
    .byte $00, $18, $3C, $7E, $7E, $3C, $18, $00
    ; $23: empty: the ball's lower half in 8x16
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .byte $00, $00, $00, $00, $00, $00, $00, $00
    .res $DC0, 0
; Bank 3: unused.
    .res $1000, 0
