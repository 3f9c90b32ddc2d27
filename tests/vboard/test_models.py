"""The board's device models through their real interfaces (mtd-utils, i2c-tools, the
shell, a short Python program with the models preloaded): their output, files and trace."""
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "system"))
from board import Board  # noqa: E402

ERASE = 65536
PYTHON = "/usr/bin/python3"
PROLOGUE = """import os, fcntl, struct, errno, ctypes, time
libc, P, L, S = ctypes.CDLL(None, use_errno=True), ctypes.c_char_p, ctypes.c_long, ctypes.c_size_t
class Timespec(ctypes.Structure):
    _fields_ = [('sec', ctypes.c_long), ('nsec', ctypes.c_long)]
def errors(*ops):
    for op in ops:
        try: print('ok', op())
        except OSError as e: print(errno.errorcode[e.errno])
"""


@pytest.fixture
def board(tmp_path):
    return Board(tmp_path / "board")


def sh(board, command, power_on=True):
    r = board.run("/bin/sh", "-c", command, power_on=power_on, timeout=60)
    return r.returncode, r.stdout.decode()


def py(board, script, power_on=True, check=True):
    """The lines a Python program printed; the run itself if it may fail."""
    r = board.run(PYTHON, "-c", PROLOGUE + textwrap.dedent(script), power_on=power_on, timeout=60)
    if not check:
        return r
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout.decode().splitlines()


def test_nor_programming_ands_until_erased_and_erases_stay_on_the_blocks(board, tmp_path):
    # A write only clears bits: over bytes not erased it stores old AND new, and the trace
    # names the fault.  An erase off the blocks or past the partition touches nothing.
    (tmp_path / "a").write_bytes(bytes([0xF0, 0x3C, 0xFF, 0x00] * 4))
    (tmp_path / "b").write_bytes(bytes([0x0F, 0xFF, 0x81, 0xFF] * 4))
    for part in ("rfs", "kernel"):
        board.flash_path(part).write_bytes(bytes(board.sizes[part]))
    write = f"mtd_debug write /dev/mtd-rfs 256 16 {tmp_path}"
    assert sh(board, f"mtd_debug erase /dev/mtd-rfs 0 {ERASE} && {write}/a && {write}/b")[0] == 0
    assert board.flash("rfs")[256:272] == bytes([0x00, 0x3C, 0x81, 0x00] * 4)
    assert board.trace_words(["fault"]) == ["fault not-erased /dev/mtd-rfs 0x100 16"]
    sh(board, f"mtd_debug erase /dev/mtd-rfs 0 {ERASE} && {write}/b")
    assert board.flash("rfs")[256:272] == (tmp_path / "b").read_bytes() and board.trace_words(["fault"]) == []
    erases = [(100, ERASE), (0, 100), (ERASE, ERASE + 1), (63 * ERASE, 2 * ERASE), (64 * ERASE, ERASE)]
    out = sh(board, "".join(f"mtd_debug erase /dev/mtd-kernel {o} {n} 2>&1 | tail -1;" for o, n in erases))[1]
    assert out.count("Invalid argument\n") == len(erases), out
    assert board.flash("kernel") == bytes(board.sizes["kernel"]) and board.trace_words(["mtd"]) == []


OPENS = ("open", "open64", "openat", "openat64", "__open_2", "__open64_2", "__openat_2", "__openat64_2")
READS = ("read", "__read_chk", "pread", "pread64", "__pread_chk", "__pread64_chk")
STATS = [name + large for name in ("stat", "lstat", "fstat", "fstatat", "__xstat", "__lxstat", "__fxstat")
         for large in ("", "64")]


