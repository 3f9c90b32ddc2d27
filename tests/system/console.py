"""Console: a program on a pseudo-terminal typed at one key at a time, each
once the program is blocked in read() on descriptor 0: a key sent earlier
would meet the terminal still in line mode, which echoes it and acts on
erase, kill and end of file itself.  Session: moduledrv on such a console,
here or inside a board.  Receiver, Sender, Relay: an XMODEM line."""
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
PATIENCE = 60  # a guard against a hung test on a loaded machine, not a measurement


def wait_until(condition, what, patience=PATIENCE):
    """The condition's first true value."""
    deadline = time.monotonic() + patience
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up waiting for {what}")
        time.sleep(0.002)
    return value


def crlf(text):
    """What the terminal shows: its output processing turns LF into CR LF."""
    data = text.encode("latin-1") if isinstance(text, str) else text
    return data.replace(b"\n", b"\r\n")


def proc(pid, name):  # "" once the process is gone
    try:
        return pathlib.Path(f"/proc/{pid}/{name}").read_bytes().decode(errors="replace")
    except OSError:
        return ""


def waiting_for_input(pid):
    words = proc(pid, "syscall").split()
    return len(words) > 1 and words[0] == str(READ_SYSCALL) and int(words[1], 16) == 0


def read_calls(pid):  # read() calls finished, None once the process is gone
    io = proc(pid, "io")
    return int(io.split("syscr:")[1].split()[0]) if io else None


def descendant(root, name):
    """The first process below root whose program (or its emulator's) ends in name."""
    kids = {}
    for entry in pathlib.Path("/proc").iterdir():
        stat = proc(entry.name, "stat") if entry.name.isdigit() else ""
        if stat:
            kids.setdefault(int(stat[stat.rindex(")") + 2:].split()[1]), []).append(int(entry.name))
    todo = list(kids.get(root, []))
    while todo:
        pid = todo.pop(0)
        argv = proc(pid, "cmdline").split("\0")
        if argv[pathlib.PurePath(argv[0]).name.startswith("qemu-") and len(argv) > 1].endswith(name):
            return pid
        todo += kids.get(pid, [])
    return None


def reader_below(root, name, what):
    """The process below root whose program ends in name, once it waits for input."""
    return wait_until(lambda: (pid := descendant(root, name)) and waiting_for_input(pid) and pid, what)


class Console:
    """A program on a terminal; `reader`: the process that reads the keys."""

    def __init__(self, argv, env=None, reader=None, preexec_fn=None):
        self.child = pexpect.spawn(str(argv[0]), [str(a) for a in argv[1:]], env=env,
                                   timeout=PATIENCE, echo=True, preexec_fn=preexec_fn)
        self.child.delaybeforesend = None  # each key waits for the program's read already
        self.reader = reader or (lambda: self.child.pid)
        self.seen = b""

    def wait_reading(self):
        wait_until(lambda: waiting_for_input(self.reader()), "the program to wait for a key")

    def typed(self, action):
        """action once the program waits for input, until its read has ended."""
        self.wait_reading()
        pid = self.reader()
        before = read_calls(pid)
        action()
        wait_until(lambda: (calls := read_calls(pid)) is None or calls > before, "the program to take the key")

    def key(self, data):
        for b in data.encode("latin-1") if isinstance(data, str) else data:
            self.typed(lambda: self.child.send(bytes([b])))

    def keys(self, keys, direct=False):  # None: the interrupt key
        for k in keys:
            self.interrupt(direct) if k is None else self.key(k)

    def line(self, text):
        self.typed(lambda: self.child.send(text.encode("latin-1") + b"\r"))

    def interrupt(self, direct=False):
        """A program in a board run has no terminal process group of its own:
        it gets the interrupt key's signal directly (direct=True)."""
        self.typed(lambda: os.kill(self.reader(), signal.SIGINT) if direct else self.child.sendintr())

    def expect(self, text):  # returns what came before text
        self.child.expect_exact(crlf(text))
        self.seen += self.child.before + self.child.after
        return self.child.before

    def finish(self):
        """All written until the program ends (after the last expect(): self.tail),
        and its status.  Silent for a patience, or waiting for a key: stuck."""
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
    """moduledrv on the test's terminal, or inside self.board (made at need)."""

    def __init__(self, tmp_path):
        self.tmp_path, self.consoles, self.board = tmp_path, [], None

    def start(self, results, argv, **kw):
        self.results = results
        results.write_text("")
        self.consoles.append(Console(argv, **kw))
        return self.consoles[-1]

    def local(self, *ops, preexec_fn=None):  # for what reaches no command and no device
        results = self.tmp_path / "results"
        return self.start(results, [*outside_board(MODULEDRV), "-r", results, *ops], preexec_fn=preexec_fn)

    def on_board(self, *ops, time="fast", prelude=None):
        """moduledrv inside the board, after prelude (a shell command line)."""
        self.board = self.board or Board(self.tmp_path / "board")
        program = [in_board(MODULEDRV), "-r", "/vboard/results", *ops]
        program = ["/bin/sh", "-c", prelude + ' && exec "$0" "$@"', *program] if prelude else program
        c = self.start(self.board.path / "results", run_argv(self.board.path, program, programs=[MODULEDRV], time=time))
        c.reader = lambda: descendant(c.child.pid, "moduledrv")
        return c

    def lines(self):
        return self.results.read_text().splitlines()

    def finish(self):
        """The last program run to its end: (console text, result lines)."""
        seen, status = self.consoles[-1].finish()
        assert status == 0, seen
        return seen.replace(b"\r\n", b"\n").decode("latin-1"), self.lines()

    def commands(self):  # as the trace shows them, C escapes kept
        return [rest[len("system "):] for _, _, rest in self.events(["system"])]

    def events(self, kinds):  # (usec, words, text) of the board's trace
        return parse_trace(self.board.path / "trace.log", kinds)


