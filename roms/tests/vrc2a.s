; mapper 22 (VRC2a): register lines on A1 and A0, CHR banks from bit 1.
MAPPER = 22
LINE0 = 1
LINE1 = 0
.include "vrc.inc"
.segment "RODATA"
test_name: .byte "vrc2a", 0
