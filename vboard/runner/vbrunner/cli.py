"""vboard: the switch module on a PC.

A board is a directory (flash partitions, user filesystem, VPD EEPROM, CPLD
registers, TFTP server files, trace).  `vboard boot` runs the launcher on it
as the board's first program, in a namespace of its own: the board's root
filesystem, its console on a pseudo-terminal, its network with a TFTP server,
and the device models preloaded into every process.

Commands:
  vboard create BOARD [--sample] [--set KEY=VALUE ...]
  vboard boot BOARD [--once | --max-boots N] [--time fast|real]
                    [--timeout SECONDS] [--launcher PATH]
                    [--console terminal | --console pty] [--escape KEY|none]
                    [--bind HOST[:INSIDE] ...]
  vboard run BOARD [--time fast|real] [--env NAME=VALUE ...] [--launcher PATH]
                   [--bind HOST[:INSIDE] ...] -- CMD [ARGS...]
  vboard env BOARD [KEY=VALUE | KEY= ...] | --raw FILE
  vboard vpd BOARD [OFFSET[=VALUE]]
  vboard trace BOARD

Console of `vboard boot`: your terminal, switched to raw mode while the board
runs and restored after.  Ctrl-C reaches the board's foreground program as
SIGINT.  Ctrl-] (change with --escape, or --escape none) powers the board off
and returns; it counts only when typed on its own, with nothing else arriving
half a second before or after it, so that a file sent through the console
(XMODEM) may hold that byte.  Without a terminal on standard input the
console is relayed between standard input and standard output all the same.

With --console pty the console is a pseudo-terminal of its own, as a board's
serial port is for a terminal program: the first line on standard output
names it ("console: /dev/pts/N"); open it with picocom, minicom, screen or
lrzsz.  Whatever speed and modes either side sets, the bytes pass.  It stays
the same across the board's reboots.  The board runs whether a terminal has
it open or not: what the board writes meanwhile is kept, its last 64 KiB,
for the next terminal to open it (vboard says on standard error when output
is dropped or never read), and a terminal may close and open it again at
any time.  No escape key is looked for: Ctrl-C of vboard (or --once,
--max-boots, --timeout) powers the board off, and the port goes with it.

A board sees its own root filesystem and folder only.  --bind shows a file
or folder of the PC inside it, read-only, at INSIDE (by default at its own
path).  INSIDE may be none of the board's own paths (/bin, /sbin,
/lib, /lib64, /usr, /etc, /proc, /dev, /vboard, /user, /tmp), nor lie within
or above one.

Exit status of `vboard boot`:
  0    the application ended with status 0
  1    the application ended with another status
  2    bad arguments or board (nothing was run)
  3    the launcher ended without starting the application or rebooting
  4    the board rebooted once more than --once or --max-boots allow
  5    detached with the escape key
  124  --timeout expired
  128+N  the board's first program was killed by signal N (137: power cut),
         or vboard itself was (130: Ctrl-C, 143: SIGTERM)
`vboard run` exits with the status of CMD (128+N when killed by signal N).

The launcher (/bin/launcher in the board) may be the board's own build, for
32-bit big-endian PowerPC: it then runs under qemu-ppc with the PowerPC
device models found above it (build-ppc/lib/libvboard.so), and so does any
PowerPC program bound or started in the board.
"""

import argparse
import math
import os
import select
import signal
import sys
import time

from .board import cmd_trace, empty_tmp, lock_board, open_board, power_on, trace_events, trace_size
from .common import LAUNCHER, Refused, check_built, fail
from .console import Console, Terminal, drain, message, parse_escape
from .ptyport import PtyPort
from .create import cmd_create
from .envvpd import cmd_env, cmd_vpd
from .namespace import (INSIDE_LAUNCHER, Boot, board_env, become_subreaper, exit_status,
                        parse_bind, preloaded)
from .ppc import models_for

EXIT_APP_OK = 0
EXIT_APP_FAILED = 1
EXIT_USAGE = 2
EXIT_NO_APP = 3
EXIT_BOOT_LIMIT = 4
EXIT_DETACHED = 5
EXIT_TIMEOUT = 124


# ----------------------------------------------------------------------- run

def parse_env(items):
    extra = {}
    for item in items:
        name, eq, value = item.partition("=")
        if not eq or not name:
            fail(f"--env {item}: expected NAME=VALUE")
        extra[name] = value
    return extra


