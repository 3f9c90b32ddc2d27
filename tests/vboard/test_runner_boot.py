"""The board's namespace (vboard run) and power cycles (vboard boot) with the real launcher
on fast-time boards: what a board can see and do, how a boot ends and what it leaves, the console."""
import os
import pathlib
import re
import signal
import subprocess
import sys

import pexpect
import pytest
from pexpect import fdpexpect

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "system"))
from board import BUILD_DIR  # noqa: E402
from records import record  # noqa: E402
from console import reader_below  # noqa: E402
from vb import VBoard, archive, boot_argv, console_text  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[2]


def leftovers(board):
    """Processes still naming the board: its namespace, its TFTP server, anything started in it."""
    return subprocess.run(["pgrep", "-f", str(board.path)], capture_output=True, text=True).stdout.split()


def test_a_board_sees_and_writes_only_its_own_files_and_its_root_has_no_power(tmp_path):
    board = VBoard.create(tmp_path / "b", sets=["fault.missing=/dev/i2c-0,/dev/mtd-rescue"])
    (board.path / "tmp" / "stale").write_text("x")
    (board.path / "user" / "outside").write_text("u\n")
    (tool := tmp_path / "tool").write_text("#!/bin/sh\necho tool ran\n")
    tool.chmod(0o755)
    # At its longest, so that the copy given to the board fills any pipe.
    with open(board.path / "board.conf", "a") as f:
        f.write("#" * (65535 - f.tell()) + "\n")
    conf = (board.path / "board.conf").read_bytes()
    # In real time a sleep that a handled signal interrupts ends early ("sleep -1": EINTR kept).
    r = board.run("/bin/sh", "-c", f"""ls -A /tmp; cat /user/outside; echo made > /user/new; echo v > /vboard/v
        /opt/tests/tool; for f in /opt/tests/tool /usr/x /etc/x; do echo >> $f || echo ro; done; ls -d {REPO} {BUILD_DIR} || echo unseen
        grep '^time' /vboard/board.conf; echo "$VBOARD_DIR $GREETING"; grep -q libvboard.so /proc/self/maps && echo preloaded
        for n in /dev/mtd-kernel /dev/mtd-rescue /dev/i2c-0 /dev/i2c-1 /dev/norvik/cpld_mmmap; do test -e $n && echo $n; done
        python3 -c 'import ctypes as c, signal as s; s.signal(14, lambda *a: 0); s.setitimer(0, .05); print("sleep", c.CDLL(None).nanosleep(c.byref((c.c_long * 2)(30, 0)), None))'
        /usr/bin/mount -t tmpfs none /tmp || echo no-mount; grep CapEff /proc/self/status
        readlink /proc/self/ns/user; readlink /proc/self/ns/net
        sh -c 'sleep 1000; true' {board.path} &
        cat /proc/self/mountinfo >&2; kill -TERM $$""", time="real", env=["GREETING=hello there"], programs=[tool])
    assert r.returncode == 128 + signal.SIGTERM
    *seen, caps, userns, netns = r.stdout.decode().splitlines()
    assert seen == ["u", "tool ran", "ro", "ro", "ro", "unseen", "time = real", "/vboard hello there", "preloaded",
                    "/dev/mtd-kernel", "/dev/i2c-1", "/dev/norvik/cpld_mmmap", "sleep -1", "no-mount"]
    assert userns != os.readlink("/proc/self/ns/user") and netns != os.readlink("/proc/self/ns/net")
    assert [bool(int(caps.split()[1], 16) & 1 << cap) for cap in (16, 21, 22, 12)] == [False, False, False, True]
    assert [(board.path / f).read_text() for f in ("user/new", "v")] == ["made\n", "v\n"]
    assert (board.path / "board.conf").read_bytes() == conf and leftovers(board) == []
    # Every writable mount is memory or the board's folder.
    writable = {"board" if m[3].startswith(str(board.path)) else m[m.index("-") + 1]
                for m in map(str.split, r.stderr.decode().splitlines()) if "-" in m and "ro" not in m[5].split(",")}
    assert writable <= {"board", "tmpfs", "devtmpfs", "proc", "devpts", "mqueue"}, writable
    # The reboot stub refuses to run on the PC (here in a PID namespace where it could only end itself).
    r = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "/bin/sh", REPO / "vboard/runner/rootfs/bin/reboot"],
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 1 and "not on a virtual board" in r.stderr


