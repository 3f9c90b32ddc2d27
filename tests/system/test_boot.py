"""Boots of the virtual board: slot choice, extraction and its fallbacks, the start rules, the
rescue partition, the debugger; the console compared byte for byte (the terminal's CR LF as LF)."""
import gzip

import pexpect
import pytest

from board import LAUNCHER, make_hostile
from records import flipped, payloads, record
from vb import VBoard, answer, archive, console_text, sample

BODY = "Sample application {0} up\n  SAMPLE_PRODUCT=switch-module\n  SAMPLE_ROLE=demo\nSample application {0} done\n"
INSTALL = "Running AOS install script\nInstalling sample application {0}\n"
BOOT = "Booting image '{}'\n"
OPEN = "Failed to open Application image {}. Trying image {}.\n"
RESCUE = BOOT.format(1) + OPEN.format(1, 2) + "Failed to open Application image 2. Trying rescue image\n"
DIAGS = "Launching diagnostics image\ninstall diags image\nSample diagnostics 5.0.0.1 up\nSample diagnostics 5.0.0.1 done\n"
INVALID = "Image has invalid header 0x{:x}. (0x6504f4c)\nImage{} has invalid header... trying Image{}.\n"
CRC = "Image{} CRC failed, trying Image{} now.\n"
NO_GDB = "**** GDB mode selected but GDB not available. Please install GDB image ***\n"
V2 = "V2 header found\n"
GDB_FOUND = "Found GDB image {} of length = {}.\ndecompressing GDB....\n"
QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "
RECOVERY = "\nBooting recovery image. You will need to download and install an image before rebooting\n"
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
SHOW_ENV = "#!/bin/sh\nenv | grep -E '^(A|B|C|D|E|N+)=' | sort | sed 's/=/ /' | while read n v; do echo \"${#n}:$n=[$v]\"; done\n"


def app(version): return (INSTALL + BODY).format(version)


def slot(n, data=None, hostile=None, target="image1"):
    """Slot n's file: data, none at all, or a hostile path."""
    def arrange(board):
        board.slot_path(n).unlink(missing_ok=True)
        if data is not None:
            board.write_slot(n, data)
        elif hostile:
            make_hostile(board.slot_path(n), hostile, target)
    return arrange


def vpd(offset, value): return lambda board: board.set_vpd(offset, value)
def env(*assignments): return lambda board: board.env(*assignments)
def rescue(data): return lambda board: board.write_partition("rescue", data)


NO_SLOTS = [slot(1), slot(2)]
RESCUE_APP = NO_SLOTS + [rescue(sample("app3.pkg"))]
OTHER_MACHINE = bytearray(LAUNCHER.read_bytes()[:64])
OTHER_MACHINE[18:20] = b"\x16\x00" if OTHER_MACHINE[5] == 1 else b"\x00\x16"  # s390: not the board's


def boot(path, arrange, dialogue=(), time="fast"):
    """A board arranged step by step, booted on a terminal, the dialogue
    answered (vb.answer): the board, its exit status and its console."""
    board = VBoard.create(path / "board")
    for step in arrange:
        step(board)
    child = board.spawn(time=time)
    try:
        out = answer(child, dialogue)
        child.expect(pexpect.EOF)
    finally:
        child.close(force=True)  # a board left waiting would outlive its test
    return board, child.exitstatus, console_text(out + child.before)


def case(name, arrange, console, rc=0, booted=0xFF, dialogue=(), commands=()):
    return pytest.param(arrange, dialogue, rc, console, booted, commands, id=name)


