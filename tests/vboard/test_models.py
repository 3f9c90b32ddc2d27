"""The board's device models through their real interfaces: real tools
(mtd-utils, i2c-tools, the shell) or a short Python program with the models
preloaded; then what they printed, the backing files and the trace."""
import pathlib
import re
import signal
import subprocess
import sys
import textwrap

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "system"))
from board import VBOARD_HW, Board  # noqa: E402

ERASE = 65536
PYTHON = "/usr/bin/python3"
PROLOGUE = """import os, fcntl, struct, errno, ctypes, time, signal
libc, P, L, S = ctypes.CDLL(None, use_errno=True), ctypes.c_char_p, ctypes.c_long, ctypes.c_size_t
class Timespec(ctypes.Structure):
    _fields_ = [('sec', ctypes.c_long), ('nsec', ctypes.c_long)]
def errors(*ops):
    for op in ops:
        try:
            print('ok', op())
        except OSError as e:
            print(errno.errorcode[e.errno])
"""


@pytest.fixture
def board(tmp_path):
    return Board(tmp_path / "board")


def sh(board, command, power_on=True):
    """(exit status, stdout) of a shell command line with the models."""
    r = board.run("/bin/sh", "-c", command, power_on=power_on, timeout=60)
    return r.returncode, r.stdout.decode()


def py(board, script, power_on=True, check=True):
    """The lines a Python program with the models printed (the run itself
    unless it is expected to succeed)."""
    r = board.run(PYTHON, "-c", PROLOGUE + textwrap.dedent(script), power_on=power_on, timeout=60)
    if not check:
        return r
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout.decode().splitlines()


def pattern(n):
    return bytes((i * 7 + 13 + (i >> 8)) & 0xFF for i in range(n))



def test_programming_ands_with_what_is_there_until_erased(board, tmp_path):
    """NOR flash: a write only clears bits; over bytes not erased it stores
    old AND new, and the trace names the fault."""
    (tmp_path / "a").write_bytes(bytes([0xF0, 0x3C, 0xFF, 0x00] * 4))
    (tmp_path / "b").write_bytes(bytes([0x0F, 0xFF, 0x81, 0xFF] * 4))
    board.flash_path("rfs").write_bytes(bytes(board.sizes["rfs"]))
    write = f"mtd_debug write /dev/mtd-rfs 256 16 {tmp_path}"
    assert sh(board, f"mtd_debug erase /dev/mtd-rfs 0 {ERASE} && {write}/a && {write}/b")[0] == 0
    assert board.flash("rfs")[256:272] == bytes([0x00, 0x3C, 0x81, 0x00] * 4)
    assert board.trace_words(["fault"]) == ["fault not-erased /dev/mtd-rfs 0x100 16"]
    sh(board, f"mtd_debug erase /dev/mtd-rfs 0 {ERASE} && {write}/b")
    assert board.flash("rfs")[256:272] == (tmp_path / "b").read_bytes() and board.trace_words(["fault"]) == []


@pytest.mark.parametrize("offset,length", [(100, ERASE), (0, 100), (ERASE, ERASE + 1), (63 * ERASE, 2 * ERASE),
                                           (64 * ERASE, ERASE)])
def test_an_erase_off_the_blocks_or_the_partition_is_refused(board, offset, length):
    board.flash_path("kernel").write_bytes(bytes(board.sizes["kernel"]))
    assert sh(board, f"mtd_debug erase /dev/mtd-kernel {offset} {length} 2>&1")[1].endswith("Invalid argument\n")
    assert board.flash("kernel") == bytes(board.sizes["kernel"]) and board.trace_words(["mtd"]) == []


