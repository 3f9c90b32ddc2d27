#!/usr/bin/python3
"""seeds.py DIR: the seed inputs of the harnesses, one directory per harness
under DIR ("packages" for those that read a package)."""
import binascii
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "system"))
from records import record  # noqa: E402

V = (1, 2, 3, 4)
P3, P40, P300 = b"abc", bytes(range(40)), bytes((i * 13) & 0xFF for i in range(300))
BASIC = record("kernel", P40, V) + record("app", P300, (2, 0, 0, 1))
PACKAGE = record("kernel", bytes(40), V) + record("app", b"app payload", V)


def block(number, payload, bad_crc=False):
    payload = payload.ljust(128 if len(payload) <= 128 else 1024, b"\x1a")
    crc = binascii.crc_hqx(payload, 0) ^ bad_crc
    return bytes([1 if len(payload) == 128 else 2, number, 255 - number]) + payload + struct.pack(">H", crc)


def script(*pieces):  # each piece the sender's answer to one turn
    return b"".join(struct.pack(">H", len(p)) + p for p in pieces)


SMALL, BIG, EOT = bytes(range(100)), bytes((i * 7) & 0xFF for i in range(1024)), b"\x04"
SEEDS = {
    "packages": [
        BASIC, BASIC + P3, BASIC[:100], record("diags", P40, V, 24) + record("dft", b"", V, 24),
        record("app", P40, (1, 1, 1, 1), 32) + record("kernel", P3, V, 32), record("uboot", P300, (9, 9, 9, 9)),
        record("rfs", P3, V), record("app", P3, V), record("app", P300, (3, 0, 0, 1)) + record("app", P40, (3, 0, 0, 2)),
    ],
    "fuzz_bootflags": [
        b"bootcmd=run flash_self\0bootdelay=3\0baudrate=9600\0ethact=TSEC1\0",
        b"gdb=on\0gdbport=4321\0shell=on\0memchk=on\0", b"gdbserver=on\0gdbport=99999999999\0diagnostics=rescue\0",
        b"diagnostics=diags\0ethact=TSEC2\0gdb=off\0gdbport=-7\0shell=on1\0", (b"x=y\0" * 400)[:1280] + b"gdb=on",
    ],
    "fuzz_line_editor": [  # the first byte picks the buffer size
        b"\x04abc\x1b[D\x1b[DX\x01Y\x06\x06\x04\r", b"\x01ab\x7f\x08\x1b\x7f\x1bx\x1b\x1b[\x07\x03",
        b"\x03" + b"0123456789" * 3 + b"\x02\x02\x04\x1b[1;5C\x1b[C\r", b"\x02\xc3\xa9t\xc3\xa9\x1b[D\x08\r",
    ],
    "fuzz_ip_addr": [  # the first byte picks the question: address, netmask, gateway
        b"\x0010.0.0.2\r", b"\x01\r255.255.255.0\r", b"\x020.0.0.0\r10.1\r\x1b[D1.2.3.4\x01\x049\x1b[C\r",
        b"\x00240.0.0.1\r192.168.1.300\r\rQuit\r", b"\x00" + b"1" * 140 + b"\r127.0.0.1 x\r",
    ],
    "fuzz_pkgtool_cli": [args.replace(b" ", b"\0") + b"\0\0" + f for args, f in [  # arguments, then the file f
        (b"list f", PACKAGE), (b"verify f", PACKAGE + b"xyz"), (b"extract f out", PACKAGE),
        (b"extract f .", PACKAGE[:50]), (b"crc link", b"123456789"),
        (b"create o --extended=24 app=f@1.2.3.4 uboot=uboot", b"abcd"), (b"create o kernel=fifo", b""),
        (b"create dir app=f@9.9.9.9 --overwrite-copy", b"abcde"), (b"create o rfs=f dft=f@0.0.0.1", b"ab"),
    ]],
    "fuzz_xmodem": [
        script(block(1, SMALL), EOT, EOT), script(block(1, BIG), block(2, BIG[::-1]), EOT, EOT),
        script(block(1, BIG), block(2, SMALL), block(3, BIG), EOT, EOT),
        script(block(1, SMALL), block(1, SMALL), block(2, SMALL), EOT, EOT),
        script(block(1, SMALL, True), block(1, SMALL), EOT, EOT), script(b"\x18\x18"),
        script(block(1, SMALL), block(3, SMALL)), script(b"\x06\x15xyz", block(1, SMALL), EOT, b"\x01"),
        script(block(0, SMALL), block(1, SMALL), EOT, EOT), script(block(1, BIG)[:500], block(1, BIG)[500:], EOT, EOT),
    ],
}

for harness, inputs in SEEDS.items():
    folder = pathlib.Path(sys.argv[1], harness)
    folder.mkdir(parents=True, exist_ok=True)
    for i, data in enumerate(inputs):
        (folder / f"seed{i}").write_bytes(data)
