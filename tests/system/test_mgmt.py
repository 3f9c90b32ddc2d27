"""The address questions, the management port and the TFTP rescue, through moduledrv."""
import pytest

from console import session  # noqa: F401
from records import record

IP, MASK, GW, SERVER = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
INVALID = "Invalid IP address. Try again please\n"
SETTLE = "Configuring management port..." + "." * 20 + "\n"
INTERRUPT = None
TFTP_QUESTIONS = ["Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n" + IP,
                  "10.0.0.2", MASK, "255.255.255.0", GW, "", SERVER, "10.0.0.1", "Image Filename: "]


def bad(text):
    return f"Invalid IP address {text}. Try again please\n"


def converse(c, script):
    """script: what the program writes, then what is typed (INTERRUPT: the
    interrupt key), in turn.  Returns the console that must result."""
    c.wait_reading()
    pid = c.reader()
    c.reader = lambda: pid  # found once, not by a walk of /proc at every key
    c.keys([k if k is INTERRUPT else k + "\r" for k in script[1::2]], direct=True)
    return "".join(w + ("\x07" if k is INTERRUPT else k + "\n") for w, k in zip(script[::2], script[1::2])) + (
        script[-1] if len(script) % 2 else "")


ADDRESSES = ["127.0.0.1", "224.0.0.1", "239.255.255.255", "10.0.0.0", "10.0.0.255", "1.2.3.4"]


# Outside any board (nothing here may run a command), then inside a board,
# whose /bin/dhclient makes the DHCP question come.
@pytest.mark.parametrize("ops,script,results", [
    (("ask", IP, 1, 1, "0.0.0.0"), [IP, "", INVALID + IP, "192.168.1.300", INVALID + IP, "0.0.0.0", bad("0.0.0.0") + IP,
     "240.0.0.1", bad("240.0.0.1") + IP, "255.255.255.255", bad("255.255.255.255") + IP, "abc", INVALID + IP, "10.1"],
     ["ask -> 1 10.0.0.1"]),
    (("ask", SERVER, 1, 1, "0.0.0.0") * 6, sum(([SERVER, a] for a in ADDRESSES), []), [f"ask -> 1 {a}" for a in ADDRESSES]),
    (("ask", MASK, 0, 0, "255.0.0.0") * 2, [MASK, "", MASK, "0.0.0.0"], ["ask -> 1 255.0.0.0", "ask -> 1 0.0.0.0"]),
    # A rejected answer never reaches the variable: an empty one keeps the caller's.
    (("ask", GW, 0, 1, "10.9.9.9"), [GW, "0.0.0.0", bad("0.0.0.0") + GW, "240.1.2.3", bad("240.1.2.3") + GW,
     "10.0.0.400", INVALID + GW, ""], ["ask -> 1 10.9.9.9"]),
    (("ask", IP, 1, 1, "10.9.9.9", "ask", MASK, 0, 0, "10.9.9.9", "ask", GW, 0, 1, "10.9.9.9", "ask", SERVER, 1, 1,
      "10.9.9.9"), [IP, "q", MASK, "Q", GW, "quit", SERVER, "q"], ["ask -> 0 10.9.9.9"] * 4),
    (("board",) + ("params", "1") * 3, [DHCP, "y", "\n" + DHCP, "Y", "\n" + DHCP, "yes", "\n"],
     ["params -> 1 port=1 dhcp=1 0.0.0.0 0.0.0.0 0.0.0.0"] * 3),
    (("board",) + ("params", "1") * 4,
     sum(([DHCP, no, "\n" + IP, "10.0.0.2", MASK, "", GW, ""] for no in ["n", "N", "", "q"]), []),
     ["params -> 1 port=1 dhcp=0 10.0.0.2 0.0.0.0 0.0.0.0"] * 4),
    (("board", "params", "0"), [IP, "10.0.0.2", MASK, "255.255.255.0", GW, "10.0.0.1"],
     ["params -> 1 port=1 dhcp=0 10.0.0.2 255.255.255.0 10.0.0.1"]),
    (("board", "params", "1"), [DHCP, INTERRUPT, "", "y"], ["params -> 0 port=1 dhcp=0 0.0.0.0 0.0.0.0 0.0.0.0"]),
    # The TFTP rescue quits at each question, and at the interrupt key after a name.
    (("board",) + ("tftp",) * 6, sum((TFTP_QUESTIONS[:n] + [q] for n, q in [(1, "q"), (3, "q"), (5, "quit"), (7, "Q"),
                                                                            (9, "q")]), []) + TFTP_QUESTIONS
     + [INTERRUPT, "", "g.bin"], ["tftp -> 0"] * 6),
], ids=["refused", "plausible", "optional", "rejected-kept", "quit", "dhcp", "declined", "not-offered", "interrupt",
        "tftp-quit"])
def test_questions_run_no_command(session, ops, script, results):
    on_board = ops[0] == "board"
    text = converse(session.on_board(*ops[1:]) if on_board else session.local(*ops), script)
    assert session.finish() == (text, results)
    assert not on_board or session.commands() == []


SETTLING = ["sleep 5000000"] + ["sleep 1000000"] * 21


