"""The XMODEM-1K receiver against lrzsz's sx over a pty line, through a relay
that damages, repeats, drops or invents blocks; the XMODEM rescue's line."""
import os
import termios

import pytest

import console as xr
from console import ACK, CAN, EOT, NAK, SOH, STX

PAD = 0x1A  # what sx fills the last block with


def payload(tmp_path, size):
    data = bytes((i * 131 + (i >> 9) * 7) & 0xFF for i in range(size))
    (tmp_path / "source.bin").write_bytes(data)
    return tmp_path / "source.bin", data


def first(relay, frame, number):
    """True for the first frame that carries block number."""
    return xr.is_block(frame) and frame[1] == number and [f[1] for f in relay.blocks()].count(number) == 1


def taken(relay):
    """The receiver's replies the relay kept from the sender."""
    return relay.stats.setdefault("taken", [])


def repeat_block_3(relay, frame):
    relay.to_receiver(frame)
    if first(relay, frame, 3):  # again, as if our ACK had been lost
        ack = relay.take_reply()
        relay.to_receiver(frame)
        taken(relay).append(relay.take_reply())
        relay.to_sender(bytes([ack]))


def block_zero_first(zero_data):
    def on_frame(relay, frame):
        if first(relay, frame, 1):
            relay.to_receiver(xr.make_block(0, zero_data))
            taken(relay).append(relay.take_reply())
        relay.to_receiver(frame)
    return on_frame


def instead_of_block(number, send):
    return lambda relay, frame: relay.to_receiver(send(frame) if first(relay, frame, number) else frame)


def damage(plan):
    """The frames of block N damaged in turn by plan[N]'s functions."""
    def on_frame(relay, frame):
        if xr.is_block(frame) and plan.get(frame[1]):
            frame = plan[frame[1]].pop(0)(frame)
        relay.to_receiver(frame)
    return on_frame


def drop_second_eot(relay, frame):
    if not (frame == bytes([EOT]) and relay.frames.count(frame) > 1):
        relay.to_receiver(frame)


ACKS = bytes([ACK])
END = bytes([NAK, ACK])  # NAK of the first EOT, ACK of the second
CANCEL = bytes([CAN] * 5)
BAD = bytes([NAK])


@pytest.mark.parametrize("size,on_frame,options,received,replies,taken_replies", [
    (3 * 1024 + 300, None, ("-k",), 3456, ACKS * 6 + END, []),
    (300 * 1024, None, ("-k",), 300 * 1024, ACKS * 300 + END, []),  # block numbers wrap past 255
    (1000, None, (), 1024, ACKS * 8 + END, []),
    (5 * 1024, repeat_block_3, ("-k",), 5 * 1024, ACKS * 6 + END, [ACK]),
    # A block 0 first, as a YMODEM sender opens: refused as a whole with a
    # new request for CRC mode, even when its data would pass for EOT, CAN
    # and block headers.
    (2048, block_zero_first(b"Z" * 128), ("-k",), 2048, ACKS * 2 + END, [ord("C")]),
    (2048, block_zero_first(bytes([EOT, CAN, SOH, STX, ACK]) * 25 + b"Z" * 3), ("-k",), 2048, ACKS * 2 + END,
     [ord("C")]),
    # What was acknowledged before a cancel stays in the file.
    (2048, instead_of_block(1, lambda frame: bytes([CAN, CAN])), ("-k",), 0, CANCEL, []),
    (6 * 1024, instead_of_block(3, lambda frame: xr.renumber(frame, 4)), ("-k",), 0, ACKS * 2 + CANCEL, []),
    (6 * 1024, damage({3: [xr.corrupt_data, xr.corrupt_complement, xr.corrupt_data]}), ("-k",), 0,
     ACKS * 2 + BAD * 2 + CANCEL, []),
    # A good block starts the count of errors again.
    (6 * 1024, damage({3: [xr.corrupt_data, xr.corrupt_complement], 5: [xr.corrupt_complement]}), ("-k",),
     6 * 1024, ACKS * 2 + BAD * 2 + ACKS * 2 + BAD + ACKS * 2 + END, []),
    # The confirming EOT lost: silence after our NAK confirms the end too.
    (3 * 1024, drop_second_eot, ("-k",), 3 * 1024, ACKS * 3 + END, []),
], ids=["mixed-sizes", "wrap", "128-blocks", "repeated", "block-zero", "block-zero-control-bytes", "cancel",
        "two-ahead", "three-errors", "two-errors-twice", "eot-silence"])
