; ppu: the picture unit's registers as a program sees them: the $2002
; vertical-blank bit and toggle reset, the $2007 read buffer and the
; increments of 1 and 32, palette writes, the nametable arrangement, sprite
; DMA from RAM and ROM pages and the sprite-0 hit, seen on the line after the
; one it is found on; CHR ROM is read-only.
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $00, $00, 0, 0, 0, 0, 0, 0, 0, 0   ; horizontal arrangement

.segment "ZEROPAGE"
nmi_count: .res 1
count_lo:  .res 1
count_hi:  .res 1

.segment "BSS"
.align 256
sprites:   .res 256

.segment "RODATA"
test_name: .byte "ppu", 0
.segment "PAGES"
rom_sprites:                    ; a sprite page in PRG: sprite 0 at Y 50, tile 1
    .byte 50, 1, 0, 100
    .res 252, $F0

.segment "CODE"

define_wait_nmi

; About A x 1280 cycles.
delay:
    ldy #0
:   dey
    bne :-
    sec
    sbc #1
    bne delay
    rts

reset:
    cartridge_reset
    cli                         ; (the checks expect I clear)
    result_begin
    lda #0
    sta $2001
    lda #$80                    ; NMI on, increments of 1
    sta $2000

    check 1                     ; $2002 bit 7: set in vertical blank, taken by a read
    jsr wait_nmi
    lda $2002
    and #$80
    expect_a $80
    lda $2002
    and #$80
    expect_a $00
    lda #4                      ; on into the next frame's lines
    jsr delay
    lda $2002
    and #$80
    expect_a $00

    check 2                     ; a $2002 read resets the address toggle
    lda #$21
    sta $2006
    lda $2002
    set_ppu_address $2345
    lda #$5A
    sta $2007
    set_ppu_address $2345
    lda $2007
    lda $2007
    expect_a $5A

    check 3                     ; reads come through a buffer: one read behind
    set_ppu_address $2100
    lda #$11
    sta $2007
    lda #$22
    sta $2007
    set_ppu_address $2100
    lda $2007
    expect_a $00                ; what the last read fetched, from $2346
    lda $2007
    expect_a $11
    lda $2007
    expect_a $22

    check 4                     ; increments of 32
    lda #$84
    sta $2000
    set_ppu_address $2100
    lda #$33
    sta $2007
    lda #$44
    sta $2007                   ; at $2120
    lda #$80
    sta $2000
    set_ppu_address $2120
    lda $2007
    lda $2007
    expect_a $44
    lda #$84
    sta $2000
    set_ppu_address $2100
    lda $2007
    lda $2007
    expect_a $33
    lda $2007
    expect_a $44
    lda #$80
    sta $2000

    check 5                     ; palette: backdrop mirror, marked colours, dropped writes
    set_ppu_address $3F00
    lda #$0F
    sta $2007
    set_ppu_address $3F05
    lda #$0F                    ; the backdrop colour: stored marked
    sta $2007
    lda #$16
    sta $2007
    set_ppu_address $3F05
    lda $2007                   ; palette reads come at once, as written
    expect_a $0F
    lda $2007
    expect_a $16
    set_ppu_address $3F04
    lda #$12
    sta $2007                   ; dropped
    set_ppu_address $3F04
    lda $2007
    expect_a $0F
    set_ppu_address $3F10
    lda #$21 | $C0              ; six bits count
    sta $2007
    set_ppu_address $3F00
    lda $2007
    expect_a $21
    set_ppu_address $3F0C
    lda $2007
    expect_a $21
    set_ppu_address $3F10
    lda $2007
    expect_a $21                ; $3F10 reads as $3F00
    set_ppu_address $3F05
    lda $2007
    expect_a $0F

    check 11                    ; CHR ROM cannot be written
    set_ppu_address $0010
    lda #$00
    sta $2007
    set_ppu_address $0010
    lda $2007
    lda $2007
    expect_a $FF

    check 6                     ; horizontal arrangement: $2400 is $2000, $2C00 is $2800
    set_ppu_address $2400
    lda #$55
    sta $2007
    set_ppu_address $2C00
    lda #$66
    sta $2007
    set_ppu_address $2000
    lda $2007
    lda $2007
    expect_a $55
    set_ppu_address $2800
    lda $2007
    lda $2007
    expect_a $66

    ; The picture for the sprite checks: an opaque background, palettes.
    set_ppu_address $2000
    lda #1
    ldx #240
