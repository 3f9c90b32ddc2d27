"""The boot on the virtual board: slot choice, extraction with its fallback
chain, the launch and its start rules, the rescue partition, the debugger.
The console is compared byte for byte (CR LF of the terminal read as LF)."""
import gzip
import struct

import pexpect
import pytest

from board import LAUNCHER, make_hostile
from records import record
from vb import VBoard, archive, sample

ENV_LINES = "  SAMPLE_PRODUCT=switch-module\n  SAMPLE_ROLE=demo\n"


def app_run(version):
    return (f"Running AOS install script\nInstalling sample application {version}\n"
            f"Sample application {version} up\n{ENV_LINES}Sample application {version} done\n")


def app_body(version):
    """What the application prints when it runs without its install script."""
    return f"Sample application {version} up\n{ENV_LINES}Sample application {version} done\n"


def diags_run(version="5.0.0.1"):
    return f"install diags image\nSample diagnostics {version} up\nSample diagnostics {version} done\n"


def payload_of(pkg):
    """The first record's payload (basic header)."""
    length = struct.unpack_from(">I", pkg, 4)[0]
    return pkg[16:16 + length]


@pytest.fixture
def board(tmp_path):
    return VBoard.create(tmp_path / "board")


class TestSlotChoice:
    @pytest.mark.parametrize("selected,booted,version", [(1, 1, "6.0.0.1"), (2, 2, "6.0.0.2"),
                                                         (0, 1, "6.0.0.1"), (3, 1, "6.0.0.1"),
                                                         (255, 1, "6.0.0.1")])
    def test_the_vpd_byte_picks_the_slot(self, board, selected, booted, version):
        board.set_vpd(1, selected)
        board.set_vpd(59, 0)
        rc, console = board.boot()
        assert rc == 0
        assert console == f"Booting image '{booted}'\n" + app_run(version)
        assert board.vpd(59) == booted

    def test_an_eeprom_that_does_not_answer_boots_slot_1(self, tmp_path):
        board = VBoard.create(tmp_path / "b", sets=["fault.i2c_nak=0x54"])
        board.set_vpd(1, 2)
        rc, console = board.boot()
        assert rc == 0
        assert console.startswith("Booting image '1'\nI2C error when writing bus 0 offset 59: 6\n")
        assert console.endswith(app_run("6.0.0.1"))

    def test_the_application_is_started_by_becoming_backtrace(self, board):
        board.boot()
        execs = [w for _, w, _ in board.trace(["exec"])]
        assert ["exec", "/bin/backtrace", "/bin/backtrace"] in execs
        assert board.system_lines()[:2] == ['"/bin/mount -o sync -t jffs2 /dev/mtd-user /user"',
                                            '"cd /tmp \\ntar mxzf /tmp/quartzimage.tar.gz \\nrm /tmp/quartzimage.tar.gz\\n"']


