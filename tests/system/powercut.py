"""Power cuts at every flash write and slot-file write while the TFTP rescue installs [kernel,
application]: the next boot must bring up a good application.  powercut.py BUILD_DIR [--sample]"""
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


def trial(template, kind, n):
    """The rescue cut at write n of kind (flash: the models stop the writer; slot: strace kills the
    launcher as it writes; none: no cut), then a plain boot, which must bring up an application whose
    slot passes its checks.  Returns the installation's flash writes, the slot booted, its version."""
    board = VBoard(template.path.parent / f"{kind}-{n}")
    shutil.copytree(template.path, board.path)
    clean = (conf := board.path / "board.conf").read_text()
    conf.write_text(clean + f"fault.power_cut_after_writes = {n}\n" * (kind == "flash"))
    launcher, extra = LAUNCHER, []
    if kind == "slot":
        launcher, extra = board.path / "launcher.cut", ["--bind", f"{LAUNCHER}:{in_board(LAUNCHER)}"]
        launcher.write_text("#!/bin/sh\nexec strace -f -qq -o /dev/null -P /user/images/image1 -e trace=write "
                            f"-e inject=write:signal=KILL:when={n} {in_board(LAUNCHER)}\n")
        launcher.chmod(0o755)
    child = board.spawn(launcher=launcher, extra=extra)
    child.timeout = 120
    for prompt, answer in DIALOGUE:  # the cut may come at any prompt
        if child.expect_exact([prompt, pexpect.EOF]) == 1:
            break
        child.send(answer)
    child.expect(pexpect.EOF)
    child.close()
    rc = child.exitstatus if child.exitstatus is not None else 128 + child.signalstatus
    assert rc == (4 if kind == "none" else 137), f"the installation ended with exit {rc}"
    writes = sum(1 for _, w, _ in board.trace(["mtd"]) if w[2] == "write")
    conf.write_text(clean)
    board.env("diagnostics=")
    (rc, console), booted = board.boot(), board.vpd(59)
    assert rc == 0 and booted in (1, 2), f"no application came up (exit {rc}, slot {booted}):\n{console}"
    assert pkgtool("verify", slot := board.slot_path(booted)).returncode == 0, f"launched slot {booted} fails its checks"
    version = ".".join(map(str, next(walk(slot.read_bytes()))[4].to_bytes(4, "big")))
    assert f"Sample application {version} done\n" in console, console
    shutil.rmtree(board.path)
    return writes, booted, version


def run(sample):
    with tempfile.TemporaryDirectory() as name:
        work = pathlib.Path(name)
        template = VBoard.create(work / "template", sets=[f"size.{p}=1048576" for p in ("kernel", "rfs", "rescue")])
        # [kernel of one sector, application of about 3.5 MiB]
        app = pathlib.Path(__file__).resolve().parents[2] / "vboard" / "runner" / "samples" / "app"
        (work / "app.tar.gz").write_bytes(archive({"home/ballast": (os.urandom(3500 * 1024), 0o644), **{
            f"home/bin/{name}": ((app / name).read_text().replace("@VERSION@", NEW_VERSION), mode)
            for name, mode in [("mp.elf.strip", 0o755), ("install.sh", 0o755), ("env-setup", 0o644)]}}))
        (work / "kernel.bin").write_bytes(b"new kernel\n" + os.urandom(40000))
        r = pkgtool("create", pkg := template.path / "tftp" / "pkg", f"kernel={work / 'kernel.bin'}@2.0.0.9",
                    f"app={work / 'app.tar.gz'}@{NEW_VERSION}")
        assert r.returncode == 0, r.stderr
        template.env("diagnostics=rescue")
        _, _, length, _, _, header = list(walk(pkg.read_bytes()))[1]
        slot_writes = (header + length + 0xFFFF) // 0x10000  # the slot file is written 64 KiB at a time
        flash_writes, booted, version = trial(template, "none", 0)
        assert version == NEW_VERSION, "an uninterrupted installation did not boot the new application"
        print(f"no cut: the installation ends in the reboot; next boot slot {booted} version {version}", flush=True)
        points = lambda total: sorted({1, total // 2, total}) if sample else range(1, total + 1)  # noqa: E731
        plan, failures = [("flash", n) for n in points(flash_writes)] + [("slot", n) for n in points(slot_writes)], []
        for kind, n in plan:
            try:
                outcome = "next boot slot %d version %s" % trial(template, kind, n)[1:]
            except AssertionError as e:
                failures.append(f"{kind} write {n}: {e}")
                outcome = f"FAILED: {e}"
            print(f"{kind:5s} cut at write {n:3d}: {outcome}", flush=True)
        print(f"power cuts survived: {len(plan) - len(failures)} of {len(plan)} (every one of {flash_writes} flash "
              f"writes and {slot_writes} slot-file writes{', sampled' if sample else ''})")
        return len(plan), failures


def test_the_board_always_comes_up_with_a_good_application():
    tried, failures = run(sample=True)
    assert failures == [] and tried >= 6


if __name__ == "__main__":
    sys.exit(1 if run("--sample" in sys.argv)[1] else 0)
