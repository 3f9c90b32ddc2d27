"""The board's serial console: a pseudo-terminal that outlives reboots (the
console and /dev/ttyS0 of every boot), relayed to the operator's side: the
terminal vboard runs on (Terminal), or a pseudo-terminal of its own that a
terminal program opens as it would a board's serial port (PtyPort)."""
import ctypes
import fcntl
import os
import select
import signal
import sys
import termios
import time
import tty

from .common import fail

# An escape key counts only when it is typed on its own: nothing else arrives
# this long before or after it.  Inside a file sent through the console (an
# XMODEM block holding the byte) its neighbours are never that far away.
QUIET = 0.5

# What the board writes while no terminal reads its port: the last this many
# bytes are kept for the next terminal to open it.
KEEP = 64 * 1024

# How long a terminal may take, once the board is off, to read what the board
# wrote last before its port goes away.
LINGER = 2.0

IN_OPEN = 0x20
LIBC = ctypes.CDLL(None, use_errno=True)


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


def watch_opens(path):
    """A descriptor that turns readable whenever path is opened."""
    fd = LIBC.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0:
        raise OSError(ctypes.get_errno(), "cannot watch the console's pseudo-terminal")
    if LIBC.inotify_add_watch(fd, os.fsencode(path), IN_OPEN) < 0:
        error = ctypes.get_errno()
        os.close(fd)
        raise OSError(error, os.strerror(error), path)
    return fd


class PtyPort:
    """The operator's side on a pseudo-terminal of its own, like an
    emulator's serial port on a pty: a terminal program that opens `path`
    is on the board's serial line.  Each side sets its own speed and modes;
    bytes pass whatever they are.  Nobody need have it open: the board never
    waits for a reader, and the last KEEP bytes it writes meanwhile wait for
    the next terminal (more is dropped, and said so)."""

    def __init__(self):
        self.master, slave = os.openpty()
        try:
            self.path = os.ttyname(slave)
            # Raw for whoever opens it without setting it up (cat, sx):
            # echo here would send the board's output back as its input.
            tty.setraw(slave, termios.TCSANOW)
            self.raw = termios.tcgetattr(slave)
        finally:
            os.close(slave)
        os.set_blocking(self.master, False)
        try:
            self.opened = watch_opens(self.path)
        except OSError:
            os.close(self.master)
            raise
        self.open = False
        self.unsent = bytearray()
        self.dropped = 0

    def attach(self, line):
        pass

    def detach(self):
        """The board is off: an open terminal reads what is left, then the
        port goes away with it."""
        deadline = time.monotonic() + LINGER
        while time.monotonic() < deadline:
            self.look()
            if not self.open or not (self.unsent or self.unread()):
                break
            self.flush()
            select.select([], [self.master] if self.unsent else [], [], 0.02)
        lost = len(self.unsent) + self.dropped
        if lost:
            message(f"console: {lost} bytes of the board's output were never read on {self.path}")
        os.close(self.opened)
        os.close(self.master)

    def show(self, data):
        self.unsent += data
        excess = len(self.unsent) - KEEP
        if excess > 0:
            if not self.dropped:
                message(f"console: nothing reads {self.path}: only the last "
                        f"{KEEP // 1024} KiB of the board's output are kept")
            del self.unsent[:excess]
            self.dropped += excess
        if self.open:
            self.flush()

    def waits(self, accepting):
        readers = [self.opened] + ([self.master] if self.open and accepting else [])
        writers = [self.master] if self.open and self.unsent else []
        return readers, writers, None

    def serve(self, r, w):
        if self.opened in r:
            drain(self.opened)
            self.look()
        keys = self.take_input() if self.open and self.master in r else b""
        if self.open and self.master in w:
            self.flush()
        return keys, False

    def look(self):
        """Whether a terminal has the port open now."""
        hung_up = select.poll()
        hung_up.register(self.master, select.POLLIN)
        now_open = not any(ev & select.POLLHUP for _, ev in hung_up.poll(0))
        if now_open and not self.open:
            self.open = True
            if self.dropped:
                message(f"console: {self.dropped} bytes of the board's output written "
                        f"while {self.path} was not read did not fit and were dropped")
                self.dropped = 0
        elif not now_open and self.open:
            self.closed()

    def closed(self):
        self.open = False
        # Raw again for the next terminal, whatever this one left.
        termios.tcsetattr(self.master, termios.TCSANOW, self.raw)
        message(f"console: {self.path} closed; the board's output is kept for the next "
                "terminal to open it")

    def take_input(self):
        try:
            data = os.read(self.master, 4096)
        except BlockingIOError:
            return b""
        except OSError:
            data = b""
        if not data:
            self.closed()
        return data

    def flush(self):
        try:
            n = os.write(self.master, self.unsent[:65536])
            del self.unsent[:n]
        except BlockingIOError:
            pass
        except OSError:
            self.closed()

    def unread(self):
        """Bytes the terminal has not read yet (held by the pseudo-terminal)."""
        try:
            fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:
            return 0
        try:
            return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4), sys.byteorder)
        except OSError:
            return 0
        finally:
            os.close(fd)


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
