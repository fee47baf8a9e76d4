#!/usr/bin/env python3
# Writes the seeds of tftpengine_fuzz into tests/fuzz/corpus/tftpengine_fuzz/
# (see the input layout at the top of tftpengine_fuzz.cpp).
import os

OACK, ONCE, STRICT, SHRINK, FAIL = 1, 2, 4, 8, 16


def seed(flags, block, window, size, shrink, events):
    if block < 32:
        b1, b2 = 1, block - 8
    else:
        b1, b2 = ((block - 8) >> 8) << 1, (block - 8) & 0xff
    head = [flags, b1, b2, window - 1, size >> 16 & 0xff, size >> 8 & 0xff, size & 0xff, shrink]
    return bytes(head + events)


ACK_LAST, TIMEOUT, RUN = 0x00, 0x8a, 0xdf  # 1000 ms; 1024 ACKs
SEEDS = {
    "lockstep": seed(0, 512, 1, 1030, 0, [ACK_LAST] * 3),
    "window-loss": seed(STRICT, 100, 4, 1030, 0,
                        [0x40, ACK_LAST, 0x85, TIMEOUT, ACK_LAST, ACK_LAST, 0x01, ACK_LAST, ACK_LAST]),
    "rollover": seed(STRICT, 8, 16, 65540 * 8 + 3, 0, [RUN] * 5),
    "rollover-lockstep": seed(0, 8, 1, 65540 * 8 + 3, 0, [RUN] * 65),
    "oack-lost": seed(OACK | STRICT, 512, 8, 5000, 0,
                      [TIMEOUT, 0xa4, 0, 4, 0, 0] + [ACK_LAST] * 3),
    "oack-once": seed(OACK | ONCE, 512, 1, 700, 0, [0x05, ACK_LAST, ACK_LAST]),
    "shrink": seed(STRICT | SHRINK, 100, 4, 1030, 180, [ACK_LAST] * 4),
    "error": seed(STRICT, 512, 2, 3000, 0, [ACK_LAST, 0xe0]),
    "junk": seed(STRICT, 64, 3, 900, 0, [0xa3, 1, 2, 3, 0xe1, 0xe6, 0x41, ACK_LAST, 0x3f] + [ACK_LAST] * 5),
}

folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "tftpengine_fuzz")
os.makedirs(folder, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(folder, name + ".bin"), "wb") as f:
        f.write(data)
