"""The address questions, the management port and the TFTP rescue, key by key
through moduledrv; command lines and pauses read back from the board's trace
(fast time), the interface looked at inside the board."""
import os
import subprocess

import pytest

from board import Board
from console import MODULEDRV, session  # noqa: F401
from records import record
from vb import in_board, run_argv

IP, MASK, GW, SERVER = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
FILENAME = "Image Filename: "
INTRO = "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n"
INVALID = "Invalid IP address. Try again please\n"
SETTLE = "Configuring management port..." + "." * 20 + "\n"
INTERRUPT = None  # the interrupt key, in a list of answers
PACKAGE = record("app", bytes(range(256)) * 40, version=(1, 2, 3, 4))


def bad(text):
    return f"Invalid IP address {text}. Try again please\n"


def said(prompts, answers):
    return "".join(p + a + "\n" for p, a in zip(prompts, answers))


def ask(prompt, required, validate, initial="10.9.9.9"):
    return ("ask", prompt, required, validate, initial)


def converse(c, answers):
    # The board's program found once, not by a walk of /proc at every key.
    c.wait_reading()
    pid = c.reader()
    c.reader = lambda: pid
    for a in answers:
        if a is INTERRUPT:
            c.interrupt(direct=True)
        else:
            c.key(a + "\r")


ADDRESSES = ["127.0.0.1", "224.0.0.1", "239.255.255.255", "10.0.0.0", "10.0.0.255", "1.2.3.4"]
REFUSED = ["", "192.168.1.300", "0.0.0.0", "240.0.0.1", "255.255.255.255", "abc", "10.1"]


@pytest.mark.parametrize("ops,answers,text,results", [
    (ask(IP, 1, 1), REFUSED,
     IP + "\n" + INVALID + IP + "192.168.1.300\n" + INVALID + IP + "0.0.0.0\n" + bad("0.0.0.0") + IP + "240.0.0.1\n"
     + bad("240.0.0.1") + IP + "255.255.255.255\n" + bad("255.255.255.255") + IP + "abc\n" + INVALID + IP + "10.1\n",
     ["ask -> 1 10.0.0.1"]),
    (ask(SERVER, 1, 1) * len(ADDRESSES), ADDRESSES, said([SERVER] * 6, ADDRESSES),
     [f"ask -> 1 {a}" for a in ADDRESSES]),
    (ask(MASK, 0, 0, "255.0.0.0") * 2, ["", "0.0.0.0"], said([MASK] * 2, ["", "0.0.0.0"]),
     ["ask -> 1 255.0.0.0", "ask -> 1 0.0.0.0"]),
    # A rejected answer never reaches the variable: the empty one after it
    # keeps what the caller had.
    (ask(GW, 0, 1), ["0.0.0.0", "240.1.2.3", "10.0.0.400", ""],
     GW + "0.0.0.0\n" + bad("0.0.0.0") + GW + "240.1.2.3\n" + bad("240.1.2.3") + GW + "10.0.0.400\n" + INVALID
     + GW + "\n", ["ask -> 1 10.9.9.9"]),
    (ask(IP, 1, 1) + ask(MASK, 0, 0) + ask(GW, 0, 1) + ask(SERVER, 1, 1), ["q", "Q", "quit", "q"],
     said([IP, MASK, GW, SERVER], ["q", "Q", "quit", "q"]), ["ask -> 0 10.9.9.9"] * 4),
    pytest.param(("params", "1"), ["10.0.0.2", "", ""], said([IP, MASK, GW], ["10.0.0.2", "", ""]),
                 ["params -> 1 port=1 dhcp=0 10.0.0.2 0.0.0.0 0.0.0.0"],
                 marks=pytest.mark.skipif(os.path.exists("/bin/dhclient"), reason="this machine has dhclient")),
], ids=["refused", "plausible", "optional", "rejected-kept", "quit", "no-dhclient"])
def test_address_questions(session, ops, answers, text, results):
    """Outside any board: nothing here may run a command."""
    converse(session.local(*ops), answers)
    assert session.finish() == (text, results)


DECLINED = ["n", "N", "", "q"]