class TestFallback:
    @pytest.mark.parametrize("selected,missing,used,version", [(1, 1, 2, "6.0.0.2"), (2, 2, 1, "6.0.0.1")])
    def test_the_other_file_when_one_cannot_be_opened(self, board, selected, missing, used, version):
        board.set_vpd(1, selected)
        board.remove_slot(missing)
        rc, console = board.boot()
        assert rc == 0
        assert console == (f"Booting image '{selected}'\n"
                           f"Failed to open Application image {missing}. Trying image {used}.\n" + app_run(version))
        # The slot whose file was read is the one recorded as booted.
        assert board.vpd(59) == used

    @pytest.mark.parametrize("kind", ["symlink", "fifo", "folder", "device"])
    def test_a_slot_path_that_is_no_regular_file_cannot_be_opened(self, board, kind):
        # Slot 2 selected: the boot and the debugger copy both meet it.
        board.env("gdb=on")
        board.set_vpd(1, 2)
        board.remove_slot(2)
        make_hostile(board.slot_path(2), kind, "image1")
        rc, console = board.boot()
        assert rc == 0
        assert console == ("Booting image '2'\nFailed to open Application image 2. Trying image 1.\n"
                           "Extracting GDB from image slot 2\nFailed to open GDB image (from slot 2)\n"
                           "Running AOS install script\nInstalling sample application 6.0.0.1\n"
                           "**** GDB mode selected but GDB not available. Please install GDB image ***\n"
                           + app_body("6.0.0.1"))
        assert board.vpd(59) == 1

    @pytest.mark.parametrize("content,second", ids=["crc", "header"], argvalues=[
        ("bad-crc", "Image1 CRC failed, trying Image2 now.\nBooting image '2'\nBoth image1 and image2 failed.\n"),
        ("kernel.pkg", "Image has invalid header 0x3504f4c. (0x6504f4c)\nImage1 has invalid header... trying Image2.\n"
                       "Booting image '2'\nNo valid application image found. Trying rescue image\n"
                       "Launching diagnostics image\n" + diags_run()),
    ])
    def test_after_the_open_fallback_the_messages_name_the_selected_slot(self, board, content, second):
        # The second attempt that follows reads image2 again, as they say.
        board.remove_slot(1)
        bad = bytearray(sample("app2.pkg"))
        bad[-1] ^= 0xFF
        board.write_slot(2, bytes(bad) if content == "bad-crc" else sample(content))
        rc, console = board.boot()
        assert console == "Booting image '1'\nFailed to open Application image 1. Trying image 2.\n" + second

    @pytest.mark.parametrize("image2", [None, "fifo", "folder"])
    def test_no_slot_file_at_all_boots_the_rescue_partition(self, board, image2):
        board.remove_slot(1)
        board.remove_slot(2)
        if image2:
            make_hostile(board.slot_path(2), image2, None)
        rc, console = board.boot()
        assert rc == 0
        assert console == ("Booting image '1'\nFailed to open Application image 1. Trying image 2.\n"
                           "Failed to open Application image 2. Trying rescue image\n"
                           "Launching diagnostics image\n" + diags_run())
        assert board.vpd(59) == 4

    @pytest.mark.parametrize("selected,other", [(1, 2), (2, 1)])
    def test_no_application_record_tries_the_other_slot(self, board, selected, other):
        board.set_vpd(1, selected)
        board.write_slot(selected, sample("kernel.pkg"))
        rc, console = board.boot()
        assert rc == 0
        version = "6.0.0.1" if other == 1 else "6.0.0.2"
        assert console == (f"Booting image '{selected}'\n"
                           f"Image has invalid header 0x3504f4c. (0x6504f4c)\n"
                           f"Image{selected} has invalid header... trying Image{other}.\n"
                           f"Booting image '{other}'\n" + app_run(version))
        assert board.vpd(59) == other

    def test_no_application_record_in_either_slot_goes_to_the_rescue_partition(self, board):
        board.write_slot(1, sample("kernel.pkg"))
        board.write_slot(2, sample("rfs.pkg"))
        rc, console = board.boot()
        assert console == ("Booting image '1'\n"
                           "Image has invalid header 0x3504f4c. (0x6504f4c)\n"
                           "Image1 has invalid header... trying Image2.\n"
                           "Booting image '2'\n"
                           "No valid application image found. Trying rescue image\n"
                           "Launching diagnostics image\n" + diags_run())

    def test_a_bad_crc_tries_the_other_slot(self, board):
        bad = bytearray(sample("app1.pkg"))
        bad[-1] ^= 0xFF
        board.write_slot(1, bytes(bad))
        rc, console = board.boot()
        assert rc == 0
        assert console == ("Booting image '1'\nImage1 CRC failed, trying Image2 now.\n"
                           "Booting image '2'\n" + app_run("6.0.0.2"))

    def test_two_bad_crcs_reboot_without_the_rescue_partition(self, board):
        for n in (1, 2):
            bad = bytearray(board.slot_path(n).read_bytes())
            bad[20] ^= 0x01
            board.write_slot(n, bytes(bad))
        rc, console = board.boot(max_boots=1)
        assert rc == 4  # rebooted
        assert console == ("Booting image '1'\nImage1 CRC failed, trying Image2 now.\n"
                           "Booting image '2'\nBoth image1 and image2 failed.\n")
        assert "Launching diagnostics" not in console
        assert [w for _, w, _ in board.trace(["reboot"])] == [["reboot"]]

    def test_an_archive_that_cannot_be_created_reboots_without_the_rescue_image(self, board):
        # A directory where the archive goes: the file cannot be created.
        r = board.run("/bin/sh", "-c", "mkdir /tmp/quartzimage.tar.gz && exec /bin/launcher")
        assert r.returncode == 128 + 9  # the reboot ends every process of the boot
        assert r.stdout.decode() + r.stderr.decode() == ("Booting image '1'\n"
                                                         "Failed to open application image output file.\n")
        assert [w for _, w, _ in board.trace(["reboot"])] == [["reboot"]]

    def test_the_walk_skips_other_records(self, board):
        board.write_slot(1, sample("kernel.pkg") + sample("dft.pkg") + sample("app3.pkg"))
        rc, console = board.boot()
        assert console == "Booting image '1'\n" + app_run("6.0.0.3")

    def test_an_extended_header_carries_the_payload_at_its_length(self, board):
        archive = payload_of(sample("app3.pkg"))
        board.write_slot(1, record("app", archive, version=(6, 0, 0, 3), hdr_len=24))
        rc, console = board.boot()
        assert rc == 0 and console == "Booting image '1'\n" + app_run("6.0.0.3")

    def test_a_diagnostics_record_in_a_slot_launches_as_diagnostics(self, board):
        board.write_slot(1, sample("diags.pkg"))
        rc, console = board.boot()
        assert console == "Booting image '1'\n" + diags_run()
        assert board.vpd(59) == 1