def cmd_run(args):
    board = open_board(args.board)
    check_built()
    if not args.command:
        fail("run: no command given (vboard run BOARD -- CMD ARGS...)")
    extra = parse_env(args.env or [])
    binds = board_binds(args, launcher_needed=False)
    lock = lock_board(board)
    try:
        power_on(board)
        empty_tmp(board)
        master, slave = os.openpty()
        try:
            boot = Boot(board, os.ttyname(slave), binds, preloaded(args.command),
                        board_env(extra), args.time, (None, None, None))
            pidfd = os.pidfd_open(boot.proc.pid)
            try:
                # Nobody reads the serial line of a run: keep it flowing.
                while True:
                    r, _, _ = select.select([master, pidfd], [], [])
                    if master in r:
                        drain(master, None)
                    if pidfd in r:
                        return exit_status(boot.wait())
            finally:
                os.close(pidfd)
                boot.kill()
        finally:
            os.close(master)
            os.close(slave)
    finally:
        os.close(lock)


# ---------------------------------------------------------------------- boot

def boot_limits(args):
    """(boots allowed or None, seconds allowed or None), or Refused."""
    if args.max_boots is not None and args.max_boots < 1:
        fail("--max-boots must be at least 1")
    if args.timeout is not None and not (math.isfinite(args.timeout) and args.timeout >= 0):
        fail(f"--timeout {args.timeout:g}: expected a number of seconds, 0 or more")
    return (1 if args.once else args.max_boots), args.timeout


def console_peer(args):
    """What makes the operator's side of the console, once the arguments
    are known to be good."""
    if args.console == "pty":
        if args.escape not in (None, "none"):
            fail(f"--escape {args.escape}: no key is looked for with --console pty "
                 "(Ctrl-C of vboard powers the board off)")
        return PtyPort
    escape = parse_escape(args.escape or "^]")
    return lambda: Terminal(escape)


def usable_launcher(path):
    launcher = os.path.abspath(path)
    if not os.path.isfile(launcher) or not os.access(launcher, os.X_OK):
        fail(f"{launcher}: no launcher (build it, or give --launcher PATH)")
    return launcher


def board_binds(args, launcher_needed):
    """What the board is shown of the PC: the launcher at /bin/launcher
    (`vboard run` goes without one when none is built), then --bind's
    paths; the device models they need are checked to be there."""
    binds = [parse_bind(item) for item in args.bind or []]
    if args.launcher or launcher_needed:
        binds.insert(0, (usable_launcher(args.launcher or LAUNCHER), INSIDE_LAUNCHER))
    elif os.path.isfile(LAUNCHER):
        binds.insert(0, (LAUNCHER, INSIDE_LAUNCHER))
    models_for(binds)
    return binds


def cmd_boot(args):
    board = open_board(args.board)
    check_built()
    binds = board_binds(args, launcher_needed=True)
    make_peer = console_peer(args)
    limit, timeout = boot_limits(args)
    lock = lock_board(board)
    try:
        console = Console(make_peer())
        try:
            if args.console == "pty":
                print(f"console: {console.peer.path}", flush=True)
            power_on(board)
            return boot_loop(board, console, binds, args.time, limit, timeout)
        finally:
            console.close()
    finally:
        os.close(lock)


def boot_loop(board, console, binds, time_mode, limit, timeout):
    """Boots again after each reboot; the exit status of `vboard boot`."""
    deadline = None if timeout is None else time.monotonic() + timeout
    boots = 0
    while True:
        if limit is not None and boots == limit:
            return EXIT_BOOT_LIMIT
        boots += 1
        how, returncode, events = boot_once(board, console, binds, time_mode, deadline)
        if how == "timeout":
            message(f"time limit of {timeout:g} s reached, board powered off")
            return EXIT_TIMEOUT
        if how == "detached":
            message("detached, board powered off")
            return EXIT_DETACHED
        if "reboot" in events:
            continue
        if returncode < 0 or returncode > 128:
            return exit_status(returncode)
        if "backtrace" in events:
            return EXIT_APP_OK if returncode == 0 else EXIT_APP_FAILED
        return EXIT_NO_APP


def boot_once(board, console, binds, time_mode, deadline):
    """One power cycle: (how it ended, the first program's status, the
    trace's event words of this boot)."""
    empty_tmp(board)
    console.reset_line()
    offset = trace_size(board)
    program = ["/usr/bin/setsid", "--ctty"] + preloaded([INSIDE_LAUNCHER])
    slave = console.slave
    boot = Boot(board, console.path, binds, program, board_env(),
                time_mode, (slave, slave, slave))
    try:
        how = console.relay(boot.proc, deadline)
    finally:
        boot.kill()
    return how, boot.proc.returncode, trace_events(board, offset)


