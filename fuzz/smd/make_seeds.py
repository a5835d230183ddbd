#!/usr/bin/env python3
"""Writes the seed corpus of the SMD-side harness (fuzz/corpus/smd/), one script per file in
the command language smd_fuzzer.cpp describes. Run from anywhere."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus", "smd")

CHUNK, OPEN, CLOSE, FAULT, CLEAR, PASS, IFACE, SURPRISE, NEWDEV, SEND, TAKE, HOOK = range(12)
# fault targets and kinds
T_OPEN, T_CLOSE, T_PENDING, T_READ, T_WRITE = range(5)
K_FAIL, K_NEVER, K_COUNT = range(3)
# indices into the harness's delay table: 0, 1, 10, 100, 999, 1000, 1001, 2000, 3000, 5000 ms
D_100, D_1000, D_2000, D_3000, D_5000 = 3, 5, 7, 8, 9


def chunk(data):
    return bytes([CHUNK]) + struct.pack("<H", len(data)) + data


def fault(target, kind, status=0, count=0, times=1):
    return bytes([FAULT, target, kind, status]) + struct.pack("<H", count) + bytes([times - 1])


def wait(index):
    return bytes([PASS, index])


def frame(svc, cid, message):
    return bytes([0x01]) + struct.pack("<H", len(message) + 5) + bytes([0, svc, cid]) + message


SERVICE_MSG = bytes([0x02, 0x01, 0x00, 0x22, 0x00, 0x00, 0x00])
CONTROL_ANSWER = bytes([0x01, 0x01, 0x21, 0x00, 0x00, 0x00])

SEEDS = {
    "idle": bytes([2]),
    "frames_in_and_out": bytes([2]) + chunk(frame(5, 0xFF, SERVICE_MSG))
    + chunk(frame(0, 0, CONTROL_ANSWER)) + bytes([SEND, 5, 1, 7]) + SERVICE_MSG + wait(D_100)
    + bytes([TAKE]),
    "close_and_reopen": bytes([1, CLOSE]) + wait(D_100) + bytes([OPEN]) + wait(D_2000)
    + bytes([TAKE, CLOSE, OPEN, CLOSE]) + wait(D_1000) + bytes([OPEN]) + wait(D_2000),
    "read_faults": bytes([0]) + fault(T_READ, K_COUNT, count=3, times=2) + chunk(b"\x01\x02")
    + fault(T_READ, K_FAIL, status=7) + chunk(frame(5, 1, SERVICE_MSG)) + wait(D_1000)
    + chunk(bytes(9000)) + wait(D_100),
    "pending_lies": bytes([2]) + fault(T_PENDING, K_COUNT, count=8193, times=4)
    + chunk(b"\x01") + wait(D_5000) + fault(T_PENDING, K_NEVER) + chunk(b"\x02") + wait(D_3000),
    "controls_fail_on_reopen": bytes([2]) + fault(T_CLOSE, K_FAIL, status=1) + bytes([CLOSE])
    + wait(D_1000) + bytes([CLEAR]) + fault(T_OPEN, K_NEVER) + bytes([IFACE, 1, IFACE, 0])
    + wait(D_5000),
    "bounded_shutdown_with_held_close": bytes([0]) + fault(T_CLOSE, K_NEVER, times=4)
    + fault(T_OPEN, K_NEVER, times=4) + bytes([IFACE, 1, IFACE, 0]) + wait(D_100),
    "surprise_removal_and_new_device": bytes([1, SURPRISE]) + wait(D_1000) + bytes([NEWDEV])
    + wait(D_1000) + bytes([OPEN]) + wait(D_2000) + chunk(frame(5, 0xFF, SERVICE_MSG))
    + bytes([SEND, 1, 2, 0, TAKE]),
    "writes_fail": bytes([2]) + fault(T_WRITE, K_FAIL, status=2, times=3)
    + bytes([HOOK, 1, SEND, 7, 7, 1, 0, SEND, 7, 7, 1, 1, CLOSE]) + bytes([SEND, 7, 7, 1, 2])
    + wait(D_100) + bytes([OPEN]) + wait(D_2000) + bytes([HOOK, 0, TAKE]),
}

os.makedirs(OUT, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
