"""The address questions, the management port and the TFTP rescue through
moduledrv; command lines and pauses read back from the board's trace."""
import os
import subprocess

import pytest

from board import Board
from console import MODULEDRV, session  # noqa: F401
from records import record
from vb import in_board, run_argv

IP, MASK, GW, SERVER = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
INTRO = "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n"
INVALID = "Invalid IP address. Try again please\n"
SETTLE = "Configuring management port..." + "." * 20 + "\n"
INTERRUPT = None
PACKAGE = record("app", bytes(range(256)) * 40, version=(1, 2, 3, 4))
SLOT = "Install image as image 1 or 2 (hit return to just boot image): "


def bad(text):
    return f"Invalid IP address {text}. Try again please\n"


def converse(c, script):
    """script: what the program writes, then what is typed (INTERRUPT: the
    interrupt key), in turn.  Returns the console that must result."""
    c.wait_reading()
    pid = c.reader()
    c.reader = lambda: pid  # found once, not by a walk of /proc at every key
    c.keys([None if k is INTERRUPT else k + "\r" for k in script[1::2]], direct=True)
    return "".join(w + ("\x07" if k is INTERRUPT else k + "\n") for w, k in zip(script[::2], script[1::2])) + (
        script[-1] if len(script) % 2 else "")


ADDRESSES = ["127.0.0.1", "224.0.0.1", "239.255.255.255", "10.0.0.0", "10.0.0.255", "1.2.3.4"]


@pytest.mark.parametrize("ops,script,results", [
    (("ask", IP, 1, 1, "0.0.0.0"), [IP, "", INVALID + IP, "192.168.1.300", INVALID + IP, "0.0.0.0", bad("0.0.0.0") + IP,
     "240.0.0.1", bad("240.0.0.1") + IP, "255.255.255.255", bad("255.255.255.255") + IP, "abc", INVALID + IP, "10.1"],
     ["ask -> 1 10.0.0.1"]),
    (("ask", SERVER, 1, 1, "0.0.0.0") * 6, sum(([SERVER, a] for a in ADDRESSES), []), [f"ask -> 1 {a}" for a in ADDRESSES]),
    (("ask", MASK, 0, 0, "255.0.0.0") * 2, [MASK, "", MASK, "0.0.0.0"], ["ask -> 1 255.0.0.0", "ask -> 1 0.0.0.0"]),
    # A rejected answer never reaches the variable: an empty one after it
    # keeps what the caller had.
    (("ask", GW, 0, 1, "10.9.9.9"), [GW, "0.0.0.0", bad("0.0.0.0") + GW, "240.1.2.3", bad("240.1.2.3") + GW,
     "10.0.0.400", INVALID + GW, ""], ["ask -> 1 10.9.9.9"]),
    (("ask", IP, 1, 1, "10.9.9.9", "ask", MASK, 0, 0, "10.9.9.9", "ask", GW, 0, 1, "10.9.9.9", "ask", SERVER, 1, 1,
      "10.9.9.9"), [IP, "q", MASK, "Q", GW, "quit", SERVER, "q"], ["ask -> 0 10.9.9.9"] * 4),
    pytest.param(("params", "1"), [IP, "10.0.0.2", MASK, "", GW, ""],
                 ["params -> 1 port=1 dhcp=0 10.0.0.2 0.0.0.0 0.0.0.0"],
                 marks=pytest.mark.skipif(os.path.exists("/bin/dhclient"), reason="this machine has dhclient")),
], ids=["refused", "plausible", "optional", "rejected-kept", "quit", "no-dhclient"])
def test_address_questions(session, ops, script, results):
    """Outside any board: nothing here may run a command."""
    text = converse(session.local(*ops), script)
    assert session.finish() == (text, results)


TFTP_QUESTIONS = [INTRO + IP, "10.0.0.2", MASK, "255.255.255.0", GW, "", SERVER, "10.0.0.1", "Image Filename: "]


