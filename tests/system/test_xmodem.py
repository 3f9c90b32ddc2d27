"""The XMODEM-1K receiver against lrzsz's sx over a pty line, directly and
through a relay that damages, repeats, drops or invents blocks; and the
XMODEM rescue's handling of its line."""
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


def first_time(relay, frame, number):
    """True for the first frame carrying block number."""
    return xr.is_block(frame) and xr.block_number(frame) == number and sum(
        1 for f in relay.blocks() if xr.block_number(f) == number) == 1


def forward(relay, frame):
    relay.to_receiver(frame)


def repeat_block_3(relay, frame):
    """Block 3 twice, as if our ACK of it had been lost: the second must be
    acknowledged too, and written once."""
    relay.to_receiver(frame)
    if first_time(relay, frame, 3):
        ack = relay.take_reply()
        relay.to_receiver(frame)
        relay.stats.setdefault("taken", []).append(relay.take_reply())
        relay.to_sender(bytes([ack]))


def block_zero_first(zero_data):
    """A block 0 first, as a YMODEM sender opens: refused as a whole with a
    new request for CRC mode, even when its data is full of bytes that would
    pass for EOT, CAN and block headers."""
    def on_frame(relay, frame):
        if first_time(relay, frame, 1):
            relay.to_receiver(xr.make_block(0, zero_data))
            relay.stats.setdefault("taken", []).append(relay.take_reply())
        relay.to_receiver(frame)
    return on_frame


def skip_ahead(relay, frame):
    relay.to_receiver(xr.renumber(frame, 4) if xr.is_block(frame) and xr.block_number(frame) == 3 else frame)


def damage(plan):
    """Each block number's frames damaged in turn by plan[number]'s functions."""
    def on_frame(relay, frame):
        if xr.is_block(frame) and plan.get(xr.block_number(frame)):
            frame = plan[xr.block_number(frame)].pop(0)(frame)
        relay.to_receiver(frame)
    return on_frame


def drop_second_eot(relay, frame):
    """The confirming EOT lost: silence after our NAK confirms the end too."""
    if not (frame == bytes([EOT]) and relay.frames.count(frame) > 1):
        relay.to_receiver(frame)


def acks(n):
    return bytes([ACK] * n)


END = bytes([NAK, ACK])  # NAK of the first EOT, ACK of the second
CANCEL = bytes([CAN] * 5)


@pytest.mark.parametrize("size,on_frame,options,received,replies,taken", [
    (3 * 1024 + 300, forward, ("-k",), 3456, acks(6) + END, []),
    (300 * 1024, forward, ("-k",), 300 * 1024, acks(300) + END, []),  # block numbers wrap past 255
    (1000, forward, (), 1024, acks(8) + END, []),
    (5 * 1024, repeat_block_3, ("-k",), 5 * 1024, acks(6) + END, [ACK]),
    (2048, block_zero_first(b"Z" * 128), ("-k",), 2048, acks(2) + END, [ord("C")]),
    (2048, block_zero_first(bytes([EOT, CAN, SOH, STX, ACK]) * 25 + b"Z" * 3), ("-k",), 2048, acks(2) + END,
     [ord("C")]),
    # What was accepted before a cancel stays in the file.
    (6 * 1024, skip_ahead, ("-k",), 0, acks(2) + CANCEL, []),
    (6 * 1024, damage({3: [xr.corrupt_data, xr.corrupt_complement, xr.corrupt_data]}), ("-k",), 0,
     acks(2) + bytes([NAK, NAK]) + CANCEL, []),
    # A good block starts the count of errors again.
    (6 * 1024, damage({3: [xr.corrupt_data, xr.corrupt_complement], 5: [xr.corrupt_complement]}), ("-k",),
     6 * 1024, acks(2) + bytes([NAK, NAK]) + acks(2) + bytes([NAK]) + acks(2) + END, []),
    (3 * 1024, drop_second_eot, ("-k",), 3 * 1024, acks(3) + END, []),
], ids=["mixed-sizes", "wrap", "128-blocks", "repeated", "block-zero", "block-zero-control-bytes", "two-ahead",
        "three-errors", "two-errors-twice", "eot-silence"])
