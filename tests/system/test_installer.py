"""The package installer inside a board: packages built with pkgtool (by hand where they must be broken) installed
through the console, and the partitions, slot files and VPD compared with what the packages hold."""
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
KINDS = {"uboot": ("Boot Loader", "UBOOT", "UBOOT", "uboot", 0x80000), "kernel": ("Kernel", "KERNEL", "KERNEL", "kernel", 0x300000),
         "rfs": ("Root Filesystem", "RFS", "RFS", "rfs", 0xF00000), "dft": ("Device Tree", "DFT", "DFT", "devicetree", 0x40000),
         "diags": ("Diagnostics", "DIAGNOSTICS IMAGE", "DIAGS", "rescue", 0xA00000), "app": ("Application", "APPLICATION", "", "", 0)}
LIMITS = {k: v[4] for k, v in KINDS.items() if v[4]}
APP = archive({"home/bin/mp.elf.strip": ("#!/bin/sh\necho downloaded application up\n", 0o755)})


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


class Installer:
    def __init__(self, tmp_path, session):
        self.tmp, self.session = tmp_path, session
        self.board = session.board = Board(tmp_path / "board")
        self.images = self.board.path / "user" / "images"

    def package(self, *items, extended=None, name="pkg"):
        """A package of (type, payload, version) items; boot-loader payloads may hold data where the header copy goes."""
        for n, (_, payload, _) in enumerate(items):
            (self.tmp / f"payload{n}").write_bytes(payload)
        r = pkgtool("create", self.board.path / name, *[f"--extended={extended}"] * bool(extended), "--overwrite-copy",
                    *[f"{k}={self.tmp / f'payload{n}'}@{'.'.join(map(str, v))}" for n, (k, _, v) in enumerate(items)])
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

    def slot(self, n):
        return (self.images / f"image{n}").read_bytes()


@pytest.fixture
def inst(tmp_path, session):
    return Installer(tmp_path, session)


DFT, DFT_SHOWN = record("dft", b"d" * 100), label("dft") + flash_progress(116)
# Its checksum over the span its header length gives matches: only the header can be named as the reason.
SHORT = {k: record(k, b"p" * 40, hdr_len=8, crc=gen_crc(record(k, b"p" * 40, hdr_len=8)[4:48])) for k in ("dft", "app")}
WHOLE = record("kernel", bytes(range(256)) * 35)
WRAP = struct.pack(">IIII", 0, 0xFFFFFFF8, TYPES["rfs"], 0) + b"x" * 64  # 16 + len is 8 in 32 bits
HUGE_HEADER = record("diags", b"p" * 10, hdr_len=0xFFF0, pad=False)
# package, what the installer shows after its opening, result; a broken device tree written after a good one shows
BAD = [
    # an unknown record that cannot be used, or fewer than 20 bytes, end the package
    (DFT + record(0x09504F4C, b"?" * 100)[:60], DFT_SHOWN + DONE, 1),
    (DFT + record(0x09504F4C, b"?" * 40, hdr_len=8)[:48] + record("kernel", b"k" * 100), DFT_SHOWN + DONE, 1),
    (DFT + record("kernel", b"ab"), DFT_SHOWN + DONE, 1),
    (DFT + WHOLE[:5000], DFT_SHOWN + label("kernel") + bad_crc("kernel", WHOLE[4:5000]), 0),  # a record failing after one written
    (WRAP, label("rfs") + bad_crc("rfs", WRAP[4:]), 0),
    (SHORT["dft"], label("dft") + "Bad header length for DFT: 8, voiding download\n", 0),
    (SHORT["app"], label("app") + "Bad header length for APPLICATION: 8, voiding download\n", 0),
    (HUGE_HEADER, label("diags") + bad_crc("diags", HUGE_HEADER[4:]), 0),
    # unknown types are passed over in silence
    (record(0x07504F4C, b"?" * 100) + record(0x01504F4D, b"!" * 50), DONE, 0), (b"", DONE, 0),
    (None, DONE, 0),  # no package at all
]