@pytest.fixture
def session(tmp_path):
    s = Session(tmp_path)
    yield s
    for c in s.consoles:
        c.close()


# --- the serial line of an XMODEM transfer ---

SOH, STX, EOT, ACK, NAK, CAN = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18
START_PROMPT = (b"       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
                b"       before initiating the download.\r\n")
BACK_PROMPT = b"       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"


def read_fd(fd, timeout, size=4096):  # b"" for nothing, or once closed
    try:
        return os.read(fd, size) if select.select([fd], [], [], timeout)[0] else b""
    except OSError:
        return b""


class OnPty:
    """A program on a pty of ours: its standard input and output and, under
    bwrap with line=True, its /dev/ttyS0; its standard error in workdir."""

    def __init__(self, workdir, name, argv, raw=False, line=None, **kw):
        self.master, self.slave = os.openpty()
        self.initial = termios.tcgetattr(self.slave)
        if raw:
            tty.setraw(self.slave)
        if line is not None:
            argv = ["bwrap", "--bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--die-with-parent",
                    *(["--dev-bind", os.ttyname(self.slave), "/dev/ttyS0"] if line else []), "--", *argv]
        self.err_path = pathlib.Path(workdir) / f"{name}.err"
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([str(a) for a in argv], stdin=self.slave, stdout=self.slave, stderr=err, **kw)

    def stderr(self):
        return self.err_path.read_text(errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        os.close(self.master)
        os.close(self.slave)


def Sender(workdir, path, options=("-k",)):  # lrzsz's sx on a raw pty of its own
    return OnPty(workdir, "sender", ["sx", *options, path], raw=True, start_new_session=True)


class Receiver(OnPty):
    def __init__(self, workdir, argv, line=True):
        self.seen = bytearray()  # everything the program wrote on the line
        self.switched = []  # the line's settings at each Enter of the operator
        self.results = pathlib.Path(workdir) / "results"
        super().__init__(workdir, "receiver", argv, line=line)

    @classmethod
    def driver(cls, workdir, *ops, line=True):  # moduledrv, its results in workdir
        (pathlib.Path(workdir) / "results").write_text("")
        return cls(workdir, [*outside_board(MODULEDRV), "-r", pathlib.Path(workdir) / "results", *ops], line)

    def read_some(self, timeout, size=4096):
        data = read_fd(self.master, timeout, size)
        self.seen += data
        return data

    def read_until(self, text, start=0):  # in what was seen after start
        def seen():
            ended = self.proc.poll() is not None
            if text in self.seen[start:]:
                return True
            if not self.read_some(0.1) and ended:
                raise AssertionError(f"receiver ended before {text!r}; seen {bytes(self.seen[-200:])!r}")
        wait_until(seen, f"{text!r}; seen {bytes(self.seen[-200:])!r}")

    def enter(self, raw, start=0):
        """The operator's Enter once the line is switched: an earlier one is flushed."""
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

    def result(self):  # bytes received, 0 cancelled, -1 no line or file
        return int(self.lines()[-1].removeprefix("receive -> "))


class Relay:
    """Copies bytes between the receiver's line and the sender's, each frame of
    the sender's (a block, or one byte) through on_frame(relay, frame)."""

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

    def take_reply(self):  # the receiver's next byte, kept from the sender
        wait_until(lambda: self.receiver.read_some(0.1, 1), "a reply from the receiver")
        self.replies += self.receiver.seen[-1:]
        self.taken.append(self.receiver.seen[-1])
        return self.taken[-1]

    def run(self):
        """Until the sender has ended, and the receiver too or asks for 9600 bps."""
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
            self.stream += read_fd(self.sender.master, 0) if self.sender.master in ready else b""
            while self.stream and len(self.stream) >= (size := {SOH: 133, STX: 1029}.get(self.stream[0], 1)):
                self.frames.append(bytes(self.stream[:size]))
                del self.stream[:size]
                self.on_frame(self, self.frames[-1])

    def blocks(self):
        return [f for f in self.frames if len(f) > 1]


def transfer(workdir, source, out, on_frame=None, sender_options=("-k",)):
    """(receiver, relay, result) of one whole transfer into the receiver."""
    receiver = Receiver.driver(workdir, "receive", out)
    sender = None
    try:
        receiver.enter(raw=True)
        mark = len(receiver.seen)
        sender = Sender(workdir, source, sender_options)
        relay = Relay(receiver, sender, on_frame)
        relay.run()
        receiver.enter(raw=False, start=mark)
        return receiver, relay, receiver.result()
    finally:
        if sender:
            sender.close()
        receiver.close()
