#!/usr/bin/env python3
"""Writes the seed corpus of the I/O-control harness (fuzz/corpus/ioctl/): scripts in the
harness's command language (fuzz/ioctl/ioctl_fuzzer.cpp, controls.cpp), one file each.
Run from anywhere."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus", "ioctl")

(OPEN, CONTROL, CONTROL2, CONTROL3, EXITING, PROGRAM, CLOSE, CANCEL_IO, CANCEL_IO_EX, POLICY,
 ANSWER, TIME, FAR_CLOSE, FAR_OPEN, MESSAGE, CHECK) = range(16)

# Driver codes by index in controls.cpp.
(RESET, SUBMIT, STOP, READ_MESSAGE, CLIENT_ID, SERVICE_TWO, BIND, BIND_2, OPEN_EVENT,
 OPEN_EVENT_W, CLOSE_EVENT, VALUE, READ_NOTIFICATION) = range(13)

# Content shapes and length choices.
STRUCTURED, RAW, ZEROS, UNTERMINATED = range(4)
NATURAL, ALTERNATIVE, EMPTY, ONE_LESS, ONE_MORE, FEW, LONG, ANY = range(8)

# Modem request kinds, policies and answer styles (far_modem.h).
TABLE, IDS, RELEASE, VALUES, S2, OTHER = range(6)
AT_ONCE, HOLD, NEVER = range(3)
CORRECT, TWICE, WRONG_ID, ERROR, REFUSED, SHORT = range(6)

# Service and port choices of a structured binding input.
SERVICE = {0: 0, 1: 1, 2: 2, 3: 3, 5: 4, 254: 5, 255: 6, 256: 7}
PORT = {0: 0, 1: 3, 28: 4, 29: 5}


def start(opens=(0,), config=0x02):
    """config 0x02: "SupportNewHWID" missing; | 0x10 releases never answered, | 0x20 the
    service table held, | 0x40 client ids held. opens: one flags byte per handle (bit 0
    synchronous)."""
    return bytes([config, len(opens) - 1]) + bytes(opens)


def ctl(code, content=STRUCTURED, inlen=NATURAL, outlen=NATURAL, extra=b"", code32=None):
    """A control: its code index (or a selector byte: 0xC0.. a code next to the driver's,
    0xF0.. any code32), shape, then what the content and length choices read. Codes without
    a structured input of their own read a length byte (0 here) for it."""
    head = bytes([code]) + (struct.pack("<I", code32) if code >= 0xF0 else b"")
    if content == STRUCTURED and not extra and code not in (
            CLIENT_ID, BIND, BIND_2, VALUE, OPEN_EVENT, OPEN_EVENT_W, CLOSE_EVENT, SUBMIT):
        extra = b"\x00"
    return head + bytes([content | inlen << 2 | outlen << 5]) + extra


def on(slot, control, op=CONTROL):
    return bytes([op, slot]) + control


def binding(code, service, port=None, inlen=None, outlen=NATURAL):
    extra = bytes([SERVICE[service], PORT[port or 0]])
    if inlen is None:
        inlen = ALTERNATIVE if port is not None else NATURAL
    return ctl(code, STRUCTURED, inlen, outlen, extra)


def value_query(value, value16, port=0):
    return ctl(VALUE, STRUCTURED, NATURAL, NATURAL,
               struct.pack("<IH", value, value16) + bytes([PORT[port]]))


def event(code, name):
    return ctl(code, STRUCTURED, NATURAL, NATURAL, bytes([name]))


def close_event(newest=0):
    return ctl(CLOSE_EVENT, STRUCTURED, NATURAL, NATURAL, bytes([newest << 2]))


def submit(kind, key_choice=0, port=0, service=1, client=0, body=b"", whole=False):
    extra = bytes([kind, key_choice]) + struct.pack("<I", 0x5A5A0001)
    extra += bytes([PORT[port], SERVICE[service], client, len(body)]) + body
    return ctl(SUBMIT, STRUCTURED, ALTERNATIVE if whole else NATURAL, NATURAL, extra)


def policy(kind, what, style=CORRECT, value=0x4321):
    return bytes([POLICY, kind, what | style << 2]) + struct.pack("<H", value)


def answer(index=0, style=CORRECT, keep=False, value=0x2468, cancel_slot=None):
    flags = (0x80 if keep else 0) | (0x40 if cancel_slot is not None else 0)
    out = bytes([ANSWER, index, style | flags]) + struct.pack("<H", value)
    return out + (bytes([cancel_slot]) if cancel_slot is not None else b"")


def time(selector):
    """0, 1, 10, 100, 1000, 4900, 5000, 5100 ms."""
    return bytes([TIME, selector])


def message(service_index=0, granted=0, broadcast=False, body=b"\x10\x00\x00"):
    choice = 3 if broadcast else granted << 2
    return bytes([MESSAGE, service_index, choice, 4, len(body)]) + b"\x01\x02\x00\x22\x00\x00\x00" + body


SEEDS = {
    "bind_versions": start() + on(0, binding(BIND, 3)) + on(0, binding(BIND_2, 1, port=1))
    + on(0, binding(BIND, 254, outlen=ALTERNATIVE)) + on(0, binding(BIND, 255))
    + on(0, binding(BIND, 1, port=29)) + bytes([CHECK]),
    "client_id_and_message": start() + on(0, binding(BIND, 1)) + on(0, binding(CLIENT_ID, 1))
    + time(2) + bytes([CHECK]) + on(0, ctl(READ_MESSAGE)) + message(0, 0) + time(1)
    + bytes([CHECK]) + on(0, ctl(READ_NOTIFICATION)) + bytes([CHECK]),
    "client_id_late_and_twice": start(config=0x42) + on(0, binding(CLIENT_ID, 2)) + time(7)
    + answer(0, CORRECT) + on(0, binding(CLIENT_ID, 3)) + time(3) + answer(0, TWICE)
    + policy(IDS, AT_ONCE, REFUSED) + on(0, binding(CLIENT_ID, 1)) + bytes([CHECK]),
    "client_id_cancelled": start((0, 0), config=0x42) + on(0, binding(CLIENT_ID, 1))
    + time(3) + bytes([CANCEL_IO, 0]) + on(0, value_query(7, 8)) + on(1, binding(CLIENT_ID, 5))
    + bytes([CANCEL_IO_EX, 1, 1]) + bytes([CHECK]),
    "value_queries": start() + on(0, value_query(1, 2)) + policy(VALUES, AT_ONCE, SHORT)
    + on(0, value_query(3, 4, port=28)) + policy(VALUES, HOLD) + on(0, value_query(5, 6))
    + time(5) + answer(0, WRONG_ID) + time(7) + answer(0, ERROR) + bytes([CHECK]),
    "service_two_query": start() + on(0, binding(BIND, 2)) + on(0, binding(CLIENT_ID, 2))
    + on(0, ctl(SERVICE_TWO))
    + policy(S2, AT_ONCE, TWICE) + on(0, ctl(SERVICE_TWO, outlen=ALTERNATIVE))
    + on(0, ctl(READ_MESSAGE)) + policy(S2, NEVER) + on(0, ctl(SERVICE_TWO)) + time(7)
    + bytes([CHECK]),
    "named_events": start() + on(0, event(OPEN_EVENT, 0)) + on(0, event(OPEN_EVENT_W, 0))
    + on(0, event(OPEN_EVENT, 1)) + bytes([CHECK]) + on(0, close_event(0))
    + on(0, event(OPEN_EVENT_W, 6)) + on(0, event(OPEN_EVENT_W, 7)) + on(0, event(OPEN_EVENT, 4))
    + on(0, event(OPEN_EVENT, 5)) + on(0, event(OPEN_EVENT, 9)) + on(0, event(OPEN_EVENT_W, 8))
    + on(0, ctl(OPEN_EVENT, UNTERMINATED, LONG, NATURAL, b"\x07")) + bytes([CHECK]),
    "reset_stop_reads": start() + on(0, ctl(RESET)) + on(0, ctl(RESET, ZEROS, ONE_MORE))
    + on(0, ctl(STOP, RAW, NATURAL, NATURAL, b"\x04abcd")) + on(0, ctl(READ_MESSAGE))
    + on(0, ctl(READ_MESSAGE)) + on(0, ctl(READ_NOTIFICATION, outlen=ONE_LESS))
    + on(0, ctl(READ_NOTIFICATION)) + bytes([CLOSE, 0]),
    "submitted_requests": start() + on(0, submit(1, service=2)) + on(0, submit(3))
    + on(0, submit(11)) + on(0, submit(0, body=b"\x00\x01\x00\x10\x00\x00\x00"))
    + on(0, submit(6)) + on(0, submit(2, key_choice=1, whole=True))
    + on(0, submit(14, port=29)) + time(3) + bytes([CHECK]),
    "synchronous_handles": start((1, 0)) + on(0, binding(BIND, 3)) + on(0, binding(CLIENT_ID, 3))
    + on(0x80, ctl(READ_MESSAGE)) + on(1, ctl(READ_NOTIFICATION)) + time(3) + bytes([CLOSE, 0])
    + bytes([OPEN, 2, 1]) + on(2, value_query(9, 9)) + bytes([CHECK]),
    "thread_and_program_exit": start(config=0x42) + on(0, binding(CLIENT_ID, 1), op=EXITING)
    + on(0, ctl(READ_MESSAGE), op=EXITING)
    + bytes([PROGRAM, 2, 2]) + binding(CLIENT_ID, 2) + ctl(READ_NOTIFICATION) + value_query(1, 1)
    + bytes([PROGRAM, 0, 0x11]) + binding(CLIENT_ID, 3) + bytes([PROGRAM, 0, 0x08])
    + ctl(BIND) + b"\x01\x00" + bytes([CHECK]),
    "answer_racing_cancel": start((0, 0), config=0x42) + on(0, binding(CLIENT_ID, 1))
    + answer(0, CORRECT, cancel_slot=0) + policy(VALUES, HOLD) + on(1, value_query(2, 3))
    + time(4) + answer(0, TWICE, cancel_slot=1) + on(1, value_query(4, 5)) + time(3)
    + answer(0, CORRECT, cancel_slot=1) + bytes([CHECK]),
    "port_loss_pending": start((0, 0), config=0x42) + on(0, binding(CLIENT_ID, 1))
    + on(1, ctl(READ_NOTIFICATION)) + on(1, binding(BIND, 3)) + bytes([FAR_CLOSE]) + time(4)
    + on(1, ctl(RESET)) + bytes([FAR_OPEN]) + time(4) + bytes([CHECK]),
    "odd_codes": start() + on(0, ctl(0xC0, RAW, LONG, LONG, b"\x03xyz\x07\x07"))
    + on(0, ctl(0xC5)) + on(0, ctl(0xCA, ZEROS, FEW, FEW, b"\x05\x09"))
    + on(0, ctl(0xF3, RAW, ANY, ANY, b"\x02ab\x00\x10\x00\x08", code32=0x0001243C))
    + on(0, ctl(0xCF)) + bytes([CHECK]),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
