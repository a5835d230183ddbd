#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses: valid frames and messages of every shape
the driver meets, one file each. Run from anywhere; it writes next to itself."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def tlv(t, value):
    return bytes([t]) + struct.pack("<H", len(value)) + value


def control(msg_type, txn, msg_id, tlvs):
    body = b"".join(tlvs)
    return bytes([msg_type, txn]) + struct.pack("<HH", msg_id, len(body)) + body


def service(msg_type, txn, msg_id, tlvs):
    body = b"".join(tlvs)
    return bytes([msg_type]) + struct.pack("<HHH", txn, msg_id, len(body)) + body


def frame(svc, cid, message, flags=0):
    return bytes([0x01]) + struct.pack("<H", len(message) + 5) + bytes([flags, svc, cid]) + message


RESULT_OK = tlv(0x02, struct.pack("<HH", 0, 0))
RESULT_ERR31 = tlv(0x02, struct.pack("<HH", 1, 31))

FRAMES = {
    "alloc_response": frame(0, 0, control(1, 1, 0x22, [RESULT_OK, tlv(0x01, bytes([5, 7]))])),
    "alloc_refused": frame(0, 0, control(1, 2, 0x22, [RESULT_ERR31])),
    "release_response": frame(0, 0, control(1, 3, 0x23, [RESULT_OK, tlv(0x01, bytes([5, 7]))])),
    "value_response": frame(0, 0, control(1, 4, 0x26, [RESULT_OK, tlv(0x10, b"\x34\x12"),
                                                        tlv(0x10, b"\x78\x56")])),
    "service_table": frame(0, 0, control(1, 5, 0x21, [
        RESULT_OK, tlv(0x01, bytes([2, 1, 1, 0, 2, 0, 5, 3, 0, 4, 0])),
        tlv(0x10, bytes([1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0]))])),
    "control_indication": frame(0, 0, control(2, 0, 0x0A, [tlv(0x11, b"\x01")])),
    "port_open_answer": frame(0, 0, control(1, 1, 0x27, [RESULT_OK])),
    "control_broadcast": frame(0, 0xFF, control(2, 0, 0x0A, [])),
    "unicast_shared_id": frame(5, 7, service(1, 0x1234, 0x0030, [tlv(0x01, b"hello")]), 0x80),
    "unicast_no_owner": frame(5, 9, service(1, 1, 0x0030, [])),
    "service_two_reply": frame(2, 3, service(1, 0, 0x0025, [
        tlv(0x01, b"\x00\x00\x00\x00" + tlv(0x12, b"reply-data"))])),
    "broadcast": frame(254, 0xFF, service(2, 7, 0x0001, [tlv(0x01, b"\x01\x02")])),
    "indication_type2": frame(1, 0, service(2, 0, 0x0002, [])),
}


def write(directory, name, data):
    path = os.path.join(HERE, directory)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def main():
    for name, f in FRAMES.items():
        # The codec harness reads the service message of each frame and the frame itself.
        write("codec", name, f[6:])
        write("codec", name + "_frame", f)
        write("framedecode", name, f)
        # The demux harness: command 0 (frame), a port selector, the length, the frame.
        for port in (0, 1):
            write("demux", f"{name}_port{port}", bytes([0, port]) + struct.pack("<H", len(f)) + f)
    # Table changes followed by traffic: register id 9 for key 1, then a frame to it;
    # purge key 3, then the frame for the shared id; then a send.
    to9 = FRAMES["unicast_no_owner"]
    write("demux", "register_then_route",
          bytes([1, 0, 0, 5, 9, 0, 0]) + struct.pack("<H", len(to9)) + to9)
    shared = FRAMES["unicast_shared_id"]
    write("demux", "purge_then_route",
          bytes([3, 2, 0, 0]) + struct.pack("<H", len(shared)) + shared)
    write("demux", "release_then_send", bytes([2, 0, 0, 5, 7, 4, 0, 5, 7, 16, 0]))


if __name__ == "__main__":
    main()