def test_partition_bounds_descriptors_and_a_short_backing_file(board, tmp_path):
    size = board.sizes["uboot"]
    board.flash_path("rescue").write_bytes(b"\x11" * 100)
    (tmp_path / "plain").write_bytes(b"plain file")
    assert py(board, f"""
        fd = os.open('/dev/mtd-uboot', os.O_RDWR)
        print(len(os.pread(fd, 100, {size} - 10)), len(os.pread(fd, 100, {size})), os.lseek(fd, 0, 2))
        errors(lambda: os.pwrite(fd, b'x', {size}), lambda: os.lseek(fd, {size} + 1, 0))
        print(os.pwrite(fd, bytes(20), {size} - 5))
        fd = os.open('/dev/mtd-rescue', os.O_RDWR)
        print(os.pread(fd, 8, 96).hex(), os.pread(fd, 4, 5000).hex(), os.pwrite(fd, b'\\0\\1', 3000))
        ro = os.open('/dev/mtd-kernel', os.O_RDONLY)
        errors(lambda: os.write(ro, b'x'), lambda: fcntl.ioctl(ro, 0x40084d02, struct.pack('<II', 0, 65536)))
        # A device's number closed is an ordinary file's again.
        os.close(ro)
        fd = os.open('{tmp_path}/plain', os.O_RDONLY)
        dev = os.open('/dev/i2c-0', os.O_RDWR)
        os.dup2(fd, dev)
        print(fd == ro, os.read(fd, 6).decode(), os.read(dev, 4).decode(), open('/proc/mtd').readlines()[4], end='')
    """) == [f"10 0 {size}", "ENOSPC", "EINVAL", "5", "11111111ffffffff ffffffff 2", "EBADF", "EBADF",
             f'True plain  file mtd3: {board.sizes["kernel"]:08x} {ERASE:08x} "kernel"']
    assert board.flash("uboot")[-5:] == bytes(5)
    assert board.flash("rescue")[:3002] == b"\x11" * 100 + b"\xff" * 2900 + b"\0\1"


OPENS = ("open", "open64", "openat", "openat64", "__open_2", "__open64_2", "__openat_2", "__openat64_2")
READS = (("read", 0), ("__read_chk", 2), ("pread", 32), ("pread64", 34), ("__pread_chk", 36), ("__pread64_chk", 38))
STATS = ("stat", "stat64", "lstat", "lstat64", "fstat", "fstat64", "fstatat", "fstatat64", "__xstat", "__xstat64",
         "__lxstat", "__lxstat64", "__fxstat", "__fxstat64")


def test_every_spelling_of_an_entry_point_reaches_the_partition(board, tmp_path):
    # The 64 ones of large files, the fortified ones, those of older C
    # libraries; a created file keeps its mode, a partition its O_SYNC, and
    # duplicates share the position.
    board.flash_path("kernel").write_bytes(pattern(board.sizes["kernel"]))
    out = py(board, f"""
        libc.lseek.restype = libc.lseek64.restype = L
        buf, st, node, dfd = ctypes.create_string_buffer(2), ctypes.create_string_buffer(256), b'/dev/mtd-kernel', os.open('/', 0)
        os.umask(0)
        for name in {OPENS}:
            at = (dfd,) if 'at' in name else ()
            made = getattr(libc, name)(*at, f'{tmp_path}/{{name}}'.encode(), os.O_CREAT | os.O_WRONLY, 0o604)
            fd = getattr(libc, name)(*at, node, os.O_RDONLY | os.O_SYNC)
            print(name, os.pread(fd, 2, 16).hex(), fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_SYNC > 0,
                  oct(os.fstat(made).st_mode & 0o777) if name[0] != '_' else '')
        fd = os.open(node, os.O_RDWR)
        for name, at in {READS}:
            more = {{'read': (), '__read_chk': (S(2),)}}.get(name, (L(at),) if name[0] == 'p' else (L(at), S(2)))
            print(name, getattr(libc, name)(fd, buf, S(2), *more), buf.raw.hex())
        for name, args in [('pwrite', (b'\\0', S(1), L(40))), ('pwrite64', (b'\\0', S(1), L(41))),
                           ('lseek', (L(0), 2)), ('lseek64', (L(0), 2)), ('fcntl', (0, 50)), ('fcntl64', (0, 50))]:
            print(name, getattr(libc, name)(fd, *args))
        os.lseek(50, 10, 0)
        print('dup', os.read(51, 2).hex(), os.pread(50, 2, 40).hex())
        for name in {STATS}:
            what = fd if name.lstrip('_')[0] == 'f' else node
            args = (dfd, node, st, 0) if name.startswith('fstatat') else (1, what, st) if name[0] == '_' else (what, st)
            done = getattr(libc, name)(*args)
            rdev, mode = struct.unpack_from('Q', st.raw, 40)[0], struct.unpack_from('I', st.raw, 24)[0]
            print(name, done, os.major(rdev), os.minor(rdev), mode & 0o170000 == 0o020000)
    """)
    p, size = pattern(42), board.sizes["kernel"]
    assert out == ([f"{n} {p[16:18].hex()} True {'0o604' if n[0] != '_' else ''}" for n in OPENS]
                   + [f"{n} 2 {p[at:at + 2].hex()}" for n, at in READS]
                   + ["pwrite 1", "pwrite64 1", f"lseek {size}", f"lseek64 {size}", "fcntl 50", "fcntl64 51",
                      f"dup {p[10:12].hex()} 0000"] + [f"{n} 0 90 6 True" for n in STATS])



