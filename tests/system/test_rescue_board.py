"""The rescue console on a whole virtual board: the launcher boots with the
rescue flag set and an operator types at its console."""
import os
import shutil
import subprocess

import pytest

from board import LAUNCHER, SAMPLES
from console import PKGTOOL, VBOARD, Console, crlf, descendant
from vb import boot_argv

PROMPT = "\nOption? : "
MENU_END = "\tE) Exit\n" + PROMPT
QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
BOARD_ADDRESS = ["10.0.0.2", "255.255.255.0", ""]
SERVER = "10.0.0.1"


def vboard(*args):
    r = subprocess.run([str(VBOARD), *map(str, args)], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


class WholeBoard:
    def __init__(self, path):
        if not VBOARD.exists() or not LAUNCHER.exists():
            pytest.fail("vboard and the launcher are not built")
        self.path = path
        vboard("create", path, "--sample")
        self.consoles = []

    def env(self, *keys):
        vboard("env", self.path, *keys)

    def boot(self, max_boots=1):
        c = Console(boot_argv(self.path, "--max-boots", max_boots))
        c.reader = lambda: descendant(c.child.pid, "/bin/launcher")
        self.consoles.append(c)
        return c

    def trace(self):
        return vboard("trace", self.path).splitlines()

    def events(self, first_word):
        return [" ".join(line.split()[1:]) for line in self.trace() if line.split()[1:2] == [first_word]]

    def vpd(self, offset):
        return (self.path / "vpd.bin").read_bytes()[offset]

    def close(self):
        for c in self.consoles:
            c.close()


@pytest.fixture
def wb(tmp_path):
    b = WholeBoard(tmp_path / "board")
    b.env("diagnostics=rescue")
    yield b
    b.close()


def tftp_install(c, filename):
    c.key("t")
    for answer in BOARD_ADDRESS + [SERVER, filename]:
        c.key(answer + "\r")
    c.expect(QUESTION)


class TestMenuOnTheBoard:
    def test_exit_goes_on_with_the_boot_of_the_selected_slot(self, wb):
        vboard("vpd", wb.path, "1=2")
        c = wb.boot()
        c.expect("Entering Rescue Mode.\n")
        c.expect(MENU_END)
        c.key("E")
        _, status = c.finish()
        out = c.tail
        assert out.startswith(crlf("E\nBooting image '2'\n"))
        assert b"Sample application 6.0.0.2 up" in out
        assert status == 0

    def test_reboot_starts_the_board_again(self, wb):
        c = wb.boot(max_boots=2)
        c.expect(MENU_END)
        c.key("r")
        c.expect("r\n")
        c.expect("Entering Rescue Mode.\n")  # the next boot
        c.expect(MENU_END)
        c.key("e")
        out, status = c.finish()
        assert b"Sample application 6.0.0.1 up" in out
        assert status == 0
        assert wb.events("reboot") == ["reboot"]

    def test_the_interrupt_key_at_the_prompt_asks_again(self, wb):
        c = wb.boot()
        c.expect(MENU_END)
        c.interrupt()
        c.expect("\0\n" + PROMPT)
        c.key("e")
        _, status = c.finish()
        out = c.tail
        assert out.startswith(crlf("e\nBooting image '1'\n"))
        assert status == 0


class TestDownloadsOnTheBoard:
    def test_kernel_and_application_into_slot_2_then_booted_after_a_reboot(self, wb):
        shutil.copy(SAMPLES / "sample.pkg", wb.path / "tftp" / "sample.pkg")
        c = wb.boot(max_boots=2)
        c.expect(MENU_END)
        tftp_install(c, "sample.pkg")
        c.line("2")
        c.expect("\nImage2 updated succeeded\nFile processed\n")
        c.expect(MENU_END)
        c.key("h")
        versions = c.expect(MENU_END)
        assert crlf("\tKernel image: 2.0.0.2\n") in versions
        assert crlf("\tOS image 1  : 6.0.0.1\n\tOS image 2  : 6.0.0.3\n") in versions
        assert wb.vpd(1) == 2
        c.key("r")
        c.expect(MENU_END)
        c.key("e")
        out, status = c.finish()
        assert b"Booting image '2'" in out
        assert b"Sample application 6.0.0.3 up" in out
        assert status == 0

    def test_application_first_with_a_bare_return_boots_the_download(self, wb, tmp_path):
        payloads = tmp_path / "payloads"
        subprocess.run([str(PKGTOOL), "extract", SAMPLES / "app3.pkg", payloads], check=True, capture_output=True)
        (app,) = payloads.iterdir()
        kernel = tmp_path / "kernel.bin"
        kernel.write_bytes(os.urandom(9000))
        subprocess.run([str(PKGTOOL), "create", wb.path / "tftp" / "appkernel.pkg", f"app={app}@6.0.0.3",
                        f"kernel={kernel}@2.0.0.9"], check=True, capture_output=True)
        kernel_before = (wb.path / "flash" / "kernel.bin").read_bytes()
        c = wb.boot()
        c.expect(MENU_END)
        tftp_install(c, "appkernel.pkg")
        c.line("")
        _, status = c.finish()
        out = c.tail
        assert out.startswith(crlf("\nBooting downloaded image\nImage ready to boot...\n"))
        assert b"Sample application 6.0.0.3 up" in out
        assert status == 0
        # Booted, not installed: no partition, slot file or VPD byte changed.
        assert (wb.path / "flash" / "kernel.bin").read_bytes() == kernel_before
        assert wb.vpd(1) == 1
        assert not [e for e in wb.events("mtd") if " write " in e or " erase " in e]


class TestDiagnosticsOnTheBoard:
    def test_d_and_y_wipe_the_user_filesystem_and_boot_the_diagnostics(self, wb):
        (wb.path / "user" / "config").write_text("saved\n")
        c = wb.boot()
        c.expect(MENU_END)
        c.key("d")
        c.expect("y/N: ")
        c.key("y")
        _, status = c.finish()
        out = c.tail
        assert out.startswith(crlf("\nunmount filesystem\n\nErasing filesystem for clean install\n"
                                   "Mounting...\ncreating default filesystem\nBooting diags image...\n"
                                   "Launching diagnostics image"))
        assert b"Sample diagnostics 5.0.0.1 up" in out
        assert status == 0
        user = wb.path / "user"
        assert [p.name for p in user.iterdir()] == ["images"]
        assert list((user / "images").iterdir()) == []
        assert wb.events("flash_eraseall") == ["flash_eraseall /dev/mtd-user-char"]
        assert wb.vpd(59) == 4

    def test_the_diagnostics_flag_asks_at_start_and_enter_keeps_the_files(self, tmp_path):
        b = WholeBoard(tmp_path / "board")
        try:
            b.env("diagnostics=diags")
            c = b.boot()
            c.expect("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ")
            c.key("\r")
            _, status = c.finish()
            out = c.tail
            assert out.startswith(crlf("\nBooting diags image...\nLaunching diagnostics image"))
            assert b"Sample diagnostics 5.0.0.1 up" in out
            assert status == 0
            assert sorted(p.name for p in (b.path / "user" / "images").iterdir()) == ["image1", "image2"]
            assert b.events("flash_eraseall") == []
        finally:
            b.close()
