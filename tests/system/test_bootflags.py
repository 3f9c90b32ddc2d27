"""Boot flags read from the environment partition of a virtual board, as
written by `vboard env`."""
import struct
import subprocess
import zlib

import pytest

from board import BUILD_DIR, Board

VBOARD = BUILD_DIR / "bin" / "vboard"
DEFAULTS = {"gdb": "0", "gdbserver": "0", "gdbport": "1234", "shell": "0", "memchk": "0",
            "rescue": "0", "diags": "0", "ethport": "0"}


@pytest.fixture
def board(tmp_path):
    return Board(tmp_path / "board")


def vboard_env(board, *assignments):
    subprocess.run([str(VBOARD), "env", str(board.path), *assignments], check=True, capture_output=True)


def raw_env(board, tmp_path, area):
    raw = tmp_path / "env.raw"
    raw.write_bytes(struct.pack(">I", zlib.crc32(area)) + area)
    subprocess.run([str(VBOARD), "env", str(board.path), "--raw", str(raw)], check=True, capture_output=True)


def flags(board):
    r = board.hw("flash-init", "bootflags")
    line = [l for l in r.stderr.decode().splitlines() if l.startswith("bootflags -> ")][0]
    words = line.split()
    return words[2], dict(w.split("=") for w in words[3:])


def test_erased_environment_keeps_every_default(board):
    assert flags(board) == ("read", DEFAULTS)


def test_a_debug_server_boot(board):
    vboard_env(board, "bootdelay=3", "gdb=off", "gdbserver=on")
    assert flags(board) == ("read", dict(DEFAULTS, gdb="1", gdbserver="1"))


def test_every_key(board):
    vboard_env(board, "ethact=TSEC1", "gdbport=4000", "shell=on", "memchk=yes", "diagnostics=diags")
    assert flags(board)[1] == dict(DEFAULTS, gdbport="4000", shell="1", ethport="1", diags="1")


def test_prefix_tests_and_first_occurrence(board):
    vboard_env(board, "bootargs=console=ttyS0 gdb=on", "gdb=off", "diagnostics=rescue2", "gdbport=abc")
    assert flags(board)[1] == dict(DEFAULTS, gdb="1", rescue="1")


def test_only_the_first_1280_bytes_of_the_variable_area_count(board, tmp_path):
    filler = b"pad=" + b"x" * (1280 - 4 - 1 - len(b"shell=on") - 1) + b"\0"
    inside = filler + b"shell=on\0"
    assert len(inside) == 1280
    raw_env(board, tmp_path, inside + b"memchk=on\0\0")
    assert flags(board)[1] == dict(DEFAULTS, shell="1")
    # A value cut by the end of the window does not match.
    cut = b"pad=" + b"x" * (1280 - 4 - 1 - len(b"shell=o")) + b"\0" + b"shell=on\0\0"
    raw_env(board, tmp_path, cut)
    assert flags(board)[1] == DEFAULTS


def test_unreadable_partition_leaves_the_defaults(board):
    board.set_conf("fault.missing = /dev/mtd-ubootenv")
    assert flags(board) == ("unread", DEFAULTS)
