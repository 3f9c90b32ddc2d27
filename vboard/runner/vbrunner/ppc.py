"""PowerPC programs on a board: the board's own build of the launcher (or any
program of that build) runs through qemu-ppc with the device models working
for it as for a PC program.

A board with a PowerPC program among its binds gets, besides its PC setup:
the board's build of the device models where the PowerPC loader completes
the preload path ($LIB), the PowerPC loader and C library where a PowerPC
root filesystem has them (/lib/ld.so.1, /lib/powerpc-linux-gnu), and
qemu-ppc registered with binfmt_misc inside the board's own user namespace,
so that every PowerPC program of the board starts as on the board, whoever
starts it (the board's init, a shell, the launcher's debugger start).
Nothing is registered on the PC: the registration lives and dies with the
board's namespace."""
import errno
import os
import subprocess

from .common import fail, host_env

EM_PPC = 20
QEMU = "/usr/bin/qemu-ppc"
CROSS_LIB = "/usr/powerpc-linux-gnu/lib"
LIB_DIR = "powerpc-linux-gnu"
BINFMT = "/proc/sys/fs/binfmt_misc"

# A 32-bit big-endian PowerPC executable or shared object: e_ident (class,
# byte order, version), e_type with its low bit free, e_machine.  The
# interpreter keeps argv[0] as the program was given it (P).
REGISTRATION = (
    ":qemu-ppc:M::"
    r"\x7fELF\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x14:"
    r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff:"
    f"{QEMU}:P")


def is_ppc(path):
    """Whether path is an ELF file for 32-bit big-endian PowerPC."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return False
    return (len(head) == 20 and head[:4] == b"\x7fELF" and head[4] == 1 and head[5] == 2
            and int.from_bytes(head[18:20], "big") == EM_PPC)


def models_beside(program):
    """The board's build of the device models: lib/libvboard.so of the
    nearest folder above program that has a PowerPC one."""
    folder = os.path.dirname(os.path.abspath(program))
    while True:
        candidate = os.path.join(folder, "lib", "libvboard.so")
        if is_ppc(candidate):
            return candidate
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def models_for(binds):
    """The PowerPC device models the board needs for the programs among
    binds ((HOST, INSIDE) pairs), None when none is a PowerPC program, or
    Refused."""
    programs = [host for host, _ in binds if os.path.isfile(host) and is_ppc(host)]
    if not programs:
        return None
    if not os.access(QEMU, os.X_OK):
        fail(f"{programs[0]}: a PowerPC program, and {QEMU} is not installed (qemu-user)")
    if not os.path.isfile(os.path.join(CROSS_LIB, "ld.so.1")):
        fail(f"{programs[0]}: a PowerPC program, and the PowerPC C library is not installed in {CROSS_LIB}")
    for program in programs:
        models = models_beside(program)
        if models:
            return models
    fail(f"{programs[0]}: a PowerPC program, and no PowerPC lib/libvboard.so above it (run make ppc)")


def lib_links():
    """Links of the board's /lib for its PowerPC programs: {INSIDE: HOST}."""
    return {"/lib/ld.so.1": os.path.join(CROSS_LIB, "ld.so.1"), f"/lib/{LIB_DIR}": CROSS_LIB}


def gated(program, ready_w, go_r):
    """program, started once the runner has said go: the shell first says
    ready (the board's root is complete by then), waits, and leaves neither
    descriptor to the board.  The board's own shell: the runner's descriptors
    may be numbered 10 or more, which dash cannot name in a redirection."""
    gate = (f'printf x >&{ready_w}; exec {ready_w}>&-; '
            f'read -r _ <&{go_r}; exec {go_r}<&-; exec "$@"')
    return ["/bin/sh", "-c", gate, "gate"] + program


def register(pid):
    """Mounts a binfmt_misc of the board's own in the namespaces of pid and
    registers qemu-ppc there; the mount is left read-only, so that nothing
    of the board changes it.  OSError when it cannot be done."""
    if os.readlink(f"/proc/{pid}/ns/user") == os.readlink("/proc/self/ns/user"):
        # Mounted there it would be the PC's own binfmt_misc.
        raise OSError(errno.EPERM, f"the board (process {pid}) has no user namespace of its own")
    script = ('mount -t binfmt_misc binfmt_misc "$1" && printf %s "$2" > "$1/register" '
              '&& mount -o remount,bind,ro "$1"')
    result = subprocess.run(["nsenter", f"--target={pid}", "--user", "--mount", "--root", "--wd",
                             "--", "/usr/bin/sh", "-c", script, "binfmt", BINFMT, REGISTRATION],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=host_env())
    if result.returncode != 0:
        raise OSError(errno.EIO, f"qemu-ppc could not be registered in the board: "
                      f"{result.stdout.decode(errors='replace').strip()}")
