"""The board's device models driven through their real interfaces.

Every case builds a board directory by hand, powers it on with vboard-hw and
runs real tools (mtd-utils, i2c-tools, coreutils, the shell) or a short
Python driver with libvboard.so preloaded, then looks at what the tools
printed, at the backing files and at the trace.
"""
import os
import pathlib
import re
import signal
import subprocess
import textwrap

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
LIBVBOARD = BUILD_DIR / "lib" / "libvboard.so"
VBOARD_HW = BUILD_DIR / "bin" / "vboard-hw"
PYTHON = "/usr/bin/python3"

KIB = 1024
ERASE = 64 * KIB
# Small partitions keep each board cheap to build.
SIZES = {"uboot": 2 * ERASE, "ubootenv": 2 * ERASE, "devicetree": 4 * ERASE,
         "kernel": 8 * ERASE, "rfs": 16 * ERASE, "rescue": 8 * ERASE}
NODES = {name: f"/dev/mtd-{name}" for name in SIZES}

TRACE_LINE = re.compile(
    r"^\d+ ("
    r"power-on"
    r"|mtd /dev/mtd-[a-z]+ (erase|write) 0x[0-9a-f]+ \d+"
    r"|i2c[01] 0x[0-9a-f]{2} ("
    r"write( 0x[0-9a-f]{2})*( nak)?"
    r"|read \d+ (->( 0x[0-9a-f]{2})+|nak)"
    r"|smbus-write 0x[0-9a-f]{2} 0x[0-9a-f]{2}( nak)?"
    r"|smbus-read 0x[0-9a-f]{2} -> (0x[0-9a-f]{2}|nak)"
    r"|quick( nak)?)"
    r"|cpld (read 0x[0-9a-f]{2} -> 0x[0-9a-f]{2}|write 0x[0-9a-f]{2} 0x[0-9a-f]{2})"
    r"|sleep \d+"
    r'|system "([^"\\]|\\.)*"'
    r"|exec .+"
    r"|fault .+"
    r")$")


class Board:
    def __init__(self, path):
        self.path = path

    # -- building --------------------------------------------------------
    def create(self, conf):
        (self.path / "flash").mkdir(parents=True)
        (self.path / "board.conf").write_text(conf)
        for name, size in SIZES.items():
            (self.path / "flash" / f"{name}.bin").write_bytes(b"\xff" * size)
        vpd = bytearray(b"\xff" * 256)
        vpd[1] = 1
        (self.path / "vpd.bin").write_bytes(vpd)
        cpld = bytearray(256)
        cpld[20] = 0xA4
        cpld[24] = 0x01
        (self.path / "cpld.bin").write_bytes(cpld)
        self.power_on()

    def power_on(self):
        result = self.hw("power-on", str(self.path))
        assert result.returncode == 0, result.stderr

    def set_conf(self, text):
        (self.path / "board.conf").write_text(standard_conf() + text)

    # -- running ---------------------------------------------------------
    def env(self, preload=True):
        env = dict(os.environ)
        env["VBOARD_DIR"] = str(self.path)
        if preload:
            env["LD_PRELOAD"] = str(LIBVBOARD)
        return env

    def run(self, *cmd, check=False, stdin=None):
        result = subprocess.run([str(c) for c in cmd], env=self.env(), capture_output=True, text=True,
                                input=stdin, timeout=60)
        if check:
            assert result.returncode == 0, f"{cmd}: rc={result.returncode}\n{result.stdout}\n{result.stderr}"
        return result

    def py(self, script, check=True):
        """Runs a Python driver on the board; its stdout is returned."""
        prologue = "import os, re, fcntl, struct, errno, sys, ctypes, time, signal\n"
        result = self.run(PYTHON, "-c", prologue + textwrap.dedent(script), check=check)
        return result if not check else result.stdout

    def hw(self, *args):
        return subprocess.run([str(VBOARD_HW), *args], env=self.env(preload=False), capture_output=True,
                              text=True, timeout=60)

    # -- looking ---------------------------------------------------------
    def trace(self):
        text = (self.path / "trace.log").read_text()
        return text.splitlines()

    def events(self):
        """Trace lines without the clock."""
        return [line.split(" ", 1)[1] for line in self.trace()]

    def clear_trace(self):
        (self.path / "trace.log").write_text("")

    def flash(self, name):
        return (self.path / "flash" / f"{name}.bin").read_bytes()

    def vpd(self):
        return (self.path / "vpd.bin").read_bytes()

    def cpld(self):
        return (self.path / "cpld.bin").read_bytes()

    def now(self):
        result = self.hw("--board", str(self.path), "now")
        assert result.returncode == 0, result.stderr
        return int(result.stdout)


def standard_conf():
    lines = [f"size.{name} = {size}" for name, size in SIZES.items()]
    return "# test board\n" + "\n".join(lines) + "\n"


@pytest.fixture
def make_board(tmp_path):
    if not LIBVBOARD.exists() or not VBOARD_HW.exists():
        pytest.fail(f"{LIBVBOARD} and {VBOARD_HW} must be built")
    count = [0]

    def make(extra_conf="", conf=None):
        count[0] += 1
        board = Board(tmp_path / f"board{count[0]}")
        board.create(standard_conf() + extra_conf if conf is None else conf)
        return board
    return make


@pytest.fixture
def board(make_board):
    return make_board()


def pattern(n, seed=1):
    return bytes((i * 7 + seed * 13 + (i >> 8)) & 0xFF for i in range(n))


