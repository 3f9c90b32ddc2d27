"""The board's network: eth0 and eth1 are veth pairs whose peers, srv0 and
srv1, live in a second namespace with the TFTP server, never routed to the
host."""
import ctypes
import errno
import signal
import subprocess
import time

from .common import host_env

SERVER_ADDR = "10.0.0.1"
SERVER_ADDR0 = "10.0.1.1"


def set_death_signal():
    """Run in a child before exec: die with the runner, so that a runner
    killed on the spot leaves no server behind."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def run_host(argv, stdin_data=None):
    result = subprocess.run(argv, input=stdin_data, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=host_env())
    if result.returncode != 0:
        raise OSError(errno.EIO, f"{argv[0]}: {result.stdout.decode(errors='replace').strip()}")


class Network:
    """The TFTP server's namespace, joined to the board by two veth pairs."""

    def __init__(self, tftp_dir):
        # A shell in a new network namespace waits until the veths exist,
        # configures its side and becomes the server, PID 1 of a PID namespace
        # of its own so that no transfer child outlives it.
        script = (
            "echo ready; read go; "
            "ip link set lo up && "
            f"ip addr add {SERVER_ADDR0}/24 dev srv0 && ip link set srv0 up && "
            f"ip addr add {SERVER_ADDR}/24 dev srv1 && ip link set srv1 up || exit 1; "
            "exec unshare --pid --fork --kill-child "
            'in.tftpd --foreground --secure --permissive --user root "$0"'
        )
        self.proc = subprocess.Popen(
            ["unshare", "--net", "--", "/bin/sh", "-c", script, tftp_dir],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=host_env(),
            preexec_fn=set_death_signal)
        if self.proc.stdout.readline() != b"ready\n":
            self.stop()
            raise OSError(errno.EIO, "TFTP server namespace did not start")

    def attach(self, board_pid):
        """Creates eth0 and eth1 in the board's namespace and starts the
        server; returns once it listens."""
        run_host(["ip", "-batch", "-"], (
            f"link add eth0 netns {board_pid} type veth peer name srv0 netns {self.proc.pid}\n"
            f"link add eth1 netns {board_pid} type veth peer name srv1 netns {self.proc.pid}\n"
        ).encode())
        self.proc.stdin.write(b"go\n")
        self.proc.stdin.close()
        udp = f"/proc/{self.proc.pid}/net/udp"
        while self.proc.poll() is None:
            with open(udp) as f:
                if any(line.split()[1].endswith(":0045") for line in f.readlines()[1:]):
                    return
            time.sleep(0.005)
        raise OSError(errno.EIO, "TFTP server did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout):
            if not pipe.closed:
                pipe.close()