def test_what_each_install_asks_writes_and_refuses(inst):
    inst.images.rmdir()  # the first slot file makes its folder
    inst.package(("app", os.urandom(1000), (6, 0, 0, 1)), name="preset")
    inst.package(("app", os.urandom(100), (6, 0, 0, 1)), name="one")
    two = inst.package(("app", os.urandom(3000), (6, 0, 0, 1)), ("app", os.urandom(2000), (6, 0, 0, 2)), name="two")
    ka = inst.package(("kernel", os.urandom(200000), (2, 0, 0, 2)), ("app", os.urandom(150000), (6, 0, 0, 3)), name="ka")
    # Each flash type up to its limit, then one past it.  The limit counts the whole record, extended
    # header included, but the boot loader's its payload, which alone is written.
    sizes = {"uboot": LIMITS["uboot"], "kernel": 8192, "rfs": 16384, "dft": LIMITS["dft"] - 24, "diags": 177}
    limits = inst.package(*[(k, os.urandom(sizes[k]), (1, 0, 0, n)) for n, k in enumerate(sizes)], extended=24, name="limits")
    past = [(k, LIMITS[k] + 1 if k == "uboot" else LIMITS[k] - 15, None) for k in LIMITS] + [("dft", LIMITS["dft"] - 31, 32)]
    for n, (kind, size, extended) in enumerate(past):
        inst.package((kind, bytes(size), (1, 2, 3, 4)), extended=extended, name=f"past{n}")
    for n, (data, _, _) in enumerate(BAD[:-1]):  # the last names no file
        (inst.board.path / f"bad{n}").write_bytes(data)
    names = ["one", "two", "ka", "limits"] + [f"past{n}" for n in range(len(past))] + [f"bad{n}" for n in range(len(BAD))]
    # Last, a bare return boots the application of [application, kernel]: the kernel is never looked at.
    inst.package(("app", APP, (6, 0, 0, 9)), ("kernel", os.urandom(5000), (2, 0, 0, 9)), name="bare")
    # The rest of a long answer answers no later question.
    out, res = inst.run("install", "/vboard/preset", 0, 2, *[w for p in names for w in ("install", f"/vboard/{p}", 0, 0)],
                        "install", "/vboard/bare", 0, 0, answers=["1" + "x" * 30 + "2", "1", "2", ""])
    assert out == crlf(OPENING + label("app") + into_slot(2, 1016) + DONE
                       + OPENING + label("app") + QUESTION + "1" + "x" * 30 + "2\n" + into_slot(1, 116) + DONE
                       + OPENING + label("app") + QUESTION + "1\n" + into_slot(1, 3016) + label("app") + into_slot(1, 2016) + DONE
                       + OPENING + label("kernel") + flash_progress(200016) + label("app") + QUESTION + "2\n" + into_slot(2, 150016) + DONE
                       + OPENING + "".join(label(k) + flash_progress(n + (k != "uboot") * 24) for k, n in sizes.items())
                       + "done\n" + DONE + "".join(OPENING + label(k) + f"{KINDS[k][2]} image is too big for flash "
                                                   f"({LIMITS[k] + 1} > {LIMITS[k]})\n" for k, _, _ in past)
                       + "".join(OPENING + shown for _, shown, _ in BAD)
                       + OPENING + label("app") + QUESTION + "\nBooting downloaded image\nImage ready to boot...\n"
                       "downloaded application up\n")
    assert res == ["install -> 1"] * 5 + ["install -> 0"] * len(past) + [f"install -> {r}" for *_, r in BAD]
    # No broken record reached flash or a slot: each place holds the last good one.
    assert inst.part("uboot") == limits[24:24 + LIMITS["uboot"]]  # pkgtool stamped the header copy into the payload
    # Flash is rewritten a sector at a time: a record written over a longer one leaves that one's tail.
    offset = 24 + LIMITS["uboot"]
    for kind in ["kernel", "rfs", "dft", "diags"]:
        rec, offset = DFT if kind == "dft" else limits[offset:offset + 24 + sizes[kind]], offset + 24 + sizes[kind]
        part = inst.part(kind)  # rfs and diags were erased before: the rest of them still is
        assert part[:len(rec)] == rec and (kind not in ("rfs", "diags") or part[len(rec):] == b"\xff" * (len(part) - len(rec)))
    assert (inst.slot(1), inst.slot(2), sorted(os.listdir(inst.images))) == (two[3016:], ka[200016:], ["image1", "image2"])
    commands = inst.board.trace_words(["system", "exec"])
    assert 'system "cd /tmp \\ntar mxzf /tmp/quartzimage.tar.gz \\nrm /tmp/quartzimage.tar.gz\\n"' in commands
    assert "exec /bin/backtrace /bin/backtrace" in commands and inst.board.vpd()[1] == 2


