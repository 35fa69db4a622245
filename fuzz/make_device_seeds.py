#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_device_replies: one well-answered run per operation, so
the fuzzer starts from every operation's success path (layout: fuzz/harness/device_replies.cpp).

    python3 fuzz/make_device_seeds.py        # rewrites fuzz/corpus/device_replies/seed-*
"""
import os

OPS = ["GetFirmwareVersion", "GetNameString", "GetSerial", "Identify", "OpenDeviceOnPort",
       "FindDevice", "ReadEEPROM", "WriteEEPROM", "GetEEPROMInfo", "GetFlashInfo", "GetBank",
       "SetBank", "QueryBank", "SetReadWriteBank", "Tolliver", "SetUSBBaud", "ReadBlock",
       "WriteBlock", "BulkRead", "BulkWrite", "BulkWriteBoth", "StreamReader"]
ROWS = "1 2 T S A F O P R L D D X Q J Z N n # + l ^ c d".split()
KELBY, SARNET, TOLLIVER, SELF_NAMED, MORROW = (ROWS.index("O"), ROWS.index("R"), ROWS.index("Q"),
                                               ROWS.index("S"), ROWS.index("D"))


def header(op, row, major, minor, flags=0, misc=0, length=0, address=0, detail=0, extra=0):
    return bytes([OPS.index(op), row, major, minor, flags, misc, length & 0xFF,
                  (length >> 8) & 0xFF, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF, detail, extra])


def reply(data):
    """One platform read that delivers all of `data`."""
    return bytes([0]) + bytes(data)


def data_reply(data):
    """A data reply: the data and its checksum, read with two reads."""
    return reply(data) + reply([sum(data) & 0xFF])


def pattern(n, seed=1):
    return bytes((i * 31 + seed) & 0xFF for i in range(n))


EEPROM_INFO = b"OxxUxxx"
KELBY_IDENTIFY = (data_reply(EEPROM_INFO) + data_reply(EEPROM_INFO) + reply([3]) + reply([8])
                  + data_reply(b"EQXSIM001"))
# WriteBlock 'X': the 16-bit sum of the harness's data bytes (i * 7 + 1), little-endian.
ALT_SUM = sum((i * 7 + 1) & 0xFF for i in range(16)) & 0xFFFF
NAME = b"S!Bench unit" + bytes(255 - 12)

SEEDS = {
    "version": header("GetFirmwareVersion", KELBY, 10, 15) + reply(b"\x0a\x0fO"),
    "name": header("GetNameString", SELF_NAMED, 1, 0) + data_reply(NAME),
    "serial": header("GetSerial", KELBY, 10, 15) + data_reply(b"EQXSIM001"),
    "identify-kelby": header("Identify", KELBY, 10, 15, misc=2) + KELBY_IDENTIFY,
    "identify-tolliver": header("Identify", TOLLIVER, 2, 0) + data_reply([3])
    + data_reply(EEPROM_INFO) + data_reply([1]),
    "identify-tolliver-early": header("Identify", TOLLIVER, 1, 5) + data_reply([4])
    + data_reply(EEPROM_INFO) + data_reply([1]),
    "identify-named": header("Identify", SELF_NAMED, 1, 0) + data_reply(NAME),
    "identify-morrow": header("Identify", MORROW, 3, 1) + data_reply(EEPROM_INFO) + reply([2])
    + reply([16]) + data_reply(pattern(16)),
    "open": header("OpenDeviceOnPort", KELBY, 10, 15, extra=100) + reply(b"\x0a\x0fO")
    + KELBY_IDENTIFY,
    "find": header("FindDevice", KELBY, 10, 15, address=0x050900, extra=100)
    + reply(b"\x0a\x0fO") + KELBY_IDENTIFY,
    "eeprom-read": header("ReadEEPROM", KELBY, 10, 15, length=15, address=0x100)
    + data_reply(pattern(16)),
    "eeprom-read-e": header("ReadEEPROM", ROWS.index("1"), 1, 34, length=6, address=0x10)
    + data_reply(pattern(7)),
    "eeprom-write": header("WriteEEPROM", KELBY, 10, 15, address=0x102, extra=0xAA) + reply(b"O"),
    "eeprom-info": header("GetEEPROMInfo", MORROW, 2, 0) + data_reply(b"DxxUxxx"),
    "flash": header("GetFlashInfo", ROWS.index("L"), 1, 0) + data_reply(pattern(16)),
    "bank-get": header("GetBank", KELBY, 10, 15, detail=1) + reply([5]),
    "bank-set": header("SetBank", KELBY, 10, 15, address=4, detail=1) + reply(b"O"),
    "bank-query-tolliver": header("Tolliver", TOLLIVER, 2, 0, address=3, detail=2, extra=1)
    + data_reply([0xAA]) + reply(b"O"),
    "bank-rw": header("SetReadWriteBank", KELBY, 10, 15, address=8) + reply(b"O"),
    "speed": header("SetUSBBaud", KELBY, 10, 15, detail=0x00) + reply(b"O"),
    "read-block": header("ReadBlock", KELBY, 10, 15, length=300, address=0x1000)
    + data_reply(pattern(256)) + data_reply(pattern(44, 7)),
    "read-block-largebin": header("ReadBlock", KELBY, 10, 15, misc=4, length=256,
                                  address=0x1FF80, extra=0) + reply(b"O") + data_reply(pattern(128))
    + reply(b"O") + data_reply(pattern(128, 3)),
    "read-block-sarnet": header("ReadBlock", SARNET, 2, 0, length=64, address=0x0A1000)
    + data_reply(pattern(64)),
    "write-block": header("WriteBlock", KELBY, 10, 15, flags=0x04, length=512, address=0x1000)
    + reply(b"O") + reply(b"O"),
    "write-block-alt": header("WriteBlock", KELBY, 10, 15, flags=0x05, length=16, address=0x10)
    + reply(ALT_SUM.to_bytes(2, "little")),
    "write-block-bulk": header("WriteBlock", KELBY, 10, 15, length=4096, address=0x1000)
    + reply(b"O"),
    "bulk-read": header("BulkRead", KELBY, 10, 15, length=4096, address=0x4000)
    + data_reply(pattern(4096)),
    "bulk-read-encrypted": header("BulkRead", KELBY, 10, 15, misc=1, length=512, address=0)
    + data_reply(pattern(512)),
    "bulk-write": header("BulkWrite", KELBY, 10, 15, length=8192, address=0x4000)
    + reply(b"O") + reply(b"O"),
    "bulk-write-both": header("BulkWriteBoth", SARNET, 2, 0, length=512, address=0)
    + reply(b"O") + reply(b"O"),
    "stream": header("StreamReader", ROWS.index("L"), 1, 0, detail=2, extra=7)
    + reply(b"\x34\x12\x78\x56\x01") + reply(b"\xff\xfe"),
    "cancel": header("BulkRead", KELBY, 10, 15, misc=0x10, length=8192, address=0)
    + data_reply(pattern(4096)),
}

if __name__ == "__main__":
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "device_replies")
    os.makedirs(folder, exist_ok=True)
    for name, content in SEEDS.items():
        with open(os.path.join(folder, "seed-" + name), "wb") as f:
            f.write(content)
    print(f"{len(SEEDS)} seeds in {folder}")
