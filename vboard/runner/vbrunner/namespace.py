"""The board's namespace: bubblewrap with the board's root filesystem, its
folder, its device nodes and console, what the board needs to run and what
a caller asked to bind; one Boot is one power cycle of it."""
import ctypes
import json
import os
import signal
import subprocess
import sysconfig

from . import conf, ppc
from .common import LIBDUMA, LIBVBOARD, ROOTFS, VBOARD_HW, fail, host_env
from .network import Network

BOARD_PATH = "/bin:/sbin:/usr/bin:/usr/sbin"
# Every dynamic loader completes $LIB with a folder of its own (the dollar
# sign stays in the variable): PC and PowerPC programs of one board each find
# their own build of the device models.
INSIDE_LIBVBOARD = "/lib/vboard/$LIB/libvboard.so"
PC_LIB_DIR = sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu"
INSIDE_HW = "/lib/vboard/vboard-hw"
INSIDE_LAUNCHER = "/bin/launcher"

# What the namespace is made of below: a bind asked for may be none of these,
# nor lie within or above one.
BOARD_PATHS = ("/bin", "/sbin", "/lib", "/lib64", "/usr", "/etc", "/proc", "/dev",
               "/vboard", "/user", "/tmp")

# The user filesystem's devices, handled by the mount and flash_eraseall stubs.
USER_NODES = ("/dev/mtd-user", "/dev/mtd-user-char")

# Capabilities of the board's root, in a user namespace of its own: enough to
# configure its network, own its files and signal its processes; no mounts,
# no module loading, no reboot of the PC.
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


def lib_links(ppc_models):
    """The links of the board's /lib: {INSIDE: HOST}."""
    links = {f"/lib/{d}": f"/usr/lib/{d}" for d in sorted(os.listdir("/usr/lib")) if "-linux-" in d}
    if ppc_models:
        links.update(ppc.lib_links())
    return links


def bwrap_argv(board, console, binds, program, env, conf_fd, ppc_models=None):
    """binds: (HOST, INSIDE) pairs bound read-only after the board's own;
    ppc_models: the PowerPC device models, for a board with PowerPC programs."""
    # The board's root is root in a user namespace of its own: capabilities
    # held there reach nothing of the PC, and a binfmt_misc mounted there is
    # the board's own.  A root runner's capabilities are all dropped first:
    # bubblewrap would otherwise leave root every one of them.
    argv = ["bwrap", "--unshare-user", "--uid", "0", "--gid", "0", "--unshare-pid",
            "--unshare-net", "--unshare-ipc", "--unshare-uts", "--hostname", "board",
            "--die-with-parent", "--cap-drop", "ALL"]
    for cap in BOARD_CAPS:
        argv += ["--cap-add", cap]
    # The PC's programs and libraries, read-only; the board's own /bin.
    argv += ["--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc"]
    for inside, host in lib_links(ppc_models).items():
        argv += ["--symlink", host, inside]
    if os.path.isdir("/usr/lib64"):
        argv += ["--symlink", "usr/lib64", "/lib64"]
    argv += ["--ro-bind", os.path.join(ROOTFS, "bin"), "/bin", "--symlink", "bin", "/sbin"]
    # lrzsz's receiver, reached through the board's own /usr/bin/rx.
    if os.path.isfile("/usr/bin/rx"):
        argv += ["--ro-bind", "/usr/bin/rx", "/lib/vboard/lrzsz/rx",
                 "--ro-bind", os.path.join(ROOTFS, "usr", "bin", "rx"), "/usr/bin/rx"]
    argv += ["--ro-bind", LIBVBOARD, models_path(PC_LIB_DIR), "--ro-bind", VBOARD_HW, INSIDE_HW,
             "--ro-bind", LIBDUMA, "/lib/libduma.so.0.0.0"]
    if ppc_models:
        argv += ["--ro-bind", ppc_models, models_path(ppc.LIB_DIR)]
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


def models_path(lib_dir):
    return INSIDE_LIBVBOARD.replace("$LIB", f"lib/{lib_dir}")


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
        ppc_models = ppc.models_for(binds)
        gate = Gate() if ppc_models else None
        if gate:
            program = ppc.gated(program, gate.ready_w, gate.go_r)
        self.network = Network(board.file("tftp"))
        try:
            self.proc, info_r, block_w = start(board, console, binds, program, env,
                                               time_mode, stdio, ppc_models, gate)
        except BaseException:
            self.network.stop()
            if gate:
                gate.close()
            raise
        try:
            info = read_info(info_r)
            self.network.attach(info["child-pid"])
            os.write(block_w, b"x")
            if gate:
                # The board's root is complete only once its first program runs.
                gate.wait_ready()
                ppc.register(info["child-pid"])
                gate.go()
        except (OSError, KeyError, ValueError):
            self.kill()
            raise
        finally:
            os.close(info_r)
            os.close(block_w)
            if gate:
                gate.close()

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


class Gate:
    """Two pipes between the runner and the board's first program: the board
    says it is ready, the runner lets it go on."""

    def __init__(self):
        self.ready_r, self.ready_w = os.pipe()
        self.go_r, self.go_w = os.pipe()

    def theirs(self):
        return [self.ready_w, self.go_r]

    def wait_ready(self):
        if os.read(self.ready_r, 1) != b"x":
            raise ValueError("the board's namespace did not start")

    def go(self):
        os.write(self.go_w, b"go\n")

    def close(self, names=("ready_r", "ready_w", "go_r", "go_w")):
        for name in names:
            if getattr(self, name) is not None:
                os.close(getattr(self, name))
                setattr(self, name, None)


def start(board, console, binds, program, env, time_mode, stdio, ppc_models=None, gate=None):
    """bubblewrap, held before the program starts until the network is
    attached: (process, end its info comes from, end that lets it go on)."""
    conf_fd = conf.with_time(board.file("board.conf"), time_mode)
    info_r, info_w = os.pipe()
    block_r, block_w = os.pipe()
    theirs = [info_w, block_r] + ([conf_fd] if conf_fd is not None else [])
    argv = bwrap_argv(board, console, binds, program, env, conf_fd, ppc_models)
    argv[1:1] = ["--info-fd", str(info_w), "--block-fd", str(block_r)]
    try:
        proc = subprocess.Popen(argv, stdin=stdio[0], stdout=stdio[1], stderr=stdio[2],
                                pass_fds=theirs + (gate.theirs() if gate else []),
                                env=host_env(), preexec_fn=default_signals)
    except OSError:
        os.close(info_r)
        os.close(block_w)
        raise
    finally:
        for fd in theirs:
            os.close(fd)
        if gate:
            gate.close(("ready_w", "go_r"))
    return proc, info_r, block_w