# Inside a board, whose /bin/dhclient makes the DHCP question come.
@pytest.mark.parametrize("ops,script,results", [
    (("params", "1") * 3, [DHCP, "y", "\n" + DHCP, "Y", "\n" + DHCP, "yes", "\n"],
     ["params -> 1 port=1 dhcp=1 0.0.0.0 0.0.0.0 0.0.0.0"] * 3),
    (("params", "1") * 4, sum(([DHCP, no, "\n" + IP, "10.0.0.2", MASK, "", GW, ""] for no in ["n", "N", "", "q"]), []),
     ["params -> 1 port=1 dhcp=0 10.0.0.2 0.0.0.0 0.0.0.0"] * 4),
    (("params", "0"), [IP, "10.0.0.2", MASK, "255.255.255.0", GW, "10.0.0.1"],
     ["params -> 1 port=1 dhcp=0 10.0.0.2 255.255.255.0 10.0.0.1"]),
    (("params", "1"), [DHCP, INTERRUPT, "", "y"], ["params -> 0 port=1 dhcp=0 0.0.0.0 0.0.0.0 0.0.0.0"]),
    (("setup", "1") * 3, [DHCP, "n", "\n" + IP, "q", DHCP, "n", "\n" + IP, "10.0.0.2", MASK, "q", DHCP, "n",
                          "\n" + IP, "10.0.0.2", MASK, "", GW, "q"], ["setup -> 0"] * 3),
    # The TFTP rescue quits at each of its questions, and at the interrupt
    # key even with a name typed.
    (("tftp",) * 6, sum((TFTP_QUESTIONS[:n] + [q] for n, q in [(1, "q"), (3, "q"), (5, "quit"), (7, "Q"), (9, "q")]),
                        []) + TFTP_QUESTIONS + [INTERRUPT, "", "g.bin"], ["tftp -> 0"] * 6),
], ids=["dhcp", "declined", "not-offered", "interrupt", "setup-quit", "tftp-quit"])
def test_port_questions_run_no_command(session, ops, script, results):
    text = converse(session.on_board(*ops), script)
    assert session.finish() == (text, results)
    assert session.commands() == []


SETTLING = ["sleep 5000000"] + ["sleep 1000000"] * 21


@pytest.mark.parametrize("args,text,events", [
    ("0 1 10.0.0.2 255.255.255.0 10.0.0.1", "\tNetmask    : 255.255.255.0\n\tGateway    : 10.0.0.1\n" + SETTLE,
     [r'system "ifconfig eth1 10.0.0.2\n"', r'system "ifconfig eth1 down\n"',
      r'system "ifconfig eth1 netmask 255.255.255.0\n"', r'system "ifconfig eth1 up\n"', "sleep 5000000",
      r'system "route add default gw 10.0.0.1\n"'] + ["sleep 1000000"] * 21),
    ("0 1 10.0.0.2 0.0.0.0 0.0.0.0", SETTLE, [r'system "ifconfig eth1 10.0.0.2\n"'] + SETTLING),
    ("1 1 0.0.0.0 0.0.0.0 0.0.0.0", "", ['system "dhclient -1 eth1"', "sleep 3000000"]),
    # ifconfig refuses a multicast address: eth0 stays down, which is said
    # after the whole wait.
    ("0 0 224.0.0.1 0.0.0.0 0.0.0.0", SETTLE + "Mgmt link not available. Quitting.\n",
     [r'system "ifconfig eth0 224.0.0.1\n"'] + SETTLING),
], ids=["static", "address-only", "dhcp", "no-link"])
def test_port_configuration(session, args, text, events):
    session.on_board("configure", *args.split())
    seen, results = session.finish()
    assert (ours(seen), results) == (text, [f"configure -> {int(args[2] == '1')}"])
    assert [t for _, _, t in session.events(["system", "sleep"])] == events


def test_interface_really_configured_in_the_board(tmp_path):
    drv = in_board(MODULEDRV)
    # The kernel marks eth0 running a moment after its carrier comes: wait
    # for that, bounded by the real clock (sleeps are virtual here).
    script = (f"{drv} configure 0 1 10.0.0.2 255.255.255.0 10.0.0.1 >/dev/null 2>&1; "
              f"ip -4 -o addr show eth1; ip route show default; {drv} link 0; "
              f"{drv} configure 0 0 10.0.1.2 255.255.255.0 0.0.0.0 >/dev/null 2>&1; "
              "end=$(($(cut -d. -f1 /proc/uptime) + 30)); "
              "until ifconfig eth0 | grep -q RUNNING || [ $(cut -d. -f1 /proc/uptime) -gt $end ]; do :; done; "
              f"{drv} link 0")
    r = subprocess.run(run_argv(Board(tmp_path / "b").path, ["/bin/sh", "-c", script], programs=[MODULEDRV]),
                       capture_output=True, text=True, timeout=120)
    assert "inet 10.0.0.2/24" in r.stdout and "default via 10.0.0.1 dev eth1" in r.stdout, r.stderr
    assert r.stderr.splitlines()[-2:] == ["link -> 0", "link -> 1"]


