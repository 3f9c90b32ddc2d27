"""Console: a program on a pseudo-terminal typed at one key at a time, each
once the program is blocked in read() on descriptor 0: a key sent earlier
would meet the terminal still in line mode, which echoes it and acts on
erase, kill and end of file itself.  Session: moduledrv on such a console,
here or inside a board (`vboard run`), its result lines read back.
Receiver, Sender, Relay: an XMODEM line between the receiver (its console
and /dev/ttyS0 a pty of ours) and lrzsz's sx, each frame of the sender's
handed to the test, which may rewrite, drop or add blocks."""
import os
import pathlib
import platform
import select
import signal
import subprocess
import termios
import time
import tty

import pexpect
import pytest

from board import Board, driver, outside_board, parse_trace
from vb import PKGTOOL, in_board, run_argv  # noqa: F401 (PKGTOOL: for the tests that import it from here)

MODULEDRV = driver("moduledrv")
READ_SYSCALL = {"x86_64": 0, "aarch64": 63, "ppc": 3, "ppc64le": 3}[platform.machine()]
# How long any single step may take before the harness gives up: a guard
# against a hung test on a loaded machine, not a measurement.
PATIENCE = 60


def wait_until(condition, what, patience=PATIENCE):
    deadline = time.monotonic() + patience
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up waiting for {what}")
        time.sleep(0.002)


def crlf(text):
    """What the terminal shows for text written with line ends: the
    terminal's output processing turns each LF into CR LF."""
    data = text.encode("latin-1") if isinstance(text, str) else text
    return data.replace(b"\n", b"\r\n")


def proc(pid, name):
    """/proc/PID/NAME, or "" once the process is gone."""
    try:
        return pathlib.Path(f"/proc/{pid}/{name}").read_bytes().decode(errors="replace")
    except OSError:
        return ""


def waiting_for_input(pid):
    words = proc(pid, "syscall").split()
    return len(words) > 1 and words[0] == str(READ_SYSCALL) and int(words[1], 16) == 0


def read_calls(pid):
    """read() calls the process has finished, or None once it is gone."""
    io = proc(pid, "io")
    return int(io.split("syscr:")[1].split()[0]) if io else None


def program_of(pid):
    """The program a process runs: argv[0], or the one its emulator runs
    (qemu-ppc PROGRAM ARGV0 ...) for a program of the board's own build."""
    argv = proc(pid, "cmdline").split("\0")
    return argv[1] if pathlib.PurePath(argv[0]).name.startswith("qemu-") and len(argv) > 1 else argv[0]


def descendant(root, name):
    """The first process below root whose program name ends in name, or None:
    how a test outside a board finds the board's program."""
    kids = {}
    for entry in pathlib.Path("/proc").iterdir():
        stat = proc(entry.name, "stat") if entry.name.isdigit() else ""
        if stat:
            kids.setdefault(int(stat[stat.rindex(")") + 2:].split()[1]), []).append(int(entry.name))
    todo = list(kids.get(root, []))
    while todo:
        pid = todo.pop(0)
        if program_of(pid).endswith(name):
            return pid
        todo += kids.get(pid, [])
    return None


def with_prelude(prelude, argv):
    """argv run after prelude, a shell command line, has succeeded."""
    return ["/bin/sh", "-c", prelude + ' && exec "$0" "$@"', *argv] if prelude else list(argv)


class Console:
    """A program on a terminal.  `reader` names the process that reads the
    keys when it is not the one spawned (a program inside a board);
    preexec_fn sets the terminal up for the program."""

    def __init__(self, argv, env=None, reader=None, preexec_fn=None):
        self.child = pexpect.spawn(str(argv[0]), [str(a) for a in argv[1:]], env=env,
                                   timeout=PATIENCE, echo=True, preexec_fn=preexec_fn)
        self.child.delaybeforesend = None  # each key waits for the program's read already
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

    def keys(self, keys, direct=False):
        """Types each text of keys in turn, None being the interrupt key."""
        for k in keys:
            self.interrupt(direct) if k is None else self.key(k)

    def line(self, text):
        """Types a whole line at a program reading lines."""
        self.typed(lambda: self.child.send(text.encode("latin-1") + b"\r"))

    def interrupt(self, direct=False):
        """The terminal's interrupt key, while the program waits.  A program
        in a board run shares no terminal process group of its own with the
        test: it gets the signal that the key raises directly (direct=True)."""
        self.typed(lambda: os.kill(self.reader(), signal.SIGINT) if direct else self.child.sendintr())

    def expect(self, text):
        """Waits for text (exact bytes, LF shown as CR LF) and returns what
        came before it."""
        self.child.expect_exact(crlf(text))
        self.seen += self.child.before + self.child.after
        return self.child.before

    def finish(self):
        """Everything written until the program ends, and its status; what
        came after the last expect() is kept in self.tail."""
        # Flashing a whole root filesystem on a busy machine takes a while,
        # but it shows progress: a program silent for a whole patience is
        # stuck, and one that waits for a key once everything is typed waits
        # for ever, which fails at once.
        written, quiet_since, waiting = -1, 0.0, False
        while self.child.expect([pexpect.EOF, pexpect.TIMEOUT], timeout=1) == 1:
            if len(self.child.before) != written:
                written, quiet_since = len(self.child.before), time.monotonic()
            was, waiting = waiting, waiting_for_input(self.reader())
            if (was and waiting) or time.monotonic() > quiet_since + PATIENCE:
                raise TimeoutError(f"the program did not end; it wrote {self.seen + self.child.before!r}")
        self.tail = self.child.before
        self.seen += self.child.before
        self.child.close()
        return self.seen, self.child.exitstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)


