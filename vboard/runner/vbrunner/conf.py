"""board.conf, read by the device models' own parser: the runner asks
vboard-hw for the settings, so that the runner and the board's processes
never disagree about a file."""
import os
import subprocess

from .common import VBOARD_HW, fail, host_env


class Settings(dict):
    """KEY -> VALUE as vboard-hw prints them: sizes in bytes, one size.NAME
    key for every partition."""

    def parts(self):
        return [key[len("size."):] for key in self if key.startswith("size.")]

    def size(self, part):
        return int(self["size." + part])

    def missing(self):
        value = self.get("fault.missing")
        return set(value.split(",")) if value else set()


def ask(*args):
    try:
        result = subprocess.run([VBOARD_HW, "conf", *args], capture_output=True, text=True,
                                errors="replace", env=host_env())
    except FileNotFoundError:
        fail(f"{VBOARD_HW}: not built (run make build)")
    if result.returncode != 0:
        lines = result.stderr.strip().splitlines()
        fail(lines[-1].removeprefix("vboard-hw: ") if lines
             else f"vboard-hw conf {' '.join(args)}: exit status {result.returncode}")
    return Settings(line.split("=", 1) for line in result.stdout.splitlines())


def read(path):
    """The settings of the file at path, or Refused naming its line and key."""
    return ask(path)


def with_sets(items):
    """The defaults with each KEY=VALUE of items applied in turn, or Refused
    naming the item and key."""
    return ask(*[word for item in items for word in ("--set", item)])


def split_set(item):
    """(KEY, VALUE) of a setting the models have accepted."""
    key, _, value = item.partition("=")
    return key.strip(), value.strip()


TEMPLATE = """\
# Virtual board configuration: one "key = value" a line, '#' starts a comment.
# The commented settings are the defaults; uncomment one to change it.

# Board clock: fast (sleeps return at once and advance a virtual clock)
# or real (sleeps take their time).
# time = fast

# Flash geometry in bytes (decimal, or hexadecimal with 0x).
# erase_size = {erase_size}
{sizes}

# Injected faults; none by default.
# Device nodes that do not exist, e.g. /dev/i2c-0,/dev/mtd-rescue:
# fault.missing = NODE[,NODE...]
# 7-bit addresses on I2C bus 0 that never acknowledge, e.g. 0x54:
# fault.i2c_nak = ADDR[,ADDR...]
# Status polls before the CPLD reports ready, or never:
# fault.cpld_ready = 0
# The MTD probe (MEMGETINFO) fails:
# fault.mtd_probe = fail
# The Nth erase, or the Nth write, on any partition fails:
# fault.mtd_erase_fail_at = N
# fault.mtd_write_fail_at = N
# Power is cut (the writing process killed on the spot) after the Nth write:
# fault.power_cut_after_writes = N
"""


def text(items):
    """A new board's board.conf: every key documented with its default, then
    the settings items (accepted by with_sets) as given."""
    defaults = ask()
    sizes = "\n".join(f"# size.{p} = {defaults.size(p)}" for p in defaults.parts())
    out = TEMPLATE.format(erase_size=defaults["erase_size"], sizes=sizes)
    if items:
        out += "\n# Set when the board was created.\n"
        out += "".join("{} = {}\n".format(*split_set(item)) for item in items)
    return out


def with_time(path, mode):
    """A descriptor holding the board.conf at path with the time mode
    replaced, or None for no mode: what the board reads, the file unchanged.
    In memory, not a pipe: a pipe would block on a long file, nobody reading."""
    if mode is None:
        return None
    with open(path, "rb") as f:
        data = f.read()
    data += f"\n# vboard --time\ntime = {mode}\n".encode()
    fd = os.memfd_create("board.conf")
    try:
        os.write(fd, data)
        os.lseek(fd, 0, os.SEEK_SET)
    except OSError:
        os.close(fd)
        raise
    return fd
