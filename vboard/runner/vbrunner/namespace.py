"""The board's namespace: bubblewrap with the board's root filesystem, its
folder, its device nodes and console, what the board needs to run and what
a caller asked to bind; one Boot is one power cycle of it."""
import ctypes
import json
import os
import signal
import subprocess

from . import conf
from .common import LIBDUMA, LIBVBOARD, ROOTFS, VBOARD_HW, fail, host_env
from .network import Network

BOARD_PATH = "/bin:/sbin:/usr/bin:/usr/sbin"
INSIDE_LIBVBOARD = "/lib/vboard/libvboard.so"
INSIDE_HW = "/lib/vboard/vboard-hw"
INSIDE_LAUNCHER = "/bin/launcher"

# What the namespace is made of below: a bind asked for may be none of these,
# nor lie within or above one.
BOARD_PATHS = ("/bin", "/sbin", "/lib", "/lib64", "/usr", "/etc", "/proc", "/dev",
               "/vboard", "/user", "/tmp")

# The user filesystem's devices, handled by the mount and flash_eraseall stubs.
USER_NODES = ("/dev/mtd-user", "/dev/mtd-user-char")

# Capabilities of the board's root: enough to configure its network, own its
# files and signal its processes; no mounts, no module loading, no reboot of
# the PC.
BOARD_CAPS = (
    "CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER",
    "CAP_FSETID", "CAP_KILL", "CAP_SETGID", "CAP_SETUID", "CAP_NET_ADMIN",
    "CAP_NET_RAW", "CAP_NET_BIND_SERVICE", "CAP_SYS_CHROOT", "CAP_MKNOD",
)


def parse_bind(item):
    """(HOST, INSIDE) of --bind HOST[:INSIDE], both absolute, or Refused."""
    host, colon, inside = item.partition(":")
    if not host or (colon and not inside):
        fail(f"--bind {item}: expected HOST or HOST:INSIDE")
    host = os.path.abspath(host)
    if not os.path.exists(host):
        fail(f"--bind {item}: {host}: no such file or directory")
    inside = inside or host
    if not inside.startswith("/"):
        fail(f"--bind {item}: {inside}: not an absolute path")
    # Normalised before the check, so that /opt/../tmp is seen as /tmp.
    inside = "/" + os.path.normpath(inside).lstrip("/")
    for own in BOARD_PATHS:
        if inside == "/" or inside == own or inside.startswith(own + "/") \
                or own.startswith(inside + "/"):
            fail(f"--bind {item}: {inside} would cover the board's own {own}")
    return host, inside


def modelled_nodes(settings):
    """Device nodes the models answer for; each gets an empty placeholder
    file so that tools which stat them find them."""
    return tuple("/dev/mtd-" + p for p in settings.parts()) + (
        "/dev/i2c-0", "/dev/i2c-1", "/dev/norvik/cpld_mmmap")


def multiarch_dirs():
    return [d for d in sorted(os.listdir("/usr/lib")) if "-linux-" in d]


def bwrap_argv(board, console, binds, program, env, conf_fd):
    """binds: (HOST, INSIDE) pairs bound read-only after the board's own."""
    argv = ["bwrap", "--unshare-pid", "--unshare-net", "--unshare-ipc",
            "--unshare-uts", "--hostname", "board", "--die-with-parent"]
    for cap in BOARD_CAPS:
        argv += ["--cap-add", cap]
    # The PC's programs and libraries, read-only; the board's own /bin.
    argv += ["--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc"]
    for d in multiarch_dirs():
        argv += ["--symlink", f"/usr/lib/{d}", f"/lib/{d}"]
    if os.path.isdir("/usr/lib64"):
        argv += ["--symlink", "usr/lib64", "/lib64"]
    argv += ["--ro-bind", os.path.join(ROOTFS, "bin"), "/bin", "--symlink", "bin", "/sbin"]
    # lrzsz's receiver, reached through the board's own /usr/bin/rx.
    if os.path.isfile("/usr/bin/rx"):
        argv += ["--ro-bind", "/usr/bin/rx", "/lib/vboard/lrzsz/rx",
                 "--ro-bind", os.path.join(ROOTFS, "usr", "bin", "rx"), "/usr/bin/rx"]
    argv += ["--ro-bind", LIBVBOARD, INSIDE_LIBVBOARD, "--ro-bind", VBOARD_HW, INSIDE_HW,
             "--ro-bind", LIBDUMA, "/lib/libduma.so.0.0.0"]
    argv += ["--proc", "/proc", "--dev", "/dev"]
    argv += ["--bind", board.path, "/vboard", "--bind", board.file("user"), "/user",
             "--bind", board.file("tmp"), "/tmp"]
    for host, inside in binds:
        argv += ["--ro-bind", host, inside]
    if conf_fd is not None:
        argv += ["--ro-bind-data", str(conf_fd), "/vboard/board.conf"]
    argv += ["--dev-bind", console, "/dev/console", "--dev-bind", console, "/dev/ttyS0"]
    empty = os.path.join(ROOTFS, "empty")
    absent = board.conf.missing()
    for node in modelled_nodes(board.conf) + USER_NODES:
        if node not in absent:
            argv += ["--ro-bind", empty, node]
    argv += ["--chdir", "/", "--clearenv"]
    for name, value in env.items():
        argv += ["--setenv", name, value]
    return argv + ["--"] + program


