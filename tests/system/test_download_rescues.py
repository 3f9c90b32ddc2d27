"""The menu's download rescues on whole boards.  XMODEM in real time: the
console switched to 115200 bps raw, lrzsz's `sx` sending a package through
the console to the board's `rx`, the line restored, the installer's
dialogue; the operator's terminal is the one `vboard boot` runs on, or one
opened on the pseudo-terminal that `vboard boot --console pty` names, as on
a board's serial port.  TFTP in fast time, from the board's server."""
import io
import os
import subprocess
import termios

import pexpect
import pytest
from pexpect import fdpexpect

from console import CAN, descendant, waiting_for_input, wait_until
from records import record
from vb import VBoard, sample

START = ("Running xmodem rescue.....\r\n"
         "       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
         "       before initiating the download.\r\n")
BACK = "       Change the baud rate back to 9600 bps, hit the <ENTER> key"
REMINDER = "    ... Waiting for the <ENTER> key to be hit..."
INSTALLED = "Image2 updated succeeded\r\nFile processed\r\n"
SLOT = "Install image as image 1 or 2 (hit return to just boot image): "
# Every byte value in its blocks, the escape key of vboard's own terminal
# (0x1D, Ctrl-]) among them.
ALL_BYTES = record("dft", bytes(range(256)) * 8, version=(4, 0, 0, 9))


@pytest.fixture
def board(tmp_path):
    board = VBoard.create(tmp_path / "board")
    board.env("diagnostics=rescue")
    return board


def operator(pty, speed=termios.B9600):
    """A terminal opened on pty at speed, as a terminal program sets it (the
    board's line has its own)."""
    term = fdpexpect.fdspawn(os.open(pty, os.O_RDWR | os.O_NOCTTY), timeout=180)
    settings = termios.tcgetattr(term.child_fd)
    settings[4] = settings[5] = speed
    termios.tcsetattr(term.child_fd, termios.TCSANOW, settings)
    return term


def press_enter(board, term):
    """Enter, once the launcher waits for it: a pause of its wait that starts
    after the request was read shows the line switched and flushed (an Enter
    that came earlier would be thrown away with the line's input)."""
    with open(board.path / "trace.log", "rb") as trace:
        trace.seek(0, os.SEEK_END)
        new = bytearray()

        def paused():
            new.extend(trace.read())
            return b" sleep " in new
        wait_until(paused, "the launcher to wait for Enter")
    term.send("\r")


def receive(board, term, send, reopen=None):
    """The XMODEM entry chosen at the menu, Enter at 115200 bps (on the
    terminal reopen(term) gives), send(term) on the line, Enter back at
    9600 bps with the console's own settings: the terminal."""
    term.expect_exact("Option? : ")
    term.send("X")
    term.expect_exact("X\r\n" + START)
    term = reopen(term) if reopen else term
    press_enter(board, term)
    send(term)
    # The sender may still be reading the line when the instruction to
    # switch back goes out; the reminder that follows is then what is seen.
    term.expect_exact([BACK, REMINDER])
    press_enter(board, term)
    return term


def sx(path):
    def send(term):
        sent = subprocess.run(["sx", "-k", str(path)], stdin=term.child_fd, stdout=term.child_fd,
                              stderr=subprocess.PIPE, timeout=120)
        assert sent.returncode == 0, sent.stderr
    return send


def cancel(runner):
    """What a sender sends the board's receiver, once that waits for it,
    when its operator gives up."""
    def send(term):
        wait_until(lambda: waiting_for_input(descendant(runner.pid, "lrzsz/rx")), "the receiver")
        term.send(bytes([CAN] * 10))
    return send


@pytest.mark.parametrize("console", ["terminal", "pty"])
def test_xmodem_rescue_installs_what_sx_sent_and_only_that(board, tmp_path, console):
    pkg = tmp_path / "rescue.pkg"
    pkg.write_bytes(ALL_BYTES + sample("sample.pkg"))
    reopen = None
    if console == "terminal":
        runner = term = board.spawn(time="real", escape="^]")
    else:
        runner = board.spawn(time="real", escape=None, extra=["--console", "pty"])
        runner.expect(r"console: (/dev/pts/\d+)\r\n")
        pty = runner.match.group(1).decode()
        # Opened once the menu waits for a key: what the board wrote
        # before is what was kept for it.
        wait_until(lambda: waiting_for_input(descendant(runner.pid, "launcher")), "the menu")
        term = operator(pty)

        def reopen(term):
            # The operator leaves the terminal to open it again at 115200
            # bps, and stays there when the board goes back to 9600 bps.
            term.close()
            runner.expect_exact(f"{pty} closed")
            return operator(pty, termios.B115200)
    runner.timeout = term.timeout = 180
    term.expect_exact("Entering Rescue Mode.\r\n")
    term = receive(board, term, sx(pkg), reopen)
    term.expect_exact("\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n")
    term.expect_exact(SLOT)
    term.send("2\r")
    term.expect_exact(INSTALLED)
    # A transfer given up: the package of the one before is not installed again.
    term.logfile_read = io.BytesIO()
    receive(board, term, cancel(runner))
    term.expect_exact("Option? : ")
    term.send("E")
    term.expect_exact("Booting image '2'")
    assert "Extracting" not in term.logfile_read.getvalue().decode(errors="replace")
    term.expect_exact("Sample application 6.0.0.3 done\r\n")
    # Powered off by the application's end, not by an escape key in a block.
    term.expect(pexpect.EOF)
    runner.expect(pexpect.EOF)
    runner.close()
    assert runner.exitstatus == 0
    assert board.flash_path("devicetree").read_bytes().startswith(ALL_BYTES)
    # XMODEM pads the last block: the slot holds the record, the padding
    # after it is never a record of its own.
    assert board.slot_path(2).read_bytes() == sample("sample.pkg")[-len(sample("app3.pkg")):]
    assert board.vpd(1) == 2
    assert board.system_lines().count('"/usr/bin/rx /tmp/image"') == 2


def test_tftp_rescue_installs_the_package_from_the_server(board):
    (board.path / "tftp" / "app.pkg").write_bytes(sample("app3.pkg"))
    child = board.spawn(time="fast")
    for expect, send in [("Option? : ", "T"), ("IP addr    :", "10.0.0.2\r"), ("Netmask    :", "\r"),
                         ("Gateway    :", "\r"), ("Server addr:", "10.0.0.1\r"), ("Image Filename: ", "app.pkg\r"),
                         ("Installing image app.pkg from TFTP server 10.0.0.1\r\n", ""), (SLOT, "2\r"),
                         (INSTALLED, ""), ("Option? : ", "E"), ("Sample application 6.0.0.3 done\r\n", "")]:
        child.expect_exact(expect)
        child.send(send)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert board.slot_path(2).read_bytes() == sample("app3.pkg")
    assert board.vpd(1) == 2
