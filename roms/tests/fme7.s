; mapper 69 (FME-7): three 8 KB PRG banks through commands 9-11, the last
; fixed, 1 KB CHR banks through commands 0-7, the arrangements (command 12)
; and the cycle counter's interrupt (commands 13-15), answered by command 13.
.include "mapper_probe.inc"

.segment "HEADER"
    .byte "NES", $1A, 8, 8, $50, $40, 0, 0, 0, 0, 0, 0, 0, 0
unit_signatures 15

.segment "RODATA"
test_name: .byte "fme7", 0

.segment "RAMCODE"
select:
    ldx #9
    stx $8000
    sta $A000
select_home:
    rts

.segment "CODE"
.macro command c, value
    lda #c
    sta $8000
    lda #value
    sta $A000
.endmacro

reset:
    probe_start
    check 1
    expect_prg 3, 3, 1, 2, 15
    command 10, 7
    command 11, 9
    command 3, 40
    expect_prg 4, 4, 7, 9, 15
    expect_chr 3, 40
    expect_chr 4, 4
    check 2
    command 12, 0
    expect_arrangement $33, $44
    command 12, 1
    expect_arrangement $22, $22
    command 12, 3
    expect_arrangement $44, $44
    check 3                     ; 1000 cycles on: one interrupt in a frame
    jsr wait_nmi
    lda #0
    sta irq_count
    command 14, <1000
    command 15, >1000
    command 13, $81
    cli
    jsr wait_nmi
    sei
    expect_mem irq_count, 1
    jmp pass

irq:
    pha
    inc irq_count
    command 13, $80
    pla
    rti
