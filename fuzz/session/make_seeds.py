#!/usr/bin/env python3
"""Writes the seed corpus of the session-traffic harness (fuzz/corpus/session/): scripts in
the harness's command language, one file each. Run from anywhere."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus", "session")

WRITE, READ, UNICAST, BROADCAST, RAW, FAR_CLOSE, FAR_OPEN, CLOSE, OPEN, CANCEL, TIME, CHECK = range(12)


def binding(service, client, held=True, registered=True):
    """service: 0 none, 1..3 (services 2, 5, 254); client: 0..2 (ids 0, 1, 7)."""
    return bytes([service | client << 2 | (0x10 if held else 0) | (0x20 if registered else 0)])


def start(sessions, config=0x02):
    """config: 0x02 "SupportNewHWID" missing, releases answered; | 0x10 never answered."""
    return bytes([config, len(sessions) - 1]) + b"".join(sessions)


def write(slot, selector, data=b""):
    return bytes([WRITE, slot, selector]) + data


def write_seven(slot, message=b"\x01\x10\x00\x20\x00\x00\x00"):
    return write(slot, 2, message)


def read(slot, selector=4):
    return bytes([READ, slot, selector])


def unicast(slot, type2=True, body=b""):
    # type selector (even: type 2), length selector 1 (7 + n bytes), n, bytes
    return bytes([UNICAST, slot, 0 if type2 else 9, 1, len(body)]) + b"\x00" * 7 + body


def broadcast(service_index, type2=False):
    return bytes([BROADCAST, service_index, 0 if type2 else 7, 0]) + b"\x00" * 7


def time(selector):
    return bytes([TIME, selector])


SEEDS = {
    "write_read_unicast": start([binding(1, 1)]) + read(0) + unicast(0) + bytes([CHECK])
    + write_seven(0) + bytes([CHECK]),
    "fifteen_writes_then_type2": start([binding(1, 1)]) + write_seven(0) * 17 + bytes([CHECK])
    + (unicast(0) + read(0)) * 3 + bytes([CHECK]),
    "write_lengths": start([binding(2, 2)]) + write(0, 0) + write(0, 1, b"\x01")
    + write(0, 3, b"\x04" + b"\x02" * 5) + write(0, 5) + write(0, 6) + write(0, 7, b"\x10\x00")
    + bytes([CHECK]),
    "small_reads_broadcast": start([binding(1, 1), binding(1, 2, held=False)])
    + read(0, 0) + read(1, 1) + broadcast(1) + broadcast(1, True) + read(0) + read(1)
    + bytes([CHECK]),
    "port_loss_pending": start([binding(1, 1), binding(3, 0)]) + read(0) + write_seven(1) * 16
    + bytes([FAR_CLOSE]) + time(4) + bytes([FAR_OPEN]) + time(4) + read(1) + bytes([CHECK]),
    "close_with_pending": start([binding(1, 1), binding(1, 2)]) + read(0) + read(0)
    + write_seven(0) * 17 + bytes([CLOSE, 0]) + unicast(1) + bytes([CHECK]),
    "unbound_control_write": start([binding(0, 0), binding(2, 1)])
    + write(0, 3, b"\x06\x00\x01\x22\x00\x00") + broadcast(0) + read(0) + bytes([CANCEL, 1])
    + bytes([CHECK]),
    "release_never_answered": start([binding(1, 1), binding(2, 2)], config=0x12) + bytes([CLOSE, 0])
    + bytes([OPEN, 0]) + binding(3, 1) + time(5) + bytes([CHECK]),
    "raw_frame": start([binding(1, 1)]) + bytes([RAW]) + struct.pack("<H", 13)
    + b"\x01\x0c\x00\x00\x02\x01\x02\x00\x00\x30\x00\x00\x00" + read(0) + bytes([CHECK]),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