BOOTS = [
    # The VPD byte picks the slot; anything but 2 is slot 1.
    case("vpd-1", [], BOOT.format(1) + app("6.0.0.1"), booted=1, commands=[
        'system "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"', "exec /bin/backtrace /bin/backtrace"]),
    case("vpd-2", [vpd(1, 2)], BOOT.format(2) + app("6.0.0.2"), booted=2),
    case("vpd-255", [vpd(1, 255)], BOOT.format(1) + app("6.0.0.1"), booted=1),
    # Fallback: the slot whose file was read is the one recorded as booted.
    case("open-fails-1", [slot(1)], BOOT.format(1) + OPEN.format(1, 2) + app("6.0.0.2"), booted=2),
    *[case(f"slot-is-{kind}", [env("gdb=on"), vpd(1, 2), slot(2, hostile=kind)],
           BOOT.format(2) + OPEN.format(2, 1) + "Extracting GDB from image slot 2\n"
           "Failed to open GDB image (from slot 2)\n" + INSTALL.format("6.0.0.1") + NO_GDB + BODY.format("6.0.0.1"),
           booted=1) for kind in ["symlink", "fifo", "folder", "device"]],
    # After the open fallback the messages name the selected slot, as the second attempt reads image2 again.
    case("open-fails-then-crc", [slot(1), slot(2, flipped(sample("app2.pkg"), -1, 0xFF))],
         BOOT.format(1) + OPEN.format(1, 2) + CRC.format(1, 2) + BOOT.format(2) + "Both image1 and image2 failed.\n", 4),
    case("open-fails-then-header", [slot(1), slot(2, sample("kernel.pkg"))], BOOT.format(1) + OPEN.format(1, 2) + INVALID.format(
        0x3504F4C, 1, 2) + BOOT.format(2) + "No valid application image found. Trying rescue image\n" + DIAGS, booted=4),
    *[case(f"no-slot-files-{kind}", [slot(1), slot(2, hostile=kind, target=None)], RESCUE + DIAGS, booted=4)
      for kind in [None, "fifo", "folder"]],
    case("two-bad-crcs-reboot", [slot(1, flipped(sample("app1.pkg"), 20, 0xFF)), slot(2, flipped(sample("app2.pkg"), 20, 0xFF))],
         BOOT.format(1) + CRC.format(1, 2) + BOOT.format(2) + "Both image1 and image2 failed.\n", rc=4,
         commands=['system "reboot"']),
    case("walk-skips-records", [slot(1, sample("kernel.pkg") + sample("dft.pkg") + sample("app3.pkg"))],
         BOOT.format(1) + app("6.0.0.3"), booted=1),
    case("extended-header", [slot(1, record("app", payloads(sample("app3.pkg"))[0], version=(6, 0, 0, 3), hdr_len=24))],
         BOOT.format(1) + app("6.0.0.3"), booted=1),
    # Slot files no walk may trust: the boot falls through, never hangs.
    *[case(f"corrupt-{name}", [slot(1, data)], BOOT.format(1) + (INVALID.format(magic, 1, 2) if magic is not None
                                                                 else CRC.format(1, 2)) + BOOT.format(2) + app("6.0.0.2"),
           booted=2) for name, data, magic in [
        ("empty", b"", 0), ("three-bytes", b"\x01\x02\x03", 0), ("short-record", record("app", b"abc"), 0),
        ("zero-length-extended", record("app", b"", hdr_len=0), 0x81504F4C),
        ("header-8", record("app", b"x" * 40, hdr_len=8), 0x81504F4C),
        ("kernel-header-0", record("kernel", b"k" * 20, hdr_len=0, pad=False) + record("app", b"never"), 0x83504F4C),
        ("wrap-extended", record("app", b"", hdr_len=0xFFFF, length=0xFFFFFFFF, pad=False), 0x81504F4C),
        ("wrap-basic", record("kernel", b"", length=0xFFFFFFF0) + record("app", b"never"), 0x3504F4C),
        ("huge", record("app", b"tiny", length=0xF0000000), None), ("truncated", sample("app1.pkg")[:-100], None),
        ("bad-crc", flipped(sample("app1.pkg"), -1, 0xFF), None), ("erased", b"\xff" * 4096, 0xFFFFFFFF)]],
    # Start rules.  env-setup pairs tokens by order alone; a token is cut after 511 characters and
    # its rest is the next token; a final name without a value is empty.
    case("env-setup", [slot(1, record("app", archive({
        "home/bin/mp.elf.strip": (SHOW_ENV, 0o755), "home/bin/install.sh": ("#!/bin/sh\n", 0o755),
        "home/bin/env-setup": ("A 1 B\n\tC   3\nD " + "N" * 600 + " E\n", 0o644)})))],
         BOOT.format(1) + "Running AOS install script\n1:A=[1]\n1:B=[C]\n1:E=[]\n511:" + "N" * 511 + "=[" + "N" * 89 + "]\n",
         booted=1),
    *[case(f"debug-server-{port}", [env("gdbserver=on", *flags)], DHCP + "y\n\n" + BOOT.format(1) + INSTALL.format("6.0.0.1")
           + f"gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port {port}\n" + BODY.format("6.0.0.1"),
           rc=4, booted=1, dialogue=[(DHCP, "y\r")], commands=['system "dhclient -1 eth1"',
                                                              f'system "{preload}/bin/gdbserver :{port} /tmp/home/bin/mp.elf.strip\\n"'])
      for port, flags, preload in [(1234, [], ""), (2345, ["memchk=on", "gdbport=2345"], "LD_PRELOAD=libduma.so.0.0.0 ")]],
    # The debugger comes from the slot other than the selected one.
    *[case(f"debugger-{name}", [env("gdb=on"), step], BOOT.format(1) + "Extracting GDB from image slot 2\n" + found
           + INSTALL.format("6.0.0.1") + ("*** Launching under GDB ***\nGDB /tmp/home/bin/mp.elf.strip\n" if rc else NO_GDB)
           + BODY.format("6.0.0.1"), rc=rc, booted=1) for name, step, found, rc in [
        ("from-other-slot", slot(2, sample("gdb.pkg")), V2 + GDB_FOUND.format(2, len(payloads(sample("gdb.pkg"))[0])), 4),
        ("missing", slot(2), "Failed to open GDB image (from slot 2)\n", 0),
        ("not-a-program", slot(2, sample("app2.pkg")), V2 + GDB_FOUND.format(2, len(payloads(sample("app2.pkg"))[0])), 0),
        ("other-machine", slot(2, record("app", gzip.compress(bytes(OTHER_MACHINE)))),
         V2 + GDB_FOUND.format(2, len(gzip.compress(bytes(OTHER_MACHINE)))), 0),
        ("other-type", slot(2, sample("kernel.pkg")), V2 + "Image has invalid header 0x3504f4c\n", 0)]],
    case("recovery-just-boot", RESCUE_APP, RESCUE + QUESTION + "\n" + RECOVERY + app("6.0.0.3"), 0, 4, [(QUESTION, "\r")]),
    case("recovery-copy-fails", [*RESCUE_APP, lambda b: (b.slot_path(1).parent.rmdir(), b.slot_path(1).parent.symlink_to("/x"))],
         RESCUE + QUESTION + "2\n\nInstalling recovery image as image2...\ncp: can't create '/user/images/image2': No such "
         "file or directory\nFailed to copy recovery image to image2.\n" + RECOVERY + app("6.0.0.3"), booted=4,
         dialogue=[(QUESTION, "2\r")]),
    *[case(f"rescue-{name}", [*NO_SLOTS, rescue(data)], RESCUE + message, rc=4) for name, data, message in [
        ("erased", b"", "Image not found... \n"),
        ("bad-crc", flipped(sample("app3.pkg"), 100, 0xFF), "Image CRC failed. Quitting\n"),
        ("wrapping", record("app", b"", hdr_len=0xFFFF, length=0xFFFFFFFF, pad=False), "Image not found... \n"),
        ("longer-than-partition", record("diags", b"x" * 64, length=64 << 20), "Image CRC failed. Quitting\n")]],
]


