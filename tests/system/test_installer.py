"""The package installer inside a board: packages built with pkgtool (or by
hand where they must be broken), installed through the console, and the
partitions, slot files and VPD compared with what the packages hold."""
import os
import signal
import struct

import pytest

from board import Board, make_hostile
from console import crlf, session, wait_until  # noqa: F401
from records import TYPES, flipped, gen_crc, record
from vb import archive, pkgtool

OPENING = "\nExtracting images ... Do *NOT* power cycle the switch.\n"
QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
DONE = "File processed\n"
SAME = "Image has same version as existing image. Skipping update...\n"
# type: its label, its names in the checksum and the size messages, its partition and size limit
KINDS = {"uboot": ("Boot Loader", "UBOOT", "UBOOT", "uboot", 0x80000),
         "kernel": ("Kernel", "KERNEL", "KERNEL", "kernel", 0x300000),
         "rfs": ("Root Filesystem", "RFS", "RFS", "rfs", 0xF00000),
         "dft": ("Device Tree", "DFT", "DFT", "devicetree", 0x40000),
         "diags": ("Diagnostics", "DIAGNOSTICS IMAGE", "DIAGS", "rescue", 0xA00000),
         "app": ("Application", "APPLICATION", None, None, None)}
LIMITS = {k: v[4] for k, v in KINDS.items() if v[4]}


def label(kind):
    return f"Installing {KINDS[kind][0]}: "


def bad_crc(kind, data):
    return f"Bad crc for {KINDS[kind][1]}: 0x{gen_crc(data):08x}, voiding download\n"


def flash_progress(length):
    count = (length + 65535) // 65536
    return "     " + "".join(f"\b\b\b\b{i * 100 // count:03d}%" for i in range(count)) + "\b\b\b\b100%\n"


def slot_updates(length):
    return [f"\b\b\b\b{min(n, length) * 100 // length:03d}%" for n in range(65536, length + 65535, 65536)]


def into_slot(n, length):
    return (f"Installing image as image{n}:     " + "".join(slot_updates(length))
            + f"\b\b\b\b100%\n\nImage{n} updated succeeded\n")


def app_archive(banner):
    return archive({"home/bin/mp.elf.strip": (f"#!/bin/sh\necho {banner}\n", 0o755)})


class Installer:
    def __init__(self, tmp_path, session):
        self.tmp, self.session = tmp_path, session
        self.board = session.board = Board(tmp_path / "board")
        self.images = self.board.path / "user" / "images"

    def package(self, *items, extended=None, name="pkg"):
        """A package of (type, payload, version) items, made by pkgtool;
        random boot-loader payloads hold data where the header copy goes."""
        specs = []
        for n, (kind, payload, version) in enumerate(items):
            (self.tmp / f"payload{n}").write_bytes(payload)
            specs.append(f"{kind}={self.tmp / f'payload{n}'}@{'.'.join(map(str, version))}")
        opts = [f"--extended={extended}"] * bool(extended) + ["--overwrite-copy"]
        r = pkgtool("create", self.board.path / name, *opts, *specs)
        assert r.returncode == 0, r.stderr
        return (self.board.path / name).read_bytes()

    def run(self, *ops, answers=(), prelude=None):
        """ops after the flash and I2C set-up: (console bytes, their results)."""
        c = self.session.on_board("flash-init", "i2c-init", *ops, prelude=prelude)
        for a in answers:
            c.expect(QUESTION)
            c.line(a)
        return c.finish()[0], self.session.lines()[2:]

    def part(self, kind):
        return self.board.flash(KINDS[kind][3])

    def writes(self):
        return [w for w in self.board.trace_words(["mtd"]) if " write " in w or " erase " in w]

    def slot(self, n):
        return (self.images / f"image{n}").read_bytes()


@pytest.fixture
def inst(tmp_path, session):
    return Installer(tmp_path, session)


def holds(part, rec):
    """The partition holds the record from its byte 0, then erased flash."""
    assert part == rec + b"\xff" * (len(part) - len(rec))


