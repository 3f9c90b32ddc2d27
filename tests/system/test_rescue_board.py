"""The rescue console on a whole virtual board: the launcher boots with the
rescue flag set and an operator types at its console."""
import shutil

import pytest

from board import SAMPLES
from console import Console, crlf, descendant
from vb import VBoard, boot_argv

MENU_END = "\tE) Exit\n\nOption? : "


@pytest.fixture
def board(tmp_path):
    board = VBoard.create(tmp_path / "board")
    board.env("diagnostics=rescue")
    consoles = []

    def boot(max_boots=1):
        consoles.append(Console(boot_argv(board.path, "--max-boots", max_boots)))
        consoles[-1].reader = lambda: descendant(consoles[-1].child.pid, "/bin/launcher")
        return consoles[-1]
    board.console = boot
    yield board
    for c in consoles:
        c.close()


def finished(c, text):
    """The console after the last expect() starts with text; the board ran
    to its end."""
    _, status = c.finish()
    assert c.tail.startswith(crlf(text)) and status == 0, c.tail


# The interrupt key reaches the launcher as a signal only where the console
# is its controlling terminal; Exit goes on with the selected slot.
def test_interrupt_then_exit_boots_the_selected_slot(board):
    c = board.console()
    c.expect("Entering Rescue Mode.\n")
    c.expect(MENU_END)
    c.keys([None, "e"])
    c.expect("\0\n\nOption? : ")
    finished(c, "e\nBooting image '1'\n")
    assert b"Sample application 6.0.0.1 up" in c.tail


class TestDownloadsOnTheBoard:
    def test_kernel_and_application_into_slot_2_then_booted_after_a_reboot(self, board):
        shutil.copy(SAMPLES / "sample.pkg", board.path / "tftp" / "sample.pkg")
        c = board.console(max_boots=2)
        c.expect(MENU_END)
        c.keys(["t"] + [a + "\r" for a in ["10.0.0.2", "255.255.255.0", "", "10.0.0.1", "sample.pkg"]])
        c.expect("Install image as image 1 or 2 (hit return to just boot image): ")
        c.line("2")
        c.expect("\nImage2 updated succeeded\nFile processed\n")
        c.expect(MENU_END)
        c.key("h")
        versions = c.expect(MENU_END)
        assert crlf("\tKernel image: 2.0.0.2\n") in versions
        assert crlf("\tOS image 1  : 6.0.0.1\n\tOS image 2  : 6.0.0.3\n") in versions
        assert board.vpd(1) == 2
        c.key("r")
        c.expect("r\nEntering Rescue Mode.\n")  # the next boot
        c.expect(MENU_END)
        c.key("E")
        finished(c, "E\nBooting image '2'\n")
        assert b"Sample application 6.0.0.3 up" in c.tail


def test_the_diagnostics_flag_asks_at_start_and_enter_keeps_the_files(board):
    board.env("diagnostics=diags")
    c = board.console()
    c.expect("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ")
    c.key("\r")
    finished(c, "\nBooting diags image...\nLaunching diagnostics image")
    assert b"Sample diagnostics 5.0.0.1 up" in c.tail
    assert sorted(p.name for p in (board.path / "user" / "images").iterdir()) == ["image1", "image2"]
    assert board.trace(["flash_eraseall"]) == []