class TestCorruptSlotFiles:
    """Slot files no walk may trust: the boot falls through, never hangs."""

    INVALID = "Booting image '1'\nImage has invalid header 0x{magic:x}. (0x6504f4c)\n" \
              "Image1 has invalid header... trying Image2.\nBooting image '2'\n"
    CRC = "Booting image '1'\nImage1 CRC failed, trying Image2 now.\nBooting image '2'\n"

    @pytest.mark.parametrize("content,expected", [
        (b"", INVALID.format(magic=0)),
        (b"\x01\x02\x03", INVALID.format(magic=0)),
        (record("app", b"abc"), INVALID.format(magic=0)),
        (record("app", b"", hdr_len=0), INVALID.format(magic=0x81504F4C)),
        (record("app", b"x" * 40, hdr_len=8), INVALID.format(magic=0x81504F4C)),
        (record("kernel", b"k" * 20, hdr_len=0, pad=False) + record("app", b"never"), INVALID.format(magic=0x83504F4C)),
        (record("app", b"", hdr_len=0xFFFF, length=0xFFFFFFFF, pad=False), INVALID.format(magic=0x81504F4C)),
        (record("kernel", b"", length=0xFFFFFFF0) + record("app", b"never"), INVALID.format(magic=0x3504F4C)),
        (record("app", b"tiny", length=0xF0000000), CRC),
        (sample("app1.pkg")[:-100], CRC),
        (b"\xff" * 4096, INVALID.format(magic=0xFFFFFFFF)),
    ], ids=["empty", "three-bytes", "short-record", "zero-length-extended", "header-8", "kernel-header-0",
            "wrap-extended", "wrap-basic", "huge", "truncated", "erased"])
    def test_falls_through_to_the_other_slot(self, board, content, expected):
        board.write_slot(1, content)
        rc, console = board.boot()
        assert rc == 0
        assert console == expected + app_run("6.0.0.2")
        assert board.vpd(59) == 2


