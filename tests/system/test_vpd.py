"""The VPD boot bytes over the modelled I2C bus, multiplexer and CPLD gate:
transactions in order, delays in virtual time, console messages."""
import subprocess
import sys

import pytest

from board import Board
from console import wait_until


@pytest.fixture
def board(tmp_path):
    return Board(tmp_path / "board")


def results(r):
    return [line for line in r.stderr.decode().splitlines() if " -> " in line]


def bus_events(board):
    return [" ".join(w) for _, w in board.trace(["i2c", "cpld", "sleep"])]


ACCESS_ON = ["i2c0 0x70 write 0x08", "cpld read 0x14 -> 0xa4", "cpld write 0x14 0xa5", "cpld read 0x18 -> 0x01",
             "i2c0 0x4f smbus-write 0x87 0x55", "sleep 100000"]
ACCESS_OFF = ["cpld read 0x14 -> 0xa5", "cpld write 0x14 0xa4", "cpld read 0x18 -> 0x01", "i2c0 0x70 write 0x00"]


class TestTransactions:
    def test_write_in_order_with_both_delays(self, board):
        r = board.hw("i2c-init", "set-image", 2)
        assert results(r) == ["i2c-init -> 0", "set-image -> 0"]
        assert r.stdout == b""
        assert bus_events(board) == ACCESS_ON + ["i2c0 0x54 smbus-write 0x01 0x02", "sleep 100000"] + ACCESS_OFF
        assert board.vpd()[1] == 2
        times = {" ".join(w): t for t, w in board.trace()}
        assert times["i2c0 0x54 smbus-write 0x01 0x02"] == 100000
        assert times["i2c0 0x70 write 0x00"] == 200000

    def test_read_in_order(self, board):
        board.set_vpd(1, 2)
        r = board.hw("i2c-init", "get-image")
        assert results(r)[-1] == "get-image -> 2"
        assert bus_events(board) == ACCESS_ON + ["i2c0 0x54 smbus-read 0x01 -> 0x02"] + ACCESS_OFF

    @pytest.mark.parametrize("value", [0, 1, 2, 3, 0xFF])
    def test_selected_image_byte_as_stored(self, board, value):
        board.set_vpd(1, value)
        assert results(board.hw("i2c-init", "get-image"))[-1] == f"get-image -> {value}"

    def test_booted_image_byte_and_low_bits_only(self, board):
        r = board.hw("i2c-init", "set-booted", 4, "set-image", 0x102)
        assert results(r)[1:] == ["set-booted -> 0", "set-image -> 0"]
        assert board.vpd()[59] == 4 and board.vpd()[1] == 2

    def test_offsets_above_255_reach_the_device_as_their_low_byte(self, board):
        board.set_vpd(1, 0x37)
        r = board.hw("i2c-init", "eeprom-read", 257)
        assert "eeprom-read -> 0 byte 0x37" in r.stderr.decode()
        assert "i2c0 0x54 smbus-read 0x01 -> 0x37" in bus_events(board)


class TestEepromSilent:
    def test_read_gives_255_without_a_message(self, board):
        board.set_conf("fault.i2c_nak = 0x54")
        board.set_vpd(1, 2)
        r = board.hw("i2c-init", "get-image")
        assert results(r)[-1] == "get-image -> 255"
        assert r.stdout == b""
        assert "i2c0 0x54 smbus-read 0x01 -> nak" in bus_events(board)
        assert bus_events(board)[-4:] == ACCESS_OFF

    def test_write_prints_bus_offset_and_errno(self, board):
        board.set_conf("fault.i2c_nak = 0x54")
        r = board.hw("i2c-init", "set-booted", 4)
        assert results(r)[-1].startswith("set-booted -> -")
        assert r.stdout == b"I2C error when writing bus 0 offset 59: 6\n"
        assert bus_events(board)[-4:] == ACCESS_OFF
        assert board.vpd()[59] == 0xFF