def test_questions_answers_and_what_each_install_writes(inst):
    inst.images.rmdir()
    inst.package(("app", os.urandom(1000), (6, 0, 0, 1)), name="preset")
    inst.package(("app", os.urandom(100), (6, 0, 0, 1)), name="one")
    two = inst.package(("app", os.urandom(3000), (6, 0, 0, 1)), ("app", os.urandom(2000), (6, 0, 0, 2)), name="two")
    pkg = inst.package(("kernel", os.urandom(200000), (2, 0, 0, 2)), ("app", os.urandom(150000), (6, 0, 0, 3)))
    # The rest of a long answer answers no later question.
    out, res = inst.run("install", "/vboard/preset", 0, 2, *[w for p in ["one", "two", "pkg"] for w in
                                                             ("install", f"/vboard/{p}", 0, 0)],
                        answers=["1" + "x" * 30 + "2", "1", "2"])
    assert out == crlf(OPENING + label("app") + into_slot(2, 1016) + DONE
                       + OPENING + label("app") + QUESTION + "1" + "x" * 30 + "2\n" + into_slot(1, 116) + DONE
                       + OPENING + label("app") + QUESTION + "1\n" + into_slot(1, 3016) + label("app")
                       + into_slot(1, 2016) + DONE + OPENING + label("kernel") + flash_progress(200016)
                       + label("app") + QUESTION + "2\n" + into_slot(2, 150016) + DONE)
    assert res == ["install -> 1"] * 4
    holds(inst.part("kernel"), pkg[:200016])
    assert (inst.slot(1), inst.slot(2), inst.board.vpd()[1]) == (two[3016:], pkg[200016:], 2)


def test_application_then_kernel_with_a_bare_return_boots_the_download(inst):
    inst.package(("app", app_archive("downloaded application up"), (6, 0, 0, 9)),
                 ("kernel", os.urandom(5000), (2, 0, 0, 9)))
    out, res = inst.run("install", "/vboard/pkg", 0, 0, answers=[""])
    assert out == crlf(OPENING + label("app") + QUESTION + "\nBooting downloaded image\nImage ready to boot...\n"
                       "downloaded application up\n")
    assert res == [] and inst.writes() == []  # never returned; the kernel record never looked at
    assert inst.board.vpd()[1] == 1 and not (inst.images / "image1").exists()
    commands = inst.board.trace_words(["system", "exec"])
    assert 'system "cd /tmp \\ntar mxzf /tmp/quartzimage.tar.gz \\nrm /tmp/quartzimage.tar.gz\\n"' in commands
    assert "exec /bin/backtrace /bin/backtrace" in commands


@pytest.mark.parametrize("kind", ["symlink", "hardlink", "fifo", "folder", "device"])
def test_a_slot_path_that_is_no_file_of_its_own(inst, kind):
    other = record("app", b"the other slot", version=(6, 0, 0, 2))
    (inst.images / "image2").write_bytes(other)
    make_hostile(inst.images / "image1", kind, "image2")
    pkg = inst.package(("app", os.urandom(100), (6, 0, 0, 1)))
    out, res = inst.run("header", "app", 1, "install", "/vboard/pkg", 0, 1)
    # The version display reads it as a file that cannot be opened (a
    # second name is a file like any other); the install replaces it.
    header = "1 " + other[:16].hex() if kind == "hardlink" else "0 " + "00" * 16
    assert res == ["header -> " + header, "install -> 1"]
    assert out.endswith(crlf("\nImage1 updated succeeded\n" + DONE))
    assert inst.slot(1) == pkg and not (inst.images / "image1").is_symlink() and inst.slot(2) == other