class TestStartRules:
    SHOW_ENV = "#!/bin/sh\nenv | grep -E '^(A|B|C|D|E|N+)=' | sort | sed 's/=/ /' | while read n v; do echo \"${#n}:$n=[$v]\"; done\n"

    def test_environment_file_pairs_reach_the_application(self, board):
        env_setup = "A 1 B\n\tC   3\nD " + "N" * 600 + " E\n"
        board.write_slot(1, record("app", archive({
            "home/bin/mp.elf.strip": (self.SHOW_ENV, 0o755),
            "home/bin/install.sh": ("#!/bin/sh\n", 0o755),
            "home/bin/env-setup": (env_setup, 0o644)})))
        rc, console = board.boot()
        assert rc == 0
        # Pairs by token order alone; a token is cut after 511 characters and
        # its rest is the next token; a final name without value is empty.
        assert console == ("Booting image '1'\nRunning AOS install script\n"
                           "1:A=[1]\n1:B=[C]\n1:E=[]\n"
                           "511:" + "N" * 511 + "=[" + "N" * 89 + "]\n")

    def test_environment_file_is_not_read_without_install_script(self, board):
        board.write_slot(1, record("app", archive({
            "home/bin/mp.elf.strip": (self.SHOW_ENV, 0o755),
            "home/bin/env-setup": ("A 1\n", 0o644)})))
        rc, console = board.boot()
        assert rc == 0 and console == "Booting image '1'\n"

    def boot_with_dhcp_answer(self, board, answer):
        child = board.spawn()
        child.expect_exact("Confirm: Use DHCP for network configuration? y/N: ")
        before = child.before
        child.send(answer + "\r")
        child.expect(pexpect.EOF)
        child.close()
        return child.exitstatus, (before + child.before).decode().replace("\r\n", "\n")

    def test_debug_server_configures_the_port_first(self, board):
        board.env("gdbserver=on")
        rc, console = self.boot_with_dhcp_answer(board, "y")
        assert rc == 4  # the debug server ends, the board reboots
        assert console.startswith("y\n\nBooting image '1'\n")
        assert "gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port 1234\n" in console
        lines = board.system_lines()
        assert lines.index('"dhclient -1 eth1"') < lines.index('"/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n"')
        assert console.endswith(app_body("6.0.0.1"))

    def test_debug_server_with_memory_checker_and_port(self, board):
        board.env("gdbserver=on", "memchk=on", "gdbport=2345")
        rc, console = self.boot_with_dhcp_answer(board, "y")
        assert rc == 4
        assert '"LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\\n"' in board.system_lines()

    def test_memory_checker_alone(self, board):
        board.env("memchk=on")
        rc, console = board.boot()
        assert rc == 4
        assert console == "Booting image '1'\n" + app_run("6.0.0.1")
        assert board.system_lines()[-2:] == ['"LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\\n"', '"reboot"']

    def test_debugger_from_the_other_slot(self, board):
        board.env("gdb=on")
        board.write_slot(2, sample("gdb.pkg"))
        gdb_len = struct.unpack_from(">I", sample("gdb.pkg"), 4)[0]
        rc, console = board.boot()
        assert rc == 4
        assert console == ("Booting image '1'\nExtracting GDB from image slot 2\nV2 header found\n"
                           f"Found GDB image 2 of length = {gdb_len}.\ndecompressing GDB....\n"
                           "Running AOS install script\nInstalling sample application 6.0.0.1\n"
                           "*** Launching under GDB ***\nGDB /tmp/home/bin/mp.elf.strip\n" + app_body("6.0.0.1"))

    def test_debugger_with_an_extended_header(self, board):
        board.env("gdb=on")
        board.set_vpd(1, 2)
        board.write_slot(1, record("app", payload_of(sample("gdb.pkg")), hdr_len=24))
        rc, console = board.boot()
        assert "V2 header found" not in console
        assert "*** Launching under GDB ***\nGDB /tmp/home/bin/mp.elf.strip\n" in console

    @pytest.mark.parametrize("slot2", ["missing", "application", "other-machine"])
    def test_debugger_not_available(self, board, slot2):
        board.env("gdb=on")
        if slot2 == "missing":
            board.remove_slot(2)
            extraction = "Failed to open GDB image (from slot 2)\n"
        else:
            # Not a program for this board: the shell would run it as a script.
            if slot2 == "other-machine":
                elf = bytearray(LAUNCHER.read_bytes()[:64])
                elf[18:20] = b"\x16\x00" if elf[5] == 1 else b"\x00\x16"  # s390
                board.write_slot(2, record("app", gzip.compress(bytes(elf))))
            length = struct.unpack_from(">I", board.slot_path(2).read_bytes(), 4)[0]
            extraction = f"V2 header found\nFound GDB image 2 of length = {length}.\ndecompressing GDB....\n"
        rc, console = board.boot()
        assert rc == 0
        assert console == ("Booting image '1'\nExtracting GDB from image slot 2\n" + extraction +
                           "Running AOS install script\nInstalling sample application 6.0.0.1\n"
                           "**** GDB mode selected but GDB not available. Please install GDB image ***\n"
                           + app_body("6.0.0.1"))

    def test_debugger_slot_of_another_type(self, board):
        board.env("gdb=on")
        board.write_slot(2, sample("kernel.pkg"))
        rc, console = board.boot()
        assert "Extracting GDB from image slot 2\nV2 header found\nImage has invalid header 0x3504f4c\n" in console
        assert "GDB mode selected but GDB not available" in console

    def test_shell_before_the_start(self, board):
        board.env("shell=on")
        child = board.spawn()
        child.expect_exact("Dropping into shell")
        child.sendline("echo inside-$((6*7))")
        child.expect_exact("inside-42")
        child.sendline("exit")
        child.expect_exact("Dropping out of shell")
        child.expect_exact("Sample application 6.0.0.1 done")
        child.expect(pexpect.EOF)