:   sta $2007
    sta $2007
    sta $2007
    sta $2007
    dex
    bne :-
    set_ppu_address $3F00
    lda #$0F
    sta $2007
    lda #$30
    sta $2007
    set_ppu_address $3F11
    lda #$16
    sta $2007

    check 7                     ; DMA from a RAM page: sprite 0 hidden, no hit
    ldx #0
    lda #$F0
:   sta sprites, x
    inx
    bne :-
    lda #>sprites
    jsr wait_nmi
    sta $4014
    lda #0
    sta $2005
    sta $2005
    lda #$80                    ; page 0 again: the address writes chose page 3
    sta $2000
    lda #$1E
    sta $2001
    jsr wait_nmi
    lda $2002
    and #$40
    expect_a $00

    check 8                     ; DMA from a ROM page: sprite 0 at Y 50 hits
    lda #>rom_sprites
    sta $4014
    jsr wait_nmi
    lda $2002
    and #$40
    expect_a $40

    check 9                     ; the hit is cleared at frame start and seen on line 52
    jsr wait_nmi
    jsr count_to_hit
    lda count_hi                ; sprite 0 at Y 50: found while line 51 is drawn
    sta check_y50_hi
    lda count_lo
    sta check_y50_lo
    lda #49
    sta sprites
    lda #1
    sta sprites + 1
    lda #0
    sta sprites + 2
    lda #100
    sta sprites + 3
    lda #>sprites
    sta $4014
    jsr wait_nmi
    jsr count_to_hit            ; Y 49: one line earlier
    ; Line 52's budget starts 52 budgets after the frame's: at least
    ; 51 x 113 cycles of polls come first.
    lda check_y50_hi
    cmp #>(51 * 113 / 11)
    bcc @bad
    bne :+
    lda check_y50_lo
    cmp #<(51 * 113 / 11)
    bcc @bad
:   ; One line earlier finds it about one line's polls sooner.
    sec
    lda check_y50_lo
    sbc count_lo
    tax
    lda check_y50_hi
    sbc count_hi
    bne @bad
    cpx #9
    bcc @bad
    cpx #13
    bcs @bad

    check 10                    ; a hit needs background and sprites shown
    lda #$10
    jsr hit_with_mask
    expect_a $00
    lda #$08
    jsr hit_with_mask
    expect_a $00
    lda #$18
    jsr hit_with_mask
    expect_a $40
    jmp pass
@bad:
    jmp fail

; Shows two frames with $2001 = A and returns the hit bit in A.
hit_with_mask:
    sta $2001
    jsr wait_nmi
    jsr wait_nmi
    lda $2002
    and #$40
    rts

; Waits for the frame start (the last frame's hit stays set through vertical
; blank), then counts polls of $2002 until bit 6 is set (11 cycles a poll).
count_to_hit:
:   bit $2002
    bvs :-
    ldx #0
    ldy #0
@loop:
    bit $2002
    bvs @hit
    inx
    bne @loop
    iny
    jmp @loop
@hit:
    stx count_lo
    sty count_hi
    rts

nmi:
    inc nmi_count
    rti

irq:
    rti

.segment "BSS"
check_y50_lo: .res 1
check_y50_hi: .res 1

.segment "VECTORS"
    .word nmi, reset, irq

.segment "CHARS"
    .res 16, $00
    .res 8, $FF                 ; tile 1: colour 1 everywhere
    .res 8, $00