def test_every_spelling_of_an_entry_point_reaches_the_model_and_it_keeps_to_the_partition(board, tmp_path):
    # The 64 ones of large files, the fortified ones, those of older C
    # libraries.  The backing file is shorter than the partition: only the
    # model knows the node, reads erased bytes past the file's end, writes
    # there over erased bytes and seeks to the partition's end.  A created
    # file keeps its mode, a partition its O_SYNC, duplicates share the
    # position, and a device's number closed is an ordinary file's again.
    board.flash_path("kernel").write_bytes(b"\x11" * 64)
    (tmp_path / "plain").write_bytes(b"plain file")
    size = board.sizes["kernel"]
    out = py(board, f"""
        libc.lseek.restype = libc.lseek64.restype = L
        buf, st, node, dfd = ctypes.create_string_buffer(2), ctypes.create_string_buffer(256), b'/dev/mtd-kernel', os.open('/', 0)
        os.umask(0)
        for name in {OPENS}:
            at = (dfd,) if 'at' in name else ()
            made = getattr(libc, name)(*at, f'{tmp_path}/{{name}}'.encode(), os.O_CREAT | os.O_WRONLY, 0o604)
            fd = getattr(libc, name)(*at, node, os.O_RDONLY | os.O_SYNC)
            print(name, fd > 0, fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_SYNC > 0,
                  oct(os.fstat(made).st_mode & 0o777) if name[0] != '_' else '')
        fd = os.open(node, os.O_RDWR)
        for name in {READS}:
            os.lseek(fd, 100, 0)
            more = {{'read': (), '__read_chk': (S(2),)}}.get(name, (L(100),) + (S(2),) * ('chk' in name))
            print(name, getattr(libc, name)(fd, buf, S(2), *more), buf.raw.hex())
        for name, args in [('pwrite', (b'\\0', S(1), L(3000))), ('pwrite64', (b'\\1', S(1), L(3001))),
                           ('lseek', (L(0), 2)), ('lseek64', (L(0), 2)), ('fcntl', (0, 50)), ('fcntl64', (0, 50))]:
            print(name, getattr(libc, name)(fd, *args))
        os.lseek(50, 100, 0)
        print('dup', os.read(51, 2).hex())
        for name in {STATS}:
            what = fd if name.lstrip('_')[0] == 'f' else node
            args = (dfd, node, st, 0) if name.startswith('fstatat') else (1, what, st) if name[0] == '_' else (what, st)
            print(name, getattr(libc, name)(*args), os.major(struct.unpack_from('Q', st.raw, 40)[0]))
        print(len(os.pread(fd, 100, {size} - 10)), len(os.pread(fd, 100, {size})), os.pwrite(fd, bytes(20), {size} - 5))
        ro = os.open(node, os.O_RDONLY)
        errors(lambda: os.pwrite(fd, b'x', {size}), lambda: os.lseek(fd, {size} + 1, 0), lambda: os.write(ro, b'x'),
               lambda: fcntl.ioctl(ro, 0x40084d02, struct.pack('<II', 0, 65536)))
        os.close(ro)
        plain = os.open('{tmp_path}/plain', os.O_RDONLY)
        os.dup2(plain, 50)
        print(plain == ro, os.read(plain, 6).decode(), os.read(50, 4).decode(), open('/proc/mtd').readlines()[4], end='')
    """)
    assert out == ([f"{n} True True {'0o604' if n[0] != '_' else ''}" for n in OPENS] + [f"{n} 2 ffff" for n in READS]
                   + ["pwrite 1", "pwrite64 1", f"lseek {size}", f"lseek64 {size}", "fcntl 50", "fcntl64 51",
                      "dup ffff"] + [f"{n} 0 90" for n in STATS]
                   + ["10 0 5", "ENOSPC", "EINVAL", "EBADF", "EBADF", f'True plain  file mtd3: {size:08x} {ERASE:08x} "kernel"'])
    data = board.flash("kernel")
    assert data[:3002] == b"\x11" * 64 + b"\xff" * 2936 + b"\0\1" and data[-5:] == bytes(5)


