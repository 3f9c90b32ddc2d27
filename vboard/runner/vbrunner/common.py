"""What every part of the runner shares: where the build put what a board
needs, how a refusal is reported, and the environment of host tools."""
import os

# The package is installed beside the command, in the build's bin/.
BIN_DIR = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
BUILD_DIR = os.path.dirname(BIN_DIR)
LIBVBOARD = os.path.join(BUILD_DIR, "lib", "libvboard.so")
LIBDUMA = os.path.join(BUILD_DIR, "lib", "libduma.so.0.0.0")
VBOARD_HW = os.path.join(BIN_DIR, "vboard-hw")
LAUNCHER = os.path.join(BIN_DIR, "launcher")
SAMPLES = os.path.join(BUILD_DIR, "samples")
ROOTFS = os.path.join(BUILD_DIR, "share", "vboard", "rootfs")


class Refused(Exception):
    """Bad input: reported as one line, exit status 2, nothing changed."""


def fail(message):
    raise Refused(message)


def check_built():
    for path in (LIBVBOARD, VBOARD_HW, LIBDUMA, os.path.join(ROOTFS, "bin", "reboot")):
        if not os.path.exists(path):
            fail(f"{path}: not built (run make build)")


def host_env():
    """The environment of host tools the runner starts: never the board's
    preload, even when the runner itself runs inside a board's test."""
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "VBOARD_DIR"):
        env.pop(name, None)
    return env
