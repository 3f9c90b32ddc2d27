"""A small package [kernel, application] with each of its bytes flipped in
turn, offered to the installer on the virtual board: no corrupt record may
ever reach a partition or a slot file, and every outcome is a clear line."""
import re
import subprocess

import pytest

from board import driver
from records import record
from vb import VBoard, archive, in_board, sample

MODULEDRV = driver("moduledrv")
FAILURES = re.compile(r"^(Installing (Kernel|Application): )?(Bad crc for (KERNEL|APPLICATION): 0x[0-9a-f]{8}, voiding download"
                      r"|(KERNEL) image is too big for flash \(-?\d+ > \d+\)"
                      r"|Failed to allocate buffer for image \(-?\d+\))$")

LOOP = """
mkdir -p /vboard/out
for f in /vboard/flips/*; do
    n=${f##*/}
    echo 1 | %s -r /vboard/out/$n.res flash-init install $f 0 0 > /vboard/out/$n.out 2>&1
    head -c %d /vboard/flash/kernel.bin > /vboard/out/$n.kernel
    cp /user/images/image1 /vboard/out/$n.slot 2>/dev/null || : > /vboard/out/$n.slot
done
"""


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    work = tmp_path_factory.mktemp("corrupt")
    board = VBoard.create(work / "board", sets=["size.kernel=1048576", "size.rfs=1048576", "size.rescue=1048576"])
    kernel = record("kernel", b"kernel 2.0.0.7\n" * 4, version=(2, 0, 0, 7))
    app = record("app", archive({"home/bin/mp.elf.strip": ("#!/bin/sh\necho corrupt-test\n", 0o755)}),
                 version=(6, 0, 0, 7))
    package = kernel + app
    flips = board.path / "flips"
    flips.mkdir()
    for i in range(len(package)):
        bad = bytearray(package)
        bad[i] ^= 0xFF
        (flips / f"{i:04d}").write_bytes(bytes(bad))
    before_kernel = board.flash_path("kernel").read_bytes()[:len(kernel)]
    before_slot = board.slot_path(1).read_bytes()
    r = board.run("/bin/sh", "-c", LOOP % (in_board(MODULEDRV), len(kernel)), programs=[MODULEDRV])
    assert r.returncode == 0, r.stderr
    return {"board": board, "package": package, "kernel": kernel, "app": app,
            "before_kernel": before_kernel, "before_slot": before_slot, "out": board.path / "out"}


def outcomes(c):
    for i in range(len(c["package"])):
        name = f"{i:04d}"
        text = (c["out"] / f"{name}.out").read_text()
        yield i, text, (c["out"] / f"{name}.kernel").read_bytes(), (c["out"] / f"{name}.slot").read_bytes()


def test_no_corrupt_record_is_ever_written(campaign):
    installed = set()
    for i, text, kernel, slot in outcomes(campaign):
        assert kernel in (campaign["before_kernel"], campaign["kernel"]), f"byte {i}: kernel partition corrupt"
        assert slot in (campaign["before_slot"], campaign["app"]), f"byte {i}: slot file corrupt"
        installed |= {"kernel"} if kernel == campaign["kernel"] else set()
        installed |= {"app"} if slot == campaign["app"] else set()
    # Flips in one record leave the other intact, and it is installed.
    assert installed == {"kernel", "app"}


def test_every_outcome_is_a_clear_message(campaign):
    refused = 0
    for i, text, kernel, slot in outcomes(campaign):
        lines = [l for l in text.replace("\b", "").splitlines() if l.strip()]
        assert lines[0] == "Extracting images ... Do *NOT* power cycle the switch.", f"byte {i}: {text!r}"
        last = lines[-1]
        if FAILURES.match(last):
            refused += 1
        else:
            assert last == "File processed", f"byte {i}: unclear ending {last!r}"
    # A flip can only pass unrefused where it turns a record into one of
    # an unknown type, which the installer skips: the type bytes.
    assert refused >= len(campaign["package"]) - 8
    print(f"corrupted packages refused: {refused} of {len(campaign['package'])}")


def test_refused_records_name_the_checksum_computed(campaign):
    # A flip in the kernel's stored checksum: the message carries the
    # checksum computed over the record, which is the good one.
    text = (campaign["out"] / "0000.out").read_text()
    good = int.from_bytes(campaign["kernel"][:4], "big")
    assert f"Bad crc for KERNEL: 0x{good:08x}, voiding download\n" in text
