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


class TestMenuOnTheBoard:
    # The interrupt key reaches the launcher as a signal only where the
    # console is its controlling terminal.
    @pytest.mark.parametrize("keys,slot", [(["E"], 2), ([None, "e"], 1)], ids=["exit", "interrupt"])
    def test_exit_goes_on_with_the_boot_of_the_selected_slot(self, board, keys, slot):
        board.set_vpd(1, slot)
        c = board.console()
        c.expect("Entering Rescue Mode.\n")
        c.expect(MENU_END)
        for k in keys:
            c.interrupt() if k is None else c.key(k)
        if keys[0] is None:
            c.expect("\0\n\nOption? : ")
        _, status = c.finish()
        assert c.tail.startswith(crlf(f"{keys[-1]}\nBooting image '{slot}'\n"))
        assert f"Sample application 6.0.0.{slot} up".encode() in c.tail
        assert status == 0


class TestDownloadsOnTheBoard:
    def test_kernel_and_application_into_slot_2_then_booted_after_a_reboot(self, board):
        shutil.copy(SAMPLES / "sample.pkg", board.path / "tftp" / "sample.pkg")
        c = board.console(max_boots=2)
        c.expect(MENU_END)
        c.key("t")
        for answer in ["10.0.0.2", "255.255.255.0", "", "10.0.0.1", "sample.pkg"]:
            c.key(answer + "\r")
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
        c.expect("r\n")
        c.expect("Entering Rescue Mode.\n")  # the next boot
        c.expect(MENU_END)
        c.key("e")
        out, status = c.finish()
        assert b"Booting image '2'" in out and b"Sample application 6.0.0.3 up" in out
        assert status == 0


def test_the_diagnostics_flag_asks_at_start_and_enter_keeps_the_files(board):
    board.env("diagnostics=diags")
    c = board.console()
    c.expect("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ")
    c.key("\r")
    _, status = c.finish()
    assert c.tail.startswith(crlf("\nBooting diags image...\nLaunching diagnostics image"))
    assert b"Sample diagnostics 5.0.0.1 up" in c.tail
    assert status == 0
    assert sorted(p.name for p in (board.path / "user" / "images").iterdir()) == ["image1", "image2"]
    assert board.trace(["flash_eraseall"]) == []
