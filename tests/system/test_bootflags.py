"""Boot flags read from the environment partition of a virtual board."""
import pytest

from board import Board

DEFAULTS = {"gdb": "0", "gdbserver": "0", "gdbport": "1234", "shell": "0", "memchk": "0",
            "rescue": "0", "diags": "0", "ethport": "0"}
WINDOW = 1280  # only the first bytes of the variable area count


def padded(tail):
    """A filler variable that puts tail right at the end of the window."""
    return b"pad=" + b"x" * (WINDOW - 5 - len(tail)) + b"\0" + tail


# the variables (or the raw variable area), the flags that differ
# from the defaults (None: the partition is unreadable)
@pytest.mark.parametrize("env,flags", [
    ([], {}),
    (["bootdelay=3", "gdb=off", "gdbserver=on"], {"gdb": "1", "gdbserver": "1"}),
    (["ethact=TSEC1", "gdbport=4000", "shell=on", "memchk=yes", "diagnostics=diags"],
     {"gdbport": "4000", "shell": "1", "ethport": "1", "diags": "1"}),
    # prefix tests, and the first occurrence counts
    (["bootargs=console=ttyS0 gdb=on", "gdb=off", "diagnostics=rescue2", "gdbport=abc"], {"gdb": "1", "rescue": "1"}),
    (padded(b"shell=on\0") + b"memchk=on\0\0", {"shell": "1"}),
    (padded(b"shell=o") + b"n\0\0", {}),  # a value cut by the end of the window
    (None, None),
])
def test_boot_flags(tmp_path, env, flags):
    board = Board(tmp_path / "board")
    if env is None:
        board.set_conf("fault.missing = /dev/mtd-ubootenv")
    elif isinstance(env, bytes):
        board.write_env(raw=env)
    else:
        board.write_env(*env)
    r = board.hw("flash-init", "bootflags")
    (line,) = [l for l in r.stderr.decode().splitlines() if l.startswith("bootflags -> ")]
    words = line.split()
    assert (words[2], dict(w.split("=") for w in words[3:])) == ("unread" if flags is None else "read",
                                                                 dict(DEFAULTS, **(flags or {})))
