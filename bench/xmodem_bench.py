#!/usr/bin/python3
"""XMODEM-1K receive speed on a serial line paced at 115200 bps: the
launcher's receiver (moduledrv receive) and lrzsz's rx, each receiving the same
256 KiB file from sx -k over the same paced line, in one run.

    xmodem_bench.py [BUILD_DIR]

Prints bytes per second of each receiver (from the first block to the
acknowledged end of file) and its fraction of the line rate.

A loaded machine may hold any of the programs back for seconds: that slows
a transfer down, it does not end it.  The bench ends a transfer on what
happens on the line (the receiver ends, no new block for PATIENCE seconds)
and, when it cannot measure, says what it saw."""
import os
import pathlib
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
if len(sys.argv) > 1:
    os.environ["BUILD_DIR"] = str(pathlib.Path(sys.argv[1]).resolve())
sys.path.insert(0, str(HERE.parent / "tests" / "system"))
import console as xr  # noqa: E402

RATE = 115200
LINE_BYTES_PER_SECOND = RATE / 10  # 8N1: ten bits a byte
SIZE = 256 * 1024
PATIENCE = xr.PATIENCE
# rx's own time-out, in tenths of a second: its default of 10 s is shorter
# than a loaded machine may hold a program back.  (sx has no such option;
# -O, no time-outs at all, leaves both waiting for ever at the end of file.)
RX_TIMEOUT = str(PATIENCE * 10)


class PacedRelay(xr.Relay):
    """A relay that paces each direction like a serial line at RATE with
    10 bits per byte, and notes when the first block went through and when
    the end of file was acknowledged."""
    CHUNK = 32

    def __init__(self, receiver, sender, on_frame):
        super().__init__(receiver, sender, on_frame)
        self.busy = {}
        self.first_block_at = self.eot_acked_at = None

    def paced_write(self, fd, data):
        # The bytes were all there when the call came: each chunk follows
        # the one before on the wire, whatever our own sleeps overshoot.
        done = max(time.monotonic(), self.busy.get(fd, 0.0))
        for i in range(0, len(data), self.CHUNK):
            chunk = data[i:i + self.CHUNK]
            done += len(chunk) * 10 / RATE
            delay = done - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            os.write(fd, chunk)
        self.busy[fd] = done

    def to_receiver(self, data):
        if len(data) > 1 and self.first_block_at is None:
            self.first_block_at = time.monotonic()
        self.paced_write(self.receiver.master, data)

    def to_sender(self, data):
        if xr.ACK in data and self.frames and self.frames[-1] == bytes([xr.EOT]) and self.eot_acked_at is None:
            self.eot_acked_at = time.monotonic()
        self.paced_write(self.sender.master, data)


class Transfer:
    """One transfer from sx -k to `receiver` through a paced relay, watched
    from a second thread so that it always ends:

    - the receiver has ended: the line has no other end any more.  After
      the end of file reached it, sx is stopped if it is still waiting
      (rx flushes its line as it exits, so its last ACK may never reach
      sx); before, the transfer failed.
    - no new block for PATIENCE seconds (one takes 89 ms on the line),
      while the end of file is not acknowledged: the transfer failed.
    - sx still running PATIENCE seconds after its end of file was
      acknowledged: it is stopped; the transfer is over.

    `problem` says why it failed, `notes` what else happened."""

    def __init__(self, name, receiver, workdir, source):
        self.name = name
        self.receiver = receiver
        self.sender = xr.Sender(workdir, source, ("-k", "-v"))
        self.relay = PacedRelay(receiver, self.sender, self.forward)
        self.eot_at = None
        self.problem = None
        self.notes = []
        self.done = threading.Event()

    def forward(self, relay, frame):
        # A receiver that has ended reads nothing: writing on to its line
        # would fill the pty and block the relay for good.
        if self.receiver.proc.poll() is not None:
            return
        relay.to_receiver(frame)
        if frame == bytes([xr.EOT]) and self.eot_at is None:
            self.eot_at = time.monotonic()

    def run(self):
        watch = threading.Thread(target=self.watch, daemon=True)
        watch.start()
        try:
            self.relay.run()
        except TimeoutError as e:
            self.problem = self.problem or str(e)
        finally:
            self.done.set()
            watch.join()
            self.sender.close()

    def acked(self):
        return self.relay.eot_acked_at is not None

    def watch(self):
        progress, since = None, time.monotonic()
        while not self.done.wait(0.1):
            # A new block, or at last the acknowledged end of file.
            now = (len(self.relay.blocks()), self.acked())
            if now != progress:
                progress, since = now, time.monotonic()
            if self.receiver.proc.poll() is not None:
                if self.eot_at is None:
                    self.problem = f"the receiver ended (exit status {self.receiver.proc.poll()}) before the end of file"
                self.sender.proc.kill()
                return
            if time.monotonic() - since > PATIENCE:
                if self.acked():
                    self.notes.append(f"sx still ran {PATIENCE} s after its end of file was acknowledged: stopped")
                    self.sender.proc.kill()
                else:
                    self.problem = f"no new block for {PATIENCE} s"
                    self.sender.proc.kill()
                    self.receiver.proc.kill()
                return

    def seconds(self):
        """From the first block to the end of file, or a SystemExit saying
        what was seen."""
        end = self.relay.eot_acked_at or self.eot_at
        if self.problem or self.relay.first_block_at is None or end is None:
            raise SystemExit(self.seen(self.problem or "the transfer ended without an end of file"))
        if not self.acked():
            # rx flushes its line as it exits: its last ACK may never reach the relay.
            self.notes.append("its last ACK never came: the end of file is taken as it reached the receiver")
        again = resent(self.relay)
        if again:
            self.notes.append(f"{again} blocks sent again")
        return end - self.relay.first_block_at

    def seen(self, problem):
        relay = self.relay
        return (f"{self.name}: {problem}\n"
                f"  {len(relay.blocks())} blocks relayed ({resent(relay)} sent again), end of file "
                f"{'sent' if self.eot_at else 'not sent'}, {len(relay.replies)} bytes back from the receiver, "
                f"the last {bytes(relay.replies[-12:])!r}\n"
                f"  receiver: exit status {self.receiver.proc.poll()}, standard error:\n"
                f"      {tail(self.receiver.stderr())}\n"
                f"  sx: exit status {self.sender.proc.poll()}, standard error:\n"
                f"      {tail(self.sender.err_path.read_text(errors='replace'))}")


