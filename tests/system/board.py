"""A board directory with the device models preloaded (no namespace), for
module drivers, and its trace.  With VBOARD_PPC_BUILD naming the board's
build, the tests run the board's own programs (qemu-ppc, the PowerPC models
beside the PC ones): this is the one place that reads the switch."""
import os
import pathlib
import stat
import struct
import subprocess
import sysconfig
import zlib

BUILD_DIR = pathlib.Path(os.environ.get("BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
LIBVBOARD = BUILD_DIR / "lib" / "libvboard.so"
VBOARD_HW = BUILD_DIR / "bin" / "vboard-hw"

PPC_BUILD = os.environ.get("VBOARD_PPC_BUILD")
PPC_BUILD = PPC_BUILD and pathlib.Path(PPC_BUILD).resolve()
# Inside a board the board registers the emulator itself.
EMULATOR = ["qemu-ppc", "-L", "/usr/powerpc-linux-gnu"] if PPC_BUILD else []
# One preload path for both kinds of program: each loader completes $LIB its own way.
LIBS = {sysconfig.get_config_var("MULTIARCH"): LIBVBOARD,
        "powerpc-linux-gnu": PPC_BUILD / "lib" / "libvboard.so"} if PPC_BUILD else {}
TESTED_BUILD = PPC_BUILD or BUILD_DIR
LAUNCHER = TESTED_BUILD / "bin" / "launcher"
SAMPLES = TESTED_BUILD / "samples"


def driver(name):
    return TESTED_BUILD / "tests" / name


def outside_board(program): return [*EMULATOR, program]


MODULEDRV = outside_board(driver("moduledrv"))


def results(r):
    """moduledrv's result lines ("OP -> RESULT") on its standard error."""
    return [line for line in r.stderr.decode().splitlines() if " -> " in line]


def parse_trace(path, kinds=None):
    """The events after the last power-on as (usec, [words], text), those
    whose first word starts with one of `kinds`."""
    events = []
    for line in pathlib.Path(path).read_text(errors="replace").splitlines():
        usec, _, rest = line.partition(" ")
        words = rest.split()
        if words == ["power-on"]:
            events = []
        elif kinds is None or (words and any(words[0].startswith(k) for k in kinds)):
            events.append((int(usec), words, rest))
    return events


def make_hostile(path, kind, target):
    """Puts at `path` what is no slot file of its own: a link to `target` (a
    hard one beside `path`), a FIFO, an empty folder or /dev/zero's node."""
    {"symlink": lambda: path.symlink_to(target), "hardlink": lambda: os.link(path.parent / target, path),
     "fifo": lambda: os.mkfifo(path), "folder": path.mkdir,
     "device": lambda: os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 5))}[kind]()


class Board:
    # Small partitions keep each board quick to make.
    def __init__(self, path, conf=(), sizes=None, erase_size=65536):
        self.path = pathlib.Path(path)
        self.sizes = dict({"uboot": 524288, "ubootenv": 131072, "devicetree": 262144, "kernel": 4194304,
                           "rfs": 1048576, "rescue": 1048576}, **(sizes or {}))
        for sub in ["flash", "user/images", "tmp", "tftp"]:
            (self.path / sub).mkdir(parents=True, exist_ok=True)
        (self.path / "board.conf").write_text("".join(f"{line}\n" for line in [
            f"erase_size = {erase_size}", *(f"size.{p} = {n}" for p, n in self.sizes.items()), *conf]))
        for part, size in self.sizes.items():
            self.flash_path(part).write_bytes(b"\xff" * size)
        (self.path / "vpd.bin").write_bytes(b"\xff\x01" + b"\xff" * 254)
        (self.path / "cpld.bin").write_bytes(bytes(20) + b"\xa4" + bytes(3) + b"\x01" + bytes(231))
        (self.path / "trace.log").write_bytes(b"")
        for arch, lib in LIBS.items():
            (self.path / "preload" / "lib" / arch).mkdir(parents=True, exist_ok=True)
            (self.path / "preload" / "lib" / arch / "libvboard.so").symlink_to(lib)

    def set_conf(self, *lines):
        with open(self.path / "board.conf", "a") as f:
            f.write("".join(line + "\n" for line in lines))

    def flash_path(self, part):
        return self.path / "flash" / f"{part}.bin"

    def flash(self, part):
        return self.flash_path(part).read_bytes()

    def vpd(self):
        return (self.path / "vpd.bin").read_bytes()

    def set_vpd(self, offset, value):
        vpd = bytearray(self.vpd())
        vpd[offset] = value
        (self.path / "vpd.bin").write_bytes(bytes(vpd))

    def write_env(self, *variables, raw=None):
        """The U-Boot environment: CRC word, then name=value strings."""
        data = raw if raw is not None else b"".join(v.encode() + b"\0" for v in variables) + b"\0"
        area = data.ljust(self.sizes["ubootenv"] - 4, b"\xff")[: self.sizes["ubootenv"] - 4]
        self.flash_path("ubootenv").write_bytes(struct.pack(">I", zlib.crc32(area)) + area)

    def env(self):
        preload = self.path / "preload" / "$LIB" / "libvboard.so" if LIBS else LIBVBOARD
        return dict(os.environ, LD_PRELOAD=str(preload), VBOARD_DIR=str(self.path))

    def power_on(self):
        subprocess.run([str(VBOARD_HW), "power-on", str(self.path)], check=True, capture_output=True)

    def run(self, *argv, power_on=True, **kw):
        if power_on:
            self.power_on()
        r = subprocess.run([str(a) for a in argv], env=self.env(), capture_output=True, **kw)
        assert b"cannot be preloaded" not in r.stderr, r.stderr
        return r

    def hw(self, *ops):
        return self.run(*MODULEDRV, *ops)

    def trace(self, kinds=None):
        return [(usec, words) for usec, words, _ in parse_trace(self.path / "trace.log", kinds)]

    def trace_words(self, kinds=None):
        return [" ".join(w) for _, w in self.trace(kinds)]
