; cpu: every documented instruction and addressing mode against the results
; this machine gives, including its decimal ADC/SBC, PHP's bit 4 as the
; status holds it, and the wraps of the stack, page zero and JMP ($xxFF).
.include "console.inc"
.include "result.inc"
.export test_name

.segment "HEADER"
    .byte "NES", $1A, 2, 1, $00, $00, 0, 0, 0, 0, 0, 0, 0, 0

.segment "ZEROPAGE"
zp0:   .res 1
zp1:   .res 1
ptr:   .res 2
brk_seen: .res 1

.segment "BSS"
buffer: .res 256

.segment "RODATA"
test_name: .byte "cpu", 0
table:     .byte $00, $01, $80, $7F, $FF, $55, $AA, $42
.segment "PAGES"
page_end:  .res $FF, $EA        ; $E000-$E0FE
           .byte $34            ; $E0FF: pointer low byte of JMP ($E0FF)
           .byte $12            ; $E100: never the high byte
.segment "CODE"

reset:
    cartridge_reset
    cli                         ; (the checks expect I clear)
    result_begin

; ---------------------------------------------------------------- loads
    check 1
    lda #$00
    expect_p $22                ; Z, and bit 5; B as the reset left it: clear
    check 2
    lda #$80
    expect_p $A0
    check 3
    ldx #$7F
    expect_p $20
    txa
    expect_a $7F
    check 4
    ldy #$FF
    expect_p $A0
    tya
    expect_a $FF

    check 5                     ; zero page and zero page,X with its wrap
    lda #$11
    sta $10
    lda #$22
    sta $0F
    ldx #$20
    lda $F0, x                  ; $F0 + $20 wraps to $10
    expect_a $11
    ldy $EF, x                  ; LDY zp,X: $0F
    tya
    expect_a $22
    ldy #$21
    ldx $EF, y                  ; LDX zp,Y: $10
    txa
    expect_a $11
    ldx $10
    txa
    expect_a $11
    ldy $0F
    tya
    expect_a $22

    check 6                     ; absolute and indexed absolute
    lda table + 2
    expect_a $80
    ldx #3
    lda table, x
    expect_a $7F
    ldy #4
    lda table, y
    expect_a $FF
    ldx table + 5
    txa
    expect_a $55
    ldy #6
    ldx table, y
    txa
    expect_a $AA
    ldy table + 7
    tya
    expect_a $42
    ldx #1
    ldy table, x
    tya
    expect_a $01

    check 7                     ; indexed indirect, pointer wrapping in page zero
    lda #<table
    sta ptr
    lda #>table
    sta ptr + 1
    ldx #0
    lda (ptr, x)
    expect_a $00
    lda #<(table + 6)
    sta $FF
    lda #>(table + 6)
    sta $00
    ldx #$10
    lda ($EF, x)                ; pointer at $FF, high byte from $00
    expect_a $AA

    check 8                     ; indirect indexed, pointer wrapping too
    ldy #2
    lda (ptr), y
    expect_a $80
    ldy #1
    lda ($FF), y                ; table + 7
    expect_a $42

; ---------------------------------------------------------------- stores
    check 9
    lda #$5A
    sta buffer
    ldx #$A5
    stx buffer + 1
    ldy #$3C
    sty buffer + 2
    expect_mem buffer, $5A
    expect_mem buffer + 1, $A5
    expect_mem buffer + 2, $3C
    lda #$77
    sta zp0
    expect_mem zp0, $77
    stx zp1
    expect_mem zp1, $A5
    sty zp1
    expect_mem zp1, $3C

    check 10
    ldx #4
    lda #$61
    sta buffer, x
    expect_mem buffer + 4, $61
    ldy #5
    lda #$62
    sta buffer, y
    expect_mem buffer + 5, $62
    lda #$63
    sta $F4, x                  ; STA zp,X wraps: $F8
    expect_mem $F8, $63
    ldy #$C0
    stx $40, y                  ; STX zp,Y: $00
    expect_mem $00, $04
    ldx #1
    sty $F0, x                  ; STY zp,X: $F1
    expect_mem $F1, $C0
    lda #<buffer
    sta ptr
    lda #>buffer
    sta ptr + 1
    ldx #0
    lda #$64
    sta (ptr, x)
    expect_mem buffer, $64
    ldy #9
    lda #$65
    sta (ptr), y
    expect_mem buffer + 9, $65

