"""The package installer inside a board: packages built with pkgtool (or by
hand where they must be broken), installed through the console, and the
partitions, slot files and VPD compared with what the packages hold."""
import io
import os
import signal
import struct
import subprocess
import tarfile

import pytest

from board import Board, make_hostile
from records import TYPES, gen_crc, record, walk
from console import PKGTOOL, Session, crlf, wait_until

OPENING = "\nExtracting images ... Do *NOT* power cycle the switch.\n"
QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
ERASE = 65536
# Partitions as large as the board's, so that every size limit fits.
SIZES = {"rfs": 16777216, "rescue": 12582912}
LIMITS = {"uboot": 0x80000, "kernel": 0x300000, "rfs": 0xF00000, "dft": 0x40000, "diags": 0xA00000}
PART = {"uboot": "uboot", "kernel": "kernel", "rfs": "rfs", "dft": "devicetree", "diags": "rescue"}
LABEL = {"uboot": "Installing Boot Loader: ", "kernel": "Installing Kernel: ",
         "rfs": "Installing Root Filesystem: ", "dft": "Installing Device Tree: ",
         "diags": "Installing Diagnostics: ", "app": "Installing Application: "}
CRC_NAME = {"uboot": "UBOOT", "kernel": "KERNEL", "rfs": "RFS", "dft": "DFT",
            "diags": "DIAGNOSTICS IMAGE", "app": "APPLICATION"}
BIG_NAME = {"uboot": "UBOOT", "kernel": "KERNEL", "rfs": "RFS", "dft": "DFT", "diags": "DIAGS"}
FAILED = {"uboot": "Uboot image update failed", "kernel": "kernel image update failed",
          "rfs": "RFS image update failed", "dft": "DFT image update failed",
          "diags": "DIAGS image update failed"}


def flash_progress(length):
    count = (length + ERASE - 1) // ERASE
    return "     " + "".join(f"\b\b\b\b{i * 100 // count:03d}%" for i in range(count)) + "\b\b\b\b100%\n"


def slot_updates(length):
    updates, written = [], 0
    while written < length:
        written += min(65536, length - written)
        updates.append(f"\b\b\b\b{written * 100 // length:03d}%")
    return updates


def slot_progress(length):
    return "    " + "".join(slot_updates(length)) + "\b\b\b\b100%\n"


def bad_crc(kind, data):
    return f"Bad crc for {CRC_NAME[kind]}: 0x{gen_crc(data):08x}, voiding download\n"


def app_archive(banner):
    """An application archive whose program prints banner."""
    script = f"#!/bin/sh\necho {banner}\n".encode()
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name in ["home", "home/bin"]:
            info = tarfile.TarInfo(name)
            info.type = tarfile.DIRTYPE
            info.mode = 0o755
            tar.addfile(info)
        info = tarfile.TarInfo("home/bin/mp.elf.strip")
        info.size = len(script)
        info.mode = 0o755
        tar.addfile(info, io.BytesIO(script))
    return buf.getvalue()


class Installer:
    def __init__(self, tmp_path, session):
        self.tmp = tmp_path
        self.session = session
        self.board = session.board = Board(tmp_path / "board", sizes=SIZES)
        self.n = 0

    def file(self, data):
        self.n += 1
        path = self.tmp / f"payload{self.n}"
        path.write_bytes(data)
        return path

    def pkgtool(self, *args):
        r = subprocess.run([str(PKGTOOL), *map(str, args)], capture_output=True, text=True)
        assert r.returncode == 0, r.stderr
        return r.stdout

    def package(self, *items, extended=None):
        """A package from (type, payload, version) items, made by pkgtool."""
        if not PKGTOOL.exists():
            pytest.fail(f"{PKGTOOL} is not built")
        specs = [f"{kind}={self.file(payload)}@{'.'.join(map(str, version))}" for kind, payload, version in items]
        # Random boot-loader payloads hold data where the header copy goes.
        opts = ([f"--extended={extended}"] if extended else []) + ["--overwrite-copy"]
        path = self.board.path / "pkg"
        self.pkgtool("create", path, *opts, *specs)
        return path.read_bytes()

    def raw_package(self, data):
        (self.board.path / "pkg").write_bytes(data)
        return data

    def extract(self):
        """What pkgtool says the package's records carry: (offset, header
        length, payload) for each."""
        dest = self.tmp / f"extract{self.n}"
        self.n += 1
        self.pkgtool("extract", self.board.path / "pkg", dest)
        listing = [line.split() for line in self.pkgtool("list", self.board.path / "pkg").splitlines()[1:]]
        files = sorted(dest.iterdir())
        return [(int(row[1], 16), int(row[4].split("/")[1]), f.read_bytes()) for row, f in zip(listing, files)]

    def run(self, check=0, slot=0, answer=None, after=(), prelude=None, pkg="/vboard/pkg"):
        c = self.session.on_board("flash-init", "i2c-init", "install", pkg, str(check), str(slot),
                                  *after, prelude=prelude)
        if answer is not None:
            c.expect(QUESTION)
            c.line(answer)
        out, status = c.finish()
        return out, self.session.lines()[2:]

    def part(self, kind):
        return self.board.flash(PART[kind])

    def writes(self):
        return [w for w in self.board.trace_words(["mtd"]) if " write " in w or " erase " in w]

    def slot(self, n):
        return (self.board.path / "user" / "images" / f"image{n}").read_bytes()


