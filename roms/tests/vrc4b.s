; mapper 25 (VRC4b): register lines on A1 and A0.
MAPPER = 25
LINE0 = 1
LINE1 = 0
.include "vrc.inc"
.segment "RODATA"
test_name: .byte "vrc4b", 0
