"""Sector-wise flash access on the device models: what reaches the flash,
what the console shows, and what the trace records."""
import pytest

from board import Board

S = 65536
BS = "\b\b\b\b"


def progress(count):
    """The progress a write of count sectors shows."""
    return ("     " + "".join(f"{BS}{i * 100 // count:03d}%" for i in range(count)) + f"{BS}100%\n").encode()


@pytest.fixture
def board(tmp_path):
    return Board(tmp_path / "board")


def data_file(tmp_path, size):
    path = tmp_path / f"data-{size}"
    path.write_bytes(bytes((i * 31 + 1) & 0xFF for i in range(size)))
    return path


def fill(board, part, pattern):
    """Programs a partition's backing store directly, as if flashed before."""
    size = board.sizes[part]
    board.flash_path(part).write_bytes((pattern * (size // len(pattern) + 1))[:size])


def results(r):
    return [line for line in r.stderr.decode().splitlines() if " -> " in line]


def mtd_events(board):
    return [w for _, w in board.trace(["mtd"])]


def test_a_write_reads_erases_and_writes_back_its_sector(board, tmp_path):
    fill(board, "kernel", b"\x5a\xa5\x3c")
    data = data_file(tmp_path, 10)
    r = board.hw("flash-init", "write", "kernel", 5, 1, data)
    assert results(r) == ["flash-init -> 0", "write -> 0"]
    assert r.stdout == progress(1)
    # One sector read, erased and written back in 1024-byte pieces.
    assert mtd_events(board) == [["mtd", "/dev/mtd-kernel", "erase", "0x0", str(S)]] + [
        ["mtd", "/dev/mtd-kernel", "write", hex(k), "1024"] for k in range(0, S, 1024)]


# erase size, offset, length, the sectors erased
RANGES = [
    (S, 0, S, [0]),  # ends exactly at a boundary: no second sector
    (S, S - 1, 1, [0]),
    (S, S - 1, 2, [0, S]),  # crosses one boundary
    (S, S + 100, 2 * S, [S, 2 * S, 3 * S]),
    (S, 3 * S, 1, [3 * S]),
    (S, 0, 3 * S, [0, S, 2 * S]),
    (4096, 4000, 200, [0, 4096]),  # the erase size is the board's
]


@pytest.mark.parametrize("erase,offset,length,sectors", RANGES)
def test_a_write_touches_exactly_the_sectors_of_its_range(tmp_path, erase, offset, length, sectors):
    board = Board(tmp_path / "board", erase_size=erase)
    fill(board, "rfs", b"\x11\x22")
    before = board.flash("rfs")
    data = data_file(tmp_path, length)
    r = board.hw("flash-init", "write", "rfs", offset, 1, data)
    assert results(r)[-1] == "write -> 0"
    assert r.stdout == progress(len(sectors))
    assert [int(w[3], 16) for w in mtd_events(board) if w[2] == "erase"] == sectors
    assert sum(1 for w in mtd_events(board) if w[2] == "write") == len(sectors) * erase // 1024
    after = board.flash("rfs")
    assert after == before[:offset] + data.read_bytes() + before[offset + length:]


def test_zero_length_touches_nothing_and_shows_100(board):
    r = board.hw("flash-init", "write-empty", "kernel", 0, 1)
    assert results(r)[-1] == "write -> 0"
    assert r.stdout == b"     " + BS.encode() + b"100%\n"
    assert mtd_events(board) == []


# the board's fault, the operations after the probe, the console, their results
FAILURES = [
    ("fault.mtd_erase_fail_at = 2", ["write", "kernel", 0, 1, 2 * S], b"     \b\b\b\b000%Flash Write mtd erase failed.\n\n",
     ["write -> -1"]),
    ("fault.mtd_write_fail_at = 3", ["write", "kernel", 0, 0, S], b"Flash Write mtd write failed.\n\n", ["write -> -1"]),
    # The probe uses the kernel partition; a missing root-filesystem node
    # makes its sector read fail.
    ("fault.missing = /dev/mtd-rfs", ["write", "rfs", 0, 0, 10], b"Flash Write mtd read failed.\n\n", ["write -> -1"]),
    ("fault.mtd_erase_fail_at = 1", ["erase", "rfs", 0, 10], b"Flash Erase mtd erase failed.\n", ["erase -> -1"]),
]


@pytest.mark.parametrize("conf,ops,shown,res", FAILURES)
def test_a_failure_is_reported(board, tmp_path, conf, ops, shown, res):
    board.set_conf(conf)
    if ops[0] == "write":
        ops = ops[:4] + [data_file(tmp_path, ops[4])]
    r = board.hw("flash-init", *ops)
    assert (r.stdout, results(r)) == (shown, ["flash-init -> 0"] + res)
    if "write_fail" in conf:  # two pieces written, the rest of the sector erased
        assert board.flash("kernel")[:S] == data_file(tmp_path, S).read_bytes()[:2048] + b"\xff" * (S - 2048)


@pytest.mark.parametrize("conf", ["fault.mtd_probe = fail", "fault.missing = /dev/mtd-kernel"])
def test_no_flash_means_no_device_access(board, tmp_path, conf):
    board.set_conf(conf)
    before = {p: board.flash(p) for p in ["kernel", "rfs", "ubootenv"]}
    r = board.hw("flash-init", "write", "rfs", 0, 1, data_file(tmp_path, 10), "erase", "rfs", 0, 10,
                 "read", "ubootenv", 4, 16, tmp_path / "read.bin", "bootflags")
    assert r.stdout == b"Could not get MTD device info \n"
    assert results(r)[:4] == ["flash-init -> -1", "write -> -1", "erase -> -1", "read -> -1"]
    assert results(r)[4].startswith("bootflags -> unread")
    assert mtd_events(board) == []
    assert {p: board.flash(p) for p in before} == before


def test_erase_of_one_byte_erases_its_whole_sector(board):
    fill(board, "rfs", b"\x00")
    r = board.hw("flash-init", "erase", "rfs", S + 300, 1)
    assert results(r)[-1] == "erase -> 0"
    assert board.flash("rfs") == bytes(S) + b"\xff" * S + bytes(board.sizes["rfs"] - 2 * S)


def test_read_at_and_past_the_end(board, tmp_path):
    fill(board, "devicetree", b"\x42")
    out = tmp_path / "read.bin"
    size = board.sizes["devicetree"]
    r = board.hw("flash-init", "read", "devicetree", size - 4, 4, out)
    assert results(r)[-1] == "read -> 0" and out.read_bytes() == b"\x42" * 4
    # Past the end is an empty read, also where the 32-bit offset has its
    # top bit set.
    r = board.hw("flash-init", *[w for o in (size, 0x80000000, 0xFFFFFFF0) for w in ("read", "devicetree", o, 16, out)])
    assert results(r)[1:] == ["read -> 0"] * 3