@pytest.fixture
def inst(tmp_path):
    s = Session(tmp_path)
    yield Installer(tmp_path, s)
    s.close()


def holds_record(part, pkg, offset, header_len, payload):
    """The partition holds the record from its byte 0, then erased flash."""
    length = header_len + len(payload)
    assert part[:header_len] == pkg[offset:offset + header_len]
    assert part[header_len:length] == payload
    assert part[length:] == b"\xff" * (len(part) - length)


class TestTranscript:
    def test_kernel_then_application_answered_2(self, inst):
        kernel, app = os.urandom(200000), os.urandom(150000)
        pkg = inst.package(("kernel", kernel, (2, 0, 0, 2)), ("app", app, (6, 0, 0, 3)))
        out, res = inst.run(answer="2")
        assert out == crlf(OPENING + LABEL["kernel"] + flash_progress(200016)
                           + LABEL["app"] + QUESTION + "2\n"
                           + "Installing image as image2: " + slot_progress(150016)
                           + "\nImage2 updated succeeded\n" + "File processed\n")
        assert res == ["install -> 1"]
        (k_off, k_hdr, k_payload), (a_off, a_hdr, a_payload) = inst.extract()
        holds_record(inst.part("kernel"), pkg, k_off, k_hdr, k_payload)
        assert inst.slot(2) == pkg[a_off:]
        assert inst.slot(2)[a_hdr:] == a_payload
        assert not (inst.board.path / "user" / "images" / "image1").exists()
        assert inst.board.vpd()[1] == 2

    def test_application_then_kernel_with_a_bare_return_boots_the_download(self, inst):
        pkg = inst.package(("app", app_archive("downloaded application up"), (6, 0, 0, 9)),
                           ("kernel", os.urandom(5000), (2, 0, 0, 9)))
        out, res = inst.run(answer="")
        assert out.startswith(crlf(OPENING + LABEL["app"] + QUESTION + "\n"
                                   "Booting downloaded image\nImage ready to boot...\n"))
        assert out.endswith(crlf("downloaded application up\n"))
        assert res == []  # never returned
        assert inst.writes() == []  # the kernel record was never looked at
        assert inst.board.vpd()[1] == 1
        assert not (inst.board.path / "user" / "images" / "image1").exists()
        commands = inst.board.trace_words(["system", "exec"])
        assert 'system "cd /tmp \\ntar mxzf /tmp/quartzimage.tar.gz \\nrm /tmp/quartzimage.tar.gz\\n"' in commands
        assert "exec /bin/backtrace /bin/backtrace" in commands
        assert pkg  # the package was made

    def test_preset_slot_asks_nothing(self, inst):
        pkg = inst.package(("app", os.urandom(1000), (6, 0, 0, 1)))
        out, res = inst.run(slot=2)
        assert out == crlf(OPENING + LABEL["app"] + "Installing image as image2: " + slot_progress(1016)
                           + "\nImage2 updated succeeded\nFile processed\n")
        assert res == ["install -> 1"]
        assert inst.slot(2) == pkg

    def test_two_applications_one_question_the_second_replaces_the_first(self, inst):
        first, second = os.urandom(3000), os.urandom(2000)
        pkg = inst.package(("app", first, (6, 0, 0, 1)), ("app", second, (6, 0, 0, 2)))
        out, res = inst.run(answer="1")
        assert out.count(QUESTION.encode()) == 1
        assert out.count(b"Image1 updated succeeded") == 2
        assert res == ["install -> 1"]
        assert inst.slot(1) == pkg[3016:]

    def test_the_rest_of_a_long_answer_answers_no_later_question(self, inst):
        pkg = inst.package(("app", os.urandom(100), (6, 0, 0, 1)))
        c = inst.session.on_board("flash-init", "i2c-init", *["install", "/vboard/pkg", "0", "0"] * 2)
        c.expect(QUESTION)
        c.line("1" + "x" * 30 + "2")
        c.expect(QUESTION)
        c.line("1")
        c.finish()
        assert inst.session.lines()[2:] == ["install -> 1"] * 2
        assert inst.slot(1) == pkg
        assert not (inst.board.path / "user" / "images" / "image2").exists()

    @pytest.mark.parametrize("kind", ["symlink", "hardlink", "fifo", "folder", "device"])
    def test_a_slot_path_that_is_no_file_of_its_own(self, inst, kind):
        images = inst.board.path / "user" / "images"
        other = record("app", b"the other slot", version=(6, 0, 0, 2))
        (images / "image2").write_bytes(other)
        make_hostile(images / "image1", kind, "image2")
        pkg = inst.package(("app", os.urandom(100), (6, 0, 0, 1)))
        c = inst.session.on_board("flash-init", "i2c-init", "header", "app", "1",
                                  "install", "/vboard/pkg", "0", "1")
        out, _ = c.finish()
        # The version display reads it as a file that cannot be opened (a
        # second name is a file like any other); the install replaces it.
        header = "1 " + other[:16].hex() if kind == "hardlink" else "0 " + "00" * 16
        assert inst.session.lines()[2:] == ["header -> " + header, "install -> 1"]
        assert out.endswith(crlf("\nImage1 updated succeeded\nFile processed\n"))
        assert inst.slot(1) == pkg and not (images / "image1").is_symlink()
        assert inst.slot(2) == other

    def test_images_directory_is_created_when_missing(self, inst):
        (inst.board.path / "user" / "images").rmdir()
        pkg = inst.package(("app", os.urandom(100), (6, 0, 0, 1)))
        _, res = inst.run(slot=1)
        assert res == ["install -> 1"]
        assert inst.slot(1) == pkg

    def test_diagnostics_say_done_after_their_progress(self, inst):
        diags = os.urandom(70000)
        pkg = inst.package(("diags", diags, (5, 0, 0, 1)))
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["diags"] + flash_progress(70016) + "done\nFile processed\n")
        assert res == ["install -> 1"]
        holds_record(inst.part("diags"), pkg, 0, 16, diags)

    def test_every_flash_type_lands_in_its_partition(self, inst):
        items = [("uboot", os.urandom(4096), (1, 0, 0, 2)),
                 ("kernel", os.urandom(8192), (2, 0, 0, 2)), ("rfs", os.urandom(16384), (3, 0, 0, 2)),
                 ("dft", os.urandom(1024), (4, 0, 0, 2)), ("diags", os.urandom(177), (5, 0, 0, 2))]
        pkg = inst.package(*items, extended=24)
        out, res = inst.run(after=("display",))
        assert res == ["install -> 1", "display -> 0"]
        for (kind, _, _), (off, hdr, payload) in zip(items, inst.extract()):
            assert hdr == 24
            if kind == "uboot":
                # The boot loader alone goes without its record header.
                assert inst.part(kind)[:len(payload)] == payload
                assert inst.part(kind)[len(payload):] == b"\xff" * (0x80000 - len(payload))
            else:
                holds_record(inst.part(kind), pkg, off, hdr, payload)
        # The version display reads the boot loader's own copy of its header.
        assert out.endswith(crlf("Installed images versions: \n"
                                 "\tBoot image  : 1.0.0.2\n\tRFS image   : 3.0.0.2\n"
                                 "\tKernel image: 2.0.0.2\n\tDFT image   : 4.0.0.2\n"
                                 "\tOS image 1  : 0.0.0.0\n\tOS image 2  : 0.0.0.0\n"))


