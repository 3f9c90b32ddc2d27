"""The serial line of an XMODEM transfer, made of two pseudo-terminals and a
byte relay between them.

The receiver (xmodemdrv, or any command) runs with a pty of its own as
/dev/ttyS0 and as its console, inside a small bubblewrap namespace; lrzsz's
`sx` runs on a second pty; the relay copies bytes between the two masters,
optionally at a serial line's pace, and lets a test rewrite, drop or inject
blocks of the sender's stream.  The operator's part (Enter at 115200 bps,
Enter again at 9600 bps) is played by the Receiver object."""
import os
import pathlib
import select
import subprocess
import termios
import time
import tty

from board import driver, outside_board

XMODEMDRV = driver("xmodemdrv")

SOH, STX, EOT, ACK, NAK, CAN = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18
CRC_MODE = ord("C")

START_PROMPT = (b"       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
                b"       before initiating the download.\r\n")
START_REMINDER = b"\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
BACK_PROMPT = b"       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"

# How long any single step may take before the harness gives up: a guard
# against a hung test, not a measurement.
PATIENCE = 60


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
    header = SOH if len(data) == 128 else STX
    number &= 0xFF
    return bytes([header, number, 255 - number]) + data + crc16(data).to_bytes(2, "big")


def block_number(frame):
    return frame[1]


def is_block(frame):
    return frame[0] in (SOH, STX) and len(frame) > 3


def renumber(frame, number):
    number &= 0xFF
    return bytes([frame[0], number, 255 - number]) + frame[3:]


def corrupt_data(frame):
    data = bytearray(frame)
    data[10] ^= 0x40
    return bytes(data)


def corrupt_complement(frame):
    data = bytearray(frame)
    data[2] ^= 0x01
    return bytes(data)


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up waiting for {what}")
        time.sleep(0.005)


class Receiver:
    """A program whose /dev/ttyS0, standard input and standard output are
    one pty of ours; its standard error goes to a file."""

    def __init__(self, workdir, argv, line=True, extra=()):
        self.workdir = pathlib.Path(workdir)
        self.pty = Pty()
        self.initial = termios.tcgetattr(self.pty.slave)
        self.seen = bytearray()  # everything the program wrote on the line
        self.err_path = self.workdir / "receiver.err"
        wrap = ["bwrap", "--bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--die-with-parent"]
        if line:
            wrap += ["--dev-bind", self.pty.path, "/dev/ttyS0"]
        wrap += [str(a) for a in extra]
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(wrap + ["--"] + [str(a) for a in argv], stdin=self.pty.slave,
                                         stdout=self.pty.slave, stderr=err)

    @classmethod
    def xmodemdrv(cls, workdir, out, line=True):
        return cls(workdir, [*outside_board(XMODEMDRV), out], line=line)

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
        wait_for(self.raw, "the line in raw mode")
        self.raw_settings = self.settings()
        os.write(self.pty.master, b"\r")

    def press_enter_at_9600(self, start=0):
        """Waits for the request to go back to 9600 bps, then presses Enter
        once the console's settings are back."""
        self.read_until(BACK_PROMPT, start)
        wait_for(lambda: not self.raw(), "the line's settings restored")
        self.restored = self.settings()
        os.write(self.pty.master, b"\r")

    def result(self):
        """The receiver's exit; its result from xmodemdrv's last line."""
        self.wait()
        err = self.stderr()
        last = err.strip().splitlines()[-1] if err.strip() else ""
        if not last.startswith("Xmodem1K -> "):
            raise AssertionError(f"no result line; stderr: {err!r}")
        return int(last.split()[-1])

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
    """One whole transfer with xmodemdrv: (receiver, relay, result)."""
    receiver = Receiver.xmodemdrv(workdir, out)
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
