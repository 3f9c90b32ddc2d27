"""The rescue console on whole boards, an operator at its console: TFTP in
fast time; XMODEM in real time, lrzsz's sx on the operator's terminal
sending to the board's rx."""
import io
import os
import shutil
import subprocess
import termios

import pexpect
import pytest
from pexpect import fdpexpect

from board import SAMPLES
from console import (BACK_PROMPT, CAN, START_PROMPT, Console, crlf, descendant, reader_below, session,  # noqa: F401
                     wait_until)
from records import record
from vb import VBoard, answer, boot_argv, sample

MENU_END = "\tE) Exit\n\nOption? : "


# The interrupt key reaches the launcher as a signal only where the console
# is its controlling terminal: the failed read echoes as the byte 0, no
# message.  The diagnostics flag set for the next boot asks at its start.
def test_tftp_installs_kernel_and_application_into_slot_2_then_the_diagnostics_flag_asks(session, tmp_path):
    board = VBoard.create(tmp_path / "vboard")
    board.env("diagnostics=rescue")
    shutil.copy(SAMPLES / "sample.pkg", board.path / "tftp" / "sample.pkg")
    c = Console(boot_argv(board.path, "--max-boots", 2))
    session.consoles.append(c)  # closed with the session
    c.reader = lambda: descendant(c.child.pid, "/bin/launcher")
    c.expect(MENU_END)
    c.keys([None])
    c.expect("\0\n\nOption? : ")
    c.keys(["t"] + [a + "\r" for a in ["10.0.0.2", "255.255.255.0", "", "10.0.0.1", "sample.pkg"]])
    c.expect("Install image as image 1 or 2 (hit return to just boot image): ")
    c.line("2")
    c.expect("\nImage2 updated succeeded\nFile processed\n")
    c.expect(MENU_END)
    c.key("h")
    assert crlf("\tKernel image: 2.0.0.2\n\tDFT image   : 4.0.0.1\n\tOS image 1  : 6.0.0.1\n"
                "\tOS image 2  : 6.0.0.3\n") in c.expect(MENU_END) and board.vpd(1) == 2
    board.env("diagnostics=diags")
    c.key("r")
    c.expect("r\nConfirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ")
    c.key("\r")
    assert c.finish()[1] == 0 and c.tail.startswith(crlf("\nBooting diags image...\nLaunching diagnostics image")), c.tail
    assert b"Sample diagnostics 5.0.0.1 up" in c.tail and board.trace(["flash_eraseall"]) == []
    assert sorted(p.name for p in (board.path / "user" / "images").iterdir()) == ["image1", "image2"]


# Every byte value in its blocks, the escape key of vboard's own terminal
# (0x1D, Ctrl-]) among them.
ALL_BYTES = record("dft", bytes(range(256)) * 8, version=(4, 0, 0, 9))


def operator(pty, speed=termios.B9600):  # a terminal program's terminal on pty
    term = fdpexpect.fdspawn(os.open(pty, os.O_RDWR | os.O_NOCTTY), timeout=180)
    attrs = termios.tcgetattr(term.child_fd)
    termios.tcsetattr(term.child_fd, termios.TCSANOW, attrs[:4] + [speed, speed] + attrs[6:])
    return term


def press_enter(board, term):
    """Enter, once a pause of the launcher's wait for it shows the line
    switched and flushed (an earlier Enter is thrown away with the input)."""
    with open(board.path / "trace.log", "rb") as trace:
        trace.seek(0, os.SEEK_END)
        new = bytearray()
        wait_until(lambda: new.extend(trace.read()) or b" sleep " in new, "the launcher to wait for Enter")
    term.send("\r")


@pytest.mark.parametrize("console", ["terminal", "pty"])
def test_xmodem_rescue_installs_what_sx_sent_and_only_that(tmp_path, console):
    board = VBoard.create(tmp_path / "board")
    board.env("diagnostics=rescue")
    pkg = tmp_path / "rescue.pkg"
    pkg.write_bytes(ALL_BYTES + sample("sample.pkg"))
    runner = term = board.spawn(time="real", escape="^]" if console == "terminal" else None,
                                extra=["--console", "pty"] if console == "pty" else [])
    if console == "pty":
        runner.expect(r"console: (/dev/pts/\d+)\r\n")
        pty = runner.match.group(1).decode()
        # Opened once the menu waits: what the board wrote is kept for it.
        reader_below(runner.pid, "launcher", "the menu")
        term = operator(pty)
    runner.timeout = term.timeout = 180
    for attempt in ["sx", "cancel"]:
        answer(term, [("Option? : ", "X"), ("X\r\nRunning xmodem rescue.....\r\n" + START_PROMPT.decode(), "")])
        if console == "pty" and attempt == "sx":
            # The operator reopens it at 115200 bps, and stays when the board goes back.
            term.close()
            runner.expect_exact(f"{pty} closed")
            term = operator(pty, termios.B115200)
        press_enter(board, term)
        term.logfile_read = io.BytesIO()
        if attempt == "sx":
            sent = subprocess.run(["sx", "-k", pkg], stdin=term.child_fd, stdout=term.child_fd,
                                  stderr=subprocess.PIPE, timeout=120)
            assert sent.returncode == 0, sent.stderr
        else:  # given up: the package of the attempt before is not installed again
            rx = reader_below(runner.pid, "lrzsz/rx", "the receiver")
            # The launcher's own descriptor of the line is kept from the receiver.
            fds = {int(fd): os.readlink(f"/proc/{rx}/fd/{fd}") for fd in os.listdir(f"/proc/{rx}/fd")}
            assert [fd for fd, target in fds.items() if fd > 2 and target in (fds[0], "/dev/ttyS0")] == [], fds
            term.send(bytes([CAN] * 10))
        # The sender may still read the line when the request to switch back goes out.
        term.expect_exact([BACK_PROMPT.decode().rstrip(), "    ... Waiting for the <ENTER> key to be hit..."])
        press_enter(board, term)
        if attempt == "sx":
            answer(term, [("\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n", ""),
                          ("Install image as image 1 or 2 (hit return to just boot image): ", "2\r"),
                          ("Image2 updated succeeded\r\nFile processed\r\n", "")])
    answer(term, [("Option? : ", "E"), ("Booting image '2'", "")])
    assert "Extracting" not in term.logfile_read.getvalue().decode(errors="replace")
    # Powered off by the application's end, not by an escape key in a block.
    term.expect_exact("Sample application 6.0.0.3 done\r\n")
    term.expect(pexpect.EOF)
    runner.expect(pexpect.EOF)
    runner.close()
    assert runner.exitstatus == 0
    assert board.flash_path("devicetree").read_bytes().startswith(ALL_BYTES)
    # XMODEM pads the last block: the slot holds the record, the padding
    # after it is never a record of its own.
    assert board.slot_path(2).read_bytes() == sample("sample.pkg")[-len(sample("app3.pkg")):]
    assert board.vpd(1) == 2 and board.system_lines().count('"/usr/bin/rx /tmp/image"') == 2