class TestSizeLimits:
    @pytest.mark.parametrize("kind", ["uboot", "kernel", "dft", "rfs", "diags"])
    def test_at_the_limit_is_accepted(self, inst, kind):
        size = LIMITS[kind] if kind == "uboot" else LIMITS[kind] - 16
        payload = os.urandom(size)
        pkg = inst.package((kind, payload, (1, 2, 3, 4)))
        _, res = inst.run()
        assert res == ["install -> 1"]
        ((_, _, extracted),) = inst.extract()
        if kind == "uboot":
            assert inst.part(kind) == extracted
        else:
            holds_record(inst.part(kind), pkg, 0, 16, extracted)
            assert extracted == payload

    @pytest.mark.parametrize("kind", ["uboot", "kernel", "dft", "rfs", "diags"])
    def test_one_past_the_limit_is_refused_and_nothing_is_written(self, inst, kind):
        size = LIMITS[kind] + 1 if kind == "uboot" else LIMITS[kind] - 15
        inst.package((kind, bytes(size), (1, 2, 3, 4)))
        out, res = inst.run()
        limit = LIMITS[kind]
        assert out == crlf(OPENING + LABEL[kind]
                           + f"{BIG_NAME[kind]} image is too big for flash ({limit + 1} > {limit})\n")
        assert res == ["install -> 0"]
        assert inst.writes() == []

    def test_the_limit_counts_an_extended_header(self, inst):
        inst.package(("dft", bytes(LIMITS["dft"] - 31), (1, 2, 3, 4)), extended=32)
        out, res = inst.run()
        assert out.endswith(crlf(f"DFT image is too big for flash ({LIMITS['dft'] + 1} > {LIMITS['dft']})\n"))
        assert res == ["install -> 0"]


