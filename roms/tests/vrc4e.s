; mapper 23 (VRC4e): register lines on A2 and A3.
MAPPER = 23
LINE0 = 2
LINE1 = 3
.include "vrc.inc"
.segment "RODATA"
test_name: .byte "vrc4e", 0