@pytest.mark.parametrize("args,text,events", [
    ("0 1 10.0.0.2 255.255.255.0 10.0.0.1", "\tNetmask    : 255.255.255.0\n\tGateway    : 10.0.0.1\n" + SETTLE,
     [r'system "ifconfig eth1 10.0.0.2\n"', r'system "ifconfig eth1 down\n"',
      r'system "ifconfig eth1 netmask 255.255.255.0\n"', r'system "ifconfig eth1 up\n"', "sleep 5000000",
      r'system "route add default gw 10.0.0.1\n"'] + ["sleep 1000000"] * 21),
    ("0 1 10.0.0.2 0.0.0.0 0.0.0.0", SETTLE, [r'system "ifconfig eth1 10.0.0.2\n"'] + SETTLING),
    ("1 1 0.0.0.0 0.0.0.0 0.0.0.0", "", ['system "dhclient -1 eth1"', "sleep 3000000"]),
    # ifconfig refuses a multicast address: eth0 stays down, said after the wait.
    ("0 0 224.0.0.1 0.0.0.0 0.0.0.0", SETTLE + "Mgmt link not available. Quitting.\n",
     [r'system "ifconfig eth0 224.0.0.1\n"'] + SETTLING),
], ids=["static", "address-only", "dhcp", "no-link"])
def test_port_configuration(session, args, text, events):
    session.on_board("configure", *args.split())
    seen, results = session.finish()
    assert (ours(seen), results) == (text, [f"configure -> {int(args[2] == '1')}"])
    assert [t for _, _, t in session.events(["system", "sleep"])] == events


def ours(text):  # without what busybox's tools print themselves
    return "".join(line for line in text.splitlines(keepends=True)
                   if not line.startswith(("tftp: ", "ifconfig: ")) and "ETA" not in line)


ASKED_AGAIN = "Invalid filename. Try again please\nImage Filename: "
NAMES = ["Img-1.2_3+4:5@6,7~8/x", "x;reboot", "we;ird $(x) 'q' `y` \"z\" & | < > * ? [a] {b} \\ #.bin", "~/p.bin", "-h",
         "a;touch /tmp/pwned #", "$(touch /tmp/pwned)", "`touch /tmp/pwned`", "x' ; touch /tmp/pwned ; '",
         "a|touch /tmp/pwned #", "a||touch /tmp/pwned #", "a >/tmp/pwned", "x'\\''; touch /tmp/pwned #",
         "x\\'; touch /tmp/pwned #"]


def test_tftp_fetches_as_typed_tries_three_times_and_installs_running_nothing_else(session):
    # A missing file, after an earlier download never taken for it; then names as typed.
    package = record("app", bytes(range(256)) * 40, version=(1, 2, 3, 4))
    c = session.on_board("flash-init", "i2c-init", *["tftp"] * (2 + len(NAMES)), prelude="echo old >/tmp/image")
    for name in NAMES + ["pkg.bin"]:
        (session.board.path / "tftp" / name).parent.mkdir(parents=True, exist_ok=True)
        (session.board.path / "tftp" / name).write_bytes(package)
    expected = [converse(c, TFTP_QUESTIONS + ["missing.bin"])]
    for tail in [["x", ASKED_AGAIN, "Q", ASKED_AGAIN, "", ASKED_AGAIN, "pkg.bin"]] + [[n] for n in NAMES]:
        expected += [converse(c, TFTP_QUESTIONS + tail)]
        c.expect("Install image as image 1 or 2 (hit return to just boot image): ")
        c.line("2")
    text, results = session.finish()
    configured = "\tNetmask    : 255.255.255.0\n" + SETTLE
    tries = "".join(f"Installing image missing.bin from TFTP server 10.0.0.1\nAttempt {n}/3 of tftp timed out\n"
                    for n in (1, 2, 3))
    assert ours(text).startswith(expected[0] + configured + tries + "Tftp download failed. Aborting\n" + expected[1]
                                 + configured + "Installing image pkg.bin from TFTP server 10.0.0.1\n")
    assert text.count("Attempt") == 3 and results[2:] == ["tftp -> 0"] + ["tftp -> 1"] * (1 + len(NAMES))
    assert all(f"Installing image {n} from TFTP server 10.0.0.1\n" in text for n in NAMES)
    # Plain names keep the command line byte for byte, right after the port is up.
    fetches = [t for _, _, t in session.events(["system", "sleep"]) if "tftp" in t or t == "sleep 3000000"]
    assert fetches[:7] == [r'system "tftp -g -r missing.bin -l /tmp/image 10.0.0.1\n"', "sleep 3000000"] * 3 + [
        r'system "tftp -g -r pkg.bin -l /tmp/image 10.0.0.1\n"']
    assert session.commands()[3:5] == [r'"ifconfig eth1 up\n"', fetches[0].removeprefix("system ")]
    assert f'"tftp -g -r {NAMES[0]} -l /tmp/image 10.0.0.1\\n"' in session.commands()
    assert (session.board.path / "user" / "images" / "image2").read_bytes() == package
    assert session.board.vpd()[1] == 2 and not (session.board.path / "tmp" / "pwned").exists()
