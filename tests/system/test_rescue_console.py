"""The console's single-key read and line editor, the rescue menu, the
version display and the standalone diagnostics, typed at key by key, inside
a board where they need its filesystem and tools."""
import struct
import termios

import pytest

from board import Board
from console import session  # noqa: F401
from records import record
from vb import archive

BEL, BS = "\a", "\b"
FULL = "".join(chr(ord("a") + i % 26) for i in range(127))
MENU = ("Please select one of the following options:\n\tT) Configure networking and tftp download an image\n"
        "\tX) Use xmodem 1K to serial download an image\n\tR) Reboot\n\tE) Exit\n")
PROMPT = "\nOption? : "
START = "Entering Rescue Mode.\n" + MENU + PROMPT
QUESTION = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
WIPE = "unmount filesystem\n\nErasing filesystem for clean install\nMounting...\ncreating default filesystem\n"
WIPE_COMMANDS = ['"/bin/umount /user &> /dev/null"', '"flash_eraseall /dev/mtd-user-char"',
                 '"/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null"', '"mkdir /user/images &> /dev/null"']
INT = None  # the terminal's interrupt key
QUIT = ["menu -> 1 quit 0"]


def edit(keys, size, shown, text, quit=0):
    """A line typed at a buffer of size: the text, the interrupt flag, the
    caller's buffer, zeros after the text, nothing written past the buffer."""
    return ("line", size), keys, shown, [f"line -> {text.encode('latin-1').hex() or '-'} quit {quit} same 1 "
                                         "zeroed 1 guard 1"]


def unknown(ch):
    return f'unknown option "{ch}". Please try again\n' + PROMPT


# operations, keys, what the console shows, the result lines
TYPED = [
    edit("hello\r", 128, "hello\n", "hello"),
    edit("ok\n", 128, "ok\n", "ok"),
    edit("abcd\x02\x02\r", 128, "abcd" + BS * 2 + "\n", "abcd"),
    edit("\r", 128, "\n", ""),
    # full buffers: the last byte stays for the terminating zero
    edit(FULL + "XY\r", 128, FULL + BEL + BEL + "\n", FULL),
    edit("abc\x01Z\r", 4, "abc" + BS * 3 + BEL + "\n", "abc"),
    edit("ab\r", 1, BEL + BEL + "\n", ""),
    edit("abcd\x7fxy\r", 4, "abc" + BEL + BS + " " + BS + "x" + BEL + "\n", "abx"),
    # cursor keys: an insertion redraws the tail and steps back over it
    edit("abc\x02\x02X\r", 128, "abc" + BS * 2 + "Xbc" + BS * 2 + "\n", "aXbc"),
    edit("abc\x01\x01Z\r", 128, "abc" + BS * 3 + "Zabc" + BS * 3 + "\n", "Zabc"),
    edit("abc\x02\x02\x06\x06\x06Q\r", 128, "abc" + BS * 2 + "bcQ\n", "abcQ"),
    edit("a\x02\x02\x02b\r", 128, "a" + BS + "ba" + BS + "\n", "ba"),
    edit("abc\x1b[D\x1b[D\x1b[CX\r", 128, "abc" + BS * 2 + "bXc" + BS + "\n", "abXc"),
    edit("ab\x01\x1b[1;5CZ\r", 128, "ab" + BS * 2 + "aZb" + BS + "\n", "aZb"),
    edit("ab\x1b[A\x1b[3~c\r", 128, "abc\n", "abc"),
    edit("a\x1bOC\r", 128, "aOC\n", "aOC"),
    edit("a\x1b\x1b[D\r", 128, "a" + BS + "\n", "a"),
    # deletion
    edit("abc\b\r", 128, "abc" + BS + " " + BS + "\n", "ab"),
    edit("abcd\x02\x02\x7f\r", 128, "abcd" + BS * 3 + "cd " + BS * 3 + "\n", "acd"),
    edit("ab\x01\b\x7f\r", 128, "ab" + BS * 2 + "\n", "ab"),
    edit("abc\x01\x04\r", 128, "abc" + BS * 3 + "bc " + BS * 3 + "\n", "bc"),
    edit("abc\x04\r", 128, "abc\n", "abc"),
    edit("abc\x1b\b\x1b\x7f\r", 128, "abc" + (BS + " " + BS) * 2 + "\n", "a"),
    # other keys: control keys ring, bytes above 127 are text
    edit("a\tb\x00\x1fc\r", 128, "a" + BEL + "b" + BEL + BEL + "c\n", "abc"),
    edit("a\xe9\xff\r", 128, "a\xe9\xff\n", "a\xe9\xff"),
    # 0x03 read as data (not the line's interrupt character) breaks off;
    # the interrupt key while typing rings once and keeps the text
    edit("ab\x03", 128, "ab <break>\n", "ab"),
    edit(["ab", INT, "c\r"], 128, "ab" + BEL + "c\n", "abc", quit=1),
    # A key is neither echoed nor waits for a line; the interrupt key gives
    # 0; the terminal is restored after each.
    (("lflags", "key", "lflags"), "\xff", "", ["lflags -> icanon 1 echo 1", "key -> 0xff quit 0",
                                             "lflags -> icanon 1 echo 1"]),
    (("key", "lflags"), [INT], "", ["key -> 0x00 quit 1", "lflags -> icanon 1 echo 1"]),
    # Enter arrives as a line feed, which the echo and the message show.
    (("menu",), "q\ru9E", START + "q\n" + unknown("Q") + "\n\n" + unknown("\n") + "u\n" + unknown("U")
     + "9\n" + unknown("9") + "E\n", QUIT),
    # An interrupt that came while no key was awaited discards one key.
    (("sigint", "menu"), "ee", START + "e\n" + PROMPT + "e\n", ["sigint -> quit 1"] + QUIT),
]


