"""The menu's download rescues on the virtual board, in real time: the console switched to
115200 bps raw, lrzsz's `sx` sending a package through the console to the
board's `rx`, the line restored, and the installer's dialogue.  The operator's
terminal is the one `vboard boot` runs on, or one opened on the pseudo-terminal
that `vboard boot --console pty` names, as on a board's serial port."""
import io
import os
import subprocess
import termios

import pexpect
import pytest
from pexpect import fdpexpect

from records import record
from console import descendant, waiting_for_input, wait_until
from vb import VBoard, sample

START = ("Running xmodem rescue.....\r\n"
         "       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
         "       before initiating the download.\r\n")
BACK = "       Change the baud rate back to 9600 bps, hit the <ENTER> key"
REMINDER = "    ... Waiting for the <ENTER> key to be hit..."

# Every byte value in its blocks, the escape key of vboard's own terminal
# (0x1D, Ctrl-]) among them.
ALL_BYTES = record("dft", bytes(range(256)) * 8, version=(4, 0, 0, 9))


@pytest.fixture
def board(tmp_path):
    board = VBoard.create(tmp_path / "board")
    board.env("diagnostics=rescue")
    return board


def power_on(board, console):
    """The runner with the board's console on its own terminal, the escape
    key on, or on a pseudo-terminal: (runner, the pseudo-terminal's path or
    None).  The pseudo-terminal is left unopened until the menu waits for a
    key, so that everything the board has written is what was kept for it."""
    pty = None
    if console == "terminal":
        runner = board.spawn(time="real", escape="^]")
    else:
        runner = board.spawn(time="real", escape=None, extra=["--console", "pty"])
        runner.expect(r"console: (/dev/pts/\d+)\r\n")
        pty = runner.match.group(1).decode()
        wait_until(lambda: waiting_for_input(descendant(runner.pid, "launcher")), "the menu")
    runner.timeout = 180
    runner.logfile_read = io.BytesIO()
    return runner, pty


def operator(runner, pty, speed=termios.B9600):
    """The operator's terminal: the runner's own, or one opened on pty at
    speed, as a terminal program sets it (the board's line has its own)."""
    if pty is None:
        return runner
    term = fdpexpect.fdspawn(os.open(pty, os.O_RDWR | os.O_NOCTTY), timeout=180)
    settings = termios.tcgetattr(term.child_fd)
    settings[4] = settings[5] = speed
    termios.tcsetattr(term.child_fd, termios.TCSANOW, settings)
    term.logfile_read = io.BytesIO()
    return term


def enter_xmodem(term):
    term.expect_exact("Option? : ")
    term.send("X")
    term.expect_exact("X\r\n" + START)


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


def send_file(term, path):
    """lrzsz's sender on the operator's side of the console."""
    return subprocess.run(["sx", "-k", str(path)], stdin=term.child_fd, stdout=term.child_fd,
                          stderr=subprocess.PIPE, timeout=120)


@pytest.mark.parametrize("console", ["terminal", "pty"])
def test_a_package_sent_with_sx_is_installed(board, tmp_path, console):
    pkg = tmp_path / "rescue.pkg"
    pkg.write_bytes(ALL_BYTES + sample("sample.pkg"))
    runner, pty = power_on(board, console)
    term = operator(runner, pty)
    term.expect_exact("Entering Rescue Mode.\r\n")
    enter_xmodem(term)
    if pty:
        # The operator leaves the terminal to open it again at 115200 bps,
        # and stays there when the board goes back to 9600 bps.
        term.close()
        runner.expect_exact(f"{pty} closed")
        term = operator(runner, pty, termios.B115200)
    press_enter(board, term)
    sent = send_file(term, pkg)
    assert sent.returncode == 0, sent.stderr
    # The sender may still be reading the line when the instruction to
    # switch back goes out; the reminder that follows is then what is seen.
    term.expect_exact([BACK, REMINDER])
    # Back at 9600 bps with the console's own settings: Enter arrives as LF.
    press_enter(board, term)
    term.expect_exact("\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n")
    term.expect_exact("Install image as image 1 or 2 (hit return to just boot image): ")
    term.send("2\r")
    term.expect_exact("Image2 updated succeeded\r\nFile processed\r\n")
    term.expect_exact("Option? : ")
    term.send("E")
    term.expect_exact("Booting image '2'")
    term.expect_exact("Sample application 6.0.0.3 done\r\n")
    # Powered off by the application's end, not by an escape key in a block.
    term.expect(pexpect.EOF)
    runner.expect(pexpect.EOF)
    runner.close()
    assert runner.exitstatus == 0, runner.logfile_read.getvalue()
    assert board.flash_path("devicetree").read_bytes().startswith(ALL_BYTES)
    # XMODEM pads the last block: the slot holds the record, the padding
    # after it is never a record of its own.
    app = sample("app3.pkg")
    assert board.slot_path(2).read_bytes() == sample("sample.pkg")[len(sample("sample.pkg")) - len(app):]
    assert board.vpd(1) == 2


def test_a_sender_that_never_starts(board):
    child, _ = power_on(board, "terminal")
    enter_xmodem(child)
    press_enter(board, child)
    child.expect_exact(BACK)
    press_enter(board, child)
    child.expect_exact("Option? : ")
    child.send("R")
    child.expect(pexpect.EOF)
    console = child.logfile_read.getvalue().decode(errors="replace")
    # Nothing arrived: no package, no installer, straight back to the menu.
    assert "Extracting images" not in console
    assert console.count("Option? : ") == 2
    assert not (board.path / "tmp" / "image").exists()
    assert '"/usr/bin/rx /tmp/image"' in board.system_lines()


def test_tftp_file_that_arrives_at_the_second_attempt(board):
    child = board.spawn(time="real")
    child.timeout = 120
    child.logfile_read = io.BytesIO()
    for expect, send in [("Option? : ", "T"), ("IP addr    :", "10.0.0.2\r"), ("Netmask    :", "\r"),
                         ("Gateway    :", "\r"), ("Server addr:", "10.0.0.1\r"), ("Image Filename: ", "late.pkg\r")]:
        child.expect_exact(expect)
        child.send(send)
    child.expect_exact("Attempt 1/3 of tftp timed out\r\n")
    # The operator copies the file to the server during the 3-second pause.
    (board.path / "tftp" / "late.pkg").write_bytes(sample("app3.pkg"))
    child.expect_exact("Install image as image 1 or 2 (hit return to just boot image): ")
    child.send("2\r")
    child.expect_exact("Image2 updated succeeded\r\nFile processed\r\n")
    child.expect_exact("Option? : ")
    child.send("R")
    child.expect(pexpect.EOF)
    console = child.logfile_read.getvalue().decode(errors="replace")
    assert console.count("Installing image late.pkg from TFTP server 10.0.0.1") == 2
    assert "Attempt 2/3" not in console
    assert board.slot_path(2).read_bytes() == sample("app3.pkg")