# Inside a board, whose /bin/dhclient makes the DHCP question come.
@pytest.mark.parametrize("ops,answers,text,results", [
    (("params", "1") * 3, ["y", "Y", "yes"], said([DHCP] * 3, ["y\n", "Y\n", "yes\n"]),
     ["params -> 1 port=1 dhcp=1 0.0.0.0 0.0.0.0 0.0.0.0"] * 3),
    (("params", "1") * 4, sum(([no, "10.0.0.2", "", ""] for no in DECLINED), []),
     "".join(said([DHCP, IP, MASK, GW], [no + "\n", "10.0.0.2", "", ""]) for no in DECLINED),
     ["params -> 1 port=1 dhcp=0 10.0.0.2 0.0.0.0 0.0.0.0"] * 4),
    (("params", "0"), ["10.0.0.2", "255.255.255.0", "10.0.0.1"], said([IP, MASK, GW], ["10.0.0.2", "255.255.255.0",
     "10.0.0.1"]), ["params -> 1 port=1 dhcp=0 10.0.0.2 255.255.255.0 10.0.0.1"]),
    (("params", "1"), [INTERRUPT, "y"], DHCP + "\x07y\n", ["params -> 0 port=1 dhcp=0 0.0.0.0 0.0.0.0 0.0.0.0"]),
    (("setup", "1") * 3, ["n", "q", "n", "10.0.0.2", "q", "n", "10.0.0.2", "", "q"],
     said([DHCP, IP], ["n\n", "q"]) + said([DHCP, IP, MASK], ["n\n", "10.0.0.2", "q"])
     + said([DHCP, IP, MASK, GW], ["n\n", "10.0.0.2", "", "q"]), ["setup -> 0"] * 3),
    # The TFTP rescue quits at each of its questions, and at the interrupt
    # key however the name was typed.
    (("tftp",) * 6, ["q", "10.0.0.2", "q", "10.0.0.2", "", "quit", "10.0.0.2", "", "", "Q",
                     "10.0.0.2", "", "", "10.0.0.1", "q", "10.0.0.2", "", "", "10.0.0.1", INTERRUPT, "g.bin"],
     INTRO + said([IP], ["q"]) + INTRO + said([IP, MASK], ["10.0.0.2", "q"])
     + INTRO + said([IP, MASK, GW], ["10.0.0.2", "", "quit"])
     + INTRO + said([IP, MASK, GW, SERVER], ["10.0.0.2", "", "", "Q"])
     + INTRO + said([IP, MASK, GW, SERVER, FILENAME], ["10.0.0.2", "", "", "10.0.0.1", "q"])
     + INTRO + said([IP, MASK, GW, SERVER, FILENAME], ["10.0.0.2", "", "", "10.0.0.1", "\x07g.bin"]),
     ["tftp -> 0"] * 6),
], ids=["dhcp", "declined", "not-offered", "interrupt", "setup-quit", "tftp-quit"])
def test_port_questions_run_no_command(session, ops, answers, text, results):
    converse(session.on_board(*ops), answers)
    assert session.finish() == (text, results)
    assert session.commands() == []


STATIC = [r'system "ifconfig eth1 10.0.0.2\n"']
SETTLING = ["sleep 5000000"] + ["sleep 1000000"] * 21


@pytest.mark.parametrize("args,text,events", [
    (("0", "1", "10.0.0.2", "255.255.255.0", "10.0.0.1"),
     "\tNetmask    : 255.255.255.0\n\tGateway    : 10.0.0.1\n" + SETTLE,
     STATIC + [r'system "ifconfig eth1 down\n"', r'system "ifconfig eth1 netmask 255.255.255.0\n"',
               r'system "ifconfig eth1 up\n"', "sleep 5000000", r'system "route add default gw 10.0.0.1\n"']
     + ["sleep 1000000"] * 21),
    (("0", "1", "10.0.0.2", "0.0.0.0", "0.0.0.0"), SETTLE, STATIC + SETTLING),
    (("1", "1", "0.0.0.0", "0.0.0.0", "0.0.0.0"), "", ['system "dhclient -1 eth1"', "sleep 3000000"]),
    # ifconfig refuses a multicast address: eth0 stays down, which is said
    # after the whole wait.
    (("0", "0", "224.0.0.1", "0.0.0.0", "0.0.0.0"), SETTLE + "Mgmt link not available. Quitting.\n",
     [r'system "ifconfig eth0 224.0.0.1\n"'] + SETTLING),
], ids=["static", "address-only", "dhcp", "no-link"])
def test_port_configuration(session, args, text, events):
    session.on_board("configure", *args)
    seen, results = session.finish()
    assert ours(seen) == text
    assert results == [f"configure -> {int(args[1] == '1')}"]
    assert [t for _, _, t in session.events(["system", "sleep"])] == events


