"""Boots of a 64 MiB application record on the virtual board (fast time),
timed inside the board against `cp` of the same slot file in one run:

- the launcher's own part, read from strace's clock: from the open of the
  slot file to the close of the archive it wrote (read the record, check
  it, write the archive), on a record whose payload is not an archive;
- the whole run of the launcher on that record (tar gives up at once), and
  a whole boot of a real archive, start to application;

and the launcher's peak memory."""
import io
import os
import pathlib
import subprocess
import sys
import tarfile
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "system"))

SIZE = 64 << 20
RUNS = 7
INSIDE = r"""
import os, re, resource, subprocess, sys, time
IMAGES = "/user/images/"
def use(name):
    os.link(IMAGES + name, IMAGES + "next")
    os.replace(IMAGES + "next", IMAGES + "image1")
def timed(argv):
    t0 = time.monotonic()
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return time.monotonic() - t0, r.stdout.decode(errors="replace")
def own_part():
    subprocess.run(["strace", "-ttt", "-e", "trace=openat,close", "-o", "/tmp/strace", "/bin/launcher"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = open("/tmp/strace").read()
    start = float(re.search(r"^(\S+) openat\(.*\"/user/images/image1\"", log, re.M).group(1))
    fd = re.search(r"\"/tmp/quartzimage.tar.gz\".* = (\d+)$", log, re.M).group(1)
    end = float(re.search(r"^(\S+) close\(" + fd + r"\)", log[log.index("quartzimage"):], re.M).group(1))
    return end - start
subprocess.run(["cat", IMAGES + "noise", IMAGES + "app"], stdout=subprocess.DEVNULL)
use("noise")
# Side by side, so that every figure sees the same load.
own = run = cp = 1e9
for _ in range(RUNS):
    own = min(own, own_part())
    run = min(run, timed(["/bin/launcher"])[0])
    cp = min(cp, timed(["cp", IMAGES + "noise", "/tmp/copy"])[0])
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
use("app")
boot = min(timed(["/bin/launcher"])[0] for _ in range(3))
print(f"{own} {run} {cp} {boot} {peak}")
print(timed(["/bin/launcher"])[1], file=sys.stderr)
""".replace("RUNS", str(RUNS))


def app_archive(work):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", compresslevel=1) as tar:
        for name, data, mode in [("home/bin/mp.elf.strip", b"#!/bin/sh\necho big application up\n", 0o755),
                                 ("home/ballast", os.urandom(SIZE - 256 * 1024), 0o644)]:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = mode
            tar.addfile(info, io.BytesIO(data))
    path = work / "app.tar.gz"
    path.write_bytes(buf.getvalue())
    return path


def main(build):
    os.environ["BUILD_DIR"] = os.path.abspath(build)
    from vb import PKGTOOL, VBoard
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        board = VBoard.create(work / "board", sample=False)
        tarball = app_archive(work)
        noise = work / "noise"
        noise.write_bytes(os.urandom(tarball.stat().st_size))
        images = board.slot_path(1).parent
        for name, payload in [("noise", noise), ("app", tarball)]:
            subprocess.run([str(PKGTOOL), "create", str(images / name), f"app={payload}@9.9.9.9"], check=True)
        record = (images / "noise").stat().st_size
        r = board.run("/usr/bin/python3", "-c", INSIDE)
        if r.returncode != 0 or b"big application up" not in r.stderr:
            sys.exit(f"boot bench failed:\n{r.stdout.decode()}{r.stderr.decode()}")
        own, run, cp, boot, peak_kib = (float(v) for v in r.stdout.split())
    peak = peak_kib * 1024
    ms = lambda t: f"{t * 1000:.0f} ms"
    print(f"the launcher's own part (read, check, write the archive) of a {record / (1 << 20):.1f} MiB record: "
          f"{ms(own)}; cp of the slot file: {ms(cp)}; {own / cp:.2f}x (goal: within 2x) "
          f"{'MET' if own <= 2 * cp else 'MISSED'}")
    print(f"  the launcher's whole run on it, its commands included: {ms(run)} = {run / cp:.2f}x cp; "
          f"start to application on an archive of that size: {ms(boot)} = {boot / cp:.2f}x cp")
    extra = (peak - record) / (1 << 20)
    print(f"launcher peak memory: {peak / (1 << 20):.1f} MiB = the record + {extra:.1f} MiB "
          f"(goal: at most 4 MiB more) {'MET' if extra <= 4 else 'MISSED'}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build")