def test_transfer(tmp_path, size, on_frame, options, received, replies, taken_replies):
    source, data = payload(tmp_path, size)
    receiver, relay, result = xr.transfer(tmp_path, source, tmp_path / "out.bin", on_frame, options)
    assert (result, taken(relay)) == (received, taken_replies)
    assert bytes(relay.replies).lstrip(b"C").startswith(replies + xr.BACK_PROMPT)
    got = (tmp_path / "out.bin").read_bytes()
    if received:
        assert got[:size] == data and set(got[size:]) <= {PAD} and len(got) == received
        assert receiver.stderr().splitlines()[-2:] == ["EOT", "All done"]
    else:
        assert got == data[:1024 * replies.count(ACK)] and "All done" not in receiver.stderr()
    # The line switched to 115200 bps raw for the transfer, then restored.
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = receiver.raw_settings
    assert (ispeed, ospeed, iflag, oflag) == (termios.B115200, termios.B115200, termios.IGNBRK, 0)
    assert cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB) == termios.CS8
    assert not lflag & (termios.ICANON | termios.ECHO | termios.ECHOE | termios.ISIG)
    assert receiver.restored == receiver.initial


def test_receiver_keeps_asking_until_a_sender_starts(tmp_path):
    source, data = payload(tmp_path, 1500)
    receiver = xr.Receiver.receive(tmp_path, tmp_path / "out.bin")
    sender = None
    try:
        receiver.read_until(xr.START_REMINDER)  # no Enter for a while: the operator is reminded
        receiver.press_enter_at_115200()
        mark = len(receiver.seen)
        # Noise on a silent line gets no answer but the CRC requests.
        os.write(receiver.pty.master, b"noise \x7f\xff")
        receiver.read_until(b"CCC", mark)
        assert set(receiver.seen[mark:]) == {ord("C")}
        sender = xr.Sender(tmp_path, source)
        xr.Relay(receiver, sender).run()
        receiver.press_enter_at_9600(mark)
        assert receiver.result() == 1536
    finally:
        if sender:
            sender.close()
        receiver.close()
    assert (tmp_path / "out.bin").read_bytes()[:1500] == data


# The XMODEM rescue with a receiver of ours at the receiver's path, which
# tells what it found, after an earlier download was left in /tmp.
@pytest.mark.parametrize("op,line,result,error", [
    (("receive", "out.bin"), False, "receive -> -1", "Can't open serial port!: "),
    (("receive", "none/out.bin"), True, "receive -> -1", "Can't open file!: "),
    (("xmodem",), False, "xmodem -> 0", "Can't open serial port!: "),
    (("xmodem",), True, "xmodem -> 0", ""),
])
def test_what_runs_without_a_line_a_file_or_a_transfer(tmp_path, op, line, result, error):
    seen, rx = tmp_path / "rx-saw", tmp_path / "rx"
    rx.write_text(f"#!/bin/sh\n{{ ls -l /proc/$$/fd; [ -e /tmp/image ] && echo earlier-download; }} > '{seen}'\n")
    rx.chmod(0o755)
    # A checkout under /tmp keeps its driver in sight over the empty /tmp.
    driver = [a for p in map(str, xr.outside_board(xr.MODULEDRV)) if p.startswith("/") for a in ("--ro-bind", p, p)]
    receiver = xr.Receiver.driver(tmp_path, *op, line=line, prelude="echo old >/tmp/image", extra=[
        "--tmpfs", "/tmp", *driver, "--bind", tmp_path, tmp_path, "--ro-bind", rx, "/usr/bin/rx"])
    try:
        console = b"Running xmodem rescue.....\r\n" if op[0] == "xmodem" else b""
        if line:
            receiver.press_enter_at_115200()
            receiver.press_enter_at_9600()
            assert receiver.restored == receiver.initial
            console += xr.START_PROMPT + xr.BACK_PROMPT + b"\r\n"  # the echo of the last Enter
        assert receiver.lines() == [result] and receiver.stderr().startswith(error)
        # No request for CRC mode; nothing installed; straight back to the menu.
        assert bytes(receiver.seen) == console
        # The receiver runs only on a line that is its console already, the
        # launcher's own copy kept from it, and finds no earlier download.
        assert seen.exists() == (op[0] == "xmodem" and line)
        if seen.exists():
            assert "/dev/pts/" in seen.read_text() and "ttyS0" not in seen.read_text()
            assert "earlier-download" not in seen.read_text()
    finally:
        receiver.close()