# How the board is prepared, vboard boot's options, its exit status, the
# console's last line and how often it is seen, and vboard's own words.
EXITS = [
    (lambda b: b.write_slot(1, record("app", archive({"home/bin/mp.elf.strip": ("#!/bin/sh\necho bye\nexit 9\n", 0o755)}))),
     [], 1, "bye\n", 1, ""),
    (lambda b: None, ["--launcher", "/usr/bin/false"], 3, "", 0, ""),
    # The reboot past the limit ends it.
    (lambda b: [b.write_slot(n, bytes(c ^ (i == 20) for i, c in enumerate(b.slot_path(n).read_bytes()))) for n in (1, 2)],
     ["--max-boots", "2"], 4, "Both image1 and image2 failed.\n", 2, ""),
    # The menu waits for ever: the limit ends it, long enough for a loaded machine.
    (lambda board: board.env("diagnostics=rescue"), ["--timeout", "15"], 124, "Option? : ", 1,
     "vboard: time limit of 15 s reached, board powered off\n"),
]


@pytest.mark.parametrize("prepare,options,status,last,times,said", EXITS)
def test_the_exit_status_tells_how_the_board_ended_and_it_is_powered_off(tmp_path, prepare, options, status,
                                                                          last, times, said):
    board = VBoard.create(tmp_path / "b")
    (board.path / "tmp" / "stale").write_text("x")
    prepare(board)
    r = subprocess.run(boot_argv(board.path, "--time", "fast", *options), capture_output=True,
                       stdin=subprocess.DEVNULL, timeout=120)
    out = console_text(r.stdout)
    assert (r.returncode, r.stderr.decode()) == (status, said), out
    assert out.endswith(last) and out.count(last) == times if last else out == ""
    assert leftovers(board) == [] and not (board.path / "tmp" / "stale").exists()


# Ctrl-] powers the board off only when typed on its own.  Ctrl-C is the
# board's SIGINT (the menu asks again), though vboard boot is started as a
# script's background job is, SIGINT and SIGQUIT ignored; the terminal is
# given back as it was (stty -g before and after).
@pytest.mark.parametrize("intr,keys,status,seen", [(False, ["\x1d"], 5, "vboard: detached, board powered off"),
                                                   (False, ["\x1dq"], 0, 'unknown option "\x1d"'),
                                                   (True, ["q", "\x1d"], 0, 'unknown option "\x1d"')])
def test_ctrl_c_reaches_the_board_and_the_escape_key_counts_alone(tmp_path, intr, keys, status, seen):
    board = VBoard.create(tmp_path / "b")
    board.env("diagnostics=rescue")
    argv = " ".join(boot_argv(board.path, "--time", "fast"))
    runner = pexpect.spawn("/bin/sh", ["-c", f"stty -g; {argv}; echo status=$?; stty -g"], timeout=60,
                           encoding="latin-1", preexec_fn=lambda: [signal.signal(s, signal.SIG_IGN)
                                                                   for s in (signal.SIGINT, signal.SIGQUIT)])
    runner.expect(r"([0-9a-f:]+)\r\n")
    before = runner.match.group(1)
    for asked in range(1 + intr):
        runner.expect_exact("Option? : ")
        launcher = reader_below(runner.pid, "launcher", "the menu")
        status_file = pathlib.Path(f"/proc/{launcher}/status").read_text()
        assert not int(re.search(r"SigIgn:\s+(\w+)", status_file).group(1), 16) & 1 << signal.SIGQUIT - 1
        if asked < intr:
            runner.sendintr()
    for key in keys:
        runner.send(key)
    runner.expect_exact(seen)
    if status == 0:
        reader_below(runner.pid, "launcher", "the menu")
        runner.send("E")
    runner.expect(r"status=(\d+)\r\n([0-9a-f:]+)\r\n")
    assert (int(runner.match.group(1)), runner.match.group(2)) == (status, before)


def test_the_pty_console_keeps_the_boards_output_for_the_next_terminal(tmp_path):
    board = VBoard.create(tmp_path / "b")
    board.env("diagnostics=rescue")
    runner = board.spawn(extra=["--console", "pty"], escape=None)
    runner.expect(r"console: (/dev/pts/\d+)\r\n")
    pty = runner.match.group(1).decode()
    reader_below(runner.pid, "launcher", "the menu")
    def terminal():
        return fdpexpect.fdspawn(os.open(pty, os.O_RDWR | os.O_NOCTTY), timeout=60, encoding="latin-1")
    term = terminal()  # what was written before any terminal opened the port is kept for this one
    term.expect_exact("Option? : ")
    assert term.before.startswith("Entering Rescue Mode.\r\nPlease select one of the following options:")
    term.close()
    runner.expect_exact(f"{pty} closed")
    term = terminal()
    term.send("E")
    term.expect_exact("E\r\nBooting image '1'\r\n")
    term.expect_exact("Sample application 6.0.0.1 done\r\n")
    runner.expect(pexpect.EOF)
    runner.close()
    assert runner.exitstatus == 0 and leftovers(board) == []
