"""The rescue menu, the version display and the standalone diagnostics,
typed at key by key.  What needs the board's filesystem and tools runs
inside a board (vboard run); the rest runs on the test's own terminal."""
import io
import os
import struct
import tarfile

import pytest

from board import Board
from console import crlf, session  # noqa: F401
from records import record

MENU = ("Please select one of the following options:\n"
        "\tT) Configure networking and tftp download an image\n"
        "\tX) Use xmodem 1K to serial download an image\n"
        "\tR) Reboot\n"
        "\tE) Exit\n")
PROMPT = "\nOption? : "
START = "Entering Rescue Mode.\n" + MENU + PROMPT
QUESTION = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
WIPE = "unmount filesystem\n\nErasing filesystem for clean install\nMounting...\ncreating default filesystem\n"
WIPE_COMMANDS = ['"/bin/umount /user &> /dev/null"', '"flash_eraseall /dev/mtd-user-char"',
                 '"/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null"', '"mkdir /user/images &> /dev/null"']
TFTP = "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\nIP addr    :"
INT = None  # the terminal's interrupt key


def unknown(ch):
    return f'unknown option "{ch}". Please try again\n' + PROMPT


def typed(c, keys, direct=False):
    for k in keys:
        c.interrupt(direct) if k is INT else c.key(k)


# operations, keys, what the console shows, the result lines
MENUS = [
    (["menu"], ["E"], START + "E\n", []),
    (["menu"], ["e"], START + "e\n", []),
    # Enter arrives as a line feed, which the echo and the message show.
    (["menu"], ["q\ru9E"], START + "q\n" + unknown("Q") + "\n\n" + unknown("\n") + "u\n" + unknown("U")
     + "9\n" + unknown("9") + "E\n", []),
    # The failed read echoes as the byte 0 and a line end; no message.
    (["menu"], [INT, "e"], START + "\0\n" + PROMPT + "e\n", []),
    # An interrupt that came while no key was awaited discards one key.
    (["sigint", "menu"], ["ee"], START + "e\n" + PROMPT + "e\n", ["sigint -> quit 1"]),
    (["menu"], ["t", "q\r", "e"], START + "t\n" + TFTP + "q\n" + MENU + PROMPT + "e\n", []),
]


@pytest.mark.parametrize("ops,keys,shown,results", MENUS)
def test_menu_keys(session, ops, keys, shown, results):
    c = session.local(*ops)
    typed(c, keys)
    assert c.finish() == (crlf(shown), 0)
    assert session.lines() == results + ["menu -> 1 quit 0"]


def test_reboot_waits_then_reboots_and_never_returns(session, tmp_path):
    board = Board(tmp_path / "board")
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "reboot").write_text(f"#!/bin/sh\necho rebooted >> {tmp_path / 'reboots'}\n")
    (fake / "reboot").chmod(0o755)
    board.power_on()
    c = session.local("menu", env=dict(board.env(), PATH=f"{fake}:{os.environ['PATH']}"))
    c.key("r")
    assert c.finish() == (crlf(START + "r\n"), 0)
    assert session.lines() == []  # the menu never returned
    assert (tmp_path / "reboots").read_text() == "rebooted\n"
    assert board.trace_words(["sleep", "system"]) == ["sleep 1000000", "sleep 1000000", 'system "reboot"']


def put_part(board, part, data):
    image = board.flash(part)
    board.flash_path(part).write_bytes(data + image[len(data):])