; ------------------------------------------------------------- transfers
    check 11
    lda #$80
    tax
    expect_p $A0
    lda #0
    tay
    expect_p $22
    ldx #$33
    txa
    expect_a $33
    ldy #$44
    tya
    expect_a $44
    tsx
    txa
    expect_a $FF
    ldx #$80
    txs
    tsx
    expect_p $A0                ; TSX sets N; TXS sets nothing
    ldx #$FF
    txs
    ldx #0
    txs                         ; with Z set by LDX, TXS leaves it
    expect_p $22
    ldx #$FF
    txs

; ------------------------------------------------------------- logic
    check 12
    lda #$F0
    ora #$0F
    expect_p $A0
    lda #$F0
    and #$0F
    expect_p $22
    lda #$FF
    eor #$FF
    expect_p $22
    lda #$0C
    sta zp0
    lda #$03
    ora zp0
    expect_a $0F
    lda #$0C
    and zp0
    expect_a $0C
    lda #$0F
    eor zp0
    expect_a $03
    ldx #1
    lda #$80
    ora table, x
    expect_a $81
    lda #$FF
    and table + 5
    expect_a $55
    ldy #6
    lda #$FF
    eor table, y
    expect_a $55
    ldx #0
    lda #<table
    sta ptr
    lda #>table
    sta ptr + 1
    lda #$F0
    ora (ptr, x)
    expect_a $F0
    ldy #4
    lda #$0F
    and (ptr), y
    expect_a $0F
    lda #$0F
    eor (ptr), y
    expect_a $F0
    lda #$C3
    sta zp1
    ldx #1
    lda #$3C
    ora zp0 - 0, x              ; zp,X: zp1
    expect_a $FF
    lda #$FF
    and zp0, x
    expect_a $C3
    lda #$FF
    eor zp0, x
    expect_a $3C
    lda #$10
    ora table + 1, x            ; abs,X
    expect_a $90
    lda #$F0
    and table + 1, x
    expect_a $80
    ldy #1
    lda #$01
    ora (ptr), y
    expect_a $01
    ldx #0
    lda #$FF
    and (ptr, x)
    expect_a $00
    lda #$FF
    eor (ptr, x)
    expect_a $FF
    lda #$00
    eor table + 2, x
    expect_a $80
    ldy #2
    lda #$00
    ora table, y
    expect_a $80
    lda #$FF
    and table, y
    expect_a $80

    check 13                    ; BIT copies bits 7 and 6 and tests A AND M
    lda #$C0
    sta zp0
    lda #$00
    bit zp0
    expect_p $E2
    lda #$FF
    bit table + 5               ; $55: V, not N, not Z
    expect_p $60

; ------------------------------------------------------------- arithmetic
    check 14                    ; binary add
    set_p $20
    lda #$50
    adc #$50
    expect_p $E0                ; N V
    cmp #$A0
    bne fail_far1
    set_p $21
    lda #$FF
    adc #$00
    expect_p $23                ; C Z
    set_p $20
    lda #$80
    adc #$80
    expect_p $63                ; V Z C
    check 15                    ; binary subtract
    set_p $21
    lda #$00
    sbc #$01
    expect_p $A0
    set_p $21
    lda #$80
    sbc #$01
    expect_p $61                ; V C
    set_p $20
    lda #$05
    sbc #$03                    ; borrow in: 1
    expect_a $01
    jmp arithmetic_modes
fail_far1:
    jmp fail

arithmetic_modes:
    check 16                    ; every mode of ADC and SBC
    lda #$10
    sta zp0
    ldx #0
    ldy #0
    clc
    lda #1
    adc zp0
    expect_a $11
    clc
    lda #1
    adc zp0, x
    expect_a $11
    clc
    lda #1
    adc table + 7
    expect_a $43
    clc
    lda #1
    adc table + 7, x
    expect_a $43
    clc
    lda #1
    adc table + 7, y
    expect_a $43
    lda #<(table + 7)
    sta ptr
    lda #>(table + 7)
    sta ptr + 1
    clc
    lda #1
    adc (ptr, x)
    expect_a $43
    clc
    lda #1
    adc (ptr), y
    expect_a $43
    sec
    lda #$20
    sbc zp0
    expect_a $10
    sec
    lda #$20
    sbc zp0, x
    expect_a $10
    sec
    lda #$50
    sbc table + 7
    expect_a $0E
    sec
    lda #$50
    sbc table + 7, x
    expect_a $0E
    sec
    lda #$50
    sbc table + 7, y
    expect_a $0E
    sec
    lda #$50
    sbc (ptr, x)
    expect_a $0E
    sec
    lda #$50
    sbc (ptr), y
    expect_a $0E

    check 17                    ; decimal add and subtract
    sed
    clc
    lda #$19
    adc #$28
    expect_a $47
    clc
    lda #$99
    adc #$01
    php
    cld
    expect_a $00
    pla
    and #$03
    cmp #$03                    ; C and Z
    bne fail_far2
    sed
    sec
    lda #$10
    sbc #$01
    expect_a $09
    sec
    lda #$00
    sbc #$01
    php
    cld
    expect_a $99
    pla
    and #$01
    bne fail_far2               ; borrow out: C clear
    sed
    sec
    lda #$58
    adc #$46                    ; 58 + 46 + 1 = 105
    php
    cld
    expect_a $05
    pla
    and #$01
    beq fail_far2
    cld
    jmp compares
