"""Typing at the rescue console through a pseudo-terminal, as an operator at
a serial terminal does: one key at a time, each once the program is waiting
for it.

A program is waiting for a key when it is blocked in read() on descriptor 0;
/proc/PID/syscall shows that.  Keys sent earlier would reach the terminal
while it is still in its normal line mode, where it echoes them and treats
some of them (erase, kill, end of file) itself, which no operator at a
program that waits for every key sees."""
import os
import pathlib
import platform
import signal
import time

import pexpect
import pytest

from board import BUILD_DIR, driver, outside_board
from vb import in_board, run_argv

CONSOLEDRV = driver("consoledrv")
VBOARD = BUILD_DIR / "bin" / "vboard"
PKGTOOL = BUILD_DIR / "bin" / "pkgtool"

READ_SYSCALL = {"x86_64": 0, "aarch64": 63, "ppc": 3, "ppc64le": 3}[platform.machine()]
# Only a bound on how long a broken program may keep a test waiting.
PATIENCE = 30


def waiting_for_input(pid):
    try:
        words = pathlib.Path(f"/proc/{pid}/syscall").read_text().split()
    except OSError:
        return False
    return len(words) > 1 and words[0] == str(READ_SYSCALL) and int(words[1], 16) == 0


def read_calls(pid):
    """How many read() calls the process has finished, or None once it is gone."""
    try:
        for line in pathlib.Path(f"/proc/{pid}/io").read_text().splitlines():
            if line.startswith("syscr:"):
                return int(line.split()[1])
    except OSError:
        pass
    return None


def wait_until(condition, what):
    deadline = time.monotonic() + PATIENCE
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.002)


def crlf(text):
    """What the terminal shows for text written with line ends: the
    terminal's output processing turns each LF into CR LF."""
    data = text.encode("latin-1") if isinstance(text, str) else text
    return data.replace(b"\n", b"\r\n")


def children_map():
    kids = {}
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        kids.setdefault(ppid, []).append(int(entry.name))
    return kids


def program_of(pid):
    """The program a process runs as its command line names it: argv[0], or
    for a program of the board's own build the one that its emulator runs
    (qemu-ppc PROGRAM ARGV0 ...)."""
    try:
        argv = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().decode(errors="replace").split("\0")
    except OSError:
        return ""
    emulated = pathlib.PurePath(argv[0]).name.startswith("qemu-") and len(argv) > 1
    return argv[1] if emulated else argv[0]


def descendant(root, name):
    """The first process below root whose program name ends in name, or None:
    how a test outside a board finds the board's program."""
    kids = children_map()
    todo = list(kids.get(root, []))
    while todo:
        pid = todo.pop(0)
        if program_of(pid).endswith(name):
            return pid
        todo += kids.get(pid, [])
    return None


class Console:
    """A program on a terminal.  `reader` names the process that reads the
    keys when it is not the one spawned (a program inside a board)."""

    def __init__(self, argv, env=None, reader=None, preexec_fn=None):
        """preexec_fn runs in the child on its terminal before the program
        starts, for terminal settings the program is to find."""
        self.child = pexpect.spawn(str(argv[0]), [str(a) for a in argv[1:]], env=env,
                                   timeout=PATIENCE, echo=True, preexec_fn=preexec_fn)
        self.reader = reader or (lambda: self.child.pid)
        self.seen = b""

    def wait_reading(self):
        wait_until(lambda: waiting_for_input(self.reader()), "the program to wait for a key")

    def typed(self, action):
        """Does action once the program waits for input, and returns once
        the program's read has ended: the next key must not reach the
        terminal while the program has it back in line mode."""
        self.wait_reading()
        pid = self.reader()
        before = read_calls(pid)
        action()
        wait_until(lambda: (calls := read_calls(pid)) is None or calls > before, "the program to take the key")

    def key(self, data):
        """Types each byte of data once the program waits for it."""
        data = data.encode("latin-1") if isinstance(data, str) else data
        for b in data:
            self.typed(lambda: self.child.send(bytes([b])))

    def line(self, text):
        """Types a whole line at a program reading lines."""
        self.typed(lambda: self.child.send(text.encode("latin-1") + b"\r"))

    def interrupt(self, direct=False):
        """The terminal's interrupt key, while the program waits.  A program
        in a board run shares no terminal process group of its own with the
        test: it gets the signal that the key raises directly (direct=True)."""
        if direct:
            self.typed(lambda: os.kill(self.reader(), signal.SIGINT))
        else:
            self.typed(self.child.sendintr)

    def expect(self, text):
        """Waits for text (exact bytes, LF shown as CR LF) and returns what
        came before it."""
        self.child.expect_exact(crlf(text))
        self.seen += self.child.before + self.child.after
        return self.child.before

    def finish(self):
        """Everything written until the program ends, and its status; what
        came after the last expect() is kept in self.tail."""
        # Flashing a whole root filesystem on a busy machine takes a while.
        self.child.expect(pexpect.EOF, timeout=10 * PATIENCE)
        self.tail = self.child.before
        self.seen += self.child.before
        self.child.close()
        return self.seen, self.child.exitstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)


class Session:
    """consoledrv on the test's terminal, or inside a board."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.consoles = []
        self.results = None

    def local(self, *ops, env=None):
        if not CONSOLEDRV.exists():
            pytest.fail(f"{CONSOLEDRV} is not built")
        self.results = self.tmp_path / "results"
        self.results.write_text("")
        c = Console([*outside_board(CONSOLEDRV), "-r", self.results, *ops], env=env)
        self.consoles.append(c)
        return c

    def on_board(self, board, *ops, prelude=None):
        """consoledrv inside the board; prelude, a shell command line, runs
        there first."""
        if not VBOARD.exists():
            pytest.fail(f"{VBOARD} is not built")
        self.results = board.path / "results"
        self.results.write_text("")
        program = [in_board(CONSOLEDRV), "-r", "/vboard/results", *ops]
        if prelude:
            program = ["/bin/sh", "-c", prelude + ' && exec "$0" "$@"', *program]
        c = Console(run_argv(board.path, program, programs=[CONSOLEDRV]))
        c.reader = lambda: descendant(c.child.pid, "consoledrv")
        self.consoles.append(c)
        return c

    def lines(self):
        return self.results.read_text().splitlines()

    def close(self):
        for c in self.consoles:
            c.close()
