"""The record format read and built in Python, apart from the C++ reading, to check what the tools write."""
import struct
import zlib

TYPES = {"app": 0x01504F4C, "uboot": 0x02504F4C, "kernel": 0x03504F4C, "rfs": 0x04504F4C, "dft": 0x05504F4C, "diags": 0x06504F4C}
EXTENDED = 0x80000000


def gen_crc(data, reg=0xFFFFFFFF):
    return ~zlib.crc32(data, ~reg & 0xFFFFFFFF) & 0xFFFFFFFF


def record(type_name, payload, version=(0, 0, 0, 0), hdr_len=None, crc=None, length=None, pad=True):
    """A record built by hand; hdr_len picks the extended header, zero past its fixed fields (or cut there: pad=False)."""
    magic = TYPES.get(type_name, type_name) if isinstance(type_name, str) else type_name
    fields = (0, len(payload) if length is None else length, magic, int.from_bytes(bytes(version), "big"))
    if hdr_len is None:
        header = struct.pack(">IIII", *fields)
    else:
        header = struct.pack(">IIIIHH", *fields[:2], magic | EXTENDED, fields[3], 0, hdr_len) + bytes(max(0, hdr_len - 20)) * pad
    body = header[4:] + payload
    return struct.pack(">I", gen_crc(body) if crc is None else crc) + body


def flipped(data, at, mask=1):
    at %= len(data)  # -1: the last byte, with nothing added after it
    return data[:at] + bytes([data[at] ^ mask]) + data[at + 1:]


def walk(data):
    """Yields (offset, crc, len, magic, id, header_len) for each whole record."""
    off = 0
    while len(data) - off >= 20:
        crc, length, magic, ident, _, hdr_len = struct.unpack_from(">IIIIHH", data, off)
        header_len = hdr_len if magic & EXTENDED else 16
        yield off, crc, length, magic, ident, header_len
        off += header_len + length


def payloads(data):
    """The payload of each whole record, in order."""
    return [data[off + hl:off + hl + length] for off, _, length, _, _, hl in walk(data)]
