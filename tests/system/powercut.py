"""Power cuts during a package installation on the virtual board.

A package [kernel, application] is fetched by the TFTP rescue and installed
into the selected slot, and the board loses power at one point of the
installation: after the Nth flash write (the device models kill the writer
on the spot), or at the Nth write of the slot file (strace kills the
launcher as the write is issued).  The board is then booted again and must
come up with a good application, never with an image that failed its
checks.

    powercut.py BUILD_DIR [--sample]    the whole campaign (or a sample of it)
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pexpect

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

NEW_VERSION = "6.0.0.9"
KERNEL_VERSION = "2.0.0.9"
SLOT_PIECE = 0x10000
DIALOGUE = [("Option? : ", "T"), ("IP addr    :", "10.0.0.2\r"), ("Netmask    :", "255.255.255.0\r"),
            ("Gateway    :", "\r"), ("Server addr:", "10.0.0.1\r"), ("Image Filename: ", "pkg\r"),
            ("Install image as image 1 or 2 (hit return to just boot image): ", "1\r"),
            ("Option? : ", "R")]
SMALL_PARTS = ["size.kernel=1048576", "size.rfs=1048576", "size.rescue=1048576"]


def build_package(work, build):
    """[kernel of one sector, application of about 3.5 MiB]."""
    from vb import archive
    pkgtool = str(pathlib.Path(build) / "bin" / "pkgtool")
    app_dir = pathlib.Path(__file__).resolve().parents[2] / "vboard" / "runner" / "samples" / "app"
    stamp = lambda name: (app_dir / name).read_text().replace("@VERSION@", NEW_VERSION)
    tarball = archive({"home/bin/mp.elf.strip": (stamp("mp.elf.strip"), 0o755),
                       "home/bin/install.sh": (stamp("install.sh"), 0o755),
                       "home/bin/env-setup": ((app_dir / "env-setup").read_text(), 0o644),
                       "home/ballast": (os.urandom(3500 * 1024), 0o644)})
    (work / "app.tar.gz").write_bytes(tarball)
    (work / "kernel.bin").write_bytes(b"new kernel\n" + os.urandom(40000))
    pkg = work / "pkg"
    subprocess.run([pkgtool, "create", str(pkg), f"kernel={work / 'kernel.bin'}@{KERNEL_VERSION}",
                    f"app={work / 'app.tar.gz'}@{NEW_VERSION}"], check=True)
    return pkg


class Campaign:
    def __init__(self, build, work):
        from vb import VBoard
        self.build = pathlib.Path(build)
        self.work = pathlib.Path(work)
        self.pkg = build_package(self.work, build)
        self.template = VBoard.create(self.work / "template", sets=SMALL_PARTS)
        shutil.copy(self.pkg, self.template.path / "tftp" / "pkg")
        from records import walk
        app = list(walk(self.pkg.read_bytes()))[1]
        app_record = app[5] + app[2]
        self.slot_writes = (app_record + SLOT_PIECE - 1) // SLOT_PIECE

    def fresh_board(self, name):
        from vb import VBoard
        path = self.work / name
        shutil.rmtree(path, ignore_errors=True)
        shutil.copytree(self.template.path, path)
        board = VBoard(path)
        board.env("diagnostics=rescue")
        return board

    def install(self, board, cut_slot_at=None):
        """Boot 1: the TFTP rescue, the launcher killed as it issues its Nth
        slot-file write when cut_slot_at is N; returns the exit status."""
        from vb import LAUNCHER, in_board
        if cut_slot_at:
            # strace runs the launcher, bound beside it.
            child = board.spawn(max_boots=1, launcher=self.slot_cutter(board, cut_slot_at),
                                extra=["--bind", f"{LAUNCHER}:{in_board(LAUNCHER)}"])
        else:
            child = board.spawn(max_boots=1)
        child.timeout = 120
        for expect, answer in DIALOGUE:
            if child.expect_exact([expect, pexpect.EOF]) == 1:
                break
            child.send(answer)
        else:
            child.expect(pexpect.EOF)
        child.close()
        return child.exitstatus if child.exitstatus is not None else 128 + child.signalstatus

    def slot_cutter(self, board, n):
        """A launcher that strace kills as it issues its Nth slot-file write."""
        from vb import LAUNCHER, in_board
        wrapper = board.path / "launcher.cut"
        wrapper.write_text("#!/bin/sh\nexec strace -f -qq -o /dev/null -P /user/images/image1 -e trace=write "
                           f"-e inject=write:signal=KILL:when={n} {in_board(LAUNCHER)}\n")
        wrapper.chmod(0o755)
        return wrapper

    def reboot_after_cut(self, board):
        """Boot 2, as the operator would: no rescue flag, no fault."""
        conf = board.path / "board.conf"
        conf.write_text("".join(l for l in conf.read_text().splitlines(True) if not l.startswith("fault.")))
        board.env("diagnostics=")
        return board.boot(max_boots=1)

    def check_boot(self, board, rc, console):
        """The board came up with an application whose slot file is intact."""
        from records import walk
        assert rc == 0, f"no application came up (exit {rc}):\n{console}"
        booted = board.vpd(59)
        assert booted in (1, 2), f"booted-image byte {booted}"
        data = board.slot_path(booted).read_bytes()
        verify = subprocess.run([str(self.build / "bin" / "pkgtool"), "verify", str(board.slot_path(booted))],
                                capture_output=True, text=True)
        assert verify.returncode == 0, f"launched slot {booted} fails its checks: {verify.stdout}"
        ident = next(walk(data))[4]
        version = ".".join(str(b) for b in ident.to_bytes(4, "big"))
        assert f"Sample application {version} done\n" in console, console
        return booted, version

    def trial(self, kind, n):
        board = self.fresh_board(f"{kind}-{n}")
        if kind == "flash":
            with open(board.path / "board.conf", "a") as conf:
                conf.write(f"fault.power_cut_after_writes = {n}\n")
            rc = self.install(board)
        elif kind == "slot":
            rc = self.install(board, cut_slot_at=n)
        else:
            rc = self.install(board)
        if kind == "none":
            assert rc == 4, f"the installation did not end in the operator's reboot (exit {rc})"
        else:
            assert rc == 137, f"{kind} write {n}: the power was not cut (exit {rc})"
        rc2, console = self.reboot_after_cut(board)
        booted, version = self.check_boot(board, rc2, console)
        shutil.rmtree(board.path)
        return rc, booted, version

    def count_flash_writes(self):
        board = self.fresh_board("count")
        self.install(board)
        writes = sum(1 for _, w, _ in board.trace(["mtd"]) if w[2] == "write")
        shutil.rmtree(board.path)
        return writes


def points(total, sample):
    if not sample:
        return list(range(1, total + 1))
    return sorted({1, total // 2, total})


def run(build, sample):
    """Returns (survived, tried, failures)."""
    with tempfile.TemporaryDirectory() as work:
        c = Campaign(build, work)
        rc, booted, version = c.trial("none", 0)
        assert version == NEW_VERSION, "an uninterrupted installation did not boot the new application"
        print(f"no cut: the installation ends in the reboot; next boot slot {booted} version {version}", flush=True)
        flash_total = c.count_flash_writes()
        plan = [("flash", n) for n in points(flash_total, sample)]
        plan += [("slot", n) for n in points(c.slot_writes, sample)]
        failures = []
        for kind, n in plan:
            try:
                rc, booted, version = c.trial(kind, n)
            except AssertionError as e:
                failures.append(f"{kind} write {n}: {e}")
                print(f"{kind:5s} cut at write {n:3d}: FAILED: {e}", flush=True)
                continue
            print(f"{kind:5s} cut at write {n:3d}: installer exit {rc}, next boot slot {booted} version {version}",
                  flush=True)
        survived = len(plan) - len(failures)
        print(f"power cuts survived: {survived} of {len(plan)} "
              f"(every one of {flash_total} flash writes and {c.slot_writes} slot-file writes"
              f"{', sampled' if sample else ''})")
        return survived, len(plan), failures


if __name__ == "__main__":
    os.environ.setdefault("BUILD_DIR", os.path.abspath(sys.argv[1]))
    survived, tried, failures = run(sys.argv[1], "--sample" in sys.argv)
    sys.exit(0 if not failures else 1)
