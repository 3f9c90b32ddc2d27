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


ON = ["i2c0 0x70 write 0x08", "cpld read 0x14 -> 0xa4", "cpld write 0x14 0xa5", "cpld read 0x18 -> 0x01",
      "i2c0 0x4f smbus-write 0x87 0x55", "sleep 100000"]
OFF = ["cpld read 0x14 -> 0xa5", "cpld write 0x14 0xa4", "cpld read 0x18 -> 0x01", "i2c0 0x70 write 0x00"]
NAK = "fault.i2c_nak = 0x54"
NO_BUS = "no I2C transfer at all"
# the board's fault, the operations after the bus set-up, the console, their
# results, the bus transactions (None: not compared) and VPD bytes 1 and 59
CASES = [
    (None, ["set-image", 2], b"", ["set-image -> 0"],
     ON + ["i2c0 0x54 smbus-write 0x01 0x02", "sleep 100000"] + OFF, (2, 0xFF)),
    (None, ["get-image"], b"", ["get-image -> 1"], ON + ["i2c0 0x54 smbus-read 0x01 -> 0x01"] + OFF, (1, 0xFF)),
    # only the low bits of the slot, and the booted byte as given
    (None, ["set-booted", 4, "set-image", 0x102], b"", ["set-booted -> 0", "set-image -> 0"], None, (2, 4)),
    # offsets above 255 reach the device as their low byte
    (None, ["eeprom-read", 257], b"", ["eeprom-read -> 0 byte 0x01"], ON + ["i2c0 0x54 smbus-read 0x01 -> 0x01"] + OFF,
     (1, 0xFF)),
    # a silent EEPROM reads as 255 without a message; a write names bus, offset and errno
    (NAK, ["get-image"], b"", ["get-image -> 255"], ON + ["i2c0 0x54 smbus-read 0x01 -> nak"] + OFF, (1, 0xFF)),
    (NAK, ["set-booted", 4], b"I2C error when writing bus 0 offset 59: 6\n", ["set-booted -> -6"],
     ON + ["i2c0 0x54 smbus-write 0x3b 0x04 nak", "sleep 100000"] + OFF, (1, 0xFF)),
    # Without the CPLD's gate the EEPROM does not answer, but the write is tried.
    ("fault.missing = /dev/norvik/cpld_mmmap", ["set-image", 2],
     b"CPLD driver could not be opened\nI2C error when writing bus 0 offset 1: 6\nCPLD driver could not be opened\n",
     ["set-image -> -6"], ["i2c0 0x70 write 0x08", "i2c0 0x4f smbus-write 0x87 0x55", "sleep 100000",
                           "i2c0 0x54 smbus-write 0x01 0x02 nak", "sleep 100000", "i2c0 0x70 write 0x00"], (1, 0xFF)),
    ("fault.missing = /dev/i2c-0", ["get-image", "set-image", 2],
     b"ERROR: driver /dev/i2c-0 couldn't be opened\nI2C error when writing bus 0 offset 1: 9\n",
     ["get-image -> 255", "set-image -> -1"], NO_BUS, (1, 0xFF)),
    ("fault.missing = /dev/i2c-1", ["get-image"], b"ERROR: driver /dev/i2c-1 couldn't be opened\n",
     ["get-image -> 1"], None, (1, 0xFF)),
    # After the buses are closed, descriptor 0 is the console: nothing may
    # be written to it in their place.
    (None, ["i2c-close", "i2c-close", "get-image"], b"", ["i2c-close -> 0", "i2c-close -> 0", "get-image -> 255"],
     NO_BUS, (1, 0xFF)),
]


@pytest.mark.parametrize("conf,ops,shown,res,events,vpd", CASES)
def test_vpd_access(board, conf, ops, shown, res, events, vpd):
    if conf:
        board.set_conf(conf)
    r = board.hw("i2c-init", *ops)
    init = "i2c-init -> -1" if "i2c-" in (conf or "") else "i2c-init -> 0"
    assert (r.stdout, results(r)) == (shown, [init] + res)
    if events == NO_BUS:
        assert [e for e in bus_events(board) if e.startswith("i2c")] == []
    elif events is not None:
        assert bus_events(board) == events
    assert (board.vpd()[1], board.vpd()[59]) == vpd


def test_the_delays_are_virtual_time(board):
    board.hw("i2c-init", "set-image", 2)
    times = {" ".join(w): t for t, w in board.trace()}
    assert times["i2c0 0x54 smbus-write 0x01 0x02"] == 100000
    assert times["i2c0 0x70 write 0x00"] == 200000


@pytest.mark.parametrize("value", [0, 2, 3, 0xFF])
def test_selected_image_byte_as_stored(board, value):
    board.set_vpd(1, value)
    assert results(board.hw("i2c-init", "get-image"))[-1] == f"get-image -> {value}"


def test_a_cpld_never_ready_costs_the_whole_poll_budget(board):
    board.set_conf("fault.cpld_ready = never")
    r = board.hw("i2c-init", "get-image")
    # The failure is reported and the transaction goes on: the gate's
    # control bit was set, so the EEPROM still answers.
    assert (r.stdout, results(r)[-1]) == (b"CPLD set bus error\nCPLD set bus error\n", "get-image -> 1")
    events = [w for _, w in board.trace(["cpld", "sleep"])]
    assert sum(1 for w in events if w[:3] == ["cpld", "read", "0x18"]) == 2 * 5000
    assert sum(1 for w in events if w == ["sleep", "10000"]) == 2 * 5000
    # Two handshakes of 50 s and the Summit delay, in virtual time.
    assert board.trace()[-1][0] == 2 * 50_000_000 + 100_000


def test_the_cpld_status_is_polled_every_time(board):
    board.set_conf("fault.cpld_ready = 3")
    r = board.hw("i2c-init", "set-image", 1)
    assert (r.stdout, results(r)[-1]) == (b"", "set-image -> 0")
    events = bus_events(board)
    on = events.index("cpld write 0x14 0xa5")
    assert events[on + 1:on + 8] == ["cpld read 0x18 -> 0x00", "sleep 10000"] * 3 + ["cpld read 0x18 -> 0x01"]


def test_a_pc_program_sleeping_alongside_shares_one_clock(board, tmp_path):
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
