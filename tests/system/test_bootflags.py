"""Boot flags read from the environment partition of a virtual board."""
import pytest

from board import Board, results

DEFAULTS = "gdb=0 gdbserver=0 gdbport=1234 shell=0 memchk=0 rescue=0 diags=0 ethport=0"
# Only the first 1280 bytes of the variables count: after PAD, "shell=on\0" fills them.
PAD = b"pad=" + b"x" * (1280 - 5 - 9) + b"\0"


# the variables (or the raw area), the flags not at their defaults (None: unreadable)
@pytest.mark.parametrize("env,flags", [
    ([], ""),
    (["bootdelay=3", "gdb=off", "gdbserver=on"], "gdb=1 gdbserver=1"),  # the debug server needs the debugger
    (PAD + b"shell=on\0memchk=on\0\0", "shell=1"),
    (b"xx" + PAD + b"shell=on\0\0", ""),  # two bytes later, the end of the window cuts "on"
    (None, None),
])
def test_boot_flags(tmp_path, env, flags):
    board = Board(tmp_path / "board", conf=["fault.missing = /dev/mtd-ubootenv"] if env is None else [])
    board.write_env(*([] if isinstance(env, bytes) else env or []), raw=env if isinstance(env, bytes) else None)
    (line,) = [line for line in results(board.hw("flash-init", "bootflags")) if line.startswith("bootflags")]
    want = dict(w.split("=") for w in f"{DEFAULTS} {flags or ''}".split())
    assert line.split()[2:] == ["unread" if flags is None else "read", *(f"{k}={v}" for k, v in want.items())]