def rescue_board(tmp_path, pkg="app3.pkg"):
    board = VBoard.create(tmp_path / "board")
    board.remove_slot(1)
    board.remove_slot(2)
    board.write_partition("rescue", sample(pkg))
    return board


RESCUE_START = ("Booting image '1'\nFailed to open Application image 1. Trying image 2.\n"
                "Failed to open Application image 2. Trying rescue image\n")
QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "


class TestRescuePartition:
    @pytest.mark.parametrize("answer,slot,kind", [("2", 2, None), ("1", 1, None), ("12", 1, None),
                                                  ("2", 2, "fifo"), ("2", 2, "folder"), ("1", 1, "symlink")])
    def test_recovery_image_installed_into_a_slot(self, tmp_path, answer, slot, kind):
        board = rescue_board(tmp_path)
        victim = board.path / "victim"
        victim.write_bytes(b"outside the slots")
        if kind:
            make_hostile(board.slot_path(slot), kind, "/vboard/victim")
        child = board.spawn()
        child.expect_exact(QUESTION)
        child.sendline(answer)
        child.expect(pexpect.EOF)
        console = child.before.decode().replace("\r\n", "\n")
        assert console.startswith(f"{answer}\n\nInstalling recovery image as image{answer[0]}...\n"
                                  f"Setting boot image to {slot}\n")
        assert console.endswith(app_run("6.0.0.3"))
        assert board.slot_path(slot).read_bytes() == sample("app3.pkg")
        assert not board.slot_path(slot).is_symlink() and victim.read_bytes() == b"outside the slots"
        assert board.vpd(1) == slot and board.vpd(59) == slot

    @pytest.mark.parametrize("images", ["file", "dangling-link"])
    def test_a_failed_copy_selects_nothing_and_records_the_rescue_boot(self, tmp_path, images):
        board = rescue_board(tmp_path)
        folder = board.path / "user" / "images"
        folder.rmdir()
        if images == "file":
            folder.write_bytes(b"no folder")
        else:
            folder.symlink_to("/nowhere")  # cp itself fails
        board.set_vpd(59, 0)
        child = board.spawn()
        child.expect_exact(QUESTION)
        child.sendline("2")
        child.expect(pexpect.EOF)
        console = child.before.decode().replace("\r\n", "\n")
        assert console.startswith("2\n\nInstalling recovery image as image2...\n")
        assert console.endswith("Failed to copy recovery image to image2.\n\nBooting recovery image. You will need "
                                "to download and install an image before rebooting\n" + app_run("6.0.0.3"))
        assert "Setting boot image" not in console
        assert board.vpd(1) == 1 and board.vpd(59) == 4

    def test_empty_answer_boots_without_installing(self, tmp_path):
        board = rescue_board(tmp_path)
        board.set_vpd(59, 0)
        child = board.spawn()
        child.expect_exact(RESCUE_START.replace("\n", "\r\n") + QUESTION)
        child.sendline("")
        child.expect(pexpect.EOF)
        console = child.before.decode().replace("\r\n", "\n")
        assert console == ("\n\nBooting recovery image. You will need to download and install an image before rebooting\n"
                           + app_run("6.0.0.3"))
        assert not board.slot_path(1).exists() and not board.slot_path(2).exists()
        assert board.vpd(59) == 4 and board.vpd(1) == 1

    def test_end_of_input_boots_without_touching_the_vpd(self, tmp_path):
        board = rescue_board(tmp_path)
        board.set_vpd(59, 0)
        child = board.spawn()
        child.expect_exact(QUESTION)
        child.sendeof()
        child.expect(pexpect.EOF)
        assert "Sample application 6.0.0.3 done" in child.before.decode()
        assert board.vpd(59) == 0 and board.vpd(1) == 1

    def test_diagnostics_image(self, board):
        board.remove_slot(1)
        board.remove_slot(2)
        rc, console = board.boot()
        assert console == RESCUE_START + "Launching diagnostics image\n" + diags_run()
        assert board.vpd(59) == 4

    def test_erased_partition(self, tmp_path):
        board = rescue_board(tmp_path)
        board.write_partition("rescue", b"")
        rc, console = board.boot()
        assert rc == 4
        assert console == RESCUE_START + "Image not found... \n"

    def test_bad_crc(self, tmp_path):
        bad = bytearray(sample("app3.pkg"))
        bad[100] ^= 0x20
        board = rescue_board(tmp_path)
        board.write_partition("rescue", bytes(bad))
        rc, console = board.boot()
        assert rc == 4
        assert console == RESCUE_START + "Image CRC failed. Quitting\n"

    @pytest.mark.parametrize("content,message", [
        (record("app", b"", hdr_len=0), "Image not found... \n"),
        (record("app", b"", hdr_len=0xFFFF, length=0xFFFFFFFF, pad=False), "Image not found... \n"),
        (record("diags", b"x" * 64, length=64 << 20), "Image CRC failed. Quitting\n"),
    ], ids=["zero-length", "wrapping", "longer-than-partition"])
    def test_unusable_records(self, tmp_path, content, message):
        board = rescue_board(tmp_path)
        board.write_partition("rescue", content)
        rc, console = board.boot()
        assert rc == 4
        assert console == RESCUE_START + message

    def test_shell_offered_before_the_reboot_holds_no_device_of_the_launcher(self, tmp_path):
        board = rescue_board(tmp_path)
        board.write_partition("rescue", b"")
        board.env("shell=on")
        child = board.spawn()
        child.expect_exact("Image not found... ")
        # The partitions are backed by /vboard/flash, the I2C buses by /dev/null.
        child.sendline("echo leaked-$(ls -l /proc/$$/fd | grep -c -e /flash/ -e /dev/null); exit")
        child.expect_exact("leaked-0\r\n")
        child.expect(pexpect.EOF)
        child.close()
        assert child.exitstatus == 4


class TestEnding:
    def test_reboot_that_cannot_be_found_ends_quietly(self, tmp_path):
        board = rescue_board(tmp_path)
        board.write_partition("rescue", b"")
        r = board.run("/bin/launcher", env=["PATH=/nowhere"])
        assert r.returncode == 0
        console = r.stdout.decode() + r.stderr.decode()
        # The shell says the command is missing; the launcher adds nothing.
        assert console.endswith("Image not found... \nsh: reboot: not found\n")
        assert board.system_lines()[-1] == '"reboot"'

    def test_ctrl_c_during_the_boot_only_sets_the_flag(self, board):
        child = board.spawn(time="real")
        child.expect_exact("Booting image '1'")
        child.sendintr()
        child.expect_exact("Sample application 6.0.0.1 done")
        child.expect(pexpect.EOF)
        child.close()
        assert child.exitstatus == 0
