"""Sector-wise flash access on the device models: what reaches the flash,
what the console shows, and what the trace records."""
import pytest

from board import Board, results

S = 65536


def data_file(tmp_path, size):
    path = tmp_path / f"data-{size}"
    path.write_bytes(bytes((i * 31 + 1) & 0xFF for i in range(size)))
    return path


@pytest.mark.parametrize("erase,offset,length,sectors", [
    (S, 0, S, [0]),  # ends exactly at a boundary: no second sector
    (S, S - 1, 1, [0]),
    (S, S - 1, 2, [0, S]),  # crosses one boundary
    (S, S + 100, 2 * S, [S, 2 * S, 3 * S]),
    (S, 3 * S, 1, [3 * S]),
    (S, 0, 0, []),  # nothing to write: nothing touched, and still 100%
    (4096, 4000, 200, [0, 4096]),  # the erase size is the board's
])
def test_a_write_reads_erases_and_writes_back_exactly_its_sectors(tmp_path, erase, offset, length, sectors):
    board = Board(tmp_path / "board", erase_size=erase)
    before = b"\x11\x22" * (board.sizes["rfs"] // 2)
    board.flash_path("rfs").write_bytes(before)
    data = data_file(tmp_path, length)
    # Reads past the end are empty, also where the 32-bit offset has its top bit set.
    r = board.hw("flash-init", "write", "rfs", offset, 1, data,
                 *[w for o in (board.sizes["rfs"], 0x80000000, 0xFFFFFFF0) for w in ("read", "rfs", o, 16, "/dev/null")])
    shown = "     " + "".join(f"\b\b\b\b{i * 100 // len(sectors):03d}%" for i in range(len(sectors))) + "\b\b\b\b100%\n"
    assert (r.stdout.decode(), results(r)[1:]) == (shown, ["write -> 0"] + ["read -> 0"] * 3)
    # Each sector erased, then written back whole in 1024-byte pieces.
    assert board.trace_words(["mtd"]) == [
        e for s in sectors for e in [f"mtd /dev/mtd-rfs erase {hex(s)} {erase}"]
        + [f"mtd /dev/mtd-rfs write {hex(k)} 1024" for k in range(s, s + erase, 1024)]]
    assert board.flash("rfs") == before[:offset] + data.read_bytes() + before[offset + length:]


NO_FLASH = ["flash-init -> -1", "write -> -1", "erase -> -1", "read -> -1",
            "bootflags -> unread gdb=0 gdbserver=0 gdbport=1234 shell=0 memchk=0 rescue=0 diags=0 ethport=0"]


# the board's fault, the operations after flash-init (@N: a file of N bytes), the console
@pytest.mark.parametrize("conf,ops,shown", [
    ("fault.mtd_erase_fail_at = 2", ["write", "kernel", 0, 1, "@131072"], "     \b\b\b\b000%Flash Write mtd erase failed.\n\n"),
    ("fault.mtd_write_fail_at = 3", ["write", "kernel", 0, 0, "@65536"], "Flash Write mtd write failed.\n\n"),
    # The probe uses the kernel partition; a missing rfs node makes its sector read fail.
    ("fault.missing = /dev/mtd-rfs", ["write", "rfs", 0, 0, "@10"], "Flash Write mtd read failed.\n\n"),
    ("fault.mtd_erase_fail_at = 1", ["erase", "rfs", 0, 10], "Flash Erase mtd erase failed.\n"),
    # No flash, or an erase size no power of two or under the 1024-byte write pieces: no access.
    *[(conf, ["write", "rfs", 0, 1, "@10", "erase", "rfs", 0, 10, "read", "ubootenv", 4, 16, "/dev/null", "bootflags"],
       "Could not get MTD device info \n") for conf in ["fault.mtd_probe = fail", "fault.missing = /dev/mtd-kernel",
                                                        "erase_size = 3072", "erase_size = 512"]],
])
def test_a_failure_is_reported(tmp_path, conf, ops, shown):
    board = Board(tmp_path / "board", conf=[conf])
    before = {p: board.flash(p) for p in ["kernel", "rfs", "ubootenv"]}
    r = board.hw("flash-init", *[data_file(tmp_path, int(o[1:])) if str(o)[0] == "@" else o for o in ops])
    res = NO_FLASH if "MTD device" in shown else ["flash-init -> 0", f"{ops[0]} -> -1"]
    assert (r.stdout.decode(), results(r)) == (shown, res)
    if "write_fail" in conf:  # two pieces written, the rest of the sector erased
        assert board.flash("kernel")[:S] == data_file(tmp_path, S).read_bytes()[:2048] + b"\xff" * (S - 2048)
    if res == NO_FLASH:
        assert board.trace_words(["mtd"]) == [] and {p: board.flash(p) for p in before} == before