def test_transfer(tmp_path, size, on_frame, options, received, replies, taken):
    source, data = payload(tmp_path, size)
    out = tmp_path / "out.bin"
    receiver, relay, result = xr.transfer(tmp_path, source, out, on_frame, options)
    assert result == received
    assert bytes(relay.replies).lstrip(b"C").startswith(replies + xr.BACK_PROMPT)
    assert relay.stats.get("taken", []) == taken
    got = out.read_bytes()
    if received:
        assert got[:size] == data and set(got[size:]) <= {PAD} and len(got) == received
        assert receiver.stderr().splitlines()[-2:] == ["EOT", "All done"]
    else:
        assert got == data[:2048] and "All done" not in receiver.stderr()
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


@pytest.mark.parametrize("case", ["sender-cancels", "no-file", "no-line"])
def test_receive_that_ends_without_a_transfer(tmp_path, case):
    out = tmp_path / ("missing-dir/out.bin" if case == "no-file" else "out.bin")
    receiver = xr.Receiver.receive(tmp_path, out, line=case != "no-line")
    try:
        if case == "no-line":
            # Never polled, no instructions, no request for CRC mode.
            assert (receiver.result(), bytes(receiver.seen)) == (-1, b"")
            assert receiver.stderr().startswith("Can't open serial port!: ")
            return
        receiver.press_enter_at_115200()
        mark = len(receiver.seen)
        if case == "sender-cancels":
            receiver.read_until(b"C", mark)
            os.write(receiver.pty.master, bytes([CAN, CAN]))
        receiver.press_enter_at_9600(mark)
        assert receiver.restored == receiver.initial
        if case == "sender-cancels":
            assert receiver.result() == 0 and CANCEL in receiver.seen[mark:]
            assert receiver.stderr().startswith("CAN\n")
        else:
            assert receiver.result() == -1 and receiver.stderr().startswith("Can't open file!: ")
            assert receiver.seen[mark:].startswith(xr.BACK_PROMPT)  # no CRC request
    finally:
        receiver.close()


@pytest.mark.parametrize("line", [False, True])
def test_xmodem_rescue_runs_the_receiver_only_on_its_line_and_without_an_earlier_download(tmp_path, line):
    """The rescue with a receiver of ours at the receiver's path that tells
    what it found, after an earlier download was left in /tmp."""
    seen, rx = tmp_path / "rx-saw", tmp_path / "rx"
    rx.write_text(f"#!/bin/sh\n{{ ls -l /proc/$$/fd; [ -e /tmp/image ] && echo earlier-download; }} > '{seen}'\n")
    rx.chmod(0o755)
    receiver = xr.Receiver.driver(tmp_path, "xmodem", line=line, prelude="echo old >/tmp/image", extra=[
        "--tmpfs", "/tmp", "--bind", tmp_path, tmp_path, "--ro-bind", rx, "/usr/bin/rx"])
    try:
        console = b"Running xmodem rescue.....\r\n"
        if line:
            receiver.press_enter_at_115200()
            receiver.press_enter_at_9600()
            console += xr.START_PROMPT + xr.BACK_PROMPT + b"\r\n"  # the echo of the last Enter
        assert receiver.lines() == ["xmodem -> 0"]
        # Nothing arrived: nothing installed, straight back to the menu.
        assert bytes(receiver.seen) == console
        if line:
            # Its console is the line already; the launcher's own copy stays
            # its own.  Only what it receives may ever be installed.
            assert "/dev/pts/" in seen.read_text() and "ttyS0" not in seen.read_text()
            assert "earlier-download" not in seen.read_text()
        else:
            assert receiver.stderr().startswith("Can't open serial port!: ") and not seen.exists()
    finally:
        receiver.close()
