"""The VPD boot bytes over the modelled I2C bus, multiplexer and CPLD gate:
transactions in order, delays in virtual time, console messages."""
import pytest

from board import Board, results

ON = ["i2c0 0x70 write 0x08", "cpld read 0x14 -> 0xa4", "cpld write 0x14 0xa5", "cpld read 0x18 -> 0x01",
      "i2c0 0x4f smbus-write 0x87 0x55", "sleep 100000"]
OFF = ["cpld read 0x14 -> 0xa5", "cpld write 0x14 0xa4", "cpld read 0x18 -> 0x01", "i2c0 0x70 write 0x00"]
READ = ["i2c0 0x54 smbus-read 0x01 -> 0x01"]
POLL = ["cpld read 0x18 -> 0x00", "sleep 10000"]  # the CPLD not ready yet


# the board's fault, the operations after the bus set-up, the console, their results, the
# I2C, CPLD and sleep events (None: not compared, []: no I2C transfer), VPD bytes 1 and 59
@pytest.mark.parametrize("conf,ops,shown,res,events,vpd", [
    (None, ["set-image", 2], b"", ["set-image -> 0"],
     ON + ["i2c0 0x54 smbus-write 0x01 0x02", "sleep 100000"] + OFF, (2, 0xFF)),
    # only the low bits of the slot; both bytes read back as stored
    (None, ["set-booted", 4, "set-image", 0x103, "get-image"], b"", ["set-booted -> 0", "set-image -> 0",
                                                                      "get-image -> 3"], None, (3, 4)),
    # the CPLD's status is polled until ready, at each handshake, at most
    # 5000 times; a gate never ready is reported and the transfer goes on
    ("fault.cpld_ready = 3", ["set-image", 1], b"", ["set-image -> 0"], ON[:3] + POLL * 3 + ON[3:]
     + ["i2c0 0x54 smbus-write 0x01 0x01", "sleep 100000"] + OFF[:2] + POLL * 3 + OFF[2:], (1, 0xFF)),
    ("fault.cpld_ready = never", ["get-image"], b"CPLD set bus error\n" * 2, ["get-image -> 1"],
     ON[:3] + POLL * 5000 + ON[4:] + READ + OFF[:2] + POLL * 5000 + OFF[3:], (1, 0xFF)),
    # a silent EEPROM reads as 255 without a message; a write names bus, offset and errno
    ("fault.i2c_nak = 0x54", ["get-image", "set-booted", 4], b"I2C error when writing bus 0 offset 59: 6\n",
     ["get-image -> 255", "set-booted -> -6"], ON + ["i2c0 0x54 smbus-read 0x01 -> nak"] + OFF + ON
     + ["i2c0 0x54 smbus-write 0x3b 0x04 nak", "sleep 100000"] + OFF, (1, 0xFF)),
    # After the buses are closed, descriptor 0 (the console) is never taken for bus 0.
    (None, ["i2c-close", "i2c-close", "get-image", "set-image", 2], b"I2C error when writing bus 0 offset 1: 9\n",
     ["i2c-close -> 0", "i2c-close -> 0", "get-image -> 255", "set-image -> -1"], [], (1, 0xFF)),
])
def test_vpd_access(tmp_path, conf, ops, shown, res, events, vpd):
    board = Board(tmp_path / "board", conf=[conf] if conf else [])
    r = board.hw("i2c-init", *ops)
    init = "i2c-init -> -1" if "i2c-" in (conf or "") else "i2c-init -> 0"
    assert (r.stdout, results(r)) == (shown, [init] + res)
    if events is not None:
        seen = board.trace_words(["i2c", "cpld", "sleep"])
        assert (seen if events else [e for e in seen if e.startswith("i2c")]) == events
    assert (board.vpd()[1], board.vpd()[59]) == vpd
