; The worst case of bank switching: the MMC3's line interrupt comes on every
; line, and its handler maps another 1 KB of CHR and another 8 KB of PRG each
; time (SWITCH = 1), or the ones in place already (SWITCH = 0, the idle cost).
; Background and sprites are shown, so each line is drawn as in a game.
.ifndef SWITCH
SWITCH = 1
.endif

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $40, $00, 0, 0, 0, 0, 0, 0, 0, 0

.segment "ZEROPAGE"
flip: .res 1

.segment "CODE"
reset:
    sei
    cld
    ldx #$FF
    txs
    lda #0
    sta $2000
    sta $2001
    sta flip
:   bit $2002
    bpl :-
    lda #$3F                    ; a palette, then tiles 0-255 over the page
    sta $2006
    ldx #0
    stx $2006
:   txa
    sta $2007
    inx
    cpx #32
    bne :-
    lda #$20
    sta $2006
    ldx #0
    stx $2006
    ldy #4
:   stx $2007
    inx
    bne :-
    dey
    bne :-
    lda #$40                    ; the frame counter's interrupt off, as games
    sta $4017                   ; that take the MMC3's have it
    lda #0                      ; an interrupt every line: a latch of 0
    sta $C000
    sta $C001
    sta $E001
    lda #$98                    ; NMI on, background from $1000
    sta $2000
    lda #$1E
    sta $2001
    cli
:   jmp :-

irq:
    pha
    sta $E000                   ; answered, and on again for the next line
    sta $E001
.if SWITCH
    lda flip
    eor #1
    sta flip
.else
    lda #0
.endif
    ldx #2                      ; CHR register 2: 1 KB at $1000
    stx $8000
    sta $8001
    ldx #6                      ; PRG register 6: 8 KB at $8000
    stx $8000
    sta $8001
    pla
    rti

nmi:
    rti

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .repeat 512, i
    .byte <i, <(i * 3), <(i * 5), <(i * 7), <(i * 11), <(i * 13), <(i * 17), <(i * 19)
    .endrepeat
