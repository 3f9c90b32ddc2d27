"""Typing at a program through a terminal, as an operator at a serial
terminal does, and the serial line of an XMODEM transfer.

Console: a program on a pseudo-terminal, typed at one key at a time, each
once the program is waiting for it.  A program is waiting for a key when it
is blocked in read() on descriptor 0 (/proc/PID/syscall shows that).  Keys
sent earlier would reach the terminal while it is still in its normal line
mode, where it echoes them and treats some of them (erase, kill, end of file)
itself, which no operator at a program that waits for every key sees.

Session: moduledrv on such a console, on the test's own terminal or inside a
board (`vboard run`), its result lines ("OP -> RESULT") read back.

Receiver, Sender, Relay: the serial line of an XMODEM transfer, two
pseudo-terminals and a byte relay between them.  The receiver (moduledrv, or
any command) has a pty of its own as /dev/ttyS0 and as its console, inside a
small bubblewrap namespace; lrzsz's `sx` runs on a second pty; the relay
copies bytes between the two masters, optionally at a serial line's pace,
and lets a test rewrite, drop or inject blocks of the sender's stream.  The
operator's part (Enter at 115200 bps, Enter again at 9600 bps) is played by
the Receiver."""
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

from board import BUILD_DIR, Board, driver, outside_board, parse_trace
from vb import in_board, run_argv

MODULEDRV = driver("moduledrv")
VBOARD = BUILD_DIR / "bin" / "vboard"
PKGTOOL = BUILD_DIR / "bin" / "pkgtool"

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
    kids = {}
    for entry in pathlib.Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text() if entry.name.isdigit() else ""
        except OSError:
            continue
        if stat:
            kids.setdefault(int(stat[stat.rindex(")") + 2:].split()[1]), []).append(int(entry.name))
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
        # Flashing a whole root filesystem on a busy machine takes a while,
        # but a program that waits for a key once everything is typed waits
        # for ever: that fails at once.
        deadline, waiting = time.monotonic() + 10 * PATIENCE, False
        while self.child.expect([pexpect.EOF, pexpect.TIMEOUT], timeout=1) == 1:
            was, waiting = waiting, waiting_for_input(self.reader())
            if (was and waiting) or time.monotonic() > deadline:
                raise TimeoutError(f"the program did not end; it wrote {self.seen + self.child.before!r}")
        self.tail = self.child.before
        self.seen += self.child.before
        self.child.close()
        return self.seen, self.child.exitstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)


def built(*programs):
    for p in programs:
        if not pathlib.Path(p).exists():
            pytest.fail(f"{p} is not built")