def test_every_flash_type_lands_in_its_partition_up_to_its_limit_and_one_past_it_is_refused(inst):
    # Extended headers: the limit counts the whole record, but the boot loader's its payload, which alone is written.
    sizes = {"uboot": LIMITS["uboot"], "kernel": 8192, "rfs": 16384, "dft": LIMITS["dft"] - 24, "diags": 177}
    pkg = inst.package(*[(k, os.urandom(sizes[k]), (1, 0, 0, n)) for n, k in enumerate(sizes)], extended=24)
    past = [(k, LIMITS[k] + 1 if k == "uboot" else LIMITS[k] - 15, None) for k in LIMITS]
    past.append(("dft", LIMITS["dft"] - 31, 32))  # the limit counts an extended header
    ops = ["install", "/vboard/pkg", 0, 0]
    for n, (kind, size, extended) in enumerate(past):
        inst.package((kind, bytes(size), (1, 2, 3, 4)), extended=extended, name=f"pkg{n}")
        ops += ["install", f"/vboard/pkg{n}", 0, 0]
    out, res = inst.run(*ops, "display")
    assert out == crlf(OPENING + "".join(label(k) + flash_progress(n + (k != "uboot") * 24) for k, n in sizes.items())
                       + "done\n" + DONE + "".join(OPENING + label(k) + f"{KINDS[k][2]} image is too big for flash "
                                                   f"({LIMITS[k] + 1} > {LIMITS[k]})\n" for k, _, _ in past)
                       + "Installed images versions: \n\tBoot image  : 1.0.0.0\n\tRFS image   : 1.0.0.2\n"
                       "\tKernel image: 1.0.0.1\n\tDFT image   : 1.0.0.3\n\tOS image 1  : 0.0.0.0\n\tOS image 2  : 0.0.0.0\n")
    assert res == ["install -> 1"] + ["install -> 0"] * len(past) + ["display -> 0"]
    # pkgtool stamps the boot loader's header copy into its payload.
    assert inst.part("uboot") == pkg[24:24 + LIMITS["uboot"]]
    offset = 24 + LIMITS["uboot"]
    for kind in ["kernel", "rfs", "dft", "diags"]:
        holds(inst.part(kind), pkg[offset:offset + 24 + sizes[kind]])
        offset += 24 + sizes[kind]


K, U = ("kernel", b"K" * 5000, (2, 0, 0, 1)), os.urandom(4096)


# installed, offered, check, what the offer shows, its result, whether it is written
@pytest.mark.parametrize("installed,offered,check,shown,result,written", [
    # The boot loader compares length, type and version, not its crc.
    ([("uboot", U, (1, 0, 0, 5))], [("uboot", U[:4000] + bytes(96), (1, 0, 0, 5))], 1,
     label("uboot") + SAME + DONE, 0, False),
    ([K], [("kernel", b"B" * 5000, (2, 0, 0, 1))], 1, label("kernel") + flash_progress(5016) + DONE, 1, True),
    ([K], [K, ("dft", b"D" * 300, (4, 0, 0, 1))], 1,
     label("kernel") + SAME + label("dft") + flash_progress(316) + DONE, 1, False),
    ([K], [K], 0, label("kernel") + flash_progress(5016) + DONE, 1, True),
    ([("app", U, (6, 0, 0, 1))], [("app", U, (6, 0, 0, 1))], 1, label("app") + "Installing image as image1: "
     "Image1 has same version as existing image. Skipping update...\n" + DONE, 0, False),
])
def test_version_check(inst, installed, offered, check, shown, result, written):
    first, second = inst.package(*installed, name="first"), inst.package(*offered, name="second")
    out, res = inst.run("install", "/vboard/first", 0, 1, "install", "/vboard/second", check, 1)
    assert out.endswith(crlf(OPENING + shown)) and res == ["install -> 1", f"install -> {result}"]
    kind = installed[0][0]
    now = inst.slot(1) if kind == "app" else inst.part(kind)
    stored = (second if written else first)[16 * (kind == "uboot"):len(first)]
    assert now[:len(stored)] == stored


def short_header(kind):
    # Its checksum over the span its header length gives matches: only the header can be named as the reason.
    rec = record(kind, b"p" * 40, hdr_len=8)
    return struct.pack(">I", gen_crc(rec[4:48])) + rec[4:]