# board.conf's fault; commands, each a process of its own, after one
# power-on; which of them fail; the trace's word for the fault; and
# (partition, offset, bytes) that the failed operation left as they were.
FAULTS = [
    ("fault.mtd_erase_fail_at = 2", [f"mtd_debug erase /dev/mtd-kernel 0 {ERASE}",
                                     f"mtd_debug erase /dev/mtd-rfs {ERASE} {ERASE}", f"mtd_debug erase /dev/mtd-rfs 0 {ERASE}"],
     [0, 1, 0], f"fault mtd_erase_fail_at /dev/mtd-rfs 0x10000 {ERASE}", ("rfs", ERASE, bytes(ERASE))),
    ("fault.mtd_write_fail_at = 3", [f"mtd_debug write /dev/mtd-ubootenv {i * 8} 8 /dev/zero" for i in range(4)],
     [0, 0, 1, 0], "fault mtd_write_fail_at /dev/mtd-ubootenv 0x10 8", ("ubootenv", 8, bytes(8) + b"\xff" * 8 + bytes(8))),
    ("fault.i2c_nak = 0x4f, 112", ["i2cset -y 0 0x4f 0x87 0x55 b", "i2cset -y 0 0x70 0x08", "i2cget -y 0 0x54 1 b"],
     [1, 1, 1], "i2c0 0x70 write 0x08 nak", None),
]


@pytest.mark.parametrize("fault,commands,failing,word,kept", FAULTS, ids=[f[0] for f in FAULTS])
def test_a_fault_strikes_at_its_count_in_every_power_cycle(board, fault, commands, failing, word, kept):
    board.set_conf(fault)
    board.flash_path("rfs").write_bytes(bytes(board.sizes["rfs"]))
    for cycle in range(2):
        board.power_on()
        assert [min(sh(board, c, power_on=False)[0], 1) for c in commands] == failing, cycle
        assert word in board.trace_words()
    if kept:
        assert board.flash(kept[0])[kept[1]:kept[1] + len(kept[2])] == kept[2]


def test_a_power_cut_kills_right_after_the_nth_write(board):
    board.set_conf("fault.power_cut_after_writes = 3")
    r = py(board, """
        fd = os.open('/dev/mtd-rfs', os.O_RDWR | os.O_SYNC)
        for i in range(6):
            os.pwrite(fd, bytes([i]) * 1024, i * 1024)
            print('wrote', i, flush=True)
    """, check=False)
    assert r.returncode == -signal.SIGKILL and r.stdout.decode().splitlines() == ["wrote 0", "wrote 1"]
    assert board.flash("rfs")[:6144] == b"".join(bytes([i]) * 1024 for i in range(3)) + b"\xff" * 3072
    assert board.trace_words()[-1] == "fault power-cut"


def open_gate(board):
    cpld = bytearray((board.path / "cpld.bin").read_bytes())
    cpld[20] |= 1
    (board.path / "cpld.bin").write_bytes(cpld)


@pytest.mark.parametrize("channel,gate,answers", [(0x08, True, True), (0x08, False, False), (0x00, True, False),
                                                  (0x04, True, False), (0x0C, True, True)])
def test_the_eeprom_answers_only_behind_channel_3_with_cpld_access(board, channel, gate, answers):
    if gate:
        open_gate(board)
    sh(board, f"i2cset -y 0 0x70 {channel}")
    rc, out = sh(board, "i2cget -y 0 0x54 0x01 b", power_on=False)
    assert (rc == 0, out) == ((True, "0x01\n") if answers else (False, ""))
    assert board.trace_words(["i2c"]) == [f"i2c0 0x70 write 0x{channel:02x}",
                                          "i2c0 0x54 smbus-read 0x01 -> " + ("0x01" if answers else "nak")]


