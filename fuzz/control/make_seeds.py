#!/usr/bin/env python3
"""Writes the seed corpus of the control-service harness (fuzz/corpus/control/): scripts in
the harness's command language, one file each. Run from anywhere."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus", "control")

MESSAGE, RAW, REQUEST, CONTROL_WRITE, CLOSE, OPEN, TIME, FAR_TOGGLE, TAKE, ANSWER = range(10)


def start(bindings, config=0x02):
    """bindings: one byte each: bits 0-2 service (1..5 -> 1, 2, 3, 5, 254; else none), bit 3
    a client id held, bits 4-7 the client id. config 0x02: "SupportNewHWID" missing,
    releases answered; | 0x10 never answered."""
    return bytes([config, len(bindings) - 1]) + bytes(bindings)


def client_id_request(slot, service_index):
    return bytes([REQUEST, 0, slot, service_index])


def value_request(slot, value, value16):
    return bytes([REQUEST, 1, slot]) + struct.pack("<IH", value, value16)


def table_request(slot):
    return bytes([REQUEST, 2, slot])


def release_request(slot, service, client):
    # kind 2 body: service type (4 bytes), client id; descriptor port 0
    body = struct.pack("<I", service) + bytes([client]) + b"\x00" * 19
    return bytes([REQUEST, 3, slot, 0, 0, 0]) + body


def message(result, tlvs, newest=0, type_choice=0, length_choice=0, frame_choice=0,
            client_choice=0):
    """A control message answering the `newest`-th newest request on the wire. result: the
    result selector (0 ok, 2 error 31, 5 none); tlvs: the answer-shape bytes."""
    return (bytes([MESSAGE, type_choice, newest << 2, 0, result]) + tlvs
            + bytes([length_choice, client_choice, 0, frame_choice]))


def grant(service, client):
    return bytes([0, service, client])  # shape 0: TLV 0x01 of two bytes


def values(*vals):
    out = bytes([0, len(vals)])
    for v in vals:
        out += bytes([0]) + struct.pack("<H", v)  # type selector 0: TLV 0x10 of 2 bytes
    return out


def table(first, second=None, shape=True):
    """first/second: lists of (service, value1, value2), of the same length. shape: with the
    answer-shape byte a control message starts its TLVs with."""
    out = (b"\x00" if shape else b"") + bytes([len(first), len(first)])
    for s, a, b in first:
        out += struct.pack("<BHH", s, a, b)
    if second is None:
        return out + b"\x00"  # second-list selector 0: none
    assert len(second) == len(first)
    out += bytes([1, 0xAA, len(second)])  # selector 1: TLV 0x10 of one byte, count, entries
    for s, a, b in second:
        out += struct.pack("<BHH", s, a, b)
    return out


SEEDS = {
    "grant": start([1, 2]) + client_id_request(0, 1) + bytes([TAKE])
    + message(0, grant(2, 7)) + bytes([TIME, 1, CLOSE, 0]),
    "refused_31": start([1]) + client_id_request(0, 0) + bytes([TAKE]) + message(2, b"\x03\x00"),
    "value_two_tlvs": start([0]) + value_request(0, 0x12345678, 0x10) + bytes([TAKE])
    + message(0, values(0x1111, 0x2222)),
    "port_open_table_answered": start([1]) + bytes([ANSWER, 0]) + table([(1, 1, 0)], shape=False),
    "table_both_lists": start([1, 3]) + table_request(0) + bytes([TAKE])
    + message(0, table([(1, 1, 2), (3, 4, 5)], [(1, 6, 7), (3, 8, 9)])) + bytes([TIME, 2]),
    "release_answered": start([0x79]) + release_request(0, 1, 7) + bytes([TAKE])
    + message(0, grant(1, 7)),
    "indication_and_request": start([1]) + client_id_request(0, 0) + bytes([TAKE])
    + message(0, grant(1, 3), type_choice=6) + message(0, grant(1, 3), type_choice=5),
    "length_off_and_cut": start([1]) + client_id_request(0, 0) + bytes([TAKE])
    + message(0, grant(1, 3), length_choice=5) + message(0, grant(1, 3), frame_choice=6)
    + b"\x05" + message(0, grant(1, 3)) + message(0, grant(1, 4)),
    "close_holding_id": start([0x19, 0x22], config=0x12) + bytes([CLOSE, 0, TIME, 5]),
    "port_loss_with_requests": start([1, 2]) + client_id_request(0, 1) + value_request(1, 1, 2)
    + bytes([FAR_TOGGLE, TIME, 4, FAR_TOGGLE, TIME, 4, TAKE]) + message(0, grant(2, 9)),
    "unbound_control_write": start([0]) + bytes([CONTROL_WRITE, 0, 0]) + b"\x00\x00\x22\x00\x00\x00"
    + bytes([TIME, 1, TAKE]) + message(0, grant(1, 1)),
    "broadcast_to_control": start([0]) + message(0, grant(1, 1), type_choice=6, client_choice=7),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
