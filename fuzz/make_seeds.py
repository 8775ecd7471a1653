#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (fuzz/corpus/<target>/).

The targets read their input with libFuzzer's FuzzedDataProvider: byte strings from the front,
numbers from the back. Each seed here is a plausible exchange laid out that way."""

import os
import sys


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def packet(id_, body):
    length = len(body) + 2
    frame = bytes([0xFF, 0xFF, 0xFD, 0x00, id_, length & 0xFF, length >> 8]) + body
    crc = crc16(frame)
    return frame + bytes([crc & 0xFF, crc >> 8])


def status(id_, error, params=b""):
    return packet(id_, bytes([0x55, error]) + params)


class Input:
    """Front bytes and back numbers, in the order the target consumes them."""

    def __init__(self):
        self.front = b""
        self.back = []  # one entry per number: its bytes, most significant first

    def data(self, raw):
        self.front += raw

    def number(self, value, byte_count=1):
        self.back.append(value.to_bytes(byte_count, "big"))

    def bytes(self):
        tail = b""
        for number in self.back:
            tail = number + tail  # consumed from the end, most significant byte first
        return self.front + tail


def framer_seed(transactions):
    seed = Input()
    for index, (id_, data_bytes, chunks) in enumerate(transactions):
        if index > 0:
            seed.number(0)  # start a new transaction
        seed.number(id_)
        seed.number(data_bytes)
        for chunk_index, chunk in enumerate(chunks):
            seed.number(len(chunk), 2)
            seed.data(chunk)
            if chunk_index + 1 < len(chunks):
                seed.number(1)  # same transaction
    return seed.bytes()


def servobus_seed(model_v1, second_id, requests):
    seed = Input()
    seed.number(1 if model_v1 else 0)
    seed.number(second_id)
    seed.number(1)  # no random faults
    for id_, code, params in requests:
        seed.number(0)  # an instruction packet built by the target
        seed.number(id_)
        seed.number(code)
        seed.number(len(params))
        seed.data(params)
        seed.number(1)  # line at 1,000,000 baud
        seed.number(2000, 3)  # 2 ms later
    return seed.bytes()


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    table = bytes(range(118))
    read_answer = status(1, 0, table)
    ack = status(1, 0)
    seeds = {
        "fuzz_statuspacketframer": {
            "read-answer": framer_seed([(1, 118, [read_answer])]),
            "read-answer-split": framer_seed([(1, 118, [read_answer[:5], read_answer[5:60], read_answer[60:]])]),
            "write-ack": framer_seed([(1, 0, [ack])]),
            "refused-read": framer_seed([(1, 118, [b"\x12\xff\xff" + status(1, 0x04)])]),
            "late-answer-then-ack": framer_seed([(1, 0, [read_answer + ack])]),
            "other-servo-then-ping": framer_seed([(3, 3, [status(4, 0, b"\x01\x04\x03") + status(3, 0, b"\x01\x04\x03")])]),
            "broadcast-train": framer_seed([(0xFE, 3, [status(1, 0, b"\x01\x04\x03") + status(5, 0, b"\x01\x04\x03")])]),
            "two-transactions": framer_seed([(1, 4, [status(1, 0, b"abcd")]), (1, 0, [ack[:7], ack[7:]])]),
        },
        "fuzz_servobus": {
            "ping": servobus_seed(True, 5, [(1, 0x01, b"")]),
            "read-all": servobus_seed(True, 5, [(1, 0x02, b"\x00\x00\x76\x00")]),
            "write-and-read": servobus_seed(True, 5, [(1, 0x03, b"\x18\x00\x20\x00"), (1, 0x02, b"\x18\x00\x02\x00")]),
            "reg-write-action": servobus_seed(True, 5, [(1, 0x04, b"\x30\x00\x01"), (0xFE, 0x05, b"")]),
            "reset-reboot": servobus_seed(True, 5, [(1, 0x06, b"\x01"), (5, 0x08, b"")]),
            "broadcast-ping": servobus_seed(False, 7, [(0xFE, 0x01, b"")]),
            "baud-change": servobus_seed(False, 7, [(7, 0x03, b"\x04\x00\x03"), (7, 0x01, b"")]),
        },
    }
    for target, files in seeds.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, content in files.items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(content)
    return 0


if __name__ == "__main__":
    sys.exit(main())