def board_env(extra=()):
    env = {
        "PATH": BOARD_PATH,
        "HOME": "/",
        "TERM": os.environ.get("TERM", "vt100"),
        "VBOARD_DIR": "/vboard",
    }
    env.update(extra)
    return env


def preloaded(program):
    # The preload is set by env, the last program before the board's own, so
    # that the runner's helpers leave no records of their own in the trace.
    return ["/usr/bin/env", f"LD_PRELOAD={INSIDE_LIBVBOARD}"] + program


def become_subreaper():
    """Processes of a boot that outlive their parent (the namespace's reaper,
    the TFTP server) come back to the runner, which waits for them before it
    starts the next boot or exits: no stray process is left behind."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap_orphans():
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return
        except InterruptedError:
            continue


def default_signals():
    """Run in the child before exec: the board starts as a board does, with
    no signal ignored, however the runner was started (a script's
    background job ignores SIGINT and SIGQUIT, and a shell on the board
    could then not even trap them)."""
    for sig in signal.valid_signals():
        if sig not in (signal.SIGKILL, signal.SIGSTOP):
            signal.signal(sig, signal.SIG_DFL)


def read_info(fd):
    data = b""
    while True:
        chunk = os.read(fd, 4096)
        if not chunk:
            raise ValueError("the board's namespace did not start")
        data += chunk
        try:
            return json.loads(data)
        except ValueError:
            continue


def exit_status(returncode):
    return 128 - returncode if returncode < 0 else returncode


class Boot:
    """One boot: the board's namespace with its network, started and ended.
    stdio: the program's standard input, output and error."""

    def __init__(self, board, console, binds, program, env, time_mode, stdio):
        self.network = Network(board.file("tftp"))
        try:
            self.proc, info_r, block_w = start(board, console, binds, program, env,
                                               time_mode, stdio)
        except BaseException:
            self.network.stop()
            raise
        try:
            info = read_info(info_r)
            self.network.attach(info["child-pid"])
            os.write(block_w, b"x")
        except (OSError, KeyError, ValueError):
            self.kill()
            raise
        finally:
            os.close(info_r)
            os.close(block_w)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.network.stop()
        reap_orphans()

    def wait(self):
        status = self.proc.wait()
        self.network.stop()
        reap_orphans()
        return status


def start(board, console, binds, program, env, time_mode, stdio):
    """bubblewrap, held before the program starts until the network is
    attached: (process, end its info comes from, end that lets it go on)."""
    conf_fd = conf.with_time(board.file("board.conf"), time_mode)
    info_r, info_w = os.pipe()
    block_r, block_w = os.pipe()
    theirs = [info_w, block_r] + ([conf_fd] if conf_fd is not None else [])
    argv = bwrap_argv(board, console, binds, program, env, conf_fd)
    argv[1:1] = ["--info-fd", str(info_w), "--block-fd", str(block_r)]
    try:
        proc = subprocess.Popen(argv, stdin=stdio[0], stdout=stdio[1], stderr=stdio[2],
                                pass_fds=theirs, env=host_env(), preexec_fn=default_signals)
    except OSError:
        os.close(info_r)
        os.close(block_w)
        raise
    finally:
        for fd in theirs:
            os.close(fd)
    return proc, info_r, block_w