# The fault; commands, each a process of its own; which of them fail; the
# trace's word for it; (partition, offset, bytes) the failure left as they were.
FAULTS = [
    ("fault.mtd_erase_fail_at = 2", [f"mtd_debug erase /dev/mtd-kernel 0 {ERASE}",
                                     f"mtd_debug erase /dev/mtd-rfs {ERASE} {ERASE}", f"mtd_debug erase /dev/mtd-rfs 0 {ERASE}"],
     [0, 1, 0], f"fault mtd_erase_fail_at /dev/mtd-rfs 0x10000 {ERASE}", ("rfs", ERASE, bytes(ERASE))),
    ("fault.mtd_write_fail_at = 3", [f"mtd_debug write /dev/mtd-ubootenv {i * 8} 8 /dev/zero" for i in range(4)],
     [0, 0, 1, 0], "fault mtd_write_fail_at /dev/mtd-ubootenv 0x10 8", ("ubootenv", 8, bytes(8) + b"\xff" * 8 + bytes(8))),
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
        for i in range(6): print('wrote', os.pwrite(fd, bytes([i]) * 1024, i * 1024), flush=True)
    """, check=False)
    assert r.returncode == -signal.SIGKILL and r.stdout.decode().splitlines() == ["wrote 1024"] * 2
    assert board.flash("rfs")[:6144] == b"".join(bytes([i]) * 1024 for i in range(3)) + b"\xff" * 3072
    assert board.trace_words()[-1] == "fault power-cut"


@pytest.mark.parametrize("channel,gate,answers", [(0x08, True, True), (0x08, False, False), (0x00, True, False),
                                                  (0x04, True, False), (0x0C, True, True)])
def test_the_eeprom_answers_only_behind_channel_3_with_cpld_access(board, channel, gate, answers):
    cpld = bytearray((board.path / "cpld.bin").read_bytes())
    cpld[20] |= gate
    (board.path / "cpld.bin").write_bytes(cpld)
    sh(board, f"i2cset -y 0 0x70 {channel}")
    rc, out = sh(board, "i2cget -y 0 0x54 0x01 b", power_on=False)
    assert (rc == 0, out) == ((True, "0x01\n") if answers else (False, ""))
    assert board.trace_words(["i2c"]) == [f"i2c0 0x70 write 0x{channel:02x}",
                                          "i2c0 0x54 smbus-read 0x01 -> " + ("0x01" if answers else "nak")]


def test_the_cpld_status_counts_its_polls_across_processes_until_a_power_on(board):
    # What no one handshake of the launcher's (in the VPD tests) shows.
    board.set_conf("fault.cpld_ready = 2")
    script = ("fd = os.open('/dev/norvik/cpld_mmmap', os.O_RDWR)\nif {}: os.pwrite(fd, bytes([os.pread(fd, 1, 20)[0] | 1]), 20)\n"
              "print(' '.join('%02x' % os.pread(fd, 1, 24)[0] for i in range({})))")
    steps = [(True, 1, True), (False, 3, False), (True, 3, False), (False, 1, True)]
    assert [py(board, script.format(arm, polls), power_on=on)[0] for arm, polls, on in steps] == [
        "00", "00 01 01", "00 00 01", "01"]


def test_fast_sleeps_advance_the_virtual_clock_by_every_entry_and_execs_are_traced_exactly(board):
    # The state page's writer word (bytes 24-27) left naming a process that
    # is gone, as a kill in the middle of an update leaves it, holds up no one.
    board.power_on()
    with open(board.path / "state", "r+b") as f:
        f.seek(24)
        f.write(int(subprocess.run(["sh", "-c", "echo $$"], capture_output=True).stdout).to_bytes(4, "little"))
    py(board, r"""
        os.system('sleep 50; busybox usleep 1500')
        libc.sleep(2)
        libc.usleep(10000)
        libc.clock_nanosleep(time.CLOCK_MONOTONIC, 0, ctypes.byref(Timespec(1, 500)), None)
        # A deadline already passed costs nothing; one ahead costs what is left.
        libc.clock_nanosleep(time.CLOCK_MONOTONIC, 1, ctypes.byref(Timespec(0, 0)), None)
        time.sleep(30)
        os.system('exec /bin/true one "two words"')
        argv, envp = (P * 3)(b'true', b'x\ty', None), (P * 2)(b'A=1', None)
        for name, args in [('execl', (b'/bin/true', b'true', b'l', None)), ('execlp', (b'true', b'true', b'lp', None)),
                           ('execle', (b'/bin/true', b'true', b'le', None, envp)), ('execv', (b'/bin/true', argv)),
                           ('execvp', (b'true', argv)), ('execvpe', (b'true', argv, envp)), ('execve', (b'/bin/true', argv, envp))]:
            if os.fork() == 0:
                getattr(libc, name)(*args)
                os._exit(127)
            assert os.wait()[1] == 0
    """, power_on=False)
    sleeps = [(usec, int(words[1])) for usec, words in board.trace(["sleep"])]
    assert sleeps[:6] == [(0, 50000000), (50000000, 1500), (50001500, 2000000), (52001500, 10000),
                          (52011500, 1000001), (53011501, 0)]
    assert len(sleeps) == 7 and sleeps[6][0] == 53011501 and 0 < sleeps[6][1] <= 30000000
    assert board.trace_words(["system", "exec"])[-9:] == [
        r'system "exec /bin/true one \"two words\""', 'exec /bin/true /bin/true one "two words"', "exec /bin/true true l", "exec true true lp", "exec /bin/true true le",
        'exec /bin/true true "x\\ty"', 'exec true true "x\\ty"', 'exec true true "x\\ty"', 'exec /bin/true true "x\\ty"']