class TestCpld:
    def test_missing_driver_is_reported_twice_with_the_transfer_between(self, board):
        board.set_conf("fault.missing = /dev/norvik/cpld_mmmap")
        r = board.hw("i2c-init", "set-image", 2)
        assert r.stdout == (b"CPLD driver could not be opened\n"
                            b"I2C error when writing bus 0 offset 1: 6\n"
                            b"CPLD driver could not be opened\n")
        # Without the gate the EEPROM does not answer, but the write is tried.
        assert bus_events(board) == ["i2c0 0x70 write 0x08", "i2c0 0x4f smbus-write 0x87 0x55", "sleep 100000",
                                     "i2c0 0x54 smbus-write 0x01 0x02 nak", "sleep 100000", "i2c0 0x70 write 0x00"]

    def test_never_ready_costs_the_whole_poll_budget(self, board):
        board.set_conf("fault.cpld_ready = never")
        r = board.hw("i2c-init", "get-image")
        # The failure is reported and the transaction goes on: the gate's
        # control bit was set, so the EEPROM still answers.
        assert results(r)[-1] == "get-image -> 1"
        assert r.stdout == b"CPLD set bus error\nCPLD set bus error\n"
        events = board.trace(["cpld", "sleep"])
        polls = [w for _, w in events if w[:3] == ["cpld", "read", "0x18"]]
        sleeps = [w for _, w in events if w[0] == "sleep" and w[1] == "10000"]
        assert len(polls) == 2 * 5000 and len(sleeps) == 2 * 5000
        # Two handshakes of 50 s and the Summit delay, in virtual time.
        assert board.trace()[-1][0] == 2 * 50_000_000 + 100_000

    def test_polls_the_status_register_every_time(self, board):
        board.set_conf("fault.cpld_ready = 3")
        r = board.hw("i2c-init", "set-image", 1)
        assert results(r)[-1] == "set-image -> 0" and r.stdout == b""
        events = bus_events(board)
        on = events.index("cpld write 0x14 0xa5")
        assert events[on + 1:on + 8] == ["cpld read 0x18 -> 0x00", "sleep 10000"] * 3 + ["cpld read 0x18 -> 0x01"]


class TestBuses:
    def test_bus_0_missing(self, board):
        board.set_conf("fault.missing = /dev/i2c-0")
        r = board.hw("i2c-init", "get-image", "set-image", 2)
        assert results(r)[0] == "i2c-init -> -1"
        assert results(r)[1] == "get-image -> 255"
        out = r.stdout.decode()
        assert out.startswith("ERROR: driver /dev/i2c-0 couldn't be opened\n")
        assert "I2C error when writing bus 0 offset 1: 9\n" in out
        assert [e for e in bus_events(board) if e.startswith("i2c")] == []
        assert board.vpd()[1] == 1

    def test_bus_1_missing_leaves_bus_0_working(self, board):
        board.set_conf("fault.missing = /dev/i2c-1")
        board.set_vpd(1, 2)
        r = board.hw("i2c-init", "get-image")
        assert results(r) == ["i2c-init -> -1", "get-image -> 2"]
        assert r.stdout == b"ERROR: driver /dev/i2c-1 couldn't be opened\n"

    def test_closed_buses_never_reach_the_console(self, board):
        # After the buses are closed, descriptor 0 is the console: nothing
        # may be written to it in their place.
        r = board.hw("i2c-init", "i2c-close", "i2c-close", "get-image")
        assert results(r) == ["i2c-init -> 0", "i2c-close -> 0", "i2c-close -> 0", "get-image -> 255"]
        assert r.stdout == b""
        assert [e for e in bus_events(board) if e.startswith("i2c")] == []


class TestSharedClock:
    def test_a_pc_program_sleeping_alongside_shares_one_clock(self, board, tmp_path):
        # The driver (the board's own build under VBOARD_PPC_BUILD) and a PC
        # program advance one board clock: each sleep starts where the one
        # before it, whoever slept it, ended.
        stop = tmp_path / "stop"
        board.power_on()
        sleeper = subprocess.Popen([sys.executable, "-c", "import ctypes, os\nlibc = ctypes.CDLL(None)\n"
                                    f"while not os.path.exists({str(stop)!r}): libc.usleep(7)"], env=board.env())
        try:
            wait_until(lambda: board.trace(["sleep"]), "the PC program's first sleep")
            r = board.hw("i2c-init", *["get-image"] * 20, power_on=False)
        finally:
            stop.touch()
            assert sleeper.wait(timeout=60) == 0
        assert results(r) == ["i2c-init -> 0"] + ["get-image -> 1"] * 20
        sleeps = sorted((t, int(w[1])) for t, w in board.trace(["sleep"]))
        assert sleeps[0][0] == 0
        assert all(t + usec == later for (t, usec), (later, _) in zip(sleeps, sleeps[1:]))
        assert [usec for _, usec in sleeps].count(100000) == 20