class Session:
    """moduledrv on the test's terminal, or inside a board (self.board, made
    at the first on_board() unless the test gives one)."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.consoles = []
        self.results = None
        self.board = None

    def local(self, *ops, env=None, preexec_fn=None):
        """Only for dialogues that can never reach a command line or a
        board's device: the test's machine is no board."""
        built(MODULEDRV)
        self.results = self.tmp_path / "results"
        self.results.write_text("")
        c = Console([*outside_board(MODULEDRV), "-r", self.results, *ops], env=env, preexec_fn=preexec_fn)
        self.consoles.append(c)
        return c

    def on_board(self, *ops, time="fast", prelude=None):
        """moduledrv inside the board; prelude, a shell command line, runs
        there first."""
        built(MODULEDRV, VBOARD)
        self.board = self.board or Board(self.tmp_path / "board")
        self.results = self.board.path / "results"
        self.results.write_text("")
        program = [in_board(MODULEDRV), "-r", "/vboard/results", *ops]
        if prelude:
            program = ["/bin/sh", "-c", prelude + ' && exec "$0" "$@"', *program]
        c = Console(run_argv(self.board.path, program, programs=[MODULEDRV], time=time))
        c.reader = lambda: descendant(c.child.pid, "moduledrv")
        self.consoles.append(c)
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


def crc16(data):
    """CRC-16/XMODEM, bit by bit."""
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def make_block(number, data):
    return renumber(bytes([SOH if len(data) == 128 else STX, 0, 0]) + data + crc16(data).to_bytes(2, "big"), number)


def block_number(frame):
    return frame[1]


def is_block(frame):
    return frame[0] in (SOH, STX) and len(frame) > 3


def renumber(frame, number):
    return bytes([frame[0], number & 0xFF, 255 - (number & 0xFF)]) + frame[3:]


def corrupt_data(frame):
    return frame[:10] + bytes([frame[10] ^ 0x40]) + frame[11:]


def corrupt_complement(frame):
    return frame[:2] + bytes([frame[2] ^ 0x01]) + frame[3:]


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:  # closed already
                pass


class Receiver:
    """A program whose /dev/ttyS0 (unless line=False), standard input and
    standard output are one pty of ours; its standard error goes to a file."""

    def __init__(self, workdir, argv, line=True, extra=()):
        self.workdir = pathlib.Path(workdir)
        self.pty = Pty()
        self.initial = termios.tcgetattr(self.pty.slave)
        self.seen = bytearray()  # everything the program wrote on the line
        self.err_path = self.workdir / "receiver.err"
        self.results = self.workdir / "results"
        wrap = ["bwrap", "--bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--die-with-parent"]
        if line:
            wrap += ["--dev-bind", self.pty.path, "/dev/ttyS0"]
        wrap += [str(a) for a in extra]
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(wrap + ["--"] + [str(a) for a in argv], stdin=self.pty.slave,
                                         stdout=self.pty.slave, stderr=err)

    @classmethod
    def driver(cls, workdir, *ops, line=True, extra=(), prelude=None):
        """moduledrv running ops, its results in workdir/results; prelude, a
        shell command line, runs first."""
        built(MODULEDRV)
        results = pathlib.Path(workdir) / "results"
        results.write_text("")
        argv = [*outside_board(MODULEDRV), "-r", results, *ops]
        if prelude:
            argv = ["/bin/sh", "-c", prelude + ' && exec "$0" "$@"', *argv]
        return cls(workdir, argv, line=line, extra=extra)

    @classmethod
    def receive(cls, workdir, out, line=True):
        """The XMODEM-1K receiver receiving into out."""
        return cls.driver(workdir, "receive", out, line=line)

    def settings(self):
        return termios.tcgetattr(self.pty.slave)

    def raw(self):
        return not self.settings()[3] & termios.ICANON

    def read_some(self, timeout):
        r, _, _ = select.select([self.pty.master], [], [], timeout)
        if not r:
            return b""
        try:
            data = os.read(self.pty.master, 4096)
        except OSError:
            return b""
        self.seen += data
        return data

    def read_until(self, text, start=0):
        """Reads until `text` appears in what was seen after `start`."""
        deadline = time.monotonic() + PATIENCE
        while text not in self.seen[start:]:
            if time.monotonic() > deadline:
                raise TimeoutError(f"gave up waiting for {text!r}; seen {bytes(self.seen[-200:])!r}")
            if self.proc.poll() is not None and not self.read_some(0.05):
                raise AssertionError(f"receiver ended before {text!r}; seen {bytes(self.seen[-200:])!r}")
            self.read_some(0.1)
        return self.seen.index(text, start)

    def press_enter_at_115200(self):
        """The operator switches the terminal and presses Enter once the
        line has really been switched (an earlier Enter is flushed)."""
        self.read_until(START_PROMPT)
        wait_until(self.raw, "the line in raw mode")
        self.raw_settings = self.settings()
        os.write(self.pty.master, b"\r")

    def press_enter_at_9600(self, start=0):
        """Waits for the request to go back to 9600 bps, then presses Enter
        once the console's settings are back."""
        self.read_until(BACK_PROMPT, start)
        wait_until(lambda: not self.raw(), "the line's settings restored")
        self.restored = self.settings()
        os.write(self.pty.master, b"\r")

    def lines(self):
        """moduledrv's result lines, once it has ended."""
        self.wait()
        return self.results.read_text().splitlines()

    def result(self):
        """The receiver's result: bytes received, 0 cancelled, -1 no line or file."""
        lines = self.lines()
        if not lines or not lines[-1].startswith("receive -> "):
            raise AssertionError(f"no result line; stderr: {self.stderr()!r}")
        return int(lines[-1].split()[-1])

    def wait(self):
        deadline = time.monotonic() + PATIENCE
        while self.proc.poll() is None:
            if time.monotonic() > deadline:
                self.proc.kill()
                raise TimeoutError("receiver did not end")
            self.read_some(0.05)
        while self.read_some(0):
            pass
        return self.proc.returncode

    def stderr(self):
        return self.err_path.read_text(errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.pty.close()


class Sender:
    """lrzsz's sx on a raw pty of its own."""

    def __init__(self, workdir, path, options=("-k",), program="sx"):
        self.pty = Pty()
        tty.setraw(self.pty.slave)
        self.err_path = pathlib.Path(workdir) / "sender.err"
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([program, *options, str(path)], stdin=self.pty.slave,
                                         stdout=self.pty.slave, stderr=err, start_new_session=True)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.pty.close()


class Relay:
    """Copies bytes between the receiver's line and the sender's line.

    The sender's stream is cut into frames (a whole block, or one byte);
    each frame goes to `on_frame(relay, frame)`, which forwards it by
    default.  With `rate` (bits per second) each direction is paced like a
    serial line with 10 bits per byte."""

    CHUNK = 32

    def __init__(self, receiver, sender, on_frame=None, rate=None):
        self.receiver = receiver
        self.sender = sender
        self.on_frame = on_frame or (lambda relay, frame: relay.to_receiver(frame))
        self.rate = rate
        self.busy = {}
        self.frames = []  # every frame the sender sent, as sent
        self.replies = bytearray()  # every byte the receiver sent
        self.stream = bytearray()
        self.first_block_at = None
        self.stats = {}

    def paced_write(self, fd, data):
        if self.rate is None:
            os.write(fd, data)
            return
        # The bytes were all there when the call came: each chunk follows
        # the one before on the wire, whatever our own sleeps overshoot.
        done = max(time.monotonic(), self.busy.get(fd, 0.0))
        for i in range(0, len(data), self.CHUNK):
            chunk = data[i:i + self.CHUNK]
            done += len(chunk) * 10 / self.rate
            delay = done - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            os.write(fd, chunk)
        self.busy[fd] = done

    def to_receiver(self, data):
        self.paced_write(self.receiver.pty.master, data)

    def to_sender(self, data):
        self.paced_write(self.sender.pty.master, data)

    def take_reply(self):
        """The receiver's next byte, kept from the sender."""
        deadline = time.monotonic() + PATIENCE
        while True:
            r, _, _ = select.select([self.receiver.pty.master], [], [], 0.1)
            if r:
                b = os.read(self.receiver.pty.master, 1)
                if b:
                    self.receiver.seen += b
                    self.replies += b
                    return b[0]
            if time.monotonic() > deadline:
                raise TimeoutError("no reply from the receiver")

    def frames_of(self, data):
        self.stream += data
        while self.stream:
            head = self.stream[0]
            if head in (SOH, STX):
                size = 3 + (128 if head == SOH else 1024) + 2
                if len(self.stream) < size:
                    return
            else:
                size = 1
            frame = bytes(self.stream[:size])
            del self.stream[:size]
            yield frame

    def run(self):
        """Relays until the sender has ended and the receiver asks to go
        back to 9600 bps."""
        rx, tx = self.receiver.pty.master, self.sender.pty.master
        mark = len(self.receiver.seen)
        deadline = time.monotonic() + 10 * PATIENCE
        while True:
            if time.monotonic() > deadline:
                raise TimeoutError("transfer did not end")
            if self.sender.proc.poll() is not None and BACK_PROMPT in self.receiver.seen[mark:]:
                return
            if self.receiver.proc.poll() is not None and self.sender.proc.poll() is not None:
                return
            r, _, _ = select.select([rx, tx], [], [], 0.05)
            if rx in r:
                try:
                    data = os.read(rx, 4096)
                except OSError:
                    data = b""
                self.receiver.seen += data
                self.replies += data
                if data and self.sender.proc.poll() is None:
                    self.to_sender(data)
                if ACK in data and self.frames and self.frames[-1] == bytes([EOT]):
                    self.stats.setdefault("eot_acked_at", time.monotonic())
            if tx in r:
                try:
                    data = os.read(tx, 4096)
                except OSError:
                    data = b""
                for frame in self.frames_of(data):
                    if is_block(frame) and self.first_block_at is None:
                        self.first_block_at = time.monotonic()
                    self.frames.append(frame)
                    self.on_frame(self, frame)

    def blocks(self):
        return [f for f in self.frames if is_block(f)]


def transfer(workdir, source, out, on_frame=None, sender_options=("-k",), rate=None):
    """One whole transfer into the receiver: (receiver, relay, result)."""
    receiver = Receiver.receive(workdir, out)
    sender = None
    try:
        receiver.press_enter_at_115200()
        mark = len(receiver.seen)
        sender = Sender(workdir, source, sender_options)
        relay = Relay(receiver, sender, on_frame, rate)
        relay.run()
        receiver.press_enter_at_9600(mark)
        return receiver, relay, receiver.result()
    finally:
        if sender:
            sender.close()
        receiver.close()