class TestVersionCheck:
    def test_the_same_boot_loader_is_skipped_even_with_another_crc(self, inst):
        # pkgtool puts the header copy into the boot loader it packs.
        payload = os.urandom(4096)
        inst.package(("uboot", payload, (1, 0, 0, 5)))
        inst.run()
        installed = inst.part("uboot")
        # Same length, type and version; another payload, so another crc.
        other = bytearray(payload)
        other[4000] ^= 0xFF
        inst.package(("uboot", bytes(other), (1, 0, 0, 5)))
        out, res = inst.run(check=1)
        assert out == crlf(OPENING + LABEL["uboot"]
                           + "Image has same version as existing image. Skipping update...\n"
                           + "File processed\n")
        assert res == ["install -> 0"]
        assert inst.writes() == []
        assert inst.part("uboot") == installed

    def test_a_kernel_differing_only_in_its_crc_is_written(self, inst):
        inst.package(("kernel", b"A" * 5000, (2, 0, 0, 1)))
        inst.run()
        pkg = inst.package(("kernel", b"B" * 5000, (2, 0, 0, 1)))
        out, res = inst.run(check=1)
        assert b"same version" not in out
        assert res == ["install -> 1"]
        assert inst.part("kernel")[:5016] == pkg

    def test_an_identical_kernel_is_skipped_and_the_rest_installed(self, inst):
        inst.package(("kernel", b"K" * 5000, (2, 0, 0, 1)))
        inst.run()
        pkg = inst.package(("kernel", b"K" * 5000, (2, 0, 0, 1)), ("dft", b"D" * 300, (4, 0, 0, 1)))
        out, res = inst.run(check=1)
        assert out == crlf(OPENING + LABEL["kernel"]
                           + "Image has same version as existing image. Skipping update...\n"
                           + LABEL["dft"] + flash_progress(316) + "File processed\n")
        assert res == ["install -> 1"]
        assert {w.split()[1] for w in inst.writes()} == {"/dev/mtd-devicetree"}
        assert inst.part("dft")[:316] == pkg[5016:]

    def test_without_the_check_the_same_kernel_is_written_again(self, inst):
        inst.package(("kernel", b"K" * 5000, (2, 0, 0, 1)))
        inst.run()
        _, res = inst.run(check=0)
        assert res == ["install -> 1"]
        assert inst.writes() != []

    def test_an_installed_application_is_skipped(self, inst):
        pkg = inst.package(("app", os.urandom(500), (6, 0, 0, 1)))
        inst.run(slot=1)
        out, res = inst.run(check=1, slot=1)
        assert out == crlf(OPENING + LABEL["app"] + "Installing image as image1: "
                           + "Image1 has same version as existing image. Skipping update...\n"
                           + "File processed\n")
        assert res == ["install -> 0"]
        assert inst.slot(1) == pkg


