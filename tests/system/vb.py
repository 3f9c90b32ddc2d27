"""Whole-board scenarios: a board made by `vboard create`, booted by
`vboard boot` with the unmodified launcher (the board's own build with
VBOARD_PPC_BUILD, see board.py), its console read back."""
import os
import pathlib
import subprocess

import pexpect

from board import BUILD_DIR, LAUNCHER, SAMPLES, parse_trace

VBOARD = BUILD_DIR / "bin" / "vboard"
PKGTOOL = BUILD_DIR / "bin" / "pkgtool"

BOOT_EXIT = {"app": 0, "launcher-exit": 3, "rebooted": 4, "timeout": 124}


# A board sees nothing of the checkout: a program of the build that a test
# runs inside one is bound there, read-only, in this folder.
PROGRAMS_IN_BOARD = "/opt/tests"


def in_board(program):
    """Where run_argv shows a program of the build inside the board."""
    return f"{PROGRAMS_IN_BOARD}/{pathlib.Path(program).name}"


def run_argv(board, command, programs=(), time=None, env=()):
    """The `vboard run` command line of command on board, each path of
    programs bound at in_board(path)."""
    argv = [VBOARD, "run", board, "--launcher", LAUNCHER, *(["--time", time] if time else [])]
    argv += [word for e in env for word in ("--env", e)]
    argv += [word for p in programs for word in ("--bind", f"{p}:{in_board(p)}")]
    return [str(a) for a in [*argv, "--", *command]]


def boot_argv(board, *options, launcher=LAUNCHER):
    """The `vboard boot` command line of board with the launcher under test."""
    return [str(a) for a in [VBOARD, "boot", board, "--launcher", launcher, *options]]


def console_text(raw):
    """The console as the launcher wrote it: the terminal's CR LF back to LF."""
    return raw.replace(b"\r\n", b"\n").decode(errors="replace")


def sample(name):
    return (SAMPLES / name).read_bytes()


class VBoard:
    def __init__(self, path):
        self.path = pathlib.Path(path)

    @classmethod
    def create(cls, path, sample=True, sets=()):
        argv = [str(VBOARD), "create", str(path)]
        if sample:
            argv.append("--sample")
        for s in sets:
            argv += ["--set", s]
        subprocess.run(argv, check=True, capture_output=True)
        return cls(path)

    def vboard(self, *args, **kw):
        return subprocess.run([str(VBOARD), *map(str, args)], capture_output=True, **kw)

    def env(self, *assignments):
        self.vboard("env", self.path, *assignments, check=True)

    def slot_path(self, n):
        return self.path / "user" / "images" / f"image{n}"

    def write_slot(self, n, data):
        self.slot_path(n).write_bytes(data)

    def remove_slot(self, n):
        self.slot_path(n).unlink()

    def flash_path(self, part):
        return self.path / "flash" / f"{part}.bin"

    def write_partition(self, part, data):
        """Stores `data` from offset 0, the rest erased, as if flashed."""
        size = self.flash_path(part).stat().st_size
        self.flash_path(part).write_bytes(data + b"\xff" * (size - len(data)))

    def vpd(self, offset):
        return (self.path / "vpd.bin").read_bytes()[offset]

    def set_vpd(self, offset, value):
        self.vboard("vpd", self.path, f"{offset}={value}", check=True)

    def boot(self, max_boots=1, time="fast", input=b"", timeout=120):
        """Boots without a terminal; returns (exit status, console text)."""
        r = subprocess.run(boot_argv(self.path, "--max-boots", max_boots, "--time", time),
                           capture_output=True, input=input, timeout=timeout)
        return r.returncode, console_text(r.stdout)

    def spawn(self, max_boots=1, time="fast", extra=(), escape="none", launcher=LAUNCHER):
        """Boots on a pseudo-terminal, for dialogues key by key; the escape
        key is off unless one is given (None: vboard's own choice)."""
        argv = boot_argv(self.path, "--max-boots", max_boots, "--time", time,
                         *(["--escape", escape] if escape else []), *extra, launcher=launcher)
        return pexpect.spawn(argv[0], argv[1:], timeout=60)

    def run(self, *command, env=(), time="fast", input=b"", programs=()):
        return subprocess.run(run_argv(self.path, command, programs=programs, time=time, env=env), capture_output=True,
                              input=input, timeout=120)

    def trace(self, kinds=None):
        return parse_trace(self.path / "trace.log", kinds)

    def system_lines(self):
        return [rest[len("system "):] for _, words, rest in self.trace(["system"])]


def archive(files):
    """A gzip tar of {member: (text, mode)}, members relative to /tmp."""
    import io
    import tarfile
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, (text, mode) in sorted(files.items()):
            data = text.encode() if isinstance(text, str) else text
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = mode
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()