def test_h_shows_every_installed_version_and_missing_ones_as_zeros(session, tmp_path):
    board = session.board = Board(tmp_path / "board")
    # The boot loader's payload carries its own header words at byte 240.
    put_part(board, "uboot", b"u" * 240 + struct.pack(">IIII", 0xDEADBEEF, 512, 0x02504F4C, 0x01020304))
    put_part(board, "rfs", record("rfs", b"r" * 100, version=(255, 254, 253, 252), hdr_len=24))
    put_part(board, "kernel", record("kernel", b"k" * 100, version=(2, 0, 0, 9)))
    # The device tree partition stays erased.
    (board.path / "user" / "images" / "image2").write_bytes(record("app", b"a" * 50, version=(6, 1, 2, 3)))
    c = session.on_board("flash-init", "menu")
    c.key("h")
    c.key("e")
    assert c.finish() == (crlf(START + "h\nInstalled images versions: \n\tBoot image  : 1.2.3.4\n"
                                "\tRFS image   : 255.254.253.252\n\tKernel image: 2.0.0.9\n"
                                "\tDFT image   : 255.255.255.255\n\tOS image 1  : 0.0.0.0\n"
                                "\tOS image 2  : 6.1.2.3\n" + MENU + PROMPT + "e\n"), 0)
    assert session.lines() == ["flash-init -> 0", "menu -> 1 quit 0"]


def test_without_flash_every_partition_shows_zeros(session, tmp_path):
    session.board = Board(tmp_path / "board", conf=["fault.mtd_probe = fail"])
    out, results = session.on_board("flash-init", "display") and session.finish()
    assert out.endswith("Installed images versions: \n" + "".join(
        f"\t{name}: 0.0.0.0\n" for name in ["Boot image  ", "RFS image   ", "Kernel image", "DFT image   ",
                                           "OS image 1  ", "OS image 2  "]))
    assert results == ["flash-init -> -1", "display -> 0"]


def diags_archive():
    """A diagnostics image's archive: mpdiag.elf.strip at its top."""
    script = b"#!/bin/sh\necho diagnostics test image up\n"
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        info = tarfile.TarInfo("mpdiag.elf.strip")
        info.size, info.mode = len(script), 0o755
        tar.addfile(info, io.BytesIO(script))
    return buf.getvalue()


@pytest.fixture
def filled(session, tmp_path):
    board = session.board = Board(tmp_path / "board")
    (board.path / "user" / "images" / "image1").write_bytes(b"old image")
    (board.path / "user" / "config").write_text("saved configuration\n")
    return board


@pytest.mark.parametrize("answer", ["y", "Y"])
def test_yes_wipes_the_user_filesystem_then_boots_the_diagnostics(session, filled, answer):
    put_part(filled, "rescue", record("diags", diags_archive(), version=(5, 0, 0, 7)))
    c = session.on_board("flash-init", "i2c-init", "diags")
    c.key(answer)
    out, results = session.finish()
    assert out.startswith(QUESTION + "\n" + WIPE + "Booting diags image...\nLaunching diagnostics image")
    assert "diagnostics test image up" in out
    assert results == ["flash-init -> 0", "i2c-init -> 0"]  # never returned
    assert [p.name for p in (filled.path / "user").iterdir()] == ["images"]
    assert list((filled.path / "user" / "images").iterdir()) == []
    assert [c for c in session.commands() if c in WIPE_COMMANDS] == WIPE_COMMANDS
    assert "exec /bin/backtrace /bin/backtrace" in filled.trace_words(["exec"])
    assert filled.vpd()[59] == 4


@pytest.mark.parametrize("answer", ["\r", "n", INT])
def test_anything_else_leaves_the_filesystem_and_boots_all_the_same(session, filled, answer):
    c = session.on_board("flash-init", "diags")
    typed(c, [answer], direct=True)
    # The rescue partition is erased: nothing to boot, back to the caller.
    assert session.finish() == (QUESTION + "\nBooting diags image...\nImage not found... \n",
                                ["flash-init -> 0", "diags -> 1"])
    assert (filled.path / "user" / "config").exists()
    assert (filled.path / "user" / "images" / "image1").read_bytes() == b"old image"
    assert [c for c in session.commands() if c in WIPE_COMMANDS] == []


def test_d_from_the_menu_and_an_interrupt_during_it_leaves_no_flag_behind(session, filled):
    c = session.on_board("flash-init", "menu")
    typed(c, ["D", INT, "e"], direct=True)  # e accepted at once: the menu cleared the flag
    assert session.finish() == (START + "D\n" + QUESTION + "\nBooting diags image...\nImage not found... \n"
                                + MENU + PROMPT + "e\n", ["flash-init -> 0", "menu -> 1 quit 0"])
    assert (filled.path / "user" / "config").exists()