class TestBadRecords:
    def test_a_bad_record_after_a_good_one_keeps_the_good_one(self, inst):
        dft = record("dft", b"d" * 3000, version=(4, 0, 0, 1))
        bad = bytearray(record("kernel", b"k" * 4000, version=(2, 0, 0, 1)))
        bad[100] ^= 1
        inst.raw_package(dft + bytes(bad))
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["dft"] + flash_progress(3016)
                           + LABEL["kernel"] + bad_crc("kernel", bytes(bad[4:])))
        assert res == ["install -> 0"]
        assert inst.part("dft")[:3016] == dft
        assert inst.part("kernel") == b"\xff" * 4194304

    def test_a_bad_application_is_refused_before_the_question(self, inst):
        bad = bytearray(record("app", b"a" * 100))
        bad[0] ^= 1
        inst.raw_package(bytes(bad))
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["app"] + bad_crc("app", bytes(bad[4:])))
        assert res == ["install -> 0"]

    def test_a_record_cut_short_by_the_end_of_the_package(self, inst):
        whole = record("kernel", os.urandom(9000))
        inst.raw_package(whole[:5000])
        out, res = inst.run()
        # The checksum of what the package holds of it.
        assert out == crlf(OPENING + LABEL["kernel"] + bad_crc("kernel", whole[4:5000]))
        assert res == ["install -> 0"]
        assert inst.writes() == []

    def test_a_length_that_wraps_past_4_gib(self, inst):
        # 16 + 0xFFFFFFF8 is 8 in 32 bits.
        rec = struct.pack(">IIII", 0, 0xFFFFFFF8, TYPES["rfs"], 0) + b"x" * 64
        inst.raw_package(rec)
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["rfs"] + bad_crc("rfs", rec[4:]))
        assert res == ["install -> 0"]
        assert inst.writes() == []

    @pytest.mark.parametrize("kind", ["dft", "app"])
    def test_an_extended_header_shorter_than_the_fixed_words(self, inst, kind):
        # Its checksum over the span its header length gives matches: only
        # the header can be named as the reason.
        rec = record(kind, b"p" * 40, hdr_len=8)
        inst.raw_package(struct.pack(">I", gen_crc(rec[4:48])) + rec[4:])
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL[kind] + f"Bad header length for {CRC_NAME[kind]}: 8, voiding download\n")
        assert res == ["install -> 0"]
        assert inst.writes() == []

    def test_an_extended_header_longer_than_the_package(self, inst):
        rec = record("diags", b"p" * 10, hdr_len=0xFFF0, pad=False)
        inst.raw_package(rec)
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["diags"] + bad_crc("diags", rec[4:]))
        assert res == ["install -> 0"]
        assert inst.writes() == []

    def test_unknown_types_are_passed_over_in_silence(self, inst):
        inst.raw_package(record(0x07504F4C, b"?" * 100) + record(0x01504F4D, b"!" * 50))
        out, res = inst.run()
        assert out == crlf(OPENING + "File processed\n")
        assert res == ["install -> 0"]

    @pytest.mark.parametrize("unusable", [
        record(0x09504F4C, b"?" * 100)[:60],
        # Its 8-byte header makes it 48 bytes long: a good kernel there.
        record(0x09504F4C, b"?" * 40, hdr_len=8)[:48] + record("kernel", b"k" * 100),
    ], ids=["runs past the end", "header shorter than the fixed words"])
    def test_an_unknown_record_that_cannot_be_used_ends_the_package(self, inst, unusable):
        dft = record("dft", b"d" * 100)
        inst.raw_package(dft + unusable)
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["dft"] + flash_progress(116) + "File processed\n")
        assert res == ["install -> 1"]

    def test_fewer_than_20_bytes_at_the_end_are_no_record(self, inst):
        dft = record("dft", b"d" * 100)
        inst.raw_package(dft + record("kernel", b"ab"))
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["dft"] + flash_progress(116) + "File processed\n")
        assert res == ["install -> 1"]

    @pytest.mark.parametrize("what", ["empty", "missing"])
    def test_an_empty_or_missing_package(self, inst, what):
        if what == "empty":
            inst.raw_package(b"")
        out, res = inst.run(pkg="/vboard/pkg" if what == "empty" else "/vboard/none")
        assert out == crlf(OPENING + "File processed\n")
        assert res == ["install -> 0"]


