"""The rescue menu, the version display and the standalone diagnostics,
typed at key by key.  What needs the board's filesystem and tools runs
inside a board (vboard run); the rest runs on the test's own terminal."""
import os
import struct

import pytest

from board import Board
from records import record
from console import Session, crlf

MENU = ("Please select one of the following options:\n"
        "\tT) Configure networking and tftp download an image\n"
        "\tX) Use xmodem 1K to serial download an image\n"
        "\tR) Reboot\n"
        "\tE) Exit\n")
PROMPT = "\nOption? : "
START = "Entering Rescue Mode.\n" + MENU
QUESTION = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
WIPE = ("unmount filesystem\n"
        "\nErasing filesystem for clean install\n"
        "Mounting...\n"
        "creating default filesystem\n")
WIPE_COMMANDS = ['system "/bin/umount /user &> /dev/null"',
                 'system "flash_eraseall /dev/mtd-user-char"',
                 'system "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null"',
                 'system "mkdir /user/images &> /dev/null"']


def unknown(ch):
    return f'unknown option "{ch}". Please try again\n'


@pytest.fixture
def session(tmp_path):
    s = Session(tmp_path)
    yield s
    s.close()


@pytest.fixture
def board(tmp_path, session):
    session.board = Board(tmp_path / "board")
    return session.board


class TestMenuKeys:
    def test_menu_then_exit_returns_1(self, session):
        c = session.local("menu")
        c.key("E")
        out, status = c.finish()
        assert status == 0
        assert out == crlf(START + PROMPT + "E\n")
        assert session.lines() == ["menu -> 1 quit 0"]

    def test_lower_case_exit(self, session):
        c = session.local("menu")
        c.key("e")
        out, _ = c.finish()
        assert out == crlf(START + PROMPT + "e\n")
        assert session.lines() == ["menu -> 1 quit 0"]

    def test_unknown_keys_are_named_upper_case_and_the_prompt_comes_again(self, session):
        c = session.local("menu")
        c.key("q\ru9E")
        out, _ = c.finish()
        # Enter arrives as a line feed, which the echo and the message show.
        assert out == crlf(START + PROMPT + "q\n" + unknown("Q") + PROMPT + "\n\n" + unknown("\n")
                           + PROMPT + "u\n" + unknown("U") + PROMPT + "9\n" + unknown("9")
                           + PROMPT + "E\n")
        assert session.lines() == ["menu -> 1 quit 0"]

    def test_interrupt_key_at_the_prompt_gives_a_new_prompt_without_message(self, session):
        c = session.local("menu")
        c.expect(START + PROMPT)
        c.interrupt()
        c.key("e")
        out, _ = c.finish()
        # The failed read echoes as the byte 0 and a line end.
        assert out == crlf(START + PROMPT + "\0\n" + PROMPT + "e\n")
        assert session.lines() == ["menu -> 1 quit 0"]

    def test_an_interrupt_that_came_while_no_key_was_awaited_discards_one_key(self, session):
        c = session.local("sigint", "menu")
        c.key("ee")
        out, _ = c.finish()
        assert out == crlf(START + PROMPT + "e\n" + PROMPT + "e\n")
        assert session.lines() == ["sigint -> quit 1", "menu -> 1 quit 0"]

    def test_t_starts_the_tftp_rescue_and_quitting_it_shows_the_whole_menu(self, session):
        c = session.local("menu")
        c.key("t")
        c.expect("t\nPerforming TFTP rescue.")
        c.key("q\r")
        c.expect(MENU + PROMPT)
        c.key("e")
        out, _ = c.finish()
        assert out.startswith(crlf(START + PROMPT + "t\nPerforming TFTP rescue."))
        assert out.endswith(crlf(MENU + PROMPT + "e\n"))
        assert session.lines() == ["menu -> 1 quit 0"]

    def test_reboot_waits_then_reboots_and_never_returns(self, session, board, tmp_path):
        fake = tmp_path / "bin"
        fake.mkdir()
        (fake / "reboot").write_text(f"#!/bin/sh\necho rebooted >> {tmp_path / 'reboots'}\n")
        (fake / "reboot").chmod(0o755)
        env = dict(board.env(), PATH=f"{fake}:{os.environ['PATH']}")
        board.power_on()
        c = session.local("menu", env=env)
        c.key("r")
        out, status = c.finish()
        assert status == 0
        assert out == crlf(START + PROMPT + "r\n")
        assert session.lines() == []  # the menu never returned
        assert (tmp_path / "reboots").read_text() == "rebooted\n"
        events = board.trace_words(["sleep", "system"])
        assert events == ["sleep 1000000", "sleep 1000000", 'system "reboot"']


def put_part(board, part, data):
    image = bytearray(board.flash(part))
    image[: len(data)] = data
    board.flash_path(part).write_bytes(bytes(image))


