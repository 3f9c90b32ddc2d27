"""The board's serial console: a pseudo-terminal that outlives reboots (the
console and /dev/ttyS0 of every boot), relayed to the operator's side: the
terminal vboard runs on (Terminal), or a pseudo-terminal of its own that a
terminal program opens as it would a board's serial port (PtyPort)."""
import fcntl
import os
import select
import signal
import termios
import time
import tty

from .common import fail

# An escape key counts only when it is typed on its own: nothing else arrives
# this long before or after it.  Inside a file sent through the console (an
# XMODEM block holding the byte) its neighbours are never that far away.
QUIET = 0.5


def parse_escape(text):
    if text == "none":
        return None
    if len(text) == 2 and text[0] == "^" and "@" <= text[1].upper() <= "_":
        return bytes([ord(text[1].upper()) - 64])
    fail(f"--escape {text}: expected ^X (a control key) or none")


def message(text):
    """A word of the runner's own to the operator: on a raw terminal it takes
    a line of its own between the console's lines."""
    try:
        raw = not termios.tcgetattr(2)[3] & termios.ICANON
    except termios.error:
        raw = False
    os.write(2, (f"\r\nvboard: {text}\r\n" if raw else f"vboard: {text}\n").encode())


def readable(fd):
    return bool(select.select([fd], [], [], 0)[0])


def drain(fd, take=None):
    """Reads what fd holds now; hands each piece to take unless it is None."""
    while True:
        try:
            if not readable(fd):
                return
            data = os.read(fd, 65536)
        except OSError:
            return
        if not data:
            return
        if take is not None:
            take(data)


def write_all(fd, data):
    while data:
        try:
            n = os.write(fd, data)
        except BlockingIOError:
            select.select([], [fd], [])
            continue
        data = data[n:]


class Terminal:
    """The operator's side: standard input and output.  A terminal there is
    raw while attached and restored after, and its escape key, typed alone,
    detaches; without one the console is relayed all the same."""

    def __init__(self, escape):
        self.fd_in, self.fd_out = 0, 1
        self.is_tty = os.isatty(0)
        self.escape = escape if self.is_tty else None
        self.saved = None
        self.input_open = True
        self.last_input = -QUIET
        self.held = b""
        self.held_at = 0.0

    def attach(self, line):
        """Raw mode; the board's line takes the terminal's size, now and
        whenever it changes."""
        if not self.is_tty:
            return
        self.saved = termios.tcgetattr(0)
        tty.setraw(0)

        def resize(*_):
            try:
                size = fcntl.ioctl(0, termios.TIOCGWINSZ, b"\0" * 8)
                fcntl.ioctl(line, termios.TIOCSWINSZ, size)
            except OSError:
                pass
        resize()
        signal.signal(signal.SIGWINCH, resize)

    def detach(self):
        if self.saved is not None:
            termios.tcsetattr(0, termios.TCSADRAIN, self.saved)
            self.saved = None

    def show(self, data):
        write_all(self.fd_out, data)

    def waits(self, accepting):
        """(descriptors to read, to write, seconds until a held escape key
        counts or None); accepting: whether keys for the board are taken."""
        readers = [self.fd_in] if self.input_open and accepting else []
        if not self.held:
            return readers, [], None
        return readers, [], max(0.0, self.held_at + QUIET - time.monotonic())

    def serve(self, r, w):
        """(keys for the board, whether the escape key was typed), given the
        descriptors ready to read and to write."""
        now = time.monotonic()
        if self.fd_in in r:
            return self.take_input(now), False
        if self.held and now - self.held_at >= QUIET:
            keys, self.held = self.held, b""
            # Keys that wait unread follow it: it was not typed alone.
            return (keys, False) if readable(self.fd_in) else (b"", True)
        return b"", False

    def take_input(self, now):
        try:
            data = os.read(self.fd_in, 4096)
        except OSError:
            data = b""
        if not data:
            self.input_open = False
            return b""
        alone = data == self.escape and now - self.last_input >= QUIET
        self.last_input = now
        keys, self.held = self.held, b""
        if alone and not keys:
            self.held, self.held_at = data, now
            return b""
        return keys + data


class Console:
    def __init__(self, peer):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.line = termios.tcgetattr(self.slave)
        self.peer = peer
        self.pending = b""
        os.set_blocking(self.master, False)
        peer.attach(self.slave)

    def reset_line(self):
        """The serial line as a fresh boot finds it."""
        termios.tcsetattr(self.slave, termios.TCSANOW, self.line)

    def close(self):
        self.peer.detach()
        os.close(self.master)
        os.close(self.slave)

    def relay(self, proc, deadline):
        """Relays until proc ends ("ended"), the escape key ("detached") or
        the deadline ("timeout")."""
        pidfd = os.pidfd_open(proc.pid)
        try:
            while True:
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return "timeout"
                peer_r, peer_w, peer_left = self.peer.waits(accepting=not self.pending)
                readers = [self.master, pidfd] + peer_r
                writers = ([self.master] if self.pending else []) + peer_w
                timeout = min((t for t in (left, peer_left) if t is not None), default=None)
                r, w, _ = select.select(readers, writers, [], timeout)
                if self.master in r:
                    drain(self.master, self.peer.show)
                if self.master in w:
                    self.send()
                keys, detached = self.peer.serve(r, w)
                if detached:
                    return "detached"
                if keys:
                    self.pending += keys
                    self.send()
                if pidfd in r:
                    proc.wait()
                    drain(self.master, self.peer.show)
                    return "ended"
        finally:
            os.close(pidfd)

    def send(self):
        try:
            n = os.write(self.master, self.pending)
            self.pending = self.pending[n:]
        except BlockingIOError:
            pass
