#!/usr/bin/python3
"""Seed inputs of the harnesses that do not read packages: environments for
the boot-flag parser, key sequences for the line editor and scripted
transfers for the XMODEM receiver.  Usage: seeds.py DIR (one directory per
harness is made under DIR)."""
import os
import sys


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def bootflags(directory):
    env = [
        b"bootcmd=run flash_self\0bootdelay=3\0baudrate=9600\0ethact=TSEC1\0",
        b"gdb=on\0gdbport=4321\0shell=on\0memchk=on\0",
        b"gdbserver=on\0gdbport=99999999999\0diagnostics=rescue\0",
        b"diagnostics=diags\0ethact=TSEC2\0gdb=off\0",
        b"gdbport=-7\0gdbport=12\0shell=on1\0diagnostics=\0",
    ]
    for i, text in enumerate(env):
        write(directory, "env%d" % i, text)
    write(directory, "full", (b"x=y\0" * 400)[:1280] + b"gdb=on")


def line_editor(directory):
    keys = [
        b"\x04hello\r",
        b"\x04abc\x1b[D\x1b[DX\x01Y\x06\x06\x04\r",
        b"\x00abc\r",
        b"\x01ab\x7f\x08\x1b\x7f\r",
        b"\x03" + b"0123456789" * 3 + b"\x02\x02\x04\x1b[1;5C\x1b[C\r",
        b"\x01\x1bx\x1b\x1b[\x07\x03",
        b"\x02\xc3\xa9t\xc3\xa9\x1b[D\x08\r",
    ]
    for i, k in enumerate(keys):
        write(directory, "keys%d" % i, k)


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = (crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def block(number, payload, bad_crc=False):
    size = 128 if len(payload) <= 128 else 1024
    payload = payload.ljust(size, b"\x1a")
    crc = crc16(payload) ^ (1 if bad_crc else 0)
    head = bytes([0x01 if size == 128 else 0x02, number & 0xFF, 255 - (number & 0xFF)])
    return head + payload + bytes([crc >> 8, crc & 0xFF])


def script(*pieces):
    return b"".join(len(p).to_bytes(2, "big") + p for p in pieces)


def xmodem(directory):
    eot = b"\x04"
    small = bytes(range(100))
    big = bytes((i * 7) & 0xFF for i in range(1024))
    write(directory, "one_block", script(block(1, small), eot, eot))
    write(directory, "two_1k", script(block(1, big), block(2, big[::-1]), eot, eot))
    write(directory, "mixed", script(block(1, big), block(2, small), block(3, big), eot, eot))
    write(directory, "duplicate", script(block(1, small), block(1, small), block(2, small), eot, eot))
    write(directory, "bad_crc_then_good", script(block(1, small, True), block(1, small), eot, eot))
    write(directory, "cancel", script(b"\x18\x18"))
    write(directory, "out_of_sequence", script(block(1, small), block(3, small)))
    write(directory, "noise_first", script(b"\x06\x15xyz", block(1, small), eot, b"\x01"))
    write(directory, "block_zero", script(block(0, small), block(1, small), eot, eot))
    write(directory, "split_block", script(block(1, big)[:500], block(1, big)[500:], eot, eot))


def main():
    root = sys.argv[1]
    bootflags(os.path.join(root, "fuzz_bootflags"))
    line_editor(os.path.join(root, "fuzz_line_editor"))
    xmodem(os.path.join(root, "fuzz_xmodem"))


if __name__ == "__main__":
    main()