def test_version_check_skips_only_what_matches_and_only_when_asked(inst):
    # Which headers match is the header test's; here, what a match does.  Offers (records, check, what shows) in turn.
    B, A = ("kernel", b"B" * 5000, (2, 0, 0, 1)), ("app", os.urandom(4096), (6, 0, 0, 1))
    offers = [([B], 0, label("kernel") + flash_progress(5016)),
              ([B, ("dft", b"D" * 300, (4, 0, 0, 1))], 1, label("kernel") + SAME + label("dft") + flash_progress(316)),
              ([B], 0, label("kernel") + flash_progress(5016)), ([A], 0, label("app") + into_slot(1, 4112)),
              ([A], 1, label("app") + "Installing image as image1: Image1 has same version as existing image. Skipping update...\n")]
    packages = [inst.package(*records, name=f"o{n}") for n, (records, _, _) in enumerate(offers)]
    out, res = inst.run(*[w for n, (_, check, _) in enumerate(offers) for w in ("install", f"/vboard/o{n}", check, 1)])
    assert out == crlf("".join(OPENING + shown + DONE for *_, shown in offers))
    assert res == ["install -> %d" % (not shown.endswith("update...\n")) for *_, shown in offers]
    assert inst.slot(1) == packages[3]
    assert inst.part("kernel")[:5016] == packages[2]


# What stands in the way: a board.conf line, a slot path that is no file of its own (as make_hostile
# makes it), or a shell command run first; the type offered, what the flash set-up says, what the install says.
@pytest.mark.parametrize("conf,hostile,prelude,kind,init,shown", [
    *[(None, k, None, "app", "", into_slot(2, 100016) + DONE) for k in ["symlink", "hardlink", "fifo", "folder", "device"]],
    ("fault.mtd_write_fail_at = 3", None, None, "kernel", "", "     Flash Write mtd write failed.\n\nkernel image update failed\n"),
    ("fault.mtd_probe = fail", None, None, "rfs", "Could not get MTD device info \n", "RFS image update failed\n"),
    (None, None, "rm -r /user/images && echo > /user/images", "app", "", "Installing image as image2:     Image2 update failed (err 20)\n"),
], ids=["symlink", "hardlink", "fifo", "folder", "device", "flash-write", "no-flash", "slot-file"])  # err 20: ENOTDIR
def test_what_stands_in_the_way_of_an_install_is_replaced_or_reported(inst, conf, hostile, prelude, kind, init, shown):
    inst.board.set_conf(*[conf] * bool(conf))
    (inst.images / "image1").write_bytes(other := record("app", b"the other slot", version=(6, 0, 0, 2)))
    if hostile:
        make_hostile(inst.images / "image2", hostile, "image1")
    pkg = inst.package((kind, os.urandom(100000), (6, 0, 0, 1)))
    out, res = inst.run("header", "app", 2, "install", "/vboard/pkg", 0, 2, prelude=prelude)
    assert out == crlf(init + OPENING + label(kind) + shown)
    ok, header = shown.endswith(DONE), "1 " + other[:16].hex() if hostile == "hardlink" else "0 " + "00" * 16
    # The version display reads what is no file of its own as a file that cannot be opened.
    assert inst.session.lines() == [f"flash-init -> {-1 if init else 0}", "i2c-init -> 0", "header -> " + header, f"install -> {int(ok)}"]
    # Never through a link or into the other slot; a failed install selects nothing.
    assert inst.board.vpd()[1] == (2 if ok else 1) and (not ok or (inst.slot(1), inst.slot(2)) == (other, pkg))
    assert not (inst.images / "image2").is_symlink()


