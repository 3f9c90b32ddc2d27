"""The XMODEM-1K receiver against lrzsz's sx through a relay that damages blocks."""
import binascii
import termios

import pytest

import console as xr
from console import ACK, CAN, EOT, NAK, SOH, STX


def first(relay, frame, number):  # the first frame that carries block number
    return len(frame) > 1 and frame[1] == number and [f[1] for f in relay.blocks()].count(number) == 1


def repeat_3_lose_second_eot(relay, frame):
    if frame == bytes([EOT]) and relay.frames.count(frame) > 1:
        return  # silence after our NAK of the first EOT confirms the end too
    relay.to_receiver(frame)
    if first(relay, frame, 3):  # again, as if our ACK had been lost
        ack = relay.take_reply()
        relay.to_receiver(frame)
        relay.take_reply()
        relay.to_sender(bytes([ack]))


def block_zero_first(relay, frame):
    """A block 0 first, as a YMODEM sender opens, whose data would pass for
    EOT, CAN and block headers: refused as a whole, CRC mode asked again."""
    if first(relay, frame, 1):
        data = bytes([EOT, CAN, SOH, STX, ACK]) * 25 + b"Z" * 3
        relay.to_receiver(bytes([SOH, 0, 255]) + data + binascii.crc_hqx(data, 0).to_bytes(2, "big"))
        relay.take_reply()
    relay.to_receiver(frame)


def flip(at, bits):
    return lambda frame: frame[:at] + bytes([frame[at] ^ bits]) + frame[at + 1:]


def damage(plan):  # the frames of block N rewritten in turn by plan[N]'s functions
    def on_frame(relay, frame):
        if len(frame) > 1 and plan.get(frame[1]):
            frame = plan[frame[1]].pop(0)(frame)
        relay.to_receiver(frame)
    return on_frame


DATA, COMPLEMENT = flip(10, 0x40), flip(2, 0x01)
ACKS, BAD, CANCEL = bytes([ACK]), bytes([NAK]), bytes([CAN] * 5)
END = bytes([NAK, ACK])  # NAK of the first EOT, ACK of the second


@pytest.mark.parametrize("size,on_frame,options,received,replies,taken", [
    # 1K and 128-byte blocks, numbers wrapping past 255
    (300 * 1024 + 300, repeat_3_lose_second_eot, ("-k",), 300 * 1024 + 384, ACKS * 304 + END, [ACK, ACK]),
    (1000, None, (), 1024, ACKS * 8 + END, []),
    (2048, block_zero_first, ("-k",), 2048, ACKS * 2 + END, [ord("C")]),
    # What was acknowledged before a cancel stays in the file.
    (2048, damage({1: [lambda frame: bytes([CAN, CAN])]}), ("-k",), 0, CANCEL, []),
    (6 * 1024, damage({3: [lambda frame: frame[:1] + bytes([4, 251]) + frame[3:]]}), ("-k",), 0, ACKS * 2 + CANCEL, []),
    # A good block starts the count of errors again; the third cancels.
    (6 * 1024, damage({3: [DATA, COMPLEMENT], 5: [COMPLEMENT, DATA, COMPLEMENT]}), ("-k",), 0,
     ACKS * 2 + BAD * 2 + ACKS * 2 + BAD * 2 + CANCEL, []),
], ids=["wrap-repeat-eot-silence", "128-blocks", "block-zero", "cancel", "two-ahead", "errors"])
def test_transfer(tmp_path, size, on_frame, options, received, replies, taken):
    data = bytes((i * 131 + (i >> 9) * 7) & 0xFF for i in range(size))
    (tmp_path / "source.bin").write_bytes(data)
    receiver, relay, result = xr.transfer(tmp_path, tmp_path / "source.bin", tmp_path / "out.bin", on_frame, options)
    assert (result, relay.taken) == (received, taken)
    assert bytes(relay.replies).lstrip(b"C").startswith(replies + xr.BACK_PROMPT)
    got = (tmp_path / "out.bin").read_bytes()
    if received:
        assert got[:size] == data and set(got[size:]) <= {0x1A} and len(got) == received  # sx's padding
        assert receiver.stderr().splitlines()[-2:] == ["EOT", "All done"]
    else:
        assert got == data[:1024 * replies.count(ACK)] and "All done" not in receiver.stderr()
    # The line switched to 115200 bps raw for the transfer, then restored.
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = receiver.switched[0]
    assert (ispeed, ospeed, iflag, oflag) == (termios.B115200, termios.B115200, termios.IGNBRK, 0)
    assert cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB) == termios.CS8
    assert not lflag & (termios.ICANON | termios.ECHO | termios.ECHOE | termios.ISIG)
    assert receiver.switched[1] == receiver.initial


# Without a line nothing is asked of the sender (no request for CRC mode)
# and nothing installed: straight back to the menu.
@pytest.mark.parametrize("op,result,console", [
    (("receive", "out.bin"), "receive -> -1", b""), (("xmodem",), "xmodem -> 0", b"Running xmodem rescue.....\r\n")])
def test_without_a_line_nothing_is_received(tmp_path, op, result, console):
    receiver = xr.Receiver.driver(tmp_path, *op, line=False)
    try:
        assert receiver.lines() == [result] and receiver.stderr().startswith("Can't open serial port!: ")
        assert bytes(receiver.seen) == console
    finally:
        receiver.close()


def test_a_file_that_cannot_be_written_gives_the_line_back(tmp_path):
    receiver = xr.Receiver.driver(tmp_path, "receive", tmp_path / "missing" / "out.bin")
    try:
        receiver.enter(raw=True)
        receiver.enter(raw=False)
        assert (receiver.result(), receiver.switched[1]) == (-1, receiver.initial)
        assert receiver.stderr().startswith("Can't open file!: No such file or directory")
    finally:
        receiver.close()
