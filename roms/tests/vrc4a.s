; mapper 21 (VRC4a): register lines on A1 and A2.
MAPPER = 21
LINE0 = 1
LINE1 = 2
.include "vrc.inc"
.segment "RODATA"
test_name: .byte "vrc4a", 0