def write_file(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


# ---------------------------------------------------------------- MTD ----

class TestMtd:
    def test_info_reports_nor_geometry_from_conf(self, make_board):
        board = make_board(conf="erase_size = 0x20000\nsize.kernel = 1048576\n")
        out = board.run("mtd_debug", "info", "/dev/mtd-kernel", check=True).stdout
        assert "mtd.type = MTD_NORFLASH" in out
        assert "mtd.flags = MTD_CAP_NORFLASH" in out
        assert "mtd.size = 1048576 (1M)" in out
        assert "mtd.erasesize = 131072 (128K)" in out
        assert "mtd.writesize = 1" in out
        assert "regions = 0" in out

    def test_default_sizes_without_keys(self, make_board):
        board = make_board(conf="time = fast\n")
        for node, size in [("/dev/mtd-uboot", 524288), ("/dev/mtd-ubootenv", 131072),
                           ("/dev/mtd-devicetree", 262144), ("/dev/mtd-kernel", 4194304),
                           ("/dev/mtd-rfs", 16777216), ("/dev/mtd-rescue", 12582912)]:
            out = board.run("mtd_debug", "info", node, check=True).stdout
            assert f"mtd.size = {size} " in out, node
            assert "mtd.erasesize = 65536 " in out

    def test_erase_write_read_round_trip(self, board, tmp_path):
        data = pattern(3000)
        src = write_file(tmp_path, "src.bin", data)
        board.clear_trace()
        board.run("mtd_debug", "erase", "/dev/mtd-kernel", ERASE, ERASE, check=True)
        board.run("mtd_debug", "write", "/dev/mtd-kernel", ERASE + 16, len(data), src, check=True)
        out = tmp_path / "out.bin"
        board.run("mtd_debug", "read", "/dev/mtd-kernel", ERASE, 4096, out, check=True)
        back = out.read_bytes()
        assert back[:16] == b"\xff" * 16
        assert back[16:16 + len(data)] == data
        assert back[16 + len(data):] == b"\xff" * (4096 - 16 - len(data))
        assert board.flash("kernel")[ERASE + 16:ERASE + 16 + len(data)] == data
        assert board.events() == ["mtd /dev/mtd-kernel erase 0x10000 65536",
                                  "mtd /dev/mtd-kernel write 0x10010 3000"]

    def test_erase_sets_bytes_to_ff(self, board):
        (board.path / "flash" / "rfs.bin").write_bytes(bytes(SIZES["rfs"]))
        board.run("mtd_debug", "erase", "/dev/mtd-rfs", 2 * ERASE, 2 * ERASE, check=True)
        flash = board.flash("rfs")
        assert flash[:2 * ERASE] == bytes(2 * ERASE)
        assert flash[2 * ERASE:4 * ERASE] == b"\xff" * (2 * ERASE)
        assert flash[4 * ERASE:] == bytes(SIZES["rfs"] - 4 * ERASE)

    def test_programming_over_unerased_bytes_ands_and_is_a_fault(self, board, tmp_path):
        first = write_file(tmp_path, "a.bin", bytes([0xF0, 0x3C, 0xFF, 0x00] * 4))
        second = write_file(tmp_path, "b.bin", bytes([0x0F, 0xFF, 0x81, 0xFF] * 4))
        board.run("mtd_debug", "write", "/dev/mtd-rfs", 0x100, 16, first, check=True)
        board.run("mtd_debug", "write", "/dev/mtd-rfs", 0x100, 16, second, check=True)
        assert board.flash("rfs")[0x100:0x110] == bytes([0x00, 0x3C, 0x81, 0x00] * 4)
        events = board.events()
        assert events[-3:] == ["mtd /dev/mtd-rfs write 0x100 16",
                               "mtd /dev/mtd-rfs write 0x100 16",
                               "fault not-erased /dev/mtd-rfs 0x100 16"]
        # After an erase the same write is clean again.
        board.run("mtd_debug", "erase", "/dev/mtd-rfs", 0, ERASE, check=True)
        board.run("mtd_debug", "write", "/dev/mtd-rfs", 0x100, 16, second, check=True)
        assert board.flash("rfs")[0x100:0x110] == bytes([0x0F, 0xFF, 0x81, 0xFF] * 4)
        assert not board.events()[-1].startswith("fault")

    @pytest.mark.parametrize("offset,length", [(100, ERASE), (0, 100), (ERASE, ERASE + 1),
                                               (7 * ERASE, 2 * ERASE), (8 * ERASE, ERASE)])
    def test_erase_outside_blocks_or_partition_is_refused(self, board, offset, length):
        (board.path / "flash" / "kernel.bin").write_bytes(bytes(SIZES["kernel"]))
        board.clear_trace()
        result = board.run("mtd_debug", "erase", "/dev/mtd-kernel", offset, length)
        assert result.returncode != 0
        assert "Invalid argument" in result.stderr
        assert board.flash("kernel") == bytes(SIZES["kernel"])
        assert board.events() == []

    def test_short_backing_file_reads_erased_and_grows_erased(self, board):
        (board.path / "flash" / "rescue.bin").write_bytes(b"\x11" * 100)
        out = board.py("""
            fd = os.open('/dev/mtd-rescue', os.O_RDWR)
            print(os.pread(fd, 8, 96).hex())
            print(os.pread(fd, 4, 5000).hex())
            os.pwrite(fd, b'\\x00\\x01', 3000)
        """)
        assert out.split() == ["11111111ffffffff", "ffffffff"]
        flash = board.flash("rescue")
        assert flash[:100] == b"\x11" * 100
        assert flash[100:3000] == b"\xff" * 2900
        assert flash[3000:3002] == b"\x00\x01"

    def test_partition_end(self, board):
        size = SIZES["uboot"]
        out = board.py(f"""
            fd = os.open('/dev/mtd-uboot', os.O_RDWR)
            print(len(os.pread(fd, 100, {size} - 10)), len(os.pread(fd, 100, {size})))
            print(os.lseek(fd, 0, os.SEEK_END))
            print(len(os.read(fd, 10)))
            for where in ({size},):
                try:
                    os.pwrite(fd, b'x', where)
                except OSError as e:
                    print(errno.errorcode[e.errno])
            print(os.pwrite(fd, b'\\x00' * 20, {size} - 5))
            try:
                os.lseek(fd, {size} + 1, os.SEEK_SET)
            except OSError as e:
                print(errno.errorcode[e.errno])
        """)
        assert out.split() == ["10", "0", str(size), "0", "ENOSPC", "5", "EINVAL"]
        assert board.flash("uboot")[-5:] == bytes(5)

    def test_read_write_at_file_position(self, board):
        (board.path / "flash" / "ubootenv.bin").write_bytes(pattern(SIZES["ubootenv"]))
        out = board.py("""
            fd = os.open('/dev/mtd-ubootenv', os.O_RDWR)
            a = os.read(fd, 4)
            b = os.read(fd, 4)
            print(a.hex(), b.hex(), os.lseek(fd, 0, os.SEEK_CUR))
            os.lseek(fd, 0x10000, os.SEEK_SET)
            os.write(fd, b'\\x00\\x00')
            print(os.lseek(fd, 0, os.SEEK_CUR))
        """)
        p = pattern(8)
        assert out.split() == [p[:4].hex(), p[4:8].hex(), "8", str(0x10002)]

    def test_duplicates_share_the_position(self, board):
        (board.path / "flash" / "kernel.bin").write_bytes(pattern(SIZES["kernel"]))
        out = board.py("""
            fd = os.open('/dev/mtd-kernel', os.O_RDONLY)
            fd2 = os.dup(fd)
            fd3 = fcntl.fcntl(fd, fcntl.F_DUPFD, 50)
            os.read(fd, 10)
            os.close(fd)
            print(os.read(fd2, 4).hex(), os.read(fd3, 4).hex())
            buf = bytearray(32)
            fcntl.ioctl(fd3, 0x80204d01, buf)
            print(struct.unpack_from('<I', buf, 8)[0])
        """)
        p = pattern(20)
        assert out.split() == [p[10:14].hex(), p[14:18].hex(), str(SIZES["kernel"])]

    def test_open_flags_are_kept(self, board):
        out = board.py("""
            for flags in (os.O_RDWR | os.O_SYNC, os.O_RDWR):
                fd = os.open('/dev/mtd-rescue', flags)
                info = open('/proc/self/fdinfo/%d' % fd).read()
                mode = int(re.search(r'flags:\\s+([0-7]+)', info).group(1), 8)
                print(bool(mode & os.O_SYNC))
        """)
        assert out.split() == ["True", "False"]

    def test_read_only_descriptor_cannot_write_or_erase(self, board):
        out = board.py("""
            fd = os.open('/dev/mtd-kernel', os.O_RDONLY)
            for op in (lambda: os.write(fd, b'x'),
                       lambda: fcntl.ioctl(fd, 0x40084d02, struct.pack('<II', 0, 65536))):
                try:
                    op()
                except OSError as e:
                    print(errno.errorcode[e.errno])
        """)
        assert out.split() == ["EBADF", "EBADF"]

    def test_flashcp_programs_and_verifies(self, board, tmp_path):
        data = pattern(150000, seed=3)
        src = write_file(tmp_path, "image.bin", data)
        board.clear_trace()
        result = board.run("flashcp", "-v", src, "/dev/mtd-devicetree", check=True)
        assert "Verifying data" in result.stdout
        assert board.flash("devicetree")[:len(data)] == data
        events = board.events()
        assert events[:3] == [f"mtd /dev/mtd-devicetree erase 0x{i * ERASE:x} {ERASE}" for i in range(3)]
        writes = [e for e in events if " write " in e]
        assert sum(int(e.split()[-1]) for e in writes) == len(data)
        assert not any(e.startswith("fault") for e in events)

    def test_flash_erase_erases_whole_partition(self, board):
        (board.path / "flash" / "devicetree.bin").write_bytes(bytes(SIZES["devicetree"]))
        board.run("flash_erase", "/dev/mtd-devicetree", "0", "0", check=True)
        assert board.flash("devicetree") == b"\xff" * SIZES["devicetree"]

    def test_proc_mtd_lists_partitions(self, board):
        out = board.py("print(open('/proc/mtd').read(), end='')")
        lines = out.splitlines()
        assert lines[0] == "dev:    size   erasesize  name"
        assert lines[4] == f'mtd3: {SIZES["kernel"]:08x} {ERASE:08x} "kernel"'
        assert len(lines) == 7

    def test_every_spelling_of_an_entry_point_reaches_the_partition(self, board, tmp_path):
        # The 64 ones of large files, the fortified ones, those of older C libraries.
        (board.path / "flash" / "kernel.bin").write_bytes(pattern(SIZES["kernel"]))
        out = board.py(f"""
            libc, L, S = ctypes.CDLL(None), ctypes.c_long, ctypes.c_size_t
            libc.lseek.restype = libc.lseek64.restype = L
            buf, st = ctypes.create_string_buffer(2), ctypes.create_string_buffer(256)
            node, dfd = b'/dev/mtd-kernel', os.open('/', 0)
            os.umask(0)
            for name, dirfd in [('open', ()), ('open64', ()), ('openat', (dfd,)), ('openat64', (dfd,))]:
                made = getattr(libc, name)(*dirfd, f'{tmp_path}/{{name}}'.encode(), os.O_CREAT | os.O_WRONLY, 0o604)
                fd = getattr(libc, name)(*dirfd, node, os.O_RDONLY)
                print(name, os.pread(fd, 2, 16).hex(), oct(os.fstat(made).st_mode & 0o777))
            for name, dirfd in [('__open_2', ()), ('__open64_2', ()), ('__openat_2', (dfd,)), ('__openat64_2', (dfd,))]:
                print(name, os.pread(getattr(libc, name)(*dirfd, node, os.O_RDONLY), 2, 16).hex())
            fd = os.open(node, os.O_RDWR)
            for name, more in [('read', ()), ('__read_chk', (S(2),)), ('pread', (L(32),)), ('pread64', (L(34),)),
                               ('__pread_chk', (L(36), S(2))), ('__pread64_chk', (L(38), S(2)))]:
                print(name, getattr(libc, name)(fd, buf, S(2), *more), buf.raw.hex())
            for name, args in [('pwrite', (b'\\0', S(1), L(40))), ('pwrite64', (b'\\0', S(1), L(41))),
                               ('lseek', (L(0), 2)), ('lseek64', (L(0), 2)), ('fcntl', (0, 50)), ('fcntl64', (0, 50))]:
                print(name, getattr(libc, name)(fd, *args))
            print('dup', os.pread(50, 2, 40).hex(), *(os.major(os.fstat(d).st_rdev) for d in (50, 51)))
            for name, args in [('stat', (node,)), ('stat64', (node,)), ('lstat', (node,)), ('lstat64', (node,)),
                               ('__xstat', (1, node)), ('__xstat64', (1, node)), ('__lxstat', (1, node)),
                               ('__lxstat64', (1, node)), ('fstat', (fd,)), ('fstat64', (fd,)), ('__fxstat', (1, fd)),
                               ('__fxstat64', (1, fd)), ('fstatat', (dfd, node)), ('fstatat64', (fd, b''))]:
                ctypes.memset(st, 0, 256)
                flags = (0x1000 if args[-1] == b'' else 0,) if name.startswith('fstatat') else ()
                r = getattr(libc, name)(*args, st, *flags)
                rdev = struct.unpack_from('Q', st.raw, 40)[0]
                print(name, r, os.major(rdev), os.minor(rdev))
        """).splitlines()
        p, size = pattern(42), SIZES["kernel"]
        at16 = p[16:18].hex()
        assert out == ([f"{name} {at16} 0o604" for name in ("open", "open64", "openat", "openat64")] +
                       [f"{name} {at16}" for name in ("__open_2", "__open64_2", "__openat_2", "__openat64_2")] +
                       [f"{name} 2 {p[at:at + 2].hex()}" for name, at in [("read", 0), ("__read_chk", 2), ("pread", 32),
                                                                         ("pread64", 34), ("__pread_chk", 36),
                                                                         ("__pread64_chk", 38)]] +
                       ["pwrite 1", "pwrite64 1", f"lseek {size}", f"lseek64 {size}", "fcntl 50", "fcntl64 51",
                        "dup 0000 90 90"] +
                       [f"{name} 0 90 6" for name in ("stat", "stat64", "lstat", "lstat64", "__xstat", "__xstat64",
                                                     "__lxstat", "__lxstat64", "fstat", "fstat64", "__fxstat",
                                                     "__fxstat64", "fstatat", "fstatat64")])

    def test_nodes_look_like_mtd_character_devices(self, board):
        out = board.py("""
            import stat
            st = os.stat('/dev/mtd-rfs')
            print(stat.S_ISCHR(st.st_mode), os.major(st.st_rdev), os.minor(st.st_rdev))
        """)
        assert out.split() == ["True", "90", "8"]


# ------------------------------------------------------------- faults ----

class TestFaults:
    def test_mtd_probe_fails(self, make_board):
        board = make_board("fault.mtd_probe = fail\n")
        result = board.run("mtd_debug", "info", "/dev/mtd-kernel")
        assert "MEMGETINFO: Input/output error" in result.stderr
        assert "mtd.size" not in result.stdout
        assert board.events()[-1] == "fault mtd_probe /dev/mtd-kernel"
        # The partitions still open, read and write: only the probe fails.
        board.run("mtd_debug", "erase", "/dev/mtd-kernel", 0, ERASE, check=True)

    def test_nth_erase_fails_across_processes_and_partitions(self, make_board):
        board = make_board("fault.mtd_erase_fail_at = 2\n")
        for name in ("kernel", "rfs"):
            (board.path / "flash" / f"{name}.bin").write_bytes(bytes(SIZES[name]))
        results = [board.run("mtd_debug", "erase", "/dev/mtd-kernel", 0, ERASE),
                   board.run("mtd_debug", "erase", "/dev/mtd-rfs", ERASE, ERASE),
                   board.run("mtd_debug", "erase", "/dev/mtd-rfs", 0, ERASE)]
        assert [r.returncode for r in results] == [0, 1, 0]
        assert "Input/output error" in results[1].stderr
        assert board.flash("kernel")[:ERASE] == b"\xff" * ERASE
        rfs = board.flash("rfs")
        assert rfs[:ERASE] == b"\xff" * ERASE
        assert rfs[ERASE:2 * ERASE] == bytes(ERASE)
        assert "fault mtd_erase_fail_at /dev/mtd-rfs 0x10000 65536" in board.events()

    def test_nth_write_fails(self, make_board, tmp_path):
        board = make_board("fault.mtd_write_fail_at = 3\n")
        src = write_file(tmp_path, "one.bin", b"\x00" * 8)
        rcs = [board.run("mtd_debug", "write", "/dev/mtd-ubootenv", i * 8, 8, src).returncode
               for i in range(4)]
        assert rcs == [0, 0, 1, 0]
        env = board.flash("ubootenv")
        assert env[:16] == bytes(16)
        assert env[16:24] == b"\xff" * 8
        assert env[24:32] == bytes(8)
        assert "fault mtd_write_fail_at /dev/mtd-ubootenv 0x10 8" in board.events()

    def test_power_cut_kills_right_after_nth_write(self, make_board):
        board = make_board("fault.power_cut_after_writes = 3\n")
        result = board.py("""
            fd = os.open('/dev/mtd-rfs', os.O_RDWR | os.O_SYNC)
            for i in range(6):
                os.pwrite(fd, bytes([i]) * 1024, i * 1024)
                print('wrote', i, flush=True)
        """, check=False)
        assert result.returncode == -signal.SIGKILL
        assert result.stdout.split("\n")[:-1] == ["wrote 0", "wrote 1"]
        rfs = board.flash("rfs")
        for i in range(3):
            assert rfs[i * 1024:(i + 1) * 1024] == bytes([i]) * 1024
        assert rfs[3 * 1024:6 * 1024] == b"\xff" * 3072
        assert board.events()[-2:] == ["mtd /dev/mtd-rfs write 0x800 1024", "fault power-cut"]

    def test_power_on_restarts_the_counters(self, make_board, tmp_path):
        board = make_board("fault.mtd_erase_fail_at = 1\n")
        assert board.run("mtd_debug", "erase", "/dev/mtd-kernel", 0, ERASE).returncode == 1
        assert board.run("mtd_debug", "erase", "/dev/mtd-kernel", 0, ERASE).returncode == 0
        board.power_on()
        assert board.run("mtd_debug", "erase", "/dev/mtd-kernel", 0, ERASE).returncode == 1

    def test_missing_nodes(self, make_board):
        board = make_board("fault.missing = /dev/i2c-0, /dev/mtd-rescue,/dev/mtd-user-char\n")
        result = board.run("i2cget", "-y", "0", "0x70")
        assert result.returncode != 0
        assert "No such file or directory" in result.stderr
        assert board.run("mtd_debug", "info", "/dev/mtd-rescue").returncode != 0
        board.run("mtd_debug", "info", "/dev/mtd-kernel", check=True)
        out = board.py("""
            for path in ('/dev/mtd-user-char', '/dev/i2c-0', '/dev/i2c-1', '/dev/mtd-rescue'):
                try:
                    os.close(os.open(path, os.O_RDWR))
                    print(path, 'opened', os.path.exists(path))
                except OSError as e:
                    print(path, errno.errorcode[e.errno], os.path.exists(path))
        """)
        assert out.splitlines() == ["/dev/mtd-user-char ENOENT False", "/dev/i2c-0 ENOENT False",
                                    "/dev/i2c-1 opened True", "/dev/mtd-rescue ENOENT False"]
        assert "fault missing /dev/mtd-user-char" in board.events()

    def test_nak_fault_silences_a_device(self, make_board):
        board = make_board("fault.i2c_nak = 0x4f, 112\n")
        assert board.run("i2cset", "-y", "0", "0x4f", "0x87", "0x55", "b").returncode != 0
        assert board.run("i2cset", "-y", "0", "0x70", "0x08").returncode != 0
        assert board.events()[-2:] == ["i2c0 0x4f smbus-write 0x87 0x55 nak", "i2c0 0x70 write 0x08 nak"]


# ---------------------------------------------------------------- I2C ----

def detected(output):
    """Addresses that answered in an i2cdetect grid."""
    found = []
    for line in output.splitlines()[1:]:
        row, cells = line.split(":", 1)
        for i, cell in enumerate([cells[j:j + 3].strip() for j in range(1, len(cells), 3)]):
            if cell not in ("--", ""):
                found.append(int(row, 16) + i)
    return found


def open_gate(board):
    cpld = bytearray(board.cpld())
    cpld[20] |= 1
    (board.path / "cpld.bin").write_bytes(cpld)


class TestI2c:
    def test_mux_channel_is_board_state(self, board):
        board.clear_trace()
        board.run("i2cset", "-y", "0", "0x70", "0x08", check=True)
        assert board.run("i2cget", "-y", "0", "0x70", check=True).stdout.strip() == "0x08"
        board.run("i2cset", "-y", "0", "0x70", "0x00", check=True)
        assert board.run("i2cget", "-y", "0", "0x70", check=True).stdout.strip() == "0x00"
        assert board.events() == ["i2c0 0x70 write 0x08", "i2c0 0x70 read 1 -> 0x08",
                                  "i2c0 0x70 write 0x00", "i2c0 0x70 read 1 -> 0x00"]

    @pytest.mark.parametrize("channel,gate,answers", [
        (0x08, True, True), (0x08, False, False), (0x00, True, False), (0x04, True, False),
        (0x0C, True, True)])
    def test_eeprom_answers_only_behind_channel_3_with_cpld_access(self, board, channel, gate, answers):
        if gate:
            open_gate(board)
        board.run("i2cset", "-y", "0", "0x70", hex(channel), check=True)
        board.clear_trace()
        result = board.run("i2cget", "-y", "0", "0x54", "0x01", "b")
        if answers:
            assert result.returncode == 0
            assert result.stdout.strip() == "0x01"
            assert board.events() == ["i2c0 0x54 smbus-read 0x01 -> 0x01"]
        else:
            assert result.returncode != 0
            assert board.events() == ["i2c0 0x54 smbus-read 0x01 -> nak"]

    def test_eeprom_byte_data_write_lands_in_vpd(self, board):
        open_gate(board)
        board.run("i2cset", "-y", "0", "0x70", "0x08", check=True)
        board.run("i2cset", "-y", "0", "0x54", "0x3b", "0x04", "b", check=True)
        board.run("i2cset", "-y", "0", "0x54", "0x01", "0x02", "b", check=True)
        vpd = board.vpd()
        assert (vpd[1], vpd[0x3B]) == (2, 4)
        assert vpd[2:0x3B] == b"\xff" * (0x3B - 2)
        assert board.run("i2cget", "-y", "0", "0x54", "0x3b", "b", check=True).stdout.strip() == "0x04"
        board.run("i2cset", "-y", "0", "0x70", "0x00", check=True)
        assert board.run("i2cset", "-y", "0", "0x54", "0x01", "0x01", "b").returncode != 0
        assert board.vpd()[1] == 2
        assert board.events()[-1] == "i2c0 0x54 smbus-write 0x01 0x01 nak"

    def test_eeprom_plain_transfers_use_the_address_pointer(self, board):
        vpd = bytearray(pattern(256, seed=5))
        (board.path / "vpd.bin").write_bytes(vpd)
        open_gate(board)
        out = board.py("""
            I2C_SLAVE = 0x0703
            fd = os.open('/dev/i2c-0', os.O_RDWR)
            fcntl.ioctl(fd, I2C_SLAVE, 0x70)
            os.write(fd, b'\\x08')
            fcntl.ioctl(fd, I2C_SLAVE, 0x54)
            os.write(fd, b'\\x10')
            print(os.read(fd, 4).hex(), os.read(fd, 2).hex())
            os.write(fd, b'\\xfe\\xaa\\xbb\\xcc')
            os.write(fd, b'\\xfe')
            print(os.read(fd, 3).hex())
        """)
        assert out.split() == [vpd[0x10:0x14].hex(), vpd[0x14:0x16].hex(), "aabbcc"]
        back = board.vpd()
        assert back[0xFE:] == b"\xaa\xbb" and back[0] == 0xCC
        assert back[1:0xFE] == vpd[1:0xFE]
        assert "i2c0 0x54 write 0xfe 0xaa 0xbb 0xcc" in board.events()
        assert f"i2c0 0x54 read 4 -> {' '.join(f'0x{b:02x}' for b in vpd[0x10:0x14])}" in board.events()

    def test_summit_registers_are_board_state(self, board):
        board.run("i2cset", "-y", "0", "0x4f", "0x87", "0x55", "b", check=True)
        assert board.run("i2cget", "-y", "0", "0x4f", "0x87", "b", check=True).stdout.strip() == "0x55"
        assert board.run("i2cget", "-y", "0", "0x4f", "0x86", "b", check=True).stdout.strip() == "0x00"
        assert "i2c0 0x4f smbus-write 0x87 0x55" in board.events()

    def test_i2cdetect_sees_the_board(self, board):
        closed = board.run("i2cdetect", "-y", "0", check=True).stdout
        assert detected(closed) == [0x4F, 0x70]
        open_gate(board)
        board.run("i2cset", "-y", "0", "0x70", "0x08", check=True)
        opened = board.run("i2cdetect", "-y", "0", check=True).stdout
        assert detected(opened) == [0x4F, 0x54, 0x70]
        assert detected(board.run("i2cdetect", "-y", "1", check=True).stdout) == []
        assert "i2c0 0x20 quick nak" in board.events()
        assert "i2c1 0x70 quick nak" in board.events()

    def test_adapter_functions(self, board):
        out = board.run("i2cdetect", "-F", "0", check=True).stdout
        functions = dict(line.rsplit(None, 1) for line in out.splitlines()[1:])
        for name in ("I2C", "SMBus Quick Command", "SMBus Send Byte", "SMBus Receive Byte",
                     "SMBus Write Byte", "SMBus Read Byte"):
            assert functions[name] == "yes", name

    def test_address_selection_is_per_descriptor(self, board):
        out = board.py("""
            I2C_SLAVE, I2C_SMBUS = 0x0703, 0x0720
            a = os.open('/dev/i2c-0', os.O_RDWR)
            b = os.open('/dev/i2c-0', os.O_RDWR)
            fcntl.ioctl(a, I2C_SLAVE, 0x70)
            fcntl.ioctl(b, I2C_SLAVE, 0x4f)
            os.write(a, b'\\x02')
            os.write(b, b'\\x10\\x99')
            print(os.read(a, 1).hex())
            try:
                fcntl.ioctl(a, I2C_SLAVE, 0x80)
            except OSError as e:
                print(errno.errorcode[e.errno])
            c = os.open('/dev/i2c-1', os.O_RDWR)
            fcntl.ioctl(c, I2C_SLAVE, 0x70)
            try:
                os.write(c, b'\\x08')
            except OSError as e:
                print(errno.errorcode[e.errno])
        """)
        assert out.split() == ["02", "EINVAL", "ENXIO"]
        assert board.run("i2cget", "-y", "0", "0x4f", "0x10", "b", check=True).stdout.strip() == "0x99"
        assert board.events()[-2:] == ["i2c1 0x70 write 0x08 nak", "i2c0 0x4f smbus-read 0x10 -> 0x99"]

    def test_combined_transfer(self, board):
        vpd = pattern(256, seed=9)
        (board.path / "vpd.bin").write_bytes(vpd)
        open_gate(board)
        board.run("i2cset", "-y", "0", "0x70", "0x08", check=True)
        out = board.run("i2ctransfer", "-y", "0", "w1@0x54", "0x20", "r3", check=True).stdout
        assert out.split() == [f"0x{b:02x}" for b in vpd[0x20:0x23]]


# --------------------------------------------------------------- CPLD ----

def poll_status(board, polls, write_control=True, seek_each=True):
    """Writes the control register, then reads the status register polls times."""
    out = board.py(f"""
        fd = os.open('/dev/norvik/cpld_mmmap', os.O_RDWR)
        if {write_control}:
            os.lseek(fd, 20, os.SEEK_SET)
            c = os.read(fd, 1)[0]
            os.lseek(fd, 20, os.SEEK_SET)
            os.write(fd, bytes([c | 1]))
        os.lseek(fd, 24, os.SEEK_SET)
        values = []
        for i in range({polls}):
            if {seek_each}:
                os.lseek(fd, 24, os.SEEK_SET)
            values.append(os.read(fd, 1)[0])
        print(' '.join('%02x' % v for v in values))
    """)
    return out.split()


class TestCpld:
    def test_control_write_and_trace(self, board):
        board.clear_trace()
        assert poll_status(board, 1) == ["01"]
        assert board.cpld()[20] == 0xA5
        assert board.events() == ["cpld read 0x14 -> 0xa4", "cpld write 0x14 0xa5", "cpld read 0x18 -> 0x01"]

    def test_status_ready_after_n_polls(self, make_board):
        board = make_board("fault.cpld_ready = 3\n")
        assert poll_status(board, 6) == ["00", "00", "00", "01", "01", "01"]
        # Another change of the control bit starts over.
        assert poll_status(board, 5) == ["00", "00", "00", "01", "01"]

    def test_status_polls_count_across_processes(self, make_board):
        board = make_board("fault.cpld_ready = 2\n")
        assert poll_status(board, 1) == ["00"]
        assert poll_status(board, 3, write_control=False) == ["00", "01", "01"]

    def test_status_never_ready(self, make_board):
        board = make_board("fault.cpld_ready = never\n")
        assert poll_status(board, 1, write_control=False) == ["01"]
        assert poll_status(board, 40) == ["00"] * 40

    def test_position_advances_like_a_file(self, board):
        out = board.py("""
            fd = os.open('/dev/norvik/cpld_mmmap', os.O_RDWR)
            os.lseek(fd, 20, os.SEEK_SET)
            print(os.read(fd, 1).hex(), os.lseek(fd, 0, os.SEEK_CUR))
            print(os.read(fd, 1).hex(), os.lseek(fd, 0, os.SEEK_CUR))
            os.lseek(fd, 2, os.SEEK_CUR)
            print(os.read(fd, 1).hex())
        """)
        assert out.split() == ["a4", "21", "00", "22", "01"]
        assert board.events()[-3:] == ["cpld read 0x14 -> 0xa4", "cpld read 0x15 -> 0x00",
                                       "cpld read 0x18 -> 0x01"]

    def test_short_write_moves_the_position_past_what_was_written(self, board):
        # The backing file may not grow past register 21: the write stops there.
        (board.path / "cpld.bin").write_bytes(bytes(22))
        out = board.py("""
            import resource
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (22, 22))
            fd = os.open('/dev/norvik/cpld_mmmap', os.O_RDWR)
            os.lseek(fd, 20, os.SEEK_SET)
            print(os.write(fd, b'\\x11\\x22\\x33\\x44'), os.lseek(fd, 0, os.SEEK_CUR))
        """)
        assert out.split() == ["2", "22"]
        assert board.cpld()[20:] == b"\x11\x22"

    def test_poller_without_seek_reads_the_next_registers(self, make_board):
        board = make_board("fault.cpld_ready = 1\n")
        # Offsets 24, 25, 26 are read: the status register only once.
        assert poll_status(board, 3, seek_each=False) == ["00", "00", "00"]

    def test_power_on_makes_status_ready(self, make_board):
        board = make_board("fault.cpld_ready = never\n")
        assert poll_status(board, 2) == ["00", "00"]
        board.power_on()
        assert poll_status(board, 1, write_control=False) == ["01"]


# --------------------------------------------------------------- time ----

class TestTime:
    def test_fast_sleep_advances_the_virtual_clock(self, board):
        board.clear_trace()
        board.run("sleep", "50", check=True)
        assert board.now() == 50000000
        board.run("busybox", "usleep", "1500", check=True)
        board.py("""
            libc = ctypes.CDLL(None)
            libc.sleep(2)
            libc.usleep(10000)
            class Timespec(ctypes.Structure):
                _fields_ = [('sec', ctypes.c_long), ('nsec', ctypes.c_long)]
            libc.clock_nanosleep(time.CLOCK_MONOTONIC, 0, ctypes.byref(Timespec(1, 500)), None)
            # A deadline already passed costs nothing.
            libc.clock_nanosleep(time.CLOCK_MONOTONIC, 1, ctypes.byref(Timespec(0, 0)), None)
        """)
        assert board.trace() == ["0 sleep 50000000", "50000000 sleep 1500", "50001500 sleep 2000000",
                                 "52001500 sleep 10000", "52011500 sleep 1000001", "53011501 sleep 0"]
        assert board.now() == 53011501

    def test_sleep_to_a_deadline_advances_by_its_trace(self, board):
        board.clear_trace()
        board.py("time.sleep(30)")
        [line] = board.trace()
        stamp, word, usec = line.split()
        assert (stamp, word) == ("0", "sleep")
        assert 0 < int(usec) <= 30000000
        assert board.now() == int(usec)

    def test_real_sleep_is_traced_and_keeps_eintr(self, make_board):
        board = make_board("time = real\n")
        board.clear_trace()
        out = board.py("""
            signal.signal(signal.SIGALRM, lambda *a: None)
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            libc = ctypes.CDLL(None, use_errno=True)
            class Timespec(ctypes.Structure):
                _fields_ = [('sec', ctypes.c_long), ('nsec', ctypes.c_long)]
            req, rem = Timespec(30, 0), Timespec(0, 0)
            rc = libc.nanosleep(ctypes.byref(req), ctypes.byref(rem))
            print(rc, errno.errorcode[ctypes.get_errno()], 0 < rem.sec <= 30)
        """)
        assert out.split() == ["-1", "EINTR", "True"]
        assert board.events() == ["sleep 30000000"]
        board.run("sleep", "0.02", check=True)
        line = board.trace()[-1].split()
        assert line[1:] == ["sleep", "20000"]
        assert board.now() >= int(line[0]) + 20000


# -------------------------------------------------- commands and trace ----

class TestTrace:
    def test_system_line_is_escaped_exactly(self, board):
        board.clear_trace()
        board.py(r"""os.system('echo "a\tb" \\ >/dev/null; true\n')""")
        assert board.events() == [r'system "echo \"a\tb\" \\ >/dev/null; true\n"']

    def test_exec_lines(self, board):
        board.clear_trace()
        board.run("sh", "-c", "exec /bin/true one 'two words'", check=True)
        board.py("os.execv('/bin/true', ['true', 'x\\ty'])")
        board.py("""
            libc, P = ctypes.CDLL(None), ctypes.c_char_p
            argv, envp = (P * 3)(b'true', b'v', None), (P * 2)(b'A=1', None)
            for name, args in [('execl', (b'/bin/true', b'true', b'l', None)),
                               ('execlp', (b'true', b'true', b'lp', None)),
                               ('execle', (b'/bin/true', b'true', b'le', None, envp)),
                               ('execvp', (b'true', argv)), ('execvpe', (b'true', argv, envp)),
                               ('execve', (b'/bin/true', argv, envp))]:
                if os.fork() == 0:
                    getattr(libc, name)(*args)
                    os._exit(127)
                assert os.wait()[1] == 0
        """)
        assert board.events() == ['exec /bin/true /bin/true one "two words"',
                                  'exec /bin/true true "x\\ty"',
                                  "exec /bin/true true l", "exec true true lp", "exec /bin/true true le",
                                  "exec true true v", "exec true true v", "exec /bin/true true v"]

    def test_vboard_hw_trace_and_now(self, board):
        board.run("sleep", "3", check=True)
        result = board.hw("--board", str(board.path), "trace", "reboot", "now")
        assert result.returncode == 0
        assert board.trace()[-1] == "3000000 reboot now"
        env = board.env(preload=False)
        result = subprocess.run([str(VBOARD_HW), "trace", "mount", "/user"], env=env, capture_output=True)
        assert result.returncode == 0
        assert board.trace()[-1] == "3000000 mount /user"
        board.power_on()
        assert board.trace()[-1] == "0 power-on"
        assert board.now() == 0

    def test_every_line_has_the_documented_form(self, board, tmp_path):
        open_gate(board)
        src = write_file(tmp_path, "d.bin", b"\x00" * 64)
        board.run("mtd_debug", "erase", "/dev/mtd-kernel", 0, ERASE, check=True)
        board.run("mtd_debug", "write", "/dev/mtd-kernel", 0, 64, src, check=True)
        board.run("mtd_debug", "write", "/dev/mtd-kernel", 0, 64, src, check=True)
        board.run("i2cset", "-y", "0", "0x70", "0x08", check=True)
        board.run("i2cget", "-y", "0", "0x54", "0x01", "b", check=True)
        board.run("i2cdetect", "-y", "0", check=True)
        board.run("i2cget", "-y", "1", "0x54", "0x01", "b")
        poll_status(board, 2)
        board.run("sh", "-c", "sleep 1; exec true", check=True)
        board.py("os.system('true')")
        lines = board.trace()
        assert len(lines) > 100
        for line in lines:
            assert TRACE_LINE.match(line), line
        kinds = {line.split()[1] for line in lines}
        assert kinds >= {"power-on", "mtd", "i2c0", "i2c1", "cpld", "sleep", "system", "exec", "fault"}
        stamps = [int(line.split()[0]) for line in lines]
        assert stamps == sorted(stamps)


# ------------------------------------------------------ configuration ----

class TestSharing:
    def test_concurrent_processes_share_the_clock_and_never_mix_lines(self, board):
        board.clear_trace()
        script = textwrap.dedent("""\
            import ctypes
            libc = ctypes.CDLL(None)
            for i in range(500):
                libc.usleep(7)
        """)
        procs = [subprocess.Popen([PYTHON, "-c", script], env=board.env()) for _ in range(4)]
        assert [p.wait(timeout=60) for p in procs] == [0] * 4
        lines = board.trace()
        assert len(lines) == 2000
        assert all(re.fullmatch(r"\d+ sleep 7", line) for line in lines)
        assert sorted(int(line.split()[0]) for line in lines) == list(range(0, 14000, 7))
        assert board.now() == 14000

    def test_a_writer_killed_in_its_turn_does_not_stop_the_clock(self, board):
        # The page's writer word (bytes 24-27, little-endian) left naming a
        # process that is gone, as a kill in the middle of an update leaves it.
        dead = subprocess.Popen(["true"])
        dead.wait()
        with open(board.path / "state", "r+b") as f:
            f.seek(24)
            f.write(dead.pid.to_bytes(4, "little"))
        board.run("sleep", "2", check=True)
        assert board.now() == 2000000

    def test_closed_device_number_is_an_ordinary_file_again(self, board, tmp_path):
        plain = write_file(tmp_path, "plain.bin", b"plain file")
        out = board.py(f"""
            fd = os.open('/dev/mtd-kernel', os.O_RDONLY)
            os.close(fd)
            fd2 = os.open('{plain}', os.O_RDONLY)
            print(fd == fd2, os.read(fd2, 5).decode())
            dev = os.open('/dev/i2c-0', os.O_RDWR)
            os.dup2(fd2, dev)
            print(os.read(dev, 5).decode())
        """)
        assert out.split() == ["True", "plain", "file"]


class TestConf:
    def test_unknown_key_is_refused(self, make_board):
        board = make_board(conf="# comment\ntime = fast\nfault.cpld_redy = 3\n")
        result = board.py("""
            try:
                os.open('/dev/mtd-kernel', os.O_RDWR)
            except OSError as e:
                print(errno.errorcode[e.errno])
            try:
                os.open('/dev/i2c-0', os.O_RDWR)
            except OSError as e:
                print(errno.errorcode[e.errno])
        """, check=False)
        assert result.stdout.split() == ["EIO", "EIO"]
        message = [line for line in result.stderr.splitlines() if "board.conf" in line]
        assert len(message) == 1
        assert f"{board.path}/board.conf:3:" in message[0] and '"fault.cpld_redy"' in message[0]
        check = board.hw("conf", board.path / "board.conf")
        assert (check.returncode, check.stderr) == (
            1, f'vboard-hw: {board.path}/board.conf:3: unknown key "fault.cpld_redy"\n')
        # Nothing else is modelled either.
        assert board.run("i2cget", "-y", "0", "0x70").returncode != 0

    def test_conf_prints_every_setting_as_the_models_read_it(self, make_board):
        board = make_board(conf=standard_conf() + textwrap.dedent("""\
            time = real   # trailing comment
            erase_size = 0x10000
            fault.missing = /dev/mtd-rescue , /dev/i2c-1
            fault.i2c_nak = 79,0x54
            fault.cpld_ready = never
            fault.mtd_probe = fail
            fault.mtd_erase_fail_at = 4
            fault.mtd_write_fail_at = 5
            fault.power_cut_after_writes = 6
            """))
        check = board.hw("conf", board.path / "board.conf", "--set", "size.rfs=0x20000", "--set",
                         "fault.cpld_ready = 3")
        assert (check.returncode, check.stderr) == (0, "")
        sizes = dict(SIZES, rfs=0x20000)
        assert check.stdout.splitlines() == [
            "time=real", "erase_size=65536",
            *(f"size.{p}={sizes[p]}" for p in ("uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue")),
            "fault.missing=/dev/mtd-rescue,/dev/i2c-1", "fault.i2c_nak=0x4f,0x54", "fault.cpld_ready=3",
            "fault.mtd_probe=fail", "fault.mtd_erase_fail_at=4", "fault.mtd_write_fail_at=5",
            "fault.power_cut_after_writes=6"]

    def test_conf_change_is_seen_by_a_running_process(self, board):
        out = board.py("""
            def size():
                fd = os.open('/dev/mtd-kernel', os.O_RDONLY)
                buf = bytearray(32)
                fcntl.ioctl(fd, 0x80204d01, buf)
                os.close(fd)
                return struct.unpack_from('<I', buf, 8)[0]
            before = size()
            with open(os.environ['VBOARD_DIR'] + '/board.conf', 'a') as f:
                f.write('size.kernel = 131072\\n')
            print(before, size())
        """)
        assert out.split() == [str(SIZES["kernel"]), "131072"]


class TestPassThrough:
    def test_without_board_nothing_is_modelled(self, board, tmp_path):
        env = dict(os.environ)
        env["LD_PRELOAD"] = str(LIBVBOARD)
        env.pop("VBOARD_DIR", None)
        script = textwrap.dedent("""\
            import os, errno
            for path in ('/dev/mtd-kernel', '/dev/i2c-0'):
                try:
                    os.open(path, os.O_RDONLY)
                except OSError as e:
                    print(errno.errorcode[e.errno])
            print(os.path.exists('/dev/norvik/cpld_mmmap'))
        """)
        result = subprocess.run([PYTHON, "-c", script], env=env, capture_output=True, text=True)
        assert result.stdout.split() == ["ENOENT", "ENOENT", "False"]
        # Ordinary files and sleeps are untouched by the library.
        src = write_file(tmp_path, "plain.txt", b"hello")
        result = subprocess.run(["cat", str(src)], env=board.env(), capture_output=True)
        assert result.stdout == b"hello"

    def test_vboard_hw_usage_errors(self, tmp_path):
        env = {k: v for k, v in os.environ.items() if k != "VBOARD_DIR"}
        result = subprocess.run([str(VBOARD_HW), "now"], env=env, capture_output=True, text=True)
        assert result.returncode == 2 and "no board" in result.stderr
        result = subprocess.run([str(VBOARD_HW), "power-on", str(tmp_path / "absent")], env=env,
                                capture_output=True, text=True)
        assert result.returncode == 1 and "absent" in result.stderr
        assert not (tmp_path / "absent").exists()


class TestSerialLine:
    """The console is a UART on the board and a pseudo-terminal here: once
    written, bytes count as sent, so a flush of output must never reach the
    far side's unread bytes; input is still discarded.  Which request
    reaches the kernel is what strace shows."""

    SCRIPT = ("import os, termios, fcntl\n"
              "master, slave = os.openpty()\n"
              "termios.tcflush(slave, termios.{queue})\n"
              "fcntl.ioctl(slave, termios.TCFLSH, termios.{queue})\n")

    def flush_requests(self, env, queue):
        result = subprocess.run(["strace", "-qq", "-e", "trace=ioctl", PYTHON, "-c", self.SCRIPT.format(queue=queue)],
                                env=env, capture_output=True, text=True)
        return re.findall(r"TCFLSH, (TC\w+)", result.stderr)

    @pytest.mark.parametrize("queue,sent", [("TCOFLUSH", []), ("TCIOFLUSH", ["TCIFLUSH", "TCIFLUSH"]),
                                            ("TCIFLUSH", ["TCIFLUSH", "TCIFLUSH"])])
    def test_on_a_board_only_input_is_flushed(self, board, queue, sent):
        assert self.flush_requests(board.env(), queue) == sent

    def test_without_board_the_terminal_flushes_as_asked(self):
        env = dict(os.environ, LD_PRELOAD=str(LIBVBOARD))
        env.pop("VBOARD_DIR", None)
        assert self.flush_requests(env, "TCIOFLUSH") == ["TCIOFLUSH", "TCIOFLUSH"]
