#!/usr/bin/python3
"""Seed inputs of the harnesses that do not read packages: environments for
the boot-flag parser, key sequences for the line editor and the address
questions, scripted transfers for the XMODEM receiver and command lines
for pkgtool.  Usage: seeds.py DIR (one directory per harness is made under
DIR)."""
import os
import struct
import sys
import zlib


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


def ip_addr(directory):
    # First byte: the question (0 address, 1 netmask, 2 gateway).
    keys = [
        b"\x0010.0.0.2\r",
        b"\x01\r",
        b"\x01255.255.255.0\r",
        b"\x020.0.0.0\r10.1\r",
        b"\x00240.0.0.1\r192.168.1.300\r\rQuit\r",
        b"\x02\x1b[D1.2.3.4\x01\x049\x1b[C\r",
        b"\x00" + b"1" * 140 + b"\r127.0.0.1 x\r",
    ]
    for i, k in enumerate(keys):
        write(directory, "keys%d" % i, k)


def record(type_word, payload, version=0x01020304):
    """One intact record with a basic header."""
    body = struct.pack(">III", len(payload), type_word, version) + payload
    return struct.pack(">I", ~zlib.crc32(body) & 0xFFFFFFFF) + body


def pkgtool_cli(directory):
    # Arguments, each ended by a zero byte, an empty one, then the file f.
    package = record(0x03504F4C, bytes(40)) + record(0x01504F4C, b"app payload")
    lines = [
        (b"list f", package),
        (b"verify f", package + b"xyz"),
        (b"extract f out", package),
        (b"extract f .", package[:50]),
        (b"crc link", b"123456789"),
        (b"create o --extended=24 app=f@1.2.3.4 uboot=uboot", b"abcd"),
        (b"create o kernel=fifo", b""),
        (b"create dir app=f@9.9.9.9 --overwrite-copy", b"abcde"),
        (b"create o rfs=f dft=f@0.0.0.1", b"ab"),
        (b"--help", b""),
    ]
    for i, (args, contents) in enumerate(lines):
        write(directory, "cmd%d" % i, args.replace(b" ", b"\0") + b"\0\0" + contents)


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
    ip_addr(os.path.join(root, "fuzz_ip_addr"))
    pkgtool_cli(os.path.join(root, "fuzz_pkgtool_cli"))


if __name__ == "__main__":
    main()
