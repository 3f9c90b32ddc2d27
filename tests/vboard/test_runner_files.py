"""The runner's refusals (board.conf read by the models' parser, --bind) and
the environment partition: nothing run, nothing left half-made when refused."""
import os
import pathlib
import resource
import struct
import subprocess
import sys
import zlib

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "system"))
from vb import VBOARD, VBoard  # noqa: E402


def vboard(*args, **kw):
    return subprocess.run([str(VBOARD), *map(str, args)], capture_output=True, text=True, timeout=60, **kw)


def snapshot(path):
    """Every file and folder under path, with a file's bytes: to show a board untouched."""
    return {str(p): p.is_file() and p.read_bytes() for p in sorted(pathlib.Path(path).rglob("*"))}


BAD_VALUES = [("time", "slow"), ("erase_size", "64k"), ("size.rfs", "0x100000000"), ("fault.i2c_nak", "0x54,0x80"),
              ("fault.mtd_write_fail_at", "0"), ("fault.mtd_probe", "yes"), ("fault.missing", "dev/i2c-0"),
              ("fault.cpld_ready", "-1")]
# A bad setting, what is said of it, and where: board.conf, create --set, both.
BAD_SETTINGS = [(f"{key} = {value}", f'bad value "{value}" for key "{key}"', "both") for key, value in BAD_VALUES] + [
    ("size.kernal = 4096", 'unknown key "size.kernal"', "both"),
    ("just words", 'expected "key = value", got "just words"', "conf"),
    # A NUL must not end the file unseen, with the line after it.
    ("time = real\0", "NUL byte in the line", "conf"),
    ("erase_size", "expected KEY=VALUE", "set"),
    # Written into board.conf, the rest would be a comment there.
    ("fault.missing = /dev/i2c-0#1", '"#" and line ends cannot be written to board.conf', "set"),
]


@pytest.mark.parametrize("setting,message,where", BAD_SETTINGS)
def test_a_bad_setting_is_refused_naming_where_it_stands(tmp_path, setting, message, where):
    if where != "set":
        (tmp_path / "board.conf").write_text(f"# comment\n\ntime = fast\n{setting}\nsize.kernal = 1\n")
        r = vboard("vpd", tmp_path)
        assert (r.returncode, r.stderr) == (2, f"vboard: {tmp_path}/board.conf:4: {message}\n")
    if where != "conf":
        r = vboard("create", tmp_path / "b", "--set", "time=real", "--set", setting)
        assert (r.returncode, r.stderr) == (2, f"vboard: --set {setting}: {message}\n")
        assert not (tmp_path / "b").exists()


def test_a_board_that_cannot_be_used_is_refused_and_left_untouched(tmp_path):
    board = VBoard.create(tmp_path / "b").path
    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "board.conf").write_text("#" * 65536 + "\n")
    with open(board / "board.conf", "a") as f:
        f.write("size.kernal = 4096\n")
    bad, before = f'conf:{(board / "board.conf").read_text().count(chr(10))}: unknown key "size.kernal"', snapshot(tmp_path)
    # Samples that do not fit their partitions leave no board behind either.
    for said, *command in [("already exists", "create", board), (bad, "env", board, "a=1"), (bad, "vpd", board, "1=2"),
                           (bad, "boot", board, "--once"), (bad, "run", board, "--", "/bin/true"),
                           ("c/board.conf: cannot read: longer than 64 KiB", "vpd", tmp_path / "c"),
                           ("no such board", "boot", tmp_path / "nothing"),
                           ("rescue", "create", tmp_path / "d", "--sample", "--set", "size.rescue=64")]:
        r = vboard(*command, stdin=subprocess.DEVNULL)
        assert (r.returncode, r.stderr.count("\n"), said in r.stderr) == (2, 1, True), r.stderr
    assert snapshot(tmp_path) == before


def test_env_changes_keep_the_order_and_the_crc_and_a_raw_one_is_a_regular_file_that_fits(tmp_path):
    board = VBoard.create(tmp_path / "b", sample=False, sets=["size.ubootenv=16384"]).path
    assert vboard("env", board, "diagnostics=rescue", "gdbport=2345", "bootargs=console=ttyS0,9600 root=/x").returncode == 0
    assert vboard("env", board, "gdbport=1", "shell=on", "diagnostics=").returncode == 0
    # As U-Boot reads it: a big-endian CRC-32 of the area, NUL-terminated variables up to an empty one.
    data = (board / "flash" / "ubootenv.bin").read_bytes()
    assert struct.unpack(">I", data[:4])[0] == zlib.crc32(data[4:0x2000])
    assert data[0x2000:] == b"\xff" * (len(data) - 0x2000)
    assert data[4:0x2000].split(b"\0\0")[0] == b"gdbport=1\0bootargs=console=ttyS0,9600 root=/x\0shell=on"
    assert vboard("env", board).stdout == "gdbport=1\nbootargs=console=ttyS0,9600 root=/x\nshell=on\n"
    (tmp_path / "raw").write_bytes(b"\0\0\0\0gdb=on\0odd\1bytes".ljust(16384, b"\0"))
    assert vboard("env", board, "--raw", tmp_path / "raw").returncode == 0
    assert (board / "flash" / "ubootenv.bin").read_bytes() == (tmp_path / "raw").read_bytes()
    r = vboard("env", board)
    assert (r.returncode, "CRC" in r.stderr, "gdb=on" in r.stdout) == (1, True, True)
    before = snapshot(board)
    # One byte too many; a huge sparse file and an endless device, read no further than one byte
    # past the partition (memory capped: reading it all fails the test, not the PC); a FIFO.
    (tmp_path / "big").write_bytes(bytes(16385))
    with open(tmp_path / "sparse", "wb") as f:
        f.truncate(8 << 30)
    os.mkfifo(tmp_path / "fifo")
    for raw in ("big", "sparse", "/dev/zero", "fifo", "."):
        r = vboard("env", board, "--raw", tmp_path / raw, preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_AS, (1 << 30, 1 << 30)))
        assert (r.returncode, r.stderr.count("\n")) == (2, 1), (raw, r.stderr)
    assert snapshot(board) == before


def test_a_bind_over_the_boards_own_paths_is_refused(tmp_path):
    board = VBoard.create(tmp_path / "b", sample=False).path
    for bind in ["{tmp}/absent", "{board}:", "{board}:opt", "{board}:/", "{board}:/tmp/x", "{board}:/opt/../vboard",
                 "{board}:/dev/mtd-kernel", "{board}:/user", "{board}:/bin", "{board}:/usr/lib", "/usr/bin/env",
                 "{board}:/lib/x", "{board}:/etc"]:
        r = vboard("run", board, "--bind", bind.format(tmp=tmp_path, board=board), "--", "/bin/true")
        assert (r.returncode, r.stderr.count("\n"), r.stderr.startswith("vboard: --bind")) == (2, 1, True), bind
    assert (board / "trace.log").read_bytes() == b""