def test_interface_really_configured_in_the_board(tmp_path):
    board = Board(tmp_path / "b")
    drv = in_board(MODULEDRV)
    # The kernel marks eth0 running a moment after its carrier comes: wait
    # for that, bounded by the real clock (sleeps are virtual here).
    script = (f"{drv} configure 0 1 10.0.0.2 255.255.255.0 10.0.0.1 >/dev/null 2>&1; "
              f"ip -4 -o addr show eth1; ip route show default; {drv} link 0; "
              f"{drv} configure 0 0 10.0.1.2 255.255.255.0 0.0.0.0 >/dev/null 2>&1; "
              "end=$(($(cut -d. -f1 /proc/uptime) + 30)); "
              "until ifconfig eth0 | grep -q RUNNING || [ $(cut -d. -f1 /proc/uptime) -gt $end ]; do :; done; "
              f"{drv} link 0")
    r = subprocess.run(run_argv(board.path, ["/bin/sh", "-c", script], programs=[MODULEDRV]),
                       capture_output=True, text=True, timeout=120)
    assert "inet 10.0.0.2/24" in r.stdout and "default via 10.0.0.1 dev eth1" in r.stdout, r.stderr
    assert r.stderr.splitlines()[-2:] == ["link -> 0", "link -> 1"]


def fetch(session, names, served=None, prelude=None, slot=None):
    """The TFTP rescue asked for each of names in turn from the board's
    server, which holds PACKAGE as served; installed in slot."""
    c = session.on_board("flash-init", "i2c-init", "tftp", prelude=prelude)
    if served:
        (session.board.path / "tftp" / served).parent.mkdir(parents=True, exist_ok=True)
        (session.board.path / "tftp" / served).write_bytes(PACKAGE)
    converse(c, ["10.0.0.2", "255.255.255.0", "", "10.0.0.1", *names])
    if slot:
        c.line(slot)
    return session.finish()


def ours(text):
    """The console without what busybox's tools themselves print."""
    return "".join(line for line in text.splitlines(keepends=True)
                   if not line.startswith(("tftp: ", "ifconfig: ")) and "ETA" not in line)


def test_tftp_package_fetched_and_installed(session):
    text, results = fetch(session, ["x", "Q", "", "pkg.bin"], served="pkg.bin", slot="2")
    assert text.startswith(INTRO + said([IP, MASK, GW, SERVER], ["10.0.0.2", "255.255.255.0", "", "10.0.0.1"])
                           + "".join(FILENAME + n + "\nInvalid filename. Try again please\n" for n in ["x", "Q", ""])
                           + FILENAME + "pkg.bin\n\tNetmask    : 255.255.255.0\n" + SETTLE
                           + "Installing image pkg.bin from TFTP server 10.0.0.1\n")
    assert "Attempt" not in text and results[-1] == "tftp -> 1"
    assert session.commands()[3:5] == [r'"ifconfig eth1 up\n"', r'"tftp -g -r pkg.bin -l /tmp/image 10.0.0.1\n"']
    assert (session.board.path / "user" / "images" / "image2").read_bytes() == PACKAGE
    assert session.board.vpd()[1] == 2


def test_tftp_file_missing_three_attempts_and_no_earlier_download(session):
    # What an earlier download left is never taken for this one's.
    text, results = fetch(session, ["missing.bin"], prelude="echo old >/tmp/image")
    tries = "".join(f"Installing image missing.bin from TFTP server 10.0.0.1\n"
                    f"Attempt {n}/3 of tftp timed out\n" for n in (1, 2, 3))
    assert ours(text).endswith(SETTLE + tries + "Tftp download failed. Aborting\n")
    assert results[-1] == "tftp -> 0"
    fetch_line = r'system "tftp -g -r missing.bin -l /tmp/image 10.0.0.1\n"'
    assert [t for _, _, t in session.events(["system", "sleep"]) if "tftp" in t or t == "sleep 3000000"] == [
        fetch_line, "sleep 3000000"] * 3


# Every name is fetched as typed and runs nothing but the client; plain
# names keep the command line byte for byte.
@pytest.mark.parametrize("name", [
    ("Img-1.2_3+4:5@6,7~8/" + "x" * 127)[:127],
    "we;ird $(x) 'q' `y` \"z\" & | < > * ? [a] {b} \\ #.bin", "~/p.bin", "-h",
    "a;touch /tmp/pwned #", "$(touch /tmp/pwned)", "`touch /tmp/pwned`", "x' ; touch /tmp/pwned ; '",
    "a|touch /tmp/pwned #", "a||touch /tmp/pwned #", "a >/tmp/pwned", "x'\\''; touch /tmp/pwned #",
    "x\\'; touch /tmp/pwned #",
])
def test_tftp_file_names(session, name):
    text, results = fetch(session, [name], served=name, slot="1")
    assert results[-1] == "tftp -> 1", text
    assert f"Installing image {name} from TFTP server 10.0.0.1\n" in text
    if name.startswith("Img"):
        assert session.commands()[4] == f'"tftp -g -r {name} -l /tmp/image 10.0.0.1\\n"'
    assert (session.board.path / "user" / "images" / "image1").read_bytes() == PACKAGE
    assert not (session.board.path / "tmp" / "pwned").exists()
