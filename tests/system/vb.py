"""Whole boards: made by `vboard create`, booted by `vboard boot` with the
unmodified launcher of the build under test (board.py), console read back."""
import atexit
import functools
import io
import pathlib
import shutil
import subprocess
import tarfile
import tempfile

import pexpect

from board import BUILD_DIR, LAUNCHER, SAMPLES, Board, parse_trace

VBOARD = BUILD_DIR / "bin" / "vboard"
PKGTOOL = BUILD_DIR / "bin" / "pkgtool"


def in_board(program):  # where run_argv binds a program, read-only
    return f"/opt/tests/{pathlib.Path(program).name}"


def run_argv(board, command, programs=(), time=None, env=()):
    argv = [VBOARD, "run", board, "--launcher", LAUNCHER, *(["--time", time] if time else [])]
    argv += [word for e in env for word in ("--env", e)]
    argv += [word for p in programs for word in ("--bind", f"{p}:{in_board(p)}")]
    return [str(a) for a in [*argv, "--", *command]]


def boot_argv(board, *options, launcher=LAUNCHER):
    return [str(a) for a in [VBOARD, "boot", board, "--launcher", launcher, *options]]


def console_text(raw):  # the terminal's CR LF as the launcher's LF
    return raw.replace(b"\r\n", b"\n").decode(errors="replace")


def pkgtool(*args, wrap=()):
    """pkgtool ARGS, under the command line WRAP when one is given (strace,
    prlimit); a run that hangs fails its test, not the whole suite."""
    return subprocess.run([*map(str, wrap), str(PKGTOOL), *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def answer(child, dialogue):
    """Answers each (prompt, keys) of a dialogue on a pexpect child as its
    prompt comes (keys None: end of input); returns what the child wrote."""
    seen = b""
    for prompt, keys in dialogue:
        child.expect_exact(prompt)
        seen += child.before + child.after
        child.sendeof() if keys is None else child.send(keys)
    return seen


def sample(name): return (SAMPLES / name).read_bytes()


@functools.cache
def _template(sample, sets):
    # Boards of one configuration start alike: each is a copy of one made once.
    folder = pathlib.Path(tempfile.mkdtemp(prefix="vboard-template-"))
    atexit.register(shutil.rmtree, folder, True)
    argv = [VBOARD, "create", folder / "board", *(["--sample"] if sample else [])]
    subprocess.run([str(a) for a in argv + [w for s in sets for w in ("--set", s)]], check=True, capture_output=True)
    return folder / "board"


class VBoard:
    def __init__(self, path):
        self.path = pathlib.Path(path)

    @classmethod
    def create(cls, path, sample=True, sets=()):
        shutil.copytree(_template(sample, tuple(sets)), path, symlinks=True)
        return cls(path)

    set_conf, flash_path = Board.set_conf, Board.flash_path

    def env(self, *assignments):
        subprocess.run([str(VBOARD), "env", str(self.path), *assignments], check=True, capture_output=True)

    def slot_path(self, n):
        return self.path / "user" / "images" / f"image{n}"

    def write_slot(self, n, data):
        self.slot_path(n).write_bytes(data)

    def remove_slot(self, n):
        self.slot_path(n).unlink()

    def write_partition(self, part, data):  # as if flashed: the rest erased
        self.flash_path(part).write_bytes(data.ljust(self.flash_path(part).stat().st_size, b"\xff"))

    def vpd(self, offset):
        return (self.path / "vpd.bin").read_bytes()[offset]

    def set_vpd(self, offset, value):
        subprocess.run([str(VBOARD), "vpd", str(self.path), f"{offset}={value}"], check=True, capture_output=True)

    def boot(self, max_boots=1, time="fast", input=b"", timeout=120):  # no terminal: (status, console)
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
        return subprocess.run(run_argv(self.path, command, programs=programs, time=time, env=env),
                              capture_output=True, input=input, timeout=120)

    def trace(self, kinds=None):
        return parse_trace(self.path / "trace.log", kinds)

    def system_lines(self):
        return [rest[len("system "):] for _, words, rest in self.trace(["system"])]


def archive(files):
    """A gzip tar of {member: (data, mode)}, members relative to /tmp, where
    data "->T" makes a symbolic link to T and "=>T" a hard link to T."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, (data, mode) in sorted(files.items()):
            info = tarfile.TarInfo(name)
            info.mode = mode
            if isinstance(data, str) and data[:2] in ("->", "=>"):
                info.type = tarfile.SYMTYPE if data[0] == "-" else tarfile.LNKTYPE
                info.linkname, data = data[2:], b""
            data = data.encode() if isinstance(data, str) else data
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()
