"""A 15 MiB record installed into the virtual rfs partition through
api_flash_write, against plain 1024-byte writes of the same bytes to the
backing file, in one run; device operations per MiB from the module's own
trace switches and the board's trace."""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "system"))

SIZE = 15 << 20


def main(build):
    os.environ["BUILD_DIR"] = os.path.abspath(build)
    from board import Board, MODULEDRV
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        data = tmp / "record"
        data.write_bytes(os.urandom(SIZE))
        board = Board(tmp / "board", sizes={"rfs": 16 << 20})

        best_flash = None
        for _ in range(3):
            board.power_on()
            t0 = time.perf_counter()
            r = subprocess.run([*map(str, MODULEDRV), "flash-init", "debug", "read", "write", "rfs", "0", "0", str(data)],
                               env=board.env(), capture_output=True, check=True)
            t = time.perf_counter() - t0
            best_flash = t if best_flash is None else min(best_flash, t)
        reads = sum(1 for line in r.stdout.splitlines() if line.startswith(b"mtd read"))
        ops = [w for _, w in board.trace(["mtd"])]
        erases = sum(1 for w in ops if w[2] == "erase")
        writes = sum(1 for w in ops if w[2] == "write" and w[4] == "1024")
        assert board.flash("rfs")[:SIZE] == data.read_bytes(), "the partition does not hold the record"

        backing = tmp / "plain.bin"
        backing.write_bytes(b"\xff" * (16 << 20))
        best_plain = None
        for _ in range(3):
            t0 = time.perf_counter()
            subprocess.run(["dd", f"if={data}", f"of={backing}", "bs=1024", "conv=notrunc", "status=none"], check=True)
            t = time.perf_counter() - t0
            best_plain = t if best_plain is None else min(best_plain, t)

    mib = SIZE / (1 << 20)
    print(f"api_flash_write of 15 MiB: {reads / mib:.0f} reads, {erases / mib:.0f} erases, "
          f"{writes / mib:.0f} 1024-byte writes per MiB (needed with 64 KiB sectors: 16, 16, 1024) "
          f"{'EXACT' if (reads, erases, writes) == (240, 240, 15360) else 'MORE THAN NEEDED'}")
    print(f"time: {best_flash * 1000:.0f} ms through the flash module on the device models, "
          f"{best_plain * 1000:.0f} ms plain 1024-byte writes of the same bytes: {best_flash / best_plain:.1f}x")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build")