def ours(text):
    """The console without what busybox's tools themselves print."""
    return "".join(line for line in text.splitlines(keepends=True)
                   if not line.startswith(("tftp: ", "ifconfig: ")) and "ETA" not in line)


ASKED_AGAIN = "Invalid filename. Try again please\nImage Filename: "
NAMES = ["Img-1.2_3+4:5@6,7~8/x", "x;reboot", "we;ird $(x) 'q' `y` \"z\" & | < > * ? [a] {b} \\ #.bin", "~/p.bin", "-h",
         "a;touch /tmp/pwned #", "$(touch /tmp/pwned)", "`touch /tmp/pwned`", "x' ; touch /tmp/pwned ; '",
         "a|touch /tmp/pwned #", "a||touch /tmp/pwned #", "a >/tmp/pwned", "x'\\''; touch /tmp/pwned #",
         "x\\'; touch /tmp/pwned #"]


def fetch(session, tails, slot=None, prelude=None):
    """The TFTP rescue once for each tail of its dialogue (ending in a file
    name), the board's server holding PACKAGE at each name but missing.bin,
    each arrival installed in slot: the console each dialogue must show, the
    console, the results."""
    c = session.on_board("flash-init", "i2c-init", *["tftp"] * len(tails), prelude=prelude)
    for name in NAMES + ["pkg.bin"]:
        (session.board.path / "tftp" / name).parent.mkdir(parents=True, exist_ok=True)
        (session.board.path / "tftp" / name).write_bytes(PACKAGE)
    expected = []
    for tail in tails:
        expected.append(converse(c, TFTP_QUESTIONS + tail))
        if slot:
            c.expect(SLOT)
            c.line(slot)
    return (expected, *session.finish())


def test_tftp_file_missing_three_attempts_and_no_earlier_download(session):
    # What an earlier download left is never taken for this one's.
    expected, text, results = fetch(session, [["missing.bin"]], prelude="echo old >/tmp/image")
    tries = "".join(f"Installing image missing.bin from TFTP server 10.0.0.1\n"
                    f"Attempt {n}/3 of tftp timed out\n" for n in (1, 2, 3))
    assert ours(text).endswith(SETTLE + tries + "Tftp download failed. Aborting\n")
    assert results[-1] == "tftp -> 0"
    fetch_line = r'system "tftp -g -r missing.bin -l /tmp/image 10.0.0.1\n"'
    assert [t for _, _, t in session.events(["system", "sleep"]) if "tftp" in t or t == "sleep 3000000"] == [
        fetch_line, "sleep 3000000"] * 3


def test_tftp_packages_fetched_as_typed_and_installed_running_nothing_else(session):
    expected, text, results = fetch(session, [["x", ASKED_AGAIN, "Q", ASKED_AGAIN, "", ASKED_AGAIN, "pkg.bin"]]
                                    + [[n] for n in NAMES], "2")
    assert text.startswith(expected[0] + "\tNetmask    : 255.255.255.0\n" + SETTLE
                           + "Installing image pkg.bin from TFTP server 10.0.0.1\n")
    assert "Attempt" not in text and results[2:] == ["tftp -> 1"] * (1 + len(NAMES))
    assert all(f"Installing image {n} from TFTP server 10.0.0.1\n" in text for n in NAMES)
    # Plain names keep the command line byte for byte.
    assert session.commands()[3:5] == [r'"ifconfig eth1 up\n"', r'"tftp -g -r pkg.bin -l /tmp/image 10.0.0.1\n"']
    assert f'"tftp -g -r {NAMES[0]} -l /tmp/image 10.0.0.1\\n"' in session.commands()
    assert (session.board.path / "user" / "images" / "image2").read_bytes() == PACKAGE
    assert session.board.vpd()[1] == 2 and not (session.board.path / "tmp" / "pwned").exists()
