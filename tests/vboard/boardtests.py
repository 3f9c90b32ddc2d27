"""What the runner's tests share: where the build is, the vboard command, and
boards made with it."""
import os
import pathlib
import struct
import subprocess

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VBOARD_BUILD") or REPO / "build")
VBOARD = BUILD / "bin" / "vboard"
PKGTOOL = BUILD / "bin" / "pkgtool"
VBOARD_HW = BUILD / "bin" / "vboard-hw"
SAMPLES = BUILD / "samples"
PARTS = ("uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue")
DEFAULT_SIZES = {"uboot": 524288, "ubootenv": 131072, "devicetree": 262144,
                 "kernel": 4194304, "rfs": 16777216, "rescue": 12582912}


def vboard(*args, **kwargs):
    """Runs vboard; text output captured unless the caller says otherwise."""
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run([str(VBOARD), *map(str, args)], **kwargs)


def create(path, *args):
    result = vboard("create", path, *args)
    assert result.returncode == 0, result.stderr
    return pathlib.Path(path)


def conf(board):
    """board.conf as the device models read it: {KEY: VALUE}."""
    out = subprocess.run([str(VBOARD_HW), "conf", str(pathlib.Path(board) / "board.conf")],
                         capture_output=True, text=True, check=True).stdout
    return dict(line.split("=", 1) for line in out.splitlines())


def run_in(board, script, *options, **kwargs):
    """Runs a shell script inside the board."""
    return vboard("run", board, *options, "--", "/bin/sh", "-c", script, **kwargs)


def trace(board):
    return (pathlib.Path(board) / "trace.log").read_text().splitlines()


def events(board):
    """The trace without the board clock."""
    return [line.split(" ", 1)[1] for line in trace(board)]


def record(data, offset=0):
    """(type, version, header length, payload) of the record at offset."""
    length, magic, version = struct.unpack_from(">III", data, offset + 4)
    header = struct.unpack_from(">H", data, offset + 18)[0] if magic & 0x80000000 else 16
    payload = data[offset + header:offset + header + length]
    return magic & 0x7FFFFFFF, ".".join(str(b) for b in version.to_bytes(4, "big")), header, payload


def pkgtool_list(path):
    """(type, version) of each record as pkgtool lists them."""
    out = subprocess.run([str(PKGTOOL), "list", str(path)], capture_output=True, text=True,
                         check=True).stdout
    return [tuple(line.split()[2:4]) for line in out.splitlines() if not line.startswith("#")]


def snapshot(path):
    """Every file under path with its bytes: to show a board untouched."""
    path = pathlib.Path(path)
    return {str(p.relative_to(path)): p.read_bytes() for p in sorted(path.rglob("*")) if p.is_file()}
