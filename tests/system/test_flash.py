"""Sector-wise flash access on the device models: what reaches the flash,
what the console shows, and what the trace records."""
import os

import pytest

from board import Board

S = 65536
BS = "\b\b\b\b"


def progress(*figures):
    return ("     " + "".join(f"{BS}{f:03d}%" for f in figures) + f"{BS}100%\n").encode()


@pytest.fixture
def board(tmp_path):
    return Board(tmp_path / "board")


def data_file(tmp_path, size, seed=1):
    path = tmp_path / f"data-{size}-{seed}"
    path.write_bytes(bytes((i * 31 + seed) & 0xFF for i in range(size)))
    return path


def fill(board, part, pattern):
    """Programs a partition's backing store directly, as if flashed before."""
    size = board.sizes[part]
    board.flash_path(part).write_bytes((pattern * (size // len(pattern) + 1))[:size])


def results(r):
    return [line for line in r.stderr.decode().splitlines() if " -> " in line]


def mtd_events(board):
    return [w for _, w in board.trace(["mtd"])]


class TestReadModifyWrite:
    def test_bytes_outside_the_range_survive(self, board, tmp_path):
        fill(board, "kernel", b"\x5a\xa5\x3c")
        before = board.flash("kernel")
        data = data_file(tmp_path, 10)
        r = board.hw("flash-init", "write", "kernel", 5, 1, data)
        assert results(r) == ["flash-init -> 0", "write -> 0"]
        assert r.stdout == progress(0)
        after = board.flash("kernel")
        assert after[5:15] == data.read_bytes()
        assert after[:5] == before[:5] and after[15:] == before[15:]
        # One sector read, erased and written back in 1024-byte pieces.
        events = mtd_events(board)
        assert events[0] == ["mtd", "/dev/mtd-kernel", "erase", "0x0", str(S)]
        assert events[1:] == [["mtd", "/dev/mtd-kernel", "write", hex(k), "1024"] for k in range(0, S, 1024)]

    @pytest.mark.parametrize("offset,length,sectors", [
        (0, S, [0]),                 # ends exactly at a boundary: no second sector
        (S - 1, 1, [0]),
        (S - 1, 2, [0, S]),          # crosses one boundary
        (S + 100, 2 * S, [S, 2 * S, 3 * S]),
        (3 * S, 1, [3 * S]),
    ])
    def test_touches_exactly_the_sectors_of_the_range(self, board, tmp_path, offset, length, sectors):
        fill(board, "rfs", b"\x11\x22")
        before = board.flash("rfs")
        data = data_file(tmp_path, length)
        r = board.hw("flash-init", "write", "rfs", offset, 0, data)
        assert results(r)[-1] == "write -> 0"
        assert r.stdout == b""
        erases = [int(w[3], 16) for w in mtd_events(board) if w[2] == "erase"]
        assert erases == sectors
        writes = [w for w in mtd_events(board) if w[2] == "write"]
        assert len(writes) == len(sectors) * (S // 1024)
        after = board.flash("rfs")
        assert after[offset:offset + length] == data.read_bytes()
        assert after[:offset] == before[:offset]
        assert after[offset + length:] == before[offset + length:]

    def test_three_sectors_show_each_step_of_the_progress(self, board, tmp_path):
        r = board.hw("flash-init", "write", "kernel", 0, 1, data_file(tmp_path, 3 * S))
        assert r.stdout == progress(0, 33, 66)

    def test_zero_length_touches_nothing_and_shows_100(self, board):
        r = board.hw("flash-init", "write-empty", "kernel", 0, 1)
        assert results(r)[-1] == "write -> 0"
        assert r.stdout == b"     " + BS.encode() + b"100%\n"
        assert mtd_events(board) == []

    def test_a_15_mib_record_costs_what_the_algorithm_needs(self, tmp_path):
        board = Board(tmp_path / "big", sizes={"rfs": 16 << 20})
        size = 15 << 20
        r = board.hw("flash-init", "write", "rfs", 0, 1, data_file(tmp_path, size))
        assert results(r)[-1] == "write -> 0"
        events = mtd_events(board)
        assert sum(1 for w in events if w[2] == "erase") == 240
        assert sum(1 for w in events if w[2] == "write") == 240 * 64
        assert board.flash("rfs")[:size] == data_file(tmp_path, size).read_bytes()
        assert r.stdout.startswith(b"     \b\b\b\b000%\b\b\b\b000%\b\b\b\b000%\b\b\b\b001%")
        assert r.stdout.endswith(b"\b\b\b\b099%\b\b\b\b100%\n")

    def test_erase_size_from_the_board(self, tmp_path):
        board = Board(tmp_path / "small", erase_size=4096)
        r = board.hw("flash-init", "write", "devicetree", 4000, 1, data_file(tmp_path, 200))
        assert r.stdout == progress(0, 50)
        assert [int(w[3], 16) for w in mtd_events(board) if w[2] == "erase"] == [0, 4096]


class TestFailures:
    def test_failed_erase(self, board, tmp_path):
        board.set_conf("fault.mtd_erase_fail_at = 2")
        r = board.hw("flash-init", "write", "kernel", 0, 1, data_file(tmp_path, 2 * S))
        assert results(r)[-1] == "write -> -1"
        assert r.stdout == b"     " + f"{BS}000%".encode() + b"Flash Write mtd erase failed.\n\n"

    def test_failed_write_leaves_the_sector_partly_written(self, board, tmp_path):
        board.set_conf("fault.mtd_write_fail_at = 3")
        r = board.hw("flash-init", "write", "kernel", 0, 0, data_file(tmp_path, S))
        assert results(r)[-1] == "write -> -1"
        assert r.stdout == b"Flash Write mtd write failed.\n\n"
        flash = board.flash("kernel")
        assert flash[:2048] == data_file(tmp_path, S).read_bytes()[:2048]
        assert flash[2048:S] == b"\xff" * (S - 2048)

    def test_failed_read(self, board, tmp_path):
        # The probe uses the kernel partition; a missing root-filesystem
        # node makes its sector read fail.
        board.set_conf("fault.missing = /dev/mtd-rfs")
        r = board.hw("flash-init", "write", "rfs", 0, 0, data_file(tmp_path, 10))
        assert results(r) == ["flash-init -> 0", "write -> -1"]
        assert r.stdout == b"Flash Write mtd read failed.\n\n"

    def test_failed_erase_of_a_range(self, board):
        board.set_conf("fault.mtd_erase_fail_at = 1")
        r = board.hw("flash-init", "erase", "rfs", 0, 10)
        assert results(r)[-1] == "erase -> -1"
        assert r.stdout == b"Flash Erase mtd erase failed.\n"

    @pytest.mark.parametrize("conf,message", [
        ("fault.mtd_probe = fail", b"Could not get MTD device info \n"),
        ("fault.missing = /dev/mtd-kernel", b"Could not get MTD device info \n"),
    ])
    def test_no_flash_means_no_device_access(self, board, tmp_path, conf, message):
        board.set_conf(conf)
        before = {p: board.flash(p) for p in ["kernel", "rfs", "ubootenv"]}
        out = tmp_path / "read.bin"
        r = board.hw("flash-init", "write", "rfs", 0, 1, data_file(tmp_path, 10), "erase", "rfs", 0, 10,
                     "read", "ubootenv", 4, 16, out, "bootflags")
        assert r.stdout == message
        assert results(r)[:4] == ["flash-init -> -1", "write -> -1", "erase -> -1", "read -> -1"]
        assert results(r)[4].startswith("bootflags -> unread")
        assert mtd_events(board) == []
        assert {p: board.flash(p) for p in before} == before


class TestEraseAndRead:
    def test_erase_of_one_byte_erases_its_whole_sector(self, board):
        fill(board, "rfs", b"\x00")
        r = board.hw("flash-init", "erase", "rfs", S + 300, 1)
        assert results(r)[-1] == "erase -> 0"
        flash = board.flash("rfs")
        assert flash[S:2 * S] == b"\xff" * S
        assert flash[:S] == b"\x00" * S and flash[2 * S:] == b"\x00" * (len(flash) - 2 * S)

    def test_read_at_and_past_the_end(self, board, tmp_path):
        fill(board, "devicetree", b"\x42")
        out = tmp_path / "read.bin"
        size = board.sizes["devicetree"]
        r = board.hw("flash-init", "read", "devicetree", size - 4, 4, out)
        assert results(r)[-1] == "read -> 0" and out.read_bytes() == b"\x42" * 4
        # Past the end is an empty read, also where the 32-bit offset has its
        # top bit set.
        for offset in (size, 0x80000000, 0xFFFFFFF0):
            r = board.hw("flash-init", "read", "devicetree", offset, 16, out)
            assert results(r)[-1] == "read -> 0", hex(offset)


class TestTraceSwitches:
    def test_silent_by_default_and_verbose_when_switched_on(self, board, tmp_path):
        data = data_file(tmp_path, 10)
        quiet = board.hw("flash-init", "write", "rfs", 5, 0, data)
        assert quiet.stdout == b""
        loud = board.hw("flash-init", "debug", "write", "debug", "erase", "write", "rfs", 5, 0, data)
        lines = loud.stdout.decode().splitlines()
        assert lines[0] == "Flash Write 0x00000005 to 0x0000000e (0x00000000 to 0x0000ffff) 1"
        assert lines[1] == "mtd erase 0x00000000 to 0x0000ffff"
        assert lines[2].startswith("mtd write 0x00000000 to 0x000003ff 0x")
        assert len(lines) == 2 + 64

