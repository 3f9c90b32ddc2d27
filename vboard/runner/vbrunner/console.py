"""The board's serial console: a pseudo-terminal that outlives reboots (the
console and /dev/ttyS0 of every boot), relayed to the operator's side."""
import fcntl
import os
import select
import signal
import termios
import time
import tty

from .common import fail


def parse_escape(text):
    if text == "none":
        return None
    if len(text) == 2 and text[0] == "^" and "@" <= text[1].upper() <= "_":
        return bytes([ord(text[1].upper()) - 64])
    fail(f"--escape {text}: expected ^X (a control key) or none")


def message(text):
    """A word of the runner's own to the operator, between console lines."""
    os.write(2, f"\r\nvboard: {text}\r\n".encode())


def drain(fd, out):
    """Reads what fd holds now; writes it to out unless out is None."""
    while True:
        try:
            r, _, _ = select.select([fd], [], [], 0)
            if not r:
                return
            data = os.read(fd, 65536)
        except OSError:
            return
        if not data:
            return
        if out is not None:
            write_all(out, data)


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
    raw while attached and restored after, and its escape key detaches;
    without one the console is relayed all the same."""

    def __init__(self, escape):
        self.fd_in, self.fd_out = 0, 1
        self.is_tty = os.isatty(0)
        self.escape = escape if self.is_tty else None
        self.saved = None

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


class Console:
    def __init__(self, peer):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.line = termios.tcgetattr(self.slave)
        self.peer = peer
        self.input_open = True
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
        peer_in = self.peer.fd_in
        pidfd = os.pidfd_open(proc.pid)
        try:
            while True:
                readers = [self.master, pidfd] + (
                    [peer_in] if self.input_open and not self.pending else [])
                writers = [self.master] if self.pending else []
                timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
                r, w, _ = select.select(readers, writers, [], timeout)
                if not r and not w:
                    return "timeout"
                if self.master in r:
                    drain(self.master, self.peer.fd_out)
                if self.master in w:
                    self.send()
                if peer_in in r and self.take_input():
                    return "detached"
                if pidfd in r:
                    proc.wait()
                    drain(self.master, self.peer.fd_out)
                    return "ended"
        finally:
            os.close(pidfd)

    def take_input(self):
        try:
            data = os.read(self.peer.fd_in, 4096)
        except OSError:
            data = b""
        if not data:
            self.input_open = False
            return False
        escape = self.peer.escape
        if escape is not None and escape in data:
            self.pending += data[:data.index(escape)]
            self.send()
            return True
        self.pending += data
        self.send()
        return False

    def send(self):
        try:
            n = os.write(self.master, self.pending)
            self.pending = self.pending[n:]
        except BlockingIOError:
            pass
