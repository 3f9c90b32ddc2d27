"""The VPD boot bytes over the modelled I2C bus, multiplexer and CPLD gate:
transactions in order, delays in virtual time, console messages."""
import subprocess
import sys

import pytest

from board import Board, results
from console import wait_until


@pytest.fixture
def board(tmp_path):
    return Board(tmp_path / "board")


ON = ["i2c0 0x70 write 0x08", "cpld read 0x14 -> 0xa4", "cpld write 0x14 0xa5", "cpld read 0x18 -> 0x01",
      "i2c0 0x4f smbus-write 0x87 0x55", "sleep 100000"]
OFF = ["cpld read 0x14 -> 0xa5", "cpld write 0x14 0xa4", "cpld read 0x18 -> 0x01", "i2c0 0x70 write 0x00"]
WAIT = ["cpld read 0x18 -> 0x00", "sleep 10000"] * 3
NAK = "fault.i2c_nak = 0x54"


# the board's fault, the operations after the bus set-up, the console, their
# results, the bus transactions (None: not compared, []: no I2C transfer) and
# VPD bytes 1 and 59
@pytest.mark.parametrize("conf,ops,shown,res,events,vpd", [
    (None, ["set-image", 2], b"", ["set-image -> 0"],
     ON + ["i2c0 0x54 smbus-write 0x01 0x02", "sleep 100000"] + OFF, (2, 0xFF)),
    (None, ["get-image"], b"", ["get-image -> 1"], ON + ["i2c0 0x54 smbus-read 0x01 -> 0x01"] + OFF, (1, 0xFF)),
    # only the low bits of the slot, and the booted byte as given
    (None, ["set-booted", 4, "set-image", 0x102], b"", ["set-booted -> 0", "set-image -> 0"], None, (2, 4)),
    # offsets above 255 reach the device as their low byte
    (None, ["eeprom-read", 257], b"", ["eeprom-read -> 0 byte 0x01"], ON + ["i2c0 0x54 smbus-read 0x01 -> 0x01"] + OFF,
     (1, 0xFF)),
    # the CPLD's status is polled until ready, at each handshake
    ("fault.cpld_ready = 3", ["set-image", 1], b"", ["set-image -> 0"], ON[:3] + WAIT + ON[3:]
     + ["i2c0 0x54 smbus-write 0x01 0x01", "sleep 100000"] + OFF[:2] + WAIT + OFF[2:], (1, 0xFF)),
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
     ["get-image -> 255", "set-image -> -1"], [], (1, 0xFF)),
    ("fault.missing = /dev/i2c-1", ["get-image"], b"ERROR: driver /dev/i2c-1 couldn't be opened\n",
     ["get-image -> 1"], None, (1, 0xFF)),
    # After the buses are closed, descriptor 0 is the console: it is never
    # taken for bus 0, the write fails as on a bus that never opened.
    (None, ["i2c-close", "i2c-close", "get-image", "set-image", 2], b"I2C error when writing bus 0 offset 1: 9\n",
     ["i2c-close -> 0", "i2c-close -> 0", "get-image -> 255", "set-image -> -1"], [], (1, 0xFF)),
])
def test_vpd_access(board, conf, ops, shown, res, events, vpd):
    if conf:
        board.set_conf(conf)
    r = board.hw("i2c-init", *ops)
    init = "i2c-init -> -1" if "i2c-" in (conf or "") else "i2c-init -> 0"
    assert (r.stdout, results(r)) == (shown, [init] + res)
    if events is not None:
        seen = board.trace_words(["i2c", "cpld", "sleep"])
        assert (seen if events else [e for e in seen if e.startswith("i2c")]) == events
    assert (board.vpd()[1], board.vpd()[59]) == vpd


@pytest.mark.parametrize("value", [0, 3, 0xFF])
def test_selected_image_byte_as_stored(board, value):
    board.set_vpd(1, value)
    assert results(board.hw("i2c-init", "get-image"))[-1] == f"get-image -> {value}"


def test_a_cpld_never_ready_costs_the_whole_poll_budget(board):
    board.set_conf("fault.cpld_ready = never")
    r = board.hw("i2c-init", "get-image")
    # The failure is reported and the transaction goes on: the gate's
    # control bit was set, so the EEPROM still answers.
    assert (r.stdout, results(r)[-1]) == (b"CPLD set bus error\nCPLD set bus error\n", "get-image -> 1")
    events = board.trace_words(["cpld", "sleep"])
    assert (events.count("cpld read 0x18 -> 0x00"), events.count("sleep 10000")) == (2 * 5000, 2 * 5000)
    # Two handshakes of 50 s and the Summit delay, in virtual time.
    assert board.trace()[-1][0] == 2 * 50_000_000 + 100_000


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
    assert sleeps[0][0] == 0 and [usec for _, usec in sleeps].count(100000) == 20
    assert all(t + usec == later for (t, usec), (later, _) in zip(sleeps, sleeps[1:]))