def test_registers_are_board_state_and_eeprom_writes_land_in_the_vpd(board):
    vpd = pattern(256)
    (board.path / "vpd.bin").write_bytes(vpd)
    open_gate(board)
    assert sh(board, "i2cset -y 0 0x4f 0x87 0x55 b && i2cget -y 0 0x4f 0x87 b && i2cget -y 0 0x4f 0x86 b && "
                     "i2cset -y 0 0x70 0x08 && i2cget -y 0 0x70 && i2cset -y 0 0x54 0x3b 0x04 b") == (0, "0x55\n0x00\n0x08\n")
    assert py(board, """
        fd = os.open('/dev/i2c-0', os.O_RDWR)
        fcntl.ioctl(fd, 0x0703, 0x54)
        os.write(fd, b'\\x10')
        print(os.read(fd, 4).hex(), os.read(fd, 2).hex())
        os.write(fd, b'\\xfe\\xaa\\xbb\\xcc')
        os.write(fd, b'\\xfe')
        print(os.read(fd, 3).hex())
        # Each descriptor has its own address; no such address, no such bus device.
        fcntl.ioctl(fd, 0x0703, 0x4f)
        c = os.open('/dev/i2c-1', os.O_RDWR)
        fcntl.ioctl(c, 0x0703, 0x70)
        errors(lambda: fcntl.ioctl(fd, 0x0703, 0x80), lambda: os.write(c, b'\\x08'))
    """, power_on=False) == [f"{vpd[0x10:0x14].hex()} {vpd[0x14:0x16].hex()}", "aabbcc", "EINVAL", "ENXIO"]
    assert board.vpd() == b"\xcc" + vpd[1:0x3B] + b"\x04" + vpd[0x3C:0xFE] + b"\xaa\xbb"



def test_the_cpld_status_counts_its_polls_across_processes_until_a_power_on(board):
    # The launcher's own handshake (ready after N polls, or never) is shown
    # by the VPD module tests; here what no one handshake shows.
    board.set_conf("fault.cpld_ready = 2")
    script = """
        fd = os.open('/dev/norvik/cpld_mmmap', os.O_RDWR)
        if {}:
            os.pwrite(fd, bytes([os.pread(fd, 1, 20)[0] | 1]), 20)
        print(' '.join('%02x' % os.pread(fd, 1, 24)[0] for i in range({})))
    """
    steps = [(True, 1, True), (False, 3, False), (True, 3, False), (False, 1, True)]
    assert [py(board, script.format(arm, polls), power_on=on)[0] for arm, polls, on in steps] == [
        "00", "00 01 01", "00 00 01", "01"]



def test_fast_sleeps_advance_the_virtual_clock_by_every_entry(board):
    py(board, """
        os.system('sleep 50; busybox usleep 1500')
        libc.sleep(2)
        libc.usleep(10000)
        libc.clock_nanosleep(time.CLOCK_MONOTONIC, 0, ctypes.byref(Timespec(1, 500)), None)
        # A deadline already passed costs nothing; one ahead costs what is left.
        libc.clock_nanosleep(time.CLOCK_MONOTONIC, 1, ctypes.byref(Timespec(0, 0)), None)
        time.sleep(30)
    """)
    sleeps = [(usec, int(words[1])) for usec, words in board.trace(["sleep"])]
    assert sleeps[:6] == [(0, 50000000), (50000000, 1500), (50001500, 2000000), (52001500, 10000),
                          (52011500, 1000001), (53011501, 0)]
    assert len(sleeps) == 7 and sleeps[6][0] == 53011501 and 0 < sleeps[6][1] <= 30000000
    now = subprocess.run([VBOARD_HW, "--board", board.path, "now"], capture_output=True, text=True).stdout
    assert now == f"{53011501 + sleeps[6][1]}\n"


def test_a_real_sleep_is_traced_and_keeps_eintr(board):
    board.set_conf("time = real")
    assert py(board, """
        signal.signal(signal.SIGALRM, lambda *a: None)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        req, rem = Timespec(30, 0), Timespec(0, 0)
        print(libc.nanosleep(ctypes.byref(req), ctypes.byref(rem)), errno.errorcode[ctypes.get_errno()], 0 < rem.sec <= 30)
    """) == ["-1 EINTR True"] and board.trace_words(["sleep"]) == ["sleep 30000000"]