def test_an_end_of_input_answers_no_later_question_and_progress_past_42_mb_keeps_rising_as_it_is_written(inst):
    size = 45 * 1000 * 1000 + 16
    pkg = inst.package(("app", os.urandom(size - 16), (6, 0, 0, 1)))
    c = inst.session.on_board("flash-init", "i2c-init", *["install", "/vboard/pkg", 0, 0] * 2,
                              prelude="mkdir /tmp/quartzimage.tar.gz")
    c.expect(QUESTION)
    c.key("\x04")  # the terminal's end of file: a bare return, whose boot fails here (EISDIR)
    c.expect(QUESTION)
    c.wait_reading()
    pid, slot = c.reader(), inst.images / "image1"
    # Held stopped and let go a moment at a time, it is caught in the middle of the
    # slot file: the console shows the progress of every piece but the one being written.
    os.kill(pid, signal.SIGSTOP)
    try:
        c.child.send(b"1\r")
        wait_until(lambda: [os.kill(pid, s) for s in (signal.SIGCONT, signal.SIGSTOP)] and slot.exists()
                   and slot.stat().st_size >= 4 * 65536, "a few pieces in the slot file")
        pieces = slot.stat().st_size // 65536
        assert pieces * 65536 < size
        c.expect("Installing image as image1:     " + "".join(slot_updates(size)[:pieces - 1]))
    finally:
        os.kill(pid, signal.SIGCONT)
    assert c.finish()[0] == crlf(OPENING + label("app") + QUESTION + "Booting downloaded image\nImage unpack failed (err 21)\n"
                                 + OPENING + label("app") + QUESTION + "1\n" + into_slot(1, size) + DONE)
    assert inst.session.lines()[2:] == ["install -> 0", "install -> 1"] and inst.slot(1) == pkg


class TestInstalledHeaders:
    def test_which_records_count_as_installed(self, inst):
        kernel, app = record("kernel", b"k" * 64, version=(2, 0, 0, 1)), record("app", b"a" * 30)
        uboot = bytes(240) + struct.pack(">IIII", 0, 4096, TYPES["uboot"], 0x01000005)
        for part, data in [("kernel", kernel), ("uboot", uboot)]:
            inst.board.flash_path(part).write_bytes(data.ljust(inst.board.sizes[part], b"\xff"))
        (inst.images / "image1").write_bytes(bytes(range(1, 11)))
        (inst.images / "image2").write_bytes(app)
        # file, slot, whether it counts as installed
        cases = [(kernel, 1, 1), (flipped(kernel, 0), 1, 0),  # only the crc word differs
                 # the boot loader: length, type and version, whatever its crc
                 (record("uboot", b"u" * 4096, version=(1, 0, 0, 5)), 1, 1), (record("uboot", b"u" * 4096, version=(1, 0, 0, 6)), 1, 0),
                 (record("dft", b"d" * 10), 1, 0), (record(0x07504F4C, b"?" * 10), 1, 0),  # an erased partition, no partition
                 (app, 2, 1), (app, 1, 0)]  # slot 1 holds less than a header
        ops = []
        for n, (data, slot, _) in enumerate(cases):
            (inst.board.path / f"f{n}").write_bytes(data)
            ops += ["match", f"/vboard/f{n}", slot]
        out, res = inst.run(*ops)
        assert (out, res) == (crlf("Unknown image type 0x7504f4c \n"), [f"match -> {m}" for *_, m in cases])