fail_far2:
    jmp fail

compares:
    check 18
    lda #$40
    cmp #$40
    expect_p $23
    lda #$40
    cmp #$41
    expect_p $A0
    lda #$40
    cmp #$3F
    expect_p $21
    ldx #$10
    cpx #$10
    expect_p $23
    ldy #$10
    cpy #$20
    expect_p $A0
    lda #$42
    sta zp0
    lda #$42
    cmp zp0
    expect_p $23
    ldx #0
    cmp zp0, x
    expect_p $23
    cmp table + 7
    expect_p $23
    cmp table + 7, x
    expect_p $23
    ldy #7
    cmp table, y
    expect_p $23
    lda #<(table + 7)
    sta ptr
    lda #>(table + 7)
    sta ptr + 1
    lda #$42
    cmp (ptr, x)
    expect_p $23
    ldy #0
    cmp (ptr), y
    expect_p $23
    ldx #$42
    cpx zp0
    expect_p $23
    cpx table + 7
    expect_p $23
    ldy #$43
    cpy zp0
    expect_p $21
    cpy table + 7
    expect_p $21
    set_p $60                   ; V survives a compare
    lda #1
    cmp #1
    expect_p $63

; ------------------------------------------------- increments, decrements
    check 19
    lda #$FF
    sta zp0
    inc zp0
    expect_p $22
    dec zp0
    expect_p $A0
    ldx #1
    lda #$7F
    sta zp1
    inc zp0, x
    expect_p $A0
    dec zp0, x
    expect_mem zp1, $7F
    lda #0
    sta buffer + 1
    lda #$01
    sta buffer
    dec buffer
    expect_p $22
    inc buffer
    inc buffer
    expect_mem buffer, $02
    inc buffer, x
    dec buffer, x
    dec buffer, x
    expect_mem buffer + 1, $FF
    ldx #$FF
    inx
    expect_p $22
    dex
    expect_p $A0
    ldy #$00
    dey
    expect_p $A0
    iny
    expect_p $22
    set_p $61                   ; C and V survive
    ldx #0
    inx
    expect_p $61

; ------------------------------------------------------- shifts, rotates
    check 20
    set_p $20
    lda #$81
    asl a
    expect_p $21                ; result $02, C
    cmp #$02
    bne fail_far3
    lda #$81
    lsr a
    expect_p $21                ; $40, C
    set_p $21
    lda #$80
    rol a
    expect_p $21                ; $01, C
    set_p $21
    lda #$01
    ror a
    expect_p $A1                ; $80, C
    set_p $20
    lda #$01
    ror a
    expect_p $23                ; $00, C, Z
    jmp memory_shifts
fail_far3:
    jmp fail

memory_shifts:
    check 21
    lda #$40
    sta zp0
    asl zp0
    expect_mem zp0, $80
    lsr zp0
    expect_mem zp0, $40
    sec
    rol zp0
    expect_mem zp0, $81
    sec
    ror zp0
    expect_mem zp0, $C0
    ldx #1
    lda #$03
    sta zp1
    asl zp0, x
    lsr zp0, x
    clc
    rol zp0, x
    clc
    ror zp0, x
    expect_mem zp1, $03
    lda #$11
    sta buffer
    asl buffer
    expect_mem buffer, $22
    lsr buffer
    expect_mem buffer, $11
    sec
    rol buffer
    expect_mem buffer, $23
    clc
    ror buffer
    expect_mem buffer, $11
    ldx #2
    lda #$F0
    sta buffer + 2
    asl buffer, x
    expect_mem buffer + 2, $E0
    lsr buffer, x
    expect_mem buffer + 2, $70
    sec
    rol buffer, x
    expect_mem buffer + 2, $E1
    sec
    ror buffer, x
    expect_mem buffer + 2, $F0

