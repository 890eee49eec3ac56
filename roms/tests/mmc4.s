; mapper 10 (MMC4): 16 KB at $8000, the last fixed.
MAPPER = 10
PRG_UNITS = 2
.include "mmc2.inc"
.segment "RODATA"
test_name: .byte "mmc4", 0