class Session:
    """moduledrv on the test's terminal, or inside a board (self.board, made
    at the first on_board() unless the test gives one)."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.consoles = []
        self.board = None

    def start(self, results, argv, **kw):
        self.results = results
        results.write_text("")
        self.consoles.append(Console(argv, **kw))
        return self.consoles[-1]

    def local(self, *ops, env=None, preexec_fn=None):
        """Only for dialogues that can never reach a command line or a
        board's device: the test's machine is no board."""
        results = self.tmp_path / "results"
        return self.start(results, [*outside_board(MODULEDRV), "-r", results, *ops], env=env, preexec_fn=preexec_fn)

    def on_board(self, *ops, time="fast", prelude=None):
        """moduledrv inside the board; prelude, a shell command line, runs
        there first."""
        self.board = self.board or Board(self.tmp_path / "board")
        program = with_prelude(prelude, [in_board(MODULEDRV), "-r", "/vboard/results", *ops])
        c = self.start(self.board.path / "results", run_argv(self.board.path, program, programs=[MODULEDRV], time=time))
        c.reader = lambda: descendant(c.child.pid, "moduledrv")
        return c

    def lines(self):
        return self.results.read_text().splitlines()

    def finish(self):
        """The last console's program run to its end (status 0): (console
        text with CR LF as LF, result lines)."""
        seen, status = self.consoles[-1].finish()
        assert status == 0, seen
        return seen.replace(b"\r\n", b"\n").decode("latin-1"), self.lines()

    def commands(self):
        """The board's command lines as the trace shows them (C escapes kept)."""
        return [rest[len("system "):] for _, _, rest in self.events(["system"])]

    def events(self, kinds):
        """(usec, words, text) of the board's trace events of the given kinds."""
        return parse_trace(self.board.path / "trace.log", kinds)

    def close(self):
        for c in self.consoles:
            c.close()


@pytest.fixture
def session(tmp_path):
    s = Session(tmp_path)
    yield s
    s.close()


# --- the serial line of an XMODEM transfer ---

SOH, STX, EOT, ACK, NAK, CAN = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18
START_PROMPT = (b"       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
                b"       before initiating the download.\r\n")
START_REMINDER = b"\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
BACK_PROMPT = b"       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"


def read_fd(fd, timeout, size=4096):
    """What fd has within timeout seconds (b"" for nothing)."""
    try:
        return os.read(fd, size) if select.select([fd], [], [], timeout)[0] else b""
    except OSError:  # closed meanwhile
        return b""