@pytest.mark.parametrize("arrange,dialogue,rc,console,booted,commands", BOOTS)
def test_boot(tmp_path, arrange, dialogue, rc, console, booted, commands):
    board, *run = boot(tmp_path, arrange, dialogue)
    assert (*run, board.vpd(59)) == (rc, console, booted)
    lines = iter(rest for _, _, rest in board.trace(["system", "exec"]))
    assert all(c in lines for c in commands), commands  # in this order


@pytest.mark.parametrize("answer,kind", [("2", None), ("1", None), ("12", None), ("2", "fifo"), ("2", "folder"),
                                         ("1", "symlink")])
def test_recovery_image_installed_into_a_slot_of_its_own(tmp_path, answer, kind):
    n = int(answer[0])
    board, *run = boot(tmp_path, [*RESCUE_APP, slot(n, hostile=kind, target="/vboard/victim"),
                                  lambda b: (b.path / "victim").write_bytes(b"outside")], [(QUESTION, answer + "\r")])
    assert run == [0, RESCUE + QUESTION + f"{answer}\n\nInstalling recovery image as image{n}...\n"
                   f"Setting boot image to {n}\n" + app("6.0.0.3")]
    assert (board.slot_path(n).read_bytes(), (board.path / "victim").read_bytes()) == (sample("app3.pkg"), b"outside")
    assert board.vpd(1) == board.vpd(59) == n


def test_the_shell_before_the_reboot_holds_no_partition_and_no_bus_open(tmp_path):
    # The partitions are backed by /vboard/flash, the I2C buses by /dev/null.
    _, rc, console = boot(tmp_path, [*NO_SLOTS, rescue(b""), env("shell=on")], [
        ("Image not found... ", "echo leaked-$(ls -l /proc/$$/fd | grep -c -e /flash/ -e /dev/null); exit\r")])
    assert rc == 4 and "leaked-0\n" in console


def test_ctrl_c_during_the_boot_only_sets_the_flag(tmp_path):
    _, rc, console = boot(tmp_path, [], [(BOOT.format(1).strip(), "\x03")], time="real")
    assert rc == 0 and console.endswith(app("6.0.0.1"))


def test_an_archive_that_cannot_be_created_ends_in_the_reboot_not_the_rescue_image(tmp_path):
    board = VBoard.create(tmp_path / "board")
    r = board.run("/bin/sh", "-c", "mkdir /tmp/quartzimage.tar.gz && exec /bin/launcher")
    assert (r.returncode, (r.stdout + r.stderr).decode(), board.system_lines()[-1]) == (
        128 + 9, BOOT.format(1) + "Failed to open application image output file.\n", '"reboot"')