; ------------------------------------------------------------------ flags
    check 22
    set_p $20
    sec
    expect_p $21
    clc
    expect_p $20
    sed
    expect_p $28
    cld
    expect_p $20
    sei
    expect_p $24
    cli
    expect_p $20
    set_p $60
    clv
    expect_p $20
    nop
    expect_p $20

; --------------------------------------------------------------- branches
    check 23
    set_p $20
    bcs @bad
    bvs @bad
    beq @bad
    bmi @bad
    bcc :+
    jmp fail
:   bvc :+
    jmp fail
:   bne :+
    jmp fail
:   bpl :+
    jmp fail
:   set_p $E3
    bcc @bad
    bvc @bad
    bne @bad
    bpl @bad
    bcs :+
    jmp fail
:   bvs :+
    jmp fail
:   beq :+
    jmp fail
:   bmi :+
    jmp fail
:   ldx #3                      ; a backward loop
:   dex
    bne :-
    txa
    expect_a 0
    jmp stack
@bad:
    jmp fail

; ------------------------------------------------------------------ stack
stack:
    check 24
    lda #$5C
    pha
    lda #0
    pla
    expect_p $20
    cmp #$5C
    bne fail_far4
    set_p $20
    lda #$00
    php                         ; bit 4 as held: clear
    pla
    expect_a $22
    lda #$FF
    pha
    plp                         ; every bit, B included, is taken as pulled
    php
    pla
    expect_a $FF
    set_p $20
    check 25                    ; the stack wraps within page one
    tsx
    stx zp0
    ldx #$00
    txs
    lda #$99
    pha
    tsx
    cpx #$FF
    bne fail_far4
    expect_mem $0100, $99
    pla
    tsx
    cpx #$00
    bne fail_far4
    ldx zp0
    txs
    jmp jumps
fail_far4:
    jmp fail

; -------------------------------------------------------------- jumps
jumps:
    check 26
    jmp :+
    jmp fail
:   lda #<jump_target
    sta buffer + $FF
    lda #>jump_target
    sta buffer              ; JMP ($xxFF) takes its high byte from $xx00
    lda #$FF
    sta buffer + $100 & $7FF
    .byte $6C, <(buffer + $FF), >(buffer + $FF)   ; JMP ($02FF)
    jmp fail
jump_target:
    check 27
    lda #<jump_target2
    sta ptr
    lda #>jump_target2
    sta ptr + 1
    jmp (ptr)
    jmp fail
jump_target2:
    check 28                    ; JSR pushes its own last byte's address
    tsx
    stx zp0
jsr_site:
    jsr subroutine
    expect_a $99
    ldx zp0
    txs
    jmp interrupts

subroutine:
    tsx
    lda $0101, x                ; return address low byte: the JSR's last byte
    cmp #<(jsr_site + 2)
    bne fail_far5
    lda $0102, x
    cmp #>(jsr_site + 2)
    bne fail_far5
    lda #$99
    rts
fail_far5:
    jmp fail

; ------------------------------------------------------------- BRK and RTI
interrupts:
    check 29
    lda #0
    sta brk_seen
    set_p $20
brk_site:
    brk
    .byte $EA                   ; the byte BRK skips
    ; RTI brought back the pushed status, B set
    php
    pla
    cmp #$30
    bne fail_far5
    expect_mem brk_seen, 1
    set_p $20
    check 30                    ; RTI adds nothing to the pulled address
    lda #>rti_target
    pha
    lda #<rti_target
    pha
    lda #$E3
    pha
    rti
    jmp fail
rti_target:
    expect_p $E3
    set_p $20
    jmp pass

irq:
    ; BRK: pushed status has B set; I is set now; return address is BRK + 2.
    pha
    php
    pla
    and #$14
    cmp #$14
    bne fail_far5
    tsx
    lda $0102, x                ; pushed status (after our PHA)
    cmp #$30
    bne fail_far5
    lda $0103, x                ; return address: BRK + 2
    cmp #<(brk_site + 2)
    bne fail_far5
    lda $0104, x
    cmp #>(brk_site + 2)
    bne fail_far5
    lda #1
    sta brk_seen
    pla
    rti

nmi:
    rti

.segment "VECTORS"
    .word nmi, reset, irq