def no_interrupt_char():  # a line whose interrupt character is not 0x03
    attrs = termios.tcgetattr(0)
    attrs[6][termios.VINTR] = b"\x00"
    termios.tcsetattr(0, termios.TCSANOW, attrs)


@pytest.mark.parametrize("ops,keys,shown,results", TYPED)
def test_typed_at_the_terminal(session, ops, keys, shown, results):
    session.local(*ops, preexec_fn=no_interrupt_char if "\x03" in keys else None).keys(keys)
    assert session.finish() == (shown, results)


def put_part(board, part, data):
    board.flash_path(part).write_bytes(data + board.flash(part)[len(data):])


VERSIONS = ("Installed images versions: \n\tBoot image  : {}\n\tRFS image   : {}\n\tKernel image: {}\n"
            "\tDFT image   : {}\n\tOS image 1  : {}\n\tOS image 2  : {}\n")


# Without flash every partition shows zeros.  R waits, then reboots and never
# returns, although the board's reboot here is a script that does.
@pytest.mark.parametrize("conf,said,versions", [
    ([], "", ["1.2.3.4", "255.254.253.252", "2.0.0.9", "255.255.255.255", "0.0.0.0"]),
    (["fault.mtd_probe = fail"], "Could not get MTD device info \n", ["0.0.0.0"] * 5)])
def test_h_shows_every_installed_version_then_r_reboots(session, tmp_path, conf, said, versions):
    board = session.board = Board(tmp_path / "board", conf=conf)
    # The boot loader's payload carries its own header words at byte 240.
    put_part(board, "uboot", b"u" * 240 + struct.pack(">IIII", 0xDEADBEEF, 512, 0x02504F4C, 0x01020304))
    put_part(board, "rfs", record("rfs", b"r" * 100, version=(255, 254, 253, 252), hdr_len=24))
    put_part(board, "kernel", record("kernel", b"k" * 100, version=(2, 0, 0, 9)))
    # The device tree partition stays erased.
    (board.path / "user" / "images" / "image2").write_bytes(record("app", b"a" * 50, version=(6, 1, 2, 3)))
    session.on_board("flash-init", "menu", prelude="printf '#!/bin/sh\\necho rebooted >>/tmp/reboots\\n' >/tmp/reboot"
                     " && chmod +x /tmp/reboot && export PATH=/tmp:$PATH").keys("hr")
    assert session.finish() == (said + START + "h\n" + VERSIONS.format(*versions, "6.1.2.3") + MENU + PROMPT
                                + "r\n", [f"flash-init -> {-1 if said else 0}"])
    assert (board.path / "tmp" / "reboots").read_text() == "rebooted\n"
    assert [t for _, _, t in session.events(["sleep", "system"])] == ["sleep 1000000"] * 2 + ['system "reboot"']


BOOT = "Booting diags image...\n"
LAUNCH = QUESTION + "\n" + BOOT + "Launching diagnostics image"


# The diagnostics, run straight or by the menu's D: only yes wipes the user
# filesystem, then the diagnostics image boots and never returns.  With the
# rescue partition erased there is nothing to boot: back to the menu, whose
# e is taken at once although an interrupt came during the question.
@pytest.mark.parametrize("ops,keys,shown", [
    (["diags"], "y", LAUNCH.replace(BOOT, WIPE + BOOT)), (["diags"], "Y", LAUNCH.replace(BOOT, WIPE + BOOT)),
    (["diags"], "\r", LAUNCH), (["diags"], "n", LAUNCH), (["diags"], [INT], LAUNCH),
    (["menu"], ["D", INT, "e"], START + "D\n" + QUESTION + "\n" + BOOT + "Image not found... \n" + MENU + PROMPT + "e\n"),
])
def test_only_yes_wipes_the_user_filesystem_then_the_diagnostics_boot(session, tmp_path, ops, keys, shown):
    board = session.board = Board(tmp_path / "board")
    (board.path / "user" / "images" / "image1").write_bytes(b"old image")
    (board.path / "user" / "config").write_text("saved configuration\n")
    if ops == ["diags"]:
        diags = archive({"mpdiag.elf.strip": (b"#!/bin/sh\necho diagnostics test image up\n", 0o755)})
        put_part(board, "rescue", record("diags", diags, version=(5, 0, 0, 7)))
    session.on_board("flash-init", "i2c-init", *ops).keys(keys, direct=True)
    out, results = session.finish()
    assert out.startswith(shown) and results == ["flash-init -> 0", "i2c-init -> 0"] + QUIT * (ops == ["menu"])
    assert sorted(str(p.relative_to(board.path / "user")) for p in (board.path / "user").rglob("*")) == (
        ["images"] if WIPE in shown else ["config", "images", "images/image1"])
    assert [c for c in session.commands() if c in WIPE_COMMANDS] == WIPE_COMMANDS * (WIPE in shown)
    if ops == ["diags"]:
        assert "diagnostics test image up" in out
        assert "exec /bin/backtrace /bin/backtrace" in board.trace_words(["exec"]) and board.vpd()[59] == 4
