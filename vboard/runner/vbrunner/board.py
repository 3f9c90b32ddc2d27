"""A board's folder: opening it, its files, and what the runner keeps there
between boots (the lock, /tmp, the trace, the power switch)."""
import fcntl
import os
import shutil
import subprocess
import sys

from . import conf
from .common import VBOARD_HW, fail, host_env

VPD_SIZE = 256
CPLD_SIZE = 256


class Board:
    def __init__(self, path, settings):
        self.path = os.path.abspath(path)
        self.conf = settings

    def file(self, *names):
        return os.path.join(self.path, *names)

    def flash(self, part):
        return self.file("flash", part + ".bin")


def open_board(path):
    conf_path = os.path.join(path, "board.conf")
    if not os.path.isdir(path):
        fail(f"{path}: no such board")
    if not os.path.isfile(conf_path):
        fail(f"{path}: not a board (no board.conf)")
    return Board(path, conf.read(conf_path))


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def erased_part(size, data=b"", what="partition"):
    if len(data) > size:
        fail(f"{what}: {len(data)} bytes do not fit its {size} bytes")
    return data + b"\xff" * (size - len(data))


def lock_board(board):
    fd = os.open(board.file("board.conf"), os.O_RDONLY | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        fail(f"{board.path}: board is running")
    return fd


def power_on(board):
    result = subprocess.run([VBOARD_HW, "power-on", board.path], env=host_env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        fail(f"power-on failed: {result.stderr.strip()}")


def empty_tmp(board):
    tmp = board.file("tmp")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp, exist_ok=True)


def trace_size(board):
    try:
        return os.path.getsize(board.file("trace.log"))
    except OSError:
        return 0


def trace_events(board, offset):
    """The event words of the trace lines appended since offset."""
    try:
        with open(board.file("trace.log"), "rb") as f:
            f.seek(offset)
            lines = f.read().decode("utf-8", errors="replace").splitlines()
    except FileNotFoundError:
        return []
    return [line.split()[1] for line in lines if len(line.split()) > 1]


def cmd_trace(args):
    board = open_board(args.board)
    try:
        with open(board.file("trace.log"), "rb") as f:
            shutil.copyfileobj(f, sys.stdout.buffer)
    except FileNotFoundError:
        pass
    return 0
