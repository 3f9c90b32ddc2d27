"""Power cuts during a package installation on the virtual board: a package
[kernel, application] fetched by the TFTP rescue into slot 1, the power lost
after the Nth flash write (the device models kill the writer on the spot) or
at the Nth write of the slot file (strace kills the launcher as it issues
it); the next boot must bring up a good application, never one that failed
its checks.

    powercut.py BUILD_DIR [--sample]    the whole campaign (or a sample of it)
"""
import os
import pathlib
import shutil
import sys
import tempfile

import pexpect

if __name__ == "__main__" and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
    os.environ.setdefault("BUILD_DIR", os.path.abspath(sys.argv[1]))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from records import walk  # noqa: E402
from vb import LAUNCHER, VBoard, archive, in_board, pkgtool  # noqa: E402

NEW_VERSION = "6.0.0.9"
DIALOGUE = [("Option? : ", "T"), ("IP addr    :", "10.0.0.2\r"), ("Netmask    :", "255.255.255.0\r"),
            ("Gateway    :", "\r"), ("Server addr:", "10.0.0.1\r"), ("Image Filename: ", "pkg\r"),
            ("Install image as image 1 or 2 (hit return to just boot image): ", "1\r"), ("Option? : ", "R")]


def build_package(work):
    """[kernel of one sector, application of about 3.5 MiB]."""
    app = pathlib.Path(__file__).resolve().parents[2] / "vboard" / "runner" / "samples" / "app"
    files = {f"home/bin/{name}": ((app / name).read_text().replace("@VERSION@", NEW_VERSION), mode)
             for name, mode in [("mp.elf.strip", 0o755), ("install.sh", 0o755), ("env-setup", 0o644)]}
    (work / "app.tar.gz").write_bytes(archive({**files, "home/ballast": (os.urandom(3500 * 1024), 0o644)}))
    (work / "kernel.bin").write_bytes(b"new kernel\n" + os.urandom(40000))
    r = pkgtool("create", work / "pkg", f"kernel={work / 'kernel.bin'}@2.0.0.9", f"app={work / 'app.tar.gz'}@{NEW_VERSION}")
    assert r.returncode == 0, r.stderr
    return work / "pkg"


def install(board, cut_slot_at):
    """Boot 1: the TFTP rescue, the launcher killed by strace as it issues its
    Nth slot-file write when cut_slot_at is N; returns the exit status."""
    launcher, extra = LAUNCHER, []
    if cut_slot_at:
        launcher = board.path / "launcher.cut"
        launcher.write_text("#!/bin/sh\nexec strace -f -qq -o /dev/null -P /user/images/image1 -e trace=write "
                            f"-e inject=write:signal=KILL:when={cut_slot_at} {in_board(LAUNCHER)}\n")
        launcher.chmod(0o755)
        extra = ["--bind", f"{LAUNCHER}:{in_board(LAUNCHER)}"]
    child = board.spawn(launcher=launcher, extra=extra)
    child.timeout = 120
    for prompt, answer in DIALOGUE:
        if child.expect_exact([prompt, pexpect.EOF]) == 1:
            break
        child.send(answer)
    else:
        child.expect(pexpect.EOF)
    child.close()
    return child.exitstatus if child.exitstatus is not None else 128 + child.signalstatus


def trial(template, kind, n):
    """The installation cut at write n of kind (flash, slot; none: not cut),
    then the operator's boot with no rescue flag and no fault, which must
    bring up an application whose slot file is intact.  Returns the flash
    writes of the installation, the slot booted and its version."""
    board = VBoard(template.path.parent / f"{kind}-{n}")
    shutil.copytree(template.path, board.path)
    conf = board.path / "board.conf"
    clean = conf.read_text()
    conf.write_text(clean + f"fault.power_cut_after_writes = {n}\n" * (kind == "flash"))
    rc = install(board, n if kind == "slot" else None)
    assert rc == (4 if kind == "none" else 137), f"the installation ended with exit {rc}"
    writes = sum(1 for _, w, _ in board.trace(["mtd"]) if w[2] == "write")
    conf.write_text(clean)
    board.env("diagnostics=")
    rc, console = board.boot()
    booted = board.vpd(59)
    assert rc == 0 and booted in (1, 2), f"no application came up (exit {rc}, slot {booted}):\n{console}"
    slot = board.slot_path(booted)
    assert pkgtool("verify", slot).returncode == 0, f"launched slot {booted} fails its checks"
    version = ".".join(map(str, next(walk(slot.read_bytes()))[4].to_bytes(4, "big")))
    assert f"Sample application {version} done\n" in console, console
    shutil.rmtree(board.path)
    return writes, booted, version


def run(sample):
    """Returns (survived, tried, failures)."""
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        template = VBoard.create(work / "template", sets=[f"size.{p}=1048576" for p in ("kernel", "rfs", "rescue")])
        pkg = build_package(work)
        shutil.copy(pkg, template.path / "tftp" / "pkg")
        template.env("diagnostics=rescue")
        _, _, length, _, _, header = list(walk(pkg.read_bytes()))[1]
        slot_writes = (header + length + 0xFFFF) // 0x10000  # the slot file is written 64 KiB at a time
        flash_writes, booted, version = trial(template, "none", 0)
        assert version == NEW_VERSION, "an uninterrupted installation did not boot the new application"
        print(f"no cut: the installation ends in the reboot; next boot slot {booted} version {version}", flush=True)
        points = lambda total: sorted({1, total // 2, total}) if sample else range(1, total + 1)  # noqa: E731
        plan = [("flash", n) for n in points(flash_writes)] + [("slot", n) for n in points(slot_writes)]
        failures = []
        for kind, n in plan:
            try:
                _, booted, version = trial(template, kind, n)
                print(f"{kind:5s} cut at write {n:3d}: next boot slot {booted} version {version}", flush=True)
            except AssertionError as e:
                failures.append(f"{kind} write {n}: {e}")
                print(f"{kind:5s} cut at write {n:3d}: FAILED: {e}", flush=True)
        print(f"power cuts survived: {len(plan) - len(failures)} of {len(plan)} (every one of {flash_writes} flash "
              f"writes and {slot_writes} slot-file writes{', sampled' if sample else ''})")
        return len(plan) - len(failures), len(plan), failures


def test_the_board_always_comes_up_with_a_good_application():
    survived, tried, failures = run(sample=True)
    assert failures == [] and survived == tried >= 6


if __name__ == "__main__":
    sys.exit(1 if run("--sample" in sys.argv)[2] else 0)
