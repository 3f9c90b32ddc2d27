"""The U-Boot environment partition and the VPD EEPROM, as `vboard env`
and `vboard vpd` read and change them."""
import os
import stat
import struct
import sys
import zlib

from .board import VPD_SIZE, erased_part, open_board, write_file
from .common import fail

# The U-Boot environment: CRC word, then the variables, padded with zeros to
# this size; the rest of the partition stays erased.
ENV_SIZE = 0x2000


def parse_number(text, maximum):
    """Decimal, or hexadecimal with 0x."""
    base, digits, valid = 10, text, "0123456789"
    if text[:2] in ("0x", "0X"):
        base, digits, valid = 16, text[2:], "0123456789abcdefABCDEF"
    if not digits or any(c not in valid for c in digits):
        return None
    value = int(digits, base)
    return value if value <= maximum else None


def env_image(variables, size):
    data = b"".join(f"{k}={v}".encode() + b"\0" for k, v in variables) + b"\0"
    area = min(ENV_SIZE, size) - 4
    if len(data) > area:
        fail(f"environment of {len(data)} bytes does not fit its {area}-byte area")
    data += b"\0" * (area - len(data))
    return erased_part(size, struct.pack(">I", zlib.crc32(data)) + data)


def env_parse(blob):
    """(variables, state) with state "ok", "erased" or "bad-crc"."""
    area = blob[4:ENV_SIZE]
    if blob[:ENV_SIZE].count(0xFF) == len(blob[:ENV_SIZE]):
        return [], "erased"
    state = "ok" if struct.unpack(">I", blob[:4])[0] == zlib.crc32(area) else "bad-crc"
    variables = []
    for entry in area.split(b"\0"):
        if not entry:
            break
        key, _, value = entry.decode("latin-1").partition("=")
        variables.append((key, value))
    return variables, state


def read_raw(path, limit):
    """The bytes of the regular file at path, refused when there are more
    than limit: one byte more is read to tell, never the whole of a huge
    file or of an endless device."""
    try:
        # Without blocking: opening a FIFO nobody writes would wait for ever.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as f:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                fail(f"{path}: not a regular file")
            data = f.read(limit + 1)
    except OSError as e:
        fail(f"{path}: {e.strerror}")
    if len(data) > limit:
        fail(f"{path}: larger than the {limit}-byte ubootenv partition")
    return data


def read_env(path):
    """The environment area of the partition file (erased if there is none)."""
    try:
        with open(path, "rb") as f:
            blob = f.read(ENV_SIZE)
    except FileNotFoundError:
        blob = b""
    return blob + b"\xff" * (ENV_SIZE - len(blob))


def changed(variables, item):
    """variables with KEY=VALUE of item set (or KEY= removed), order kept."""
    key, eq, value = item.partition("=")
    if not eq or not key:
        fail(f"{item}: expected KEY=VALUE or KEY=")
    kept = [(k, v) for k, v in variables if k != key]
    if not value:
        return kept
    if len(kept) == len(variables):
        return variables + [(key, value)]
    return [(k, value if k == key else v) for k, v in variables]


def cmd_env(args):
    board = open_board(args.board)
    size = board.conf.size("ubootenv")
    path = board.flash("ubootenv")
    if args.raw is not None:
        if args.settings:
            fail("--raw takes no KEY=VALUE arguments")
        write_file(path, erased_part(size, read_raw(args.raw, size), "ubootenv"))
        return 0
    variables, state = env_parse(read_env(path))
    if not args.settings:
        if state == "bad-crc":
            print(f"vboard: {path}: environment CRC does not match", file=sys.stderr)
        for key, value in variables:
            print(f"{key}={value}")
        return 1 if state == "bad-crc" else 0
    if state == "bad-crc":
        variables = []
    for item in args.settings:
        variables = changed(variables, item)
    write_file(path, env_image(variables, size))
    return 0


def cmd_vpd(args):
    board = open_board(args.board)
    path = board.file("vpd.bin")
    try:
        with open(path, "rb") as f:
            vpd = bytearray(f.read(VPD_SIZE))
    except FileNotFoundError:
        vpd = bytearray()
    vpd += b"\xff" * (VPD_SIZE - len(vpd))
    if args.byte is None:
        for line in range(0, VPD_SIZE, 16):
            print(f"{line:02x}: " + " ".join(f"{b:02x}" for b in vpd[line:line + 16]))
        return 0
    offset_text, eq, value_text = args.byte.partition("=")
    offset = parse_number(offset_text, VPD_SIZE - 1)
    if offset is None:
        fail(f"{offset_text}: not a VPD offset (0 to {VPD_SIZE - 1})")
    if not eq:
        print(f"0x{vpd[offset]:02x}")
        return 0
    value = parse_number(value_text, 0xFF)
    if value is None:
        fail(f"{value_text}: not a byte value (0 to 255)")
    vpd[offset] = value
    write_file(path, bytes(vpd))
    return 0
