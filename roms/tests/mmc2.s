; mapper 9 (MMC2): 8 KB at $8000, the last three fixed.
MAPPER = 9
PRG_UNITS = 1
.include "mmc2.inc"
.segment "RODATA"
test_name: .byte "mmc2", 0