DFT, DFT_SHOWN = record("dft", b"d" * 100), label("dft") + flash_progress(116)
KERNEL = record("kernel", b"k" * 4000, version=(2, 0, 0, 1))
WHOLE = record("kernel", bytes(range(256)) * 35)
WRAP = struct.pack(">IIII", 0, 0xFFFFFFF8, TYPES["rfs"], 0) + b"x" * 64  # 16 + len is 8 in 32 bits
HUGE_HEADER = record("diags", b"p" * 10, hdr_len=0xFFF0, pad=False)
# package, what the installer shows after its opening, result; a broken device tree written after a good one shows
BAD = [
    # an unknown record that cannot be used, or fewer than 20 bytes, end the package
    (DFT + record(0x09504F4C, b"?" * 100)[:60], DFT_SHOWN + DONE, 1),
    (DFT + record(0x09504F4C, b"?" * 40, hdr_len=8)[:48] + record("kernel", b"k" * 100), DFT_SHOWN + DONE, 1),
    (DFT + record("kernel", b"ab"), DFT_SHOWN + DONE, 1),
    (DFT + flipped(KERNEL, 100), DFT_SHOWN + label("kernel") + bad_crc("kernel", flipped(KERNEL, 100)[4:]), 0),
    (flipped(record("app", b"a" * 100), 0), label("app") + bad_crc("app", record("app", b"a" * 100)[4:]), 0),
    (WHOLE[:5000], label("kernel") + bad_crc("kernel", WHOLE[4:5000]), 0),
    (WRAP, label("rfs") + bad_crc("rfs", WRAP[4:]), 0),
    (short_header("dft"), label("dft") + "Bad header length for DFT: 8, voiding download\n", 0),
    (short_header("app"), label("app") + "Bad header length for APPLICATION: 8, voiding download\n", 0),
    (HUGE_HEADER, label("diags") + bad_crc("diags", HUGE_HEADER[4:]), 0),
    # unknown types are passed over in silence
    (record(0x07504F4C, b"?" * 100) + record(0x01504F4D, b"!" * 50), DONE, 0),
    (b"", DONE, 0),
    (None, DONE, 0),  # no package at all
]


def test_a_broken_package_writes_no_broken_record(inst):
    ops = []
    for n, (pkg, _, _) in enumerate(BAD):
        if pkg is not None:
            (inst.board.path / f"b{n}").write_bytes(pkg)
        ops += ["install", f"/vboard/b{n}", 0, 0]
    out, res = inst.run(*ops)
    assert out == crlf("".join(OPENING + shown for _, shown, _ in BAD))
    assert res == [f"install -> {result}" for _, _, result in BAD]
    assert {w.split()[1] for w in inst.writes()} == {"/dev/mtd-devicetree"}
    holds(inst.part("dft")[:65536], DFT)
    assert os.listdir(inst.images) == []


# board.conf line, shell command run first, type offered, slot, what the flash set-up says, what the install says
@pytest.mark.parametrize("conf,prelude,kind,slot,init,shown", [
    ("fault.mtd_write_fail_at = 3", None, "kernel", 0, "",
     "     Flash Write mtd write failed.\n\nkernel image update failed\n"),
    ("fault.mtd_probe = fail", None, "rfs", 0, "Could not get MTD device info \n", "RFS image update failed\n"),
    (None, "rmdir /user/images && echo > /user/images", "app", 1, "",
     "Installing image as image1:     Image1 update failed (err 20)\n"),  # ENOTDIR
    (None, "mkdir /tmp/quartzimage.tar.gz", "app", 0, "",
     QUESTION + "\nBooting downloaded image\nImage unpack failed (err 21)\n"),  # EISDIR
], ids=["flash-write", "no-flash", "slot-file", "archive"])
def test_a_failure_is_reported_and_installs_nothing(inst, conf, prelude, kind, slot, init, shown):
    if conf:
        inst.board.set_conf(conf)
    inst.package((kind, app_archive("never") if kind == "app" else os.urandom(100000), (6, 0, 0, 1)))
    out, _ = inst.run("install", "/vboard/pkg", 0, slot, answers=[""] * (slot == 0 and kind == "app"),
                      prelude=prelude)
    assert out == crlf(init + OPENING + label(kind) + shown)
    assert inst.session.lines() == [f"flash-init -> {-1 if init else 0}", "i2c-init -> 0", "install -> 0"]
    assert inst.board.vpd()[1] == 1