def test_command_lines_and_execs_are_traced_exactly(board):
    py(board, r"""
        os.system('echo "a\tb" \\ >/dev/null; exec /bin/true one "two words"\n')
        argv, envp = (P * 3)(b'true', b'x\ty', None), (P * 2)(b'A=1', None)
        for name, args in [('execl', (b'/bin/true', b'true', b'l', None)), ('execlp', (b'true', b'true', b'lp', None)),
                           ('execle', (b'/bin/true', b'true', b'le', None, envp)), ('execv', (b'/bin/true', argv)),
                           ('execvp', (b'true', argv)), ('execvpe', (b'true', argv, envp)), ('execve', (b'/bin/true', argv, envp))]:
            if os.fork() == 0:
                getattr(libc, name)(*args)
                os._exit(127)
            assert os.wait()[1] == 0
    """)
    assert board.trace_words(["system", "exec"]) == [
        r'system "echo \"a\tb\" \\ >/dev/null; exec /bin/true one \"two words\"\n"',
        'exec /bin/true /bin/true one "two words"', "exec /bin/true true l", "exec true true lp", "exec /bin/true true le",
        'exec /bin/true true "x\\ty"', 'exec true true "x\\ty"', 'exec true true "x\\ty"', 'exec /bin/true true "x\\ty"']


def test_processes_share_the_clock_and_never_mix_lines(board):
    # The state page's writer word (bytes 24-27) left naming a process that
    # is gone, as a kill in the middle of an update leaves it.
    board.power_on()
    dead = subprocess.Popen(["true"])
    dead.wait()
    with open(board.path / "state", "r+b") as f:
        f.seek(24)
        f.write(dead.pid.to_bytes(4, "little"))
    script = "import ctypes\nlibc = ctypes.CDLL(None)\nfor i in range(500): libc.usleep(7)\n"
    procs = [subprocess.Popen([PYTHON, "-c", script], env=board.env()) for _ in range(4)]
    assert [p.wait(timeout=60) for p in procs] == [0] * 4
    lines = (board.path / "trace.log").read_text().splitlines()[1:]
    assert all(re.fullmatch(r"\d+ sleep 7", line) for line in lines)
    assert sorted(int(line.split()[0]) for line in lines) == list(range(0, 14000, 7))



def test_board_conf_is_read_again_when_it_changes_and_a_bad_one_models_nothing(board):
    board.set_conf("erase_size = 0x20000")
    r = py(board, """
        def info():
            buf = bytearray(32)
            fcntl.ioctl(os.open('/dev/mtd-kernel', os.O_RDONLY), 0x80204d01, buf)
            print(*struct.unpack_from('<II', buf, 8))
        info()
        with open(os.environ['VBOARD_DIR'] + '/board.conf', 'a') as f:
            f.write('size.kernel = 131072\\nfault.cpld_redy = 3\\n')
        errors(info, lambda: os.open('/dev/i2c-0', os.O_RDWR))
    """, check=False)
    assert r.stdout.decode().split("\n") == [f"{board.sizes['kernel']} 131072", "EIO", "EIO", ""]
    assert r.stderr.decode().count(f'{board.path}/board.conf:10: unknown key "fault.cpld_redy"') == 1


# A flush of the console's output must never reach the far side's unread
# bytes (once written they count as sent, as on a UART); input is still
# discarded.  strace shows which request reaches the kernel.  Without a
# board the library passes everything through.
@pytest.mark.parametrize("on_board,queue,sent", [(True, "TCOFLUSH", []), (True, "TCIOFLUSH", ["TCIFLUSH"] * 2),
                                                 (True, "TCIFLUSH", ["TCIFLUSH"] * 2),
                                                 (False, "TCIOFLUSH", ["TCIOFLUSH"] * 2)])
def test_on_a_board_only_input_is_flushed(board, on_board, queue, sent):
    script = (f"import os, termios, fcntl\nmaster, slave = os.openpty()\ntermios.tcflush(slave, termios.{queue})\n"
              f"fcntl.ioctl(slave, termios.TCFLSH, termios.{queue})\nprint(os.path.exists('/dev/mtd-kernel'))\n")
    env = {k: v for k, v in board.env().items() if on_board or k != "VBOARD_DIR"}
    r = subprocess.run(["strace", "-qq", "-e", "trace=ioctl", PYTHON, "-c", script], env=env, capture_output=True,
                       text=True)
    assert re.findall(r"TCFLSH, (TC\w+)", r.stderr) == sent and r.stdout == f"{on_board}\n"