def tail(text, lines=8):
    return "\n      ".join(text.strip().splitlines()[-lines:]) or "(nothing)"


def resent(relay):
    """Blocks the sender sent again (numbered like the one before)."""
    numbers = [b[1] for b in relay.blocks()]
    return sum(1 for a, b in zip(numbers, numbers[1:]) if a == b)


def ours(workdir, source):
    out = workdir / "ours.bin"
    receiver = xr.Receiver.driver(workdir, "receive", out)
    try:
        receiver.enter(raw=True)
        mark = len(receiver.seen)
        transfer = Transfer("Xmodem1K", receiver, workdir, source)
        transfer.run()
        seconds = transfer.seconds()
        receiver.enter(raw=False, start=mark)
        if receiver.result() != SIZE:
            raise SystemExit(f"Xmodem1K received the wrong size: {tail(receiver.stderr())}")
    finally:
        receiver.close()
    check(out, source)
    return seconds, transfer.notes


def lrzsz(workdir, source):
    out = workdir / "rx.bin"
    # rx writes only below its working directory.
    receiver = xr.Receiver(workdir, ["/bin/sh", "-c", f"cd '{workdir}' && exec rx -c -v -t {RX_TIMEOUT} {out.name}"])
    try:
        transfer = Transfer("lrzsz rx", receiver, workdir, source)
        transfer.run()
        seconds = transfer.seconds()
        status = receiver.wait()
        if status != 0:
            raise SystemExit(transfer.seen(f"rx ended with exit status {status}"))
    finally:
        receiver.close()
    check(out, source)
    return seconds, transfer.notes


def check(out, source):
    if not out.exists() or out.read_bytes()[:SIZE] != source.read_bytes():
        raise SystemExit(f"{out.name}: received data differs")


def main():
    if not xr.MODULEDRV.exists():
        raise SystemExit(f"{xr.MODULEDRV} is not built")
    with tempfile.TemporaryDirectory() as tmp:
        workdir = pathlib.Path(tmp)
        source = workdir / "source.bin"
        source.write_bytes(os.urandom(SIZE))
        results = [("Xmodem1K", *ours(workdir, source)), ("lrzsz rx", *lrzsz(workdir, source))]
    print(f"XMODEM-1K, {SIZE} bytes from sx -k over a line paced at {RATE} bps "
          f"({LINE_BYTES_PER_SECOND:.0f} bytes/s):")
    for name, seconds, notes in results:
        rate = SIZE / seconds
        print(f"  {name:9s} {rate:8.0f} bytes/s  {rate / LINE_BYTES_PER_SECOND:6.1%} of the line rate")
        for note in notes:
            print(f"            ({note})")
    ratio = results[1][1] / results[0][1]
    print(f"  Xmodem1K / rx speed: {ratio:.3f}")


if __name__ == "__main__":
    main()
