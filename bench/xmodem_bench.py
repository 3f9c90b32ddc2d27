#!/usr/bin/python3
"""XMODEM-1K receive speed on a serial line paced at 115200 bps: the
launcher's receiver (xmodemdrv) and lrzsz's rx, each receiving the same
256 KiB file from sx -k over the same paced line, in one run.

    xmodem_bench.py [BUILD_DIR]

Prints bytes per second of each receiver (from the first block to the
acknowledged end of file) and its fraction of the line rate."""
import os
import pathlib
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
if len(sys.argv) > 1:
    os.environ["BUILD_DIR"] = str(pathlib.Path(sys.argv[1]).resolve())
sys.path.insert(0, str(HERE.parent / "tests" / "system"))
import xmodem_relay as xr  # noqa: E402

RATE = 115200
LINE_BYTES_PER_SECOND = RATE / 10  # 8N1: ten bits a byte
SIZE = 256 * 1024


def measure(receiver, workdir, source, out):
    sender = xr.Sender(workdir, source, ("-k", "-q"))
    try:
        relay = xr.Relay(receiver, sender, rate=RATE)
        relay.run()
        if relay.first_block_at is None or "eot_acked_at" not in relay.stats:
            raise SystemExit(f"transfer did not complete: {receiver.stderr()}")
        return relay.stats["eot_acked_at"] - relay.first_block_at
    finally:
        sender.close()


def ours(workdir, source):
    out = workdir / "ours.bin"
    receiver = xr.Receiver.xmodemdrv(workdir, out)
    try:
        receiver.press_enter_at_115200()
        mark = len(receiver.seen)
        seconds = measure(receiver, workdir, source, out)
        receiver.press_enter_at_9600(mark)
        if receiver.result() != SIZE:
            raise SystemExit("Xmodem1K received the wrong size")
    finally:
        receiver.close()
    check(out, source)
    return seconds


def lrzsz(workdir, source):
    out = workdir / "rx.bin"
    # rx writes only below its working directory.
    receiver = xr.Receiver(workdir, ["/bin/sh", "-c", f"cd '{workdir}' && exec rx -c -q {out.name}"])
    try:
        seconds = measure(receiver, workdir, source, out)
        receiver.wait()
    finally:
        receiver.close()
    check(out, source)
    return seconds


def check(out, source):
    if out.read_bytes()[:SIZE] != source.read_bytes():
        raise SystemExit(f"{out.name}: received data differs")


def main():
    if not xr.XMODEMDRV.exists():
        raise SystemExit(f"{xr.XMODEMDRV} is not built")
    with tempfile.TemporaryDirectory() as tmp:
        workdir = pathlib.Path(tmp)
        source = workdir / "source.bin"
        source.write_bytes(os.urandom(SIZE))
        results = [("Xmodem1K", ours(workdir, source)), ("lrzsz rx", lrzsz(workdir, source))]
    print(f"XMODEM-1K, {SIZE} bytes from sx -k over a line paced at {RATE} bps "
          f"({LINE_BYTES_PER_SECOND:.0f} bytes/s):")
    for name, seconds in results:
        rate = SIZE / seconds
        print(f"  {name:9s} {rate:8.0f} bytes/s  {rate / LINE_BYTES_PER_SECOND:6.1%} of the line rate")
    ratio = results[1][1] / results[0][1]
    print(f"  Xmodem1K / rx speed: {ratio:.3f}")


if __name__ == "__main__":
    main()