class TestFailures:
    def test_a_failing_flash_write(self, inst):
        inst.board.set_conf("fault.mtd_write_fail_at = 3")
        inst.package(("kernel", os.urandom(100000), (2, 0, 0, 1)))
        out, res = inst.run()
        assert out == crlf(OPENING + LABEL["kernel"] + "     Flash Write mtd write failed.\n\n"
                           + FAILED["kernel"] + "\n")
        assert res == ["install -> 0"]

    def test_no_flash_fails_every_flash_record_at_once(self, inst):
        inst.board.set_conf("fault.mtd_probe = fail")
        inst.package(("rfs", os.urandom(1000), (3, 0, 0, 1)))
        out, res = inst.run()
        assert out.endswith(crlf(LABEL["rfs"] + FAILED["rfs"] + "\n"))
        assert inst.session.lines() == ["flash-init -> -1", "i2c-init -> 0", "install -> 0"]

    def test_a_slot_file_that_cannot_be_created(self, inst):
        images = inst.board.path / "user" / "images"
        images.rmdir()
        images.write_bytes(b"not a directory")
        inst.package(("app", os.urandom(100), (6, 0, 0, 1)))
        out, res = inst.run(slot=1)
        assert out == crlf(OPENING + LABEL["app"] + "Installing image as image1:     "
                           + f"Image1 update failed (err {20})\n")  # ENOTDIR
        assert res == ["install -> 0"]
        assert inst.board.vpd()[1] == 1

    def test_an_archive_that_cannot_be_created(self, inst):
        inst.package(("app", app_archive("never"), (6, 0, 0, 1)))
        out, res = inst.run(answer="", prelude="mkdir /tmp/quartzimage.tar.gz")
        assert out == crlf(OPENING + LABEL["app"] + QUESTION + "\nBooting downloaded image\n"
                           + f"Image unpack failed (err {21})\n")  # EISDIR
        assert res == ["install -> 0"]


