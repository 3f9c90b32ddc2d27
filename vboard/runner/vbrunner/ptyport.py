"""The operator's side of the console on a pseudo-terminal of its own, for
a terminal program (picocom, minicom, screen, lrzsz) to open as it would a
board's serial port."""
import ctypes
import fcntl
import os
import select
import sys
import termios
import time
import tty

from .console import drain, message

# What the board writes while no terminal reads its port: the last this many
# bytes are kept for the next terminal to open it.
KEEP = 64 * 1024

# How long a terminal may take, once the board is off, to read what the board
# wrote last before its port goes away.
LINGER = 2.0

IN_OPEN = 0x20
LIBC = ctypes.CDLL(None, use_errno=True)

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