class TestVersions:
    def test_h_shows_every_installed_version_and_missing_ones_as_zeros(self, session, board):
        # The boot loader's payload carries its own header words at byte 240.
        uboot = bytearray(b"u" * 512)
        uboot[240:256] = struct.pack(">IIII", 0xDEADBEEF, 512, 0x02504F4C, 0x01020304)
        put_part(board, "uboot", bytes(uboot))
        put_part(board, "rfs", record("rfs", b"r" * 100, version=(255, 254, 253, 252), hdr_len=24))
        put_part(board, "kernel", record("kernel", b"k" * 100, version=(2, 0, 0, 9)))
        # The device tree partition stays erased.
        (board.path / "user" / "images" / "image1").write_bytes(record("app", b"a" * 50, version=(6, 1, 2, 3)))
        c = session.on_board("flash-init", "menu")
        c.key("h")
        c.expect("h\nInstalled images versions:")
        c.key("e")
        out, status = c.finish()
        assert status == 0
        assert out == crlf(START + PROMPT + "h\n"
                           "Installed images versions: \n"
                           "\tBoot image  : 1.2.3.4\n"
                           "\tRFS image   : 255.254.253.252\n"
                           "\tKernel image: 2.0.0.9\n"
                           "\tDFT image   : 255.255.255.255\n"
                           "\tOS image 1  : 6.1.2.3\n"
                           "\tOS image 2  : 0.0.0.0\n"
                           + MENU + PROMPT + "e\n")
        assert session.lines() == ["flash-init -> 0", "menu -> 1 quit 0"]

    def test_without_flash_every_partition_shows_zeros(self, session, tmp_path):
        board = session.board = Board(tmp_path / "board", conf=["fault.mtd_probe = fail"])
        c = session.on_board("flash-init", "display")
        out, _ = c.finish()
        assert out.endswith(crlf("Installed images versions: \n"
                                 "\tBoot image  : 0.0.0.0\n"
                                 "\tRFS image   : 0.0.0.0\n"
                                 "\tKernel image: 0.0.0.0\n"
                                 "\tDFT image   : 0.0.0.0\n"
                                 "\tOS image 1  : 0.0.0.0\n"
                                 "\tOS image 2  : 0.0.0.0\n"))
        assert session.lines() == ["flash-init -> -1", "display -> 0"]


def fill_user(board):
    user = board.path / "user"
    (user / "images" / "image1").write_bytes(b"old image")
    (user / "config").write_text("saved configuration\n")


class TestDiagnostics:
    @pytest.mark.parametrize("answer", ["y", "Y"])
    def test_yes_wipes_the_user_filesystem_then_boots_the_diagnostics(self, session, board, answer):
        fill_user(board)
        put_part(board, "rescue", record("diags", diags_archive(board.path), version=(5, 0, 0, 7)))
        c = session.on_board("flash-init", "i2c-init", "diags")
        c.key(answer)
        out, status = c.finish()
        assert out.startswith(crlf(QUESTION + "\n" + WIPE + "Booting diags image...\n"
                                   "Launching diagnostics image"))
        assert b"diagnostics test image up" in out
        assert session.lines() == ["flash-init -> 0", "i2c-init -> 0"]  # never returned
        user = board.path / "user"
        assert sorted(p.name for p in user.iterdir()) == ["images"]
        assert list((user / "images").iterdir()) == []
        events = board.trace_words(["system", "flash_eraseall", "mount", "umount"])
        assert events[:7] == [WIPE_COMMANDS[0], "umount /user", WIPE_COMMANDS[1],
                              "flash_eraseall /dev/mtd-user-char", WIPE_COMMANDS[2],
                              "mount -o sync -t jffs2 /dev/mtd-user /user", WIPE_COMMANDS[3]]
        assert "exec /bin/backtrace /bin/backtrace" in board.trace_words(["exec"])
        assert board.vpd()[59] == 4

    @pytest.mark.parametrize("answer", ["\r", "n", "interrupt"])
    def test_anything_else_leaves_the_filesystem_and_boots_all_the_same(self, session, board, answer):
        fill_user(board)
        c = session.on_board("flash-init", "diags")
        if answer == "interrupt":
            c.interrupt(direct=True)
        else:
            c.key(answer)
        out, status = c.finish()
        # The rescue partition is erased: nothing to boot, back to the caller.
        assert out == crlf(QUESTION + "\nBooting diags image...\nImage not found... \n")
        assert session.lines() == ["flash-init -> 0", "diags -> 1"]
        assert (board.path / "user" / "config").exists()
        assert (board.path / "user" / "images" / "image1").read_bytes() == b"old image"
        assert [e for e in board.trace_words(["system"]) if e in WIPE_COMMANDS] == []

    def test_d_from_the_menu_and_an_interrupt_during_it_leaves_no_flag_behind(self, session, board):
        fill_user(board)
        c = session.on_board("flash-init", "menu")
        c.key("D")
        c.expect("D\n" + QUESTION)
        c.interrupt(direct=True)
        c.expect(MENU + PROMPT)
        c.key("e")  # accepted at once: the menu cleared the flag
        out, _ = c.finish()
        assert out == crlf(START + PROMPT + "D\n" + QUESTION + "\nBooting diags image...\n"
                           "Image not found... \n" + MENU + PROMPT + "e\n")
        assert session.lines() == ["flash-init -> 0", "menu -> 1 quit 0"]
        assert (board.path / "user" / "config").exists()


def diags_archive(where):
    """A diagnostics image's archive: mpdiag.elf.strip at its top."""
    import io
    import tarfile

    script = b"#!/bin/sh\necho diagnostics test image up\n"
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        info = tarfile.TarInfo("mpdiag.elf.strip")
        info.size = len(script)
        info.mode = 0o755
        tar.addfile(info, io.BytesIO(script))
    return buf.getvalue()