# ---------------------------------------------------------------------- main

class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Refused(message)


def parser():
    p = Parser(prog="vboard", description="The switch module's virtual board.",
               formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    sub = p.add_subparsers(dest="command_name", required=True, metavar="COMMAND",
                           parser_class=Parser)

    c = sub.add_parser("create", help="make a new board directory")
    c.add_argument("board")
    c.add_argument("--sample", action="store_true",
                   help="sample images in flash and both slots, VPD selecting slot 1")
    c.add_argument("--set", action="append", metavar="KEY=VALUE",
                   help="a board.conf setting (repeatable)")
    c.set_defaults(func=cmd_create)

    b = sub.add_parser("boot", help="power on and run the launcher, its console on this "
                                           "terminal or a pseudo-terminal")
    b.add_argument("board")
    limit = b.add_mutually_exclusive_group()
    limit.add_argument("--once", action="store_true", help="stop when the first boot ends")
    limit.add_argument("--max-boots", type=int, metavar="N", help="stop after N boots")
    b.add_argument("--time", choices=("fast", "real"), help="override board.conf's time")
    b.add_argument("--timeout", type=float, metavar="SECONDS",
                   help="power off after this long")
    b.add_argument("--launcher", metavar="PATH", help="run this program instead of the launcher")
    b.add_argument("--console", choices=("terminal", "pty"), default="terminal",
                   help="the board's console on this terminal (the default), or on a "
                        "pseudo-terminal of its own for a terminal program to open, "
                        "named on the first line of output")
    b.add_argument("--escape", metavar="KEY",
                   help="the detach key of --console terminal, ^X or none (default ^])")
    b.add_argument("--bind", action="append", metavar="HOST[:INSIDE]",
                   help="show HOST read-only inside the board at INSIDE (repeatable)")
    b.set_defaults(func=cmd_boot, running=True)

    r = sub.add_parser("run", help="run a command inside the board")
    r.add_argument("board")
    r.add_argument("--time", choices=("fast", "real"), help="override board.conf's time")
    r.add_argument("--env", action="append", metavar="NAME=VALUE",
                   help="an environment variable for the command (repeatable)")
    r.add_argument("--launcher", metavar="PATH", help="the launcher at /bin/launcher")
    r.add_argument("--bind", action="append", metavar="HOST[:INSIDE]",
                   help="show HOST read-only inside the board at INSIDE, by default "
                        "at its own path (repeatable)")
    r.add_argument("command", nargs="*", metavar="-- CMD ARGS")
    r.set_defaults(func=cmd_run, running=True)

    e = sub.add_parser("env", help="print or change the U-Boot environment")
    e.add_argument("board")
    e.add_argument("settings", nargs="*", metavar="KEY=VALUE")
    e.add_argument("--raw", metavar="FILE", help="write FILE's bytes as the partition's start")
    e.set_defaults(func=cmd_env)

    v = sub.add_parser("vpd", help="print or change VPD EEPROM bytes")
    v.add_argument("board")
    v.add_argument("byte", nargs="?", metavar="OFFSET[=VALUE]")
    v.set_defaults(func=cmd_vpd)

    t = sub.add_parser("trace", help="print the board's trace")
    t.add_argument("board")
    t.set_defaults(func=cmd_trace)
    return p


def describe(error):
    """An OSError in one line, naming the file it concerns."""
    text = error.strerror or str(error)
    return f"{error.filename}: {text}" if error.filename else text


def main(argv):
    become_subreaper()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(128 + signal.SIGHUP))
    args = None
    try:
        command = None
        if argv[:1] == ["run"] and "--" in argv:
            # Options of run come before the "--"; everything after is CMD's.
            command = argv[argv.index("--") + 1:]
            argv = argv[:argv.index("--")]
        args = parser().parse_args(argv)
        if command is not None:
            args.command = command
        return args.func(args)
    except Refused as e:
        print(f"vboard: {e}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except OSError as e:
        # The PC refused something: a file of the board, or for a boot what
        # the board needs (namespaces, the TFTP server, a device node).
        running = getattr(args, "running", False)
        print(f"vboard: {'cannot run the board: ' if running else ''}{describe(e)}",
              file=sys.stderr)
        return EXIT_USAGE