def test_an_end_of_input_at_the_question_answers_no_later_one(inst):
    pkg = inst.package(("app", app_archive("never"), (6, 0, 0, 1)))
    c = inst.session.on_board("flash-init", "i2c-init", *["install", "/vboard/pkg", 0, 0] * 2,
                              prelude="mkdir /tmp/quartzimage.tar.gz")
    c.expect(QUESTION)
    c.key("\x04")  # the terminal's end of file: the boot it means fails
    c.expect(QUESTION)
    c.line("1")
    assert c.finish()[1] == 0 and inst.session.lines()[2:] == ["install -> 0", "install -> 1"]
    assert inst.slot(1) == pkg


def test_progress_of_a_record_past_42_mb_keeps_rising_and_shows_while_it_is_written(inst):
    size = 45 * 1000 * 1000 + 16
    pkg = inst.package(("app", os.urandom(size - 16), (6, 0, 0, 1)))
    c = inst.session.on_board("flash-init", "i2c-init", "install", "/vboard/pkg", 0, 0)
    c.expect(QUESTION)
    c.wait_reading()
    pid, slot = c.reader(), inst.images / "image1"
    # Held stopped and let go a moment at a time, it is caught in the middle of the
    # slot file: the console shows the progress of every piece but the one being written.
    os.kill(pid, signal.SIGSTOP)
    try:
        c.child.send(b"1\r")

        def step():
            os.kill(pid, signal.SIGCONT)
            os.kill(pid, signal.SIGSTOP)
            return slot.exists() and slot.stat().st_size >= 4 * 65536
        wait_until(step, "a few pieces in the slot file")
        pieces = slot.stat().st_size // 65536
        assert pieces * 65536 < size
        c.expect("Installing image as image1:     " + "".join(slot_updates(size)[:pieces - 1]))
    finally:
        os.kill(pid, signal.SIGCONT)
    assert c.finish()[0] == crlf(OPENING + label("app") + QUESTION + "1\n" + into_slot(1, size) + DONE)
    assert inst.session.lines()[2:] == ["install -> 1"] and inst.slot(1) == pkg


class TestInstalledHeaders:
    def test_which_records_count_as_installed(self, inst):
        kernel = record("kernel", b"k" * 64, version=(2, 0, 0, 1))
        inst.board.flash_path("kernel").write_bytes(kernel.ljust(4194304, b"\xff"))
        uboot = bytes(240) + struct.pack(">IIII", 0, 4096, TYPES["uboot"], 0x01000005)
        inst.board.flash_path("uboot").write_bytes(uboot.ljust(524288, b"\xff"))
        (inst.images / "image1").write_bytes(bytes(range(1, 11)))  # shorter than a header
        (inst.images / "image2").write_bytes(record("app", b"a" * 30))
        # file, slot, whether it counts as installed
        cases = [(kernel, 1, 1), (flipped(kernel, 0), 1, 0),  # only the crc word differs
                 # the boot loader: length, type and version, whatever its crc
                 (record("uboot", b"u" * 4096, version=(1, 0, 0, 5)), 1, 1),
                 (record("uboot", b"u" * 4096, version=(1, 0, 0, 6)), 1, 0),
                 (record("dft", b"d" * 10), 1, 0),  # an erased partition matches nothing
                 (record("app", b"a" * 30), 2, 1), (record("app", b"a" * 30), 1, 0)]
        ops = [w for t, s in [("app", 1), ("app", 2), ("kernel", 0), ("dft", 0), ("0x07504F4C", 0)]
               for w in ("header", t, s)]
        for n, (data, slot, _) in enumerate(cases):
            (inst.board.path / f"f{n}").write_bytes(data)
            ops += ["match", f"/vboard/f{n}", slot]
        out, res = inst.run(*ops)
        assert out == crlf("Unknown image type 0x7504f4c \n")
        assert res == ["header -> 1 " + bytes(range(1, 11)).hex() + "00" * 6,
                           "header -> 1 " + record("app", b"a" * 30)[:16].hex(), "header -> 1 " + kernel[:16].hex(),
                           "header -> 1 " + "ff" * 16, "header -> 0 " + "00" * 16] + [f"match -> {m}" for *_, m in cases]