class TestLargeApplication:
    def test_progress_of_a_record_past_42_mb_keeps_rising_and_shows_while_it_is_written(self, inst):
        size = 45 * 1000 * 1000
        pkg = inst.package(("app", os.urandom(size), (6, 0, 0, 1)))
        c = inst.session.on_board("flash-init", "i2c-init", "install", "/vboard/pkg", "0", "1")
        slot = inst.board.path / "user" / "images" / "image1"
        wait_until(lambda: slot.exists() and slot.stat().st_size > 0, "the slot file to be written")
        # Stopped in the middle: the console shows the progress of every
        # piece but the one being written.
        os.kill(c.reader(), signal.SIGSTOP)
        try:
            shown = slot_updates(size + 16)[:max(0, slot.stat().st_size // 65536 - 1)]
            c.expect(LABEL["app"] + "Installing image as image1:     " + "".join(shown))
        finally:
            os.kill(c.reader(), signal.SIGCONT)
        out, _ = c.finish()
        res = inst.session.lines()[2:]
        assert res == ["install -> 1"]
        assert out == crlf(OPENING + LABEL["app"] + "Installing image as image1: " + slot_progress(size + 16)
                           + "\nImage1 updated succeeded\nFile processed\n")
        assert inst.slot(1) == pkg


class TestInstalledHeaders:
    def test_what_each_type_reads_back(self, inst):
        images = inst.board.path / "user" / "images"
        (images / "image1").write_bytes(bytes(range(1, 11)))  # shorter than a header
        kernel = record("kernel", b"k" * 64, version=(2, 0, 0, 1))
        inst.board.flash_path("kernel").write_bytes(kernel.ljust(4194304, b"\xff"))
        c = inst.session.on_board("flash-init", "header", "app", "1", "header", "app", "2",
                                  "header", "kernel", "0", "header", "dft", "0", "header", "0x07504F4C", "0")
        out, _ = c.finish()
        assert out == crlf("Unknown image type 0x7504f4c \n")
        assert inst.session.lines()[1:] == [
            "header -> 1 " + bytes(range(1, 11)).hex() + "00" * 6,
            "header -> 0 " + "00" * 16,
            "header -> 1 " + kernel[:16].hex(),
            "header -> 1 " + "ff" * 16,
            "header -> 0 " + "00" * 16,
        ]

    def test_which_records_count_as_installed(self, inst):
        kernel = record("kernel", b"k" * 64, version=(2, 0, 0, 1))
        inst.board.flash_path("kernel").write_bytes(kernel.ljust(4194304, b"\xff"))
        uboot = bytearray(4096)
        uboot[240:256] = struct.pack(">IIII", 0, 4096, TYPES["uboot"], 0x01000005)
        inst.board.flash_path("uboot").write_bytes(bytes(uboot).ljust(524288, b"\xff"))
        (inst.board.path / "user" / "images" / "image2").write_bytes(record("app", b"a" * 30))
        other_kernel = bytearray(kernel)
        other_kernel[0] ^= 0xFF  # only the crc word differs
        files = {"kernel": kernel, "other-kernel": bytes(other_kernel),
                 "uboot": record("uboot", b"u" * 4096, version=(1, 0, 0, 5)),
                 "uboot-other-version": record("uboot", b"u" * 4096, version=(1, 0, 0, 6)),
                 "dft": record("dft", b"d" * 10), "app": record("app", b"a" * 30)}
        ops = []
        for name, data in files.items():
            (inst.board.path / name).write_bytes(data)
            ops += ["match", f"/vboard/{name}", "1" if name != "app" else "2"]
        ops += ["match", "/vboard/app", "1"]
        c = inst.session.on_board("flash-init", *ops)
        c.finish()
        assert [line.split()[2] for line in inst.session.lines()[1:]] == [
            "1",  # the installed kernel
            "0",  # its crc word differs
            "1",  # boot loader: length, type and version, whatever its crc
            "0",  # another version
            "0",  # an erased partition matches nothing
            "1",  # the application in slot 2
            "0",  # slot 1 holds none
        ]


class TestDamagedPackages:
    """Seeded random damage to good packages: whatever the installer is
    given, it ends each package with a result, and what it leaves on flash
    and in the slot is a record that passes its checks."""

    def damaged(self, rng, good):
        data = bytearray(good)
        how = rng.randrange(5)
        if how == 0:
            del data[rng.randrange(len(data)):]
        elif how == 1:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif how == 2:
            # A length field anywhere, possibly one that wraps past 4 GiB.
            at = rng.randrange(0, len(data) - 8, 4)
            data[at + 4:at + 8] = struct.pack(">I", rng.choice([0xFFFFFFFF, 0xFFFFFFF0, rng.randrange(1 << 32)]))
        elif how == 3:
            # An extended header whose length is anything at all.
            at = rng.randrange(0, len(data) - 20, 4)
            data[at + 8] |= 0x80
            data[at + 18:at + 20] = struct.pack(">H", rng.randrange(1 << 16))
        else:
            data += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
        return bytes(data)

    def test_damaged_packages_never_leave_an_unchecked_record(self, inst):
        import random

        rng = random.Random(20240606)
        records = [record("dft", bytes(rng.randrange(256) for _ in range(700)), version=(4, 0, 0, 1)),
                   record("kernel", bytes(rng.randrange(256) for _ in range(3000)), version=(2, 0, 0, 1),
                          hdr_len=24),
                   record("app", bytes(rng.randrange(256) for _ in range(900)), version=(6, 0, 0, 1)),
                   record("diags", bytes(rng.randrange(256) for _ in range(500)), version=(5, 0, 0, 1))]
        pkgs = inst.board.path / "pkgs"
        pkgs.mkdir()
        ops = []
        for i in range(60):
            good = b"".join(rng.sample(records, rng.randrange(1, 5)))
            (pkgs / str(i)).write_bytes(self.damaged(rng, good))
            ops += ["install", f"/vboard/pkgs/{i}", "0", "1"]
        c = inst.session.on_board("flash-init", "i2c-init", *ops)
        _, status = c.finish()
        assert status == 0
        results = inst.session.lines()[2:]
        assert len(results) == 60
        assert set(results) <= {"install -> 0", "install -> 1"}
        assert "install -> 1" in results and "install -> 0" in results
        # Only an intact record of the partition's own type is ever written.
        for kind, part in [("dft", "devicetree"), ("kernel", "kernel"), ("diags", "rescue")]:
            image = inst.board.flash(part)
            if image == b"\xff" * len(image):
                continue
            assert any(image.startswith(r) for r in records if r[8:12] == image[8:12])
            (_, crc, length, magic, _, hdr) = next(iter(walk(image)))
            assert magic & 0x7FFFFFFF == TYPES[kind]
            assert gen_crc(image[4:hdr + length]) == crc
        slot = inst.board.path / "user" / "images" / "image1"
        assert slot.read_bytes() in records
