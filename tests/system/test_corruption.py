"""A package [kernel with an extended header, application] with a byte flipped (every header byte, a sample of the
payloads) offered to the installer on a board: no corrupt record reaches flash or a slot; every outcome is clear."""
import re

from console import MODULEDRV
from records import flipped, record
from vb import VBoard, archive, in_board

REFUSED = re.compile(r"^(Installing (Kernel|Application): )?(Bad crc for (KERNEL|APPLICATION): 0x[0-9a-f]{8}, voiding download"
                     r"|KERNEL image is too big for flash \(-?\d+ > \d+\)|Failed to allocate buffer for image \(-?\d+\))$")
LOOP = ("for f in /vboard/flips/*; do echo 1 | %s -r $f.res flash-init install $f 0 0 > $f.out 2>&1; "
        "head -c %d /vboard/flash/kernel.bin > $f.kernel; cp /user/images/image1 $f.slot 2>/dev/null || : > $f.slot; done")


def test_no_flipped_byte_reaches_flash_or_a_slot_and_every_outcome_is_clear(tmp_path):
    board = VBoard.create(tmp_path / "board", sets=["size.kernel=1048576", "size.rfs=1048576", "size.rescue=1048576"])
    kernel = record("kernel", b"kernel 2.0.0.7\n" * 4, version=(2, 0, 0, 7), hdr_len=24)
    app = record("app", archive({"home/bin/mp.elf.strip": ("#!/bin/sh\necho corrupt-test\n", 0o755)}), version=(6, 0, 0, 7))
    package, flips = kernel + app, board.path / "flips"
    flips.mkdir()
    sample = sorted(set(range(24)) | set(range(len(kernel), len(kernel) + 20)) | set(range(0, len(package), 5)))
    for i in sample:
        (flips / f"{i:04d}").write_bytes(flipped(package, i, 0xFF))
    before = {"kernel": board.flash_path("kernel").read_bytes()[:len(kernel)], "slot": board.slot_path(1).read_bytes()}
    r = board.run("/bin/sh", "-c", LOOP % (in_board(MODULEDRV), len(kernel)), programs=[MODULEDRV])
    assert r.returncode == 0, r.stderr
    installed, refused = set(), 0
    for i in sample:
        for part, good in [("kernel", kernel), ("slot", app)]:
            now = (flips / f"{i:04d}.{part}").read_bytes()
            assert now in (before[part], good), f"byte {i}: {part} corrupt"
            installed |= {part} if now == good else set()
        text = (flips / f"{i:04d}.out").read_text()
        lines = [line for line in text.replace("\b", "").splitlines() if line.strip()]
        assert lines[0] == "Extracting images ... Do *NOT* power cycle the switch.", f"byte {i}: {text!r}"
        assert REFUSED.match(lines[-1]) or lines[-1] == "File processed", f"byte {i}: unclear {lines[-1]!r}"
        refused += bool(REFUSED.match(lines[-1]))
    # Flips in one record leave the other intact, and it is installed.  A flip passes unrefused only
    # where it turns a record into one of an unknown type, which the installer skips: the type bytes.
    assert installed == {"kernel", "slot"} and refused >= len(sample) - 8