class OnPty:
    """A program whose standard input and output are a pty of ours; its
    standard error goes to a file."""

    def __init__(self, raw=False):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        if raw:
            tty.setraw(self.slave)

    def start(self, argv, err_path, **kw):
        self.err_path = err_path
        with open(err_path, "wb") as err:
            self.proc = subprocess.Popen([str(a) for a in argv], stdin=self.slave, stdout=self.slave,
                                         stderr=err, **kw)
        return self

    def stderr(self):
        return self.err_path.read_text(errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        os.close(self.master)
        os.close(self.slave)


class Sender(OnPty):
    """lrzsz's sx on a raw pty of its own."""

    def __init__(self, workdir, path, options=("-k",)):
        super().__init__(raw=True)
        self.start(["sx", *options, path], pathlib.Path(workdir) / "sender.err", start_new_session=True)


class Receiver(OnPty):
    """A program whose /dev/ttyS0 (unless line=False), standard input and
    standard output are one pty of ours."""

    def __init__(self, workdir, argv, line=True, extra=()):
        super().__init__()
        self.initial = termios.tcgetattr(self.slave)
        self.seen = bytearray()  # everything the program wrote on the line
        self.switched = []  # the line's settings at each Enter of the operator
        self.results = pathlib.Path(workdir) / "results"
        wrap = ["bwrap", "--bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--die-with-parent",
                *(["--dev-bind", self.path, "/dev/ttyS0"] if line else []), *extra, "--"]
        self.start(wrap + list(argv), pathlib.Path(workdir) / "receiver.err")

    @classmethod
    def driver(cls, workdir, *ops, line=True, extra=(), prelude=None):
        """moduledrv running ops, its results in workdir/results."""
        results = pathlib.Path(workdir) / "results"
        results.write_text("")
        return cls(workdir, with_prelude(prelude, [*outside_board(MODULEDRV), "-r", results, *ops]), line, extra)

    def read_some(self, timeout, size=4096):
        data = read_fd(self.master, timeout, size)
        self.seen += data
        return data

    def read_until(self, text, start=0):
        """Reads until `text` appears in what was seen after `start`."""
        def seen():
            ended = self.proc.poll() is not None
            if text in self.seen[start:]:
                return True
            if not self.read_some(0.1) and ended:
                raise AssertionError(f"receiver ended before {text!r}; seen {bytes(self.seen[-200:])!r}")
        wait_until(seen, f"{text!r}; seen {bytes(self.seen[-200:])!r}")

    def enter(self, raw, start=0):
        """The operator's Enter once the line has really been switched (raw
        at 115200 bps, or back at 9600 bps): an earlier one is flushed."""
        self.read_until(START_PROMPT if raw else BACK_PROMPT, start)
        wait_until(lambda: raw != bool(termios.tcgetattr(self.slave)[3] & termios.ICANON), "the line switched")
        self.switched.append(termios.tcgetattr(self.slave))
        os.write(self.master, b"\r")

    def wait(self):
        wait_until(lambda: not self.read_some(0.05) and self.proc.poll() is not None, "the receiver to end")
        return self.proc.returncode

    def lines(self):
        self.wait()
        return self.results.read_text().splitlines()

    def result(self):
        """The receiver's result: bytes received, 0 cancelled, -1 no line or file."""
        return int(self.lines()[-1].removeprefix("receive -> "))


class Relay:
    """Copies bytes between the receiver's line and the sender's.  The
    sender's stream is cut into frames (a whole block, or one byte), each
    handed to `on_frame(relay, frame)`, which forwards it by default."""

    def __init__(self, receiver, sender, on_frame=None):
        self.receiver, self.sender = receiver, sender
        self.on_frame = on_frame or (lambda relay, frame: relay.to_receiver(frame))
        self.frames = []  # every frame the sender sent, as sent
        self.replies = bytearray()  # every byte the receiver sent
        self.taken = []  # the replies kept from the sender
        self.stream = bytearray()

    def to_receiver(self, data):
        os.write(self.receiver.master, data)

    def to_sender(self, data):
        os.write(self.sender.master, data)

    def take_reply(self):
        """The receiver's next byte, kept from the sender."""
        wait_until(lambda: self.receiver.read_some(0.1, 1), "a reply from the receiver")
        self.replies += self.receiver.seen[-1:]
        self.taken.append(self.receiver.seen[-1])
        return self.taken[-1]

    def frames_of(self, data):
        self.stream += data
        while self.stream:
            size = {SOH: 3 + 128 + 2, STX: 3 + 1024 + 2}.get(self.stream[0], 1)
            if len(self.stream) < size:
                return
            frame = bytes(self.stream[:size])
            del self.stream[:size]
            yield frame

    def run(self):
        """Relays until the sender has ended and the receiver has ended or
        asks to go back to 9600 bps."""
        mark, deadline = len(self.receiver.seen), time.monotonic() + 10 * PATIENCE
        while self.sender.proc.poll() is None or not (
                BACK_PROMPT in self.receiver.seen[mark:] or self.receiver.proc.poll() is not None):
            if self.sender.proc.poll() is not None:  # what is left is quick, unless it never ends
                deadline = min(deadline, time.monotonic() + PATIENCE)
            if time.monotonic() > deadline:
                raise TimeoutError("transfer did not end")
            ready = select.select([self.receiver.master, self.sender.master], [], [], 0.05)[0]
            replies = self.receiver.read_some(0) if self.receiver.master in ready else b""
            self.replies += replies
            if replies and self.sender.proc.poll() is None:
                self.to_sender(replies)
            for frame in self.frames_of(read_fd(self.sender.master, 0) if self.sender.master in ready else b""):
                self.frames.append(frame)
                self.on_frame(self, frame)

    def blocks(self):
        return [f for f in self.frames if len(f) > 1]


def transfer(workdir, source, out, on_frame=None, sender_options=("-k",), before=None):
    """One whole transfer into the receiver: (receiver, relay, result);
    before(receiver, mark) runs on the line before the sender starts."""
    receiver = Receiver.driver(workdir, "receive", out)
    sender = None
    try:
        receiver.enter(raw=True)
        mark = len(receiver.seen)
        if before:
            before(receiver, mark)
        sender = Sender(workdir, source, sender_options)
        relay = Relay(receiver, sender, on_frame)
        relay.run()
        receiver.enter(raw=False, start=mark)
        return receiver, relay, receiver.result()
    finally:
        if sender:
            sender.close()
        receiver.close()
