"""The address questions and the management port's configuration, answered
key by key; command lines and pauses read back from the board's trace
(fast time), and the interface looked at inside the board."""
import os
import subprocess

import pytest

from console import MODULEDRV, VBOARD, session  # noqa: F401
from vb import in_board, run_argv

IP, MASK, GW, SERVER = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"
DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
INVALID = "Invalid IP address. Try again please\n"


def rejected(text):
    return f"Invalid IP address {text}. Try again please\n"


def answer(c, text):
    c.key(text + "\r")


class TestAddressQuestion:
    """get_ip_addr on the test's own terminal: nothing here runs a command."""

    def ask(self, session, prompt, required, validate, answers, initial="0.0.0.0"):
        c = session.local("ask", prompt, required, validate, initial)
        for a in answers:
            answer(c, a)
        return session.finish()

    def test_required_question_repeats_until_a_parsable_plausible_address(self, session):
        text, results = self.ask(session, IP, 1, 1, ["", "192.168.1.300", "0.0.0.0", "240.0.0.1",
                                                     "255.255.255.255", "abc", "10.1"])
        assert text == (IP + "\n" + INVALID
                        + IP + "192.168.1.300\n" + INVALID
                        + IP + "0.0.0.0\n" + rejected("0.0.0.0")
                        + IP + "240.0.0.1\n" + rejected("240.0.0.1")
                        + IP + "255.255.255.255\n" + rejected("255.255.255.255")
                        + IP + "abc\n" + INVALID
                        + IP + "10.1\n")
        assert results == ["ask -> 1 10.0.0.1"]

    @pytest.mark.parametrize("address", ["127.0.0.1", "224.0.0.1", "239.255.255.255", "10.0.0.0",
                                         "10.0.0.255", "1.2.3.4"])
    def test_plausible_addresses_are_taken(self, session, address):
        text, results = self.ask(session, SERVER, 1, 1, [address])
        assert text == SERVER + address + "\n"
        assert results == [f"ask -> 1 {address}"]

    def test_optional_unchecked_question_takes_empty_and_zero(self, session):
        text, results = self.ask(session, MASK, 0, 0, [""])
        assert (text, results) == (MASK + "\n", ["ask -> 1 0.0.0.0"])

    def test_unchecked_question_takes_0_0_0_0(self, session):
        text, results = self.ask(session, MASK, 0, 0, ["0.0.0.0"], initial="255.0.0.0")
        assert (text, results) == (MASK + "0.0.0.0\n", ["ask -> 1 0.0.0.0"])

    def test_rejected_gateway_leaves_the_variable_as_it_was(self, session):
        text, results = self.ask(session, GW, 0, 1, ["0.0.0.0", "240.1.2.3", ""], initial="0.0.0.0")
        assert text == (GW + "0.0.0.0\n" + rejected("0.0.0.0")
                        + GW + "240.1.2.3\n" + rejected("240.1.2.3")
                        + GW + "\n")
        assert results == ["ask -> 1 0.0.0.0"]

    def test_unparsable_answer_leaves_the_variable_as_it_was(self, session):
        text, results = self.ask(session, GW, 0, 1, ["10.0.0.400", ""], initial="10.9.9.9")
        assert results == ["ask -> 1 10.9.9.9"]

    @pytest.mark.parametrize("prompt,required,validate", [(IP, 1, 1), (MASK, 0, 0), (GW, 0, 1), (SERVER, 1, 1)])
    @pytest.mark.parametrize("quit", ["q", "Q", "quit"])
    def test_an_answer_beginning_with_q_quits_at_every_question(self, session, prompt, required, validate, quit):
        text, results = self.ask(session, prompt, required, validate, [quit], initial="10.9.9.9")
        assert text == prompt + quit + "\n"
        assert results == ["ask -> 0 10.9.9.9"]

    def test_line_editing_reaches_the_parser(self, session):
        # 10.0.0.29, cursor left, erase the 2 before the 9.
        text, results = self.ask(session, IP, 1, 1, ["10.0.0.29\x02\x7f"])
        assert results == ["ask -> 1 10.0.0.9"]


class TestPortQuestions:
    def test_without_dhclient_the_dhcp_question_is_not_asked(self, session):
        if os.path.exists("/bin/dhclient"):
            pytest.skip("this machine has /bin/dhclient")
        c = session.local("params", "1")
        for a in ["10.0.0.2", "255.255.255.0", "10.0.0.1"]:
            answer(c, a)
        text, results = session.finish()
        assert text == IP + "10.0.0.2\n" + MASK + "255.255.255.0\n" + GW + "10.0.0.1\n"
        assert results == ["params -> 1 port=1 dhcp=0 10.0.0.2 255.255.255.0 10.0.0.1"]

    @pytest.mark.parametrize("yes", ["y", "Y", "yes"])
    def test_dhcp_chosen_asks_no_address(self, session, yes):
        c = session.on_board("params", "1")
        answer(c, yes)
        text, results = session.finish()
        assert text == DHCP_QUESTION + yes + "\n\n"
        assert results == ["params -> 1 port=1 dhcp=1 0.0.0.0 0.0.0.0 0.0.0.0"]
        assert session.commands() == []

    @pytest.mark.parametrize("no", ["n", "N", "", "q"])
    def test_dhcp_declined_asks_the_addresses(self, session, no):
        c = session.on_board("params", "1")
        for a in [no, "10.0.0.2", "", ""]:
            answer(c, a)
        text, results = session.finish()
        assert text == DHCP_QUESTION + no + "\n\n" + IP + "10.0.0.2\n" + MASK + "\n" + GW + "\n"
        assert results == ["params -> 1 port=1 dhcp=0 10.0.0.2 0.0.0.0 0.0.0.0"]

    def test_without_the_offer_the_dhcp_question_is_not_asked(self, session):
        c = session.on_board("params", "0")
        for a in ["10.0.0.2", "", ""]:
            answer(c, a)
        text, results = session.finish()
        assert text == IP + "10.0.0.2\n" + MASK + "\n" + GW + "\n"
        assert results == ["params -> 1 port=1 dhcp=0 10.0.0.2 0.0.0.0 0.0.0.0"]

    def test_interrupt_at_the_dhcp_question_quits(self, session):
        c = session.on_board("params", "1")
        c.interrupt(direct=True)
        answer(c, "y")
        text, results = session.finish()
        assert text == DHCP_QUESTION + "\x07y\n"
        assert results == ["params -> 0 port=1 dhcp=0 0.0.0.0 0.0.0.0 0.0.0.0"]

    @pytest.mark.parametrize("answers", [["q"], ["10.0.0.2", "q"], ["10.0.0.2", "", "q"]])
    def test_q_at_an_address_question_ends_setup_without_a_command(self, session, answers):
        c = session.on_board("setup", "1")
        for a in ["n"] + answers:
            answer(c, a)
        text, results = session.finish()
        assert results == ["setup -> 0"]
        assert session.commands() == []


def sleeps_and_commands(session):
    return [text for _, _, text in session.events(["system", "sleep"])]


class TestConfiguration:
    def test_static_with_netmask_and_gateway(self, session):
        session.on_board("configure", "0", "1", "10.0.0.2", "255.255.255.0", "10.0.0.1")
        text, results = session.finish()
        assert text == ("\tNetmask    : 255.255.255.0\n\tGateway    : 10.0.0.1\n"
                        "Configuring management port..." + "." * 20 + "\n")
        assert results == ["configure -> 1"]
        assert sleeps_and_commands(session) == [
            r'system "ifconfig eth1 10.0.0.2\n"',
            r'system "ifconfig eth1 down\n"',
            r'system "ifconfig eth1 netmask 255.255.255.0\n"',
            r'system "ifconfig eth1 up\n"',
            "sleep 5000000",
            r'system "route add default gw 10.0.0.1\n"',
        ] + ["sleep 1000000"] * 21
        # The dots come one a second after the gateway; the whole wait is 26 s.
        events = session.events(["sleep"])
        assert events[-1][0] - events[0][0] == 25_000_000

    def test_static_address_only(self, session):
        session.on_board("configure", "0", "1", "10.0.0.2", "0.0.0.0", "0.0.0.0")
        text, results = session.finish()
        assert text == "Configuring management port..." + "." * 20 + "\n"
        assert results == ["configure -> 1"]
        assert sleeps_and_commands(session) == [r'system "ifconfig eth1 10.0.0.2\n"', "sleep 5000000"] + [
            "sleep 1000000"] * 21

    def test_dhcp(self, session):
        session.on_board("configure", "1", "1", "0.0.0.0", "0.0.0.0", "0.0.0.0")
        text, results = session.finish()
        assert text == ""
        assert results == ["configure -> 1"]
        assert sleeps_and_commands(session) == ['system "dhclient -1 eth1"', "sleep 3000000"]

    def test_port_0_without_link_reports_it_after_the_whole_wait(self, session):
        # ifconfig refuses a multicast address: eth0 stays down.
        session.on_board("configure", "0", "0", "224.0.0.1", "0.0.0.0", "0.0.0.0")
        text, results = session.finish()
        complaint, _, ours = text.partition("\n")
        assert complaint.startswith("ifconfig:")
        assert ours == "Configuring management port..." + "." * 20 + "\nMgmt link not available. Quitting.\n"
        assert results == ["configure -> 0"]
        assert sleeps_and_commands(session) == [r'system "ifconfig eth0 224.0.0.1\n"', "sleep 5000000"] + [
            "sleep 1000000"] * 21

    def test_link_of_eth0_down(self, session):
        session.on_board("link", "1")
        text, results = session.finish()
        assert (text, results) == ("", ["link -> 0"])

    def test_interface_really_configured_in_the_board(self, session, tmp_path):
        if not MODULEDRV.exists() or not VBOARD.exists():
            pytest.fail("moduledrv or vboard is not built")
        from board import Board
        board = Board(tmp_path / "b")
        moduledrv = in_board(MODULEDRV)
        script = (f"{moduledrv} configure 0 1 10.0.0.2 255.255.255.0 10.0.0.1 >/dev/null 2>&1; "
                  f"ip -4 -o addr show eth1; ip route show default; "
                  f"{moduledrv} link 0; "
                  f"{moduledrv} configure 0 0 10.0.1.2 255.255.255.0 0.0.0.0 >/dev/null 2>&1; "
                  # The kernel marks the interface running a moment after
                  # the carrier comes: wait for it, bounded.
                  "for i in $(seq 1 5000); do ifconfig eth0 | grep -q RUNNING && break; done; "
                  f"{moduledrv} link 0")
        r = subprocess.run(run_argv(board.path, ["/bin/sh", "-c", script], programs=[MODULEDRV]),
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        assert "inet 10.0.0.2/24" in r.stdout
        assert "default via 10.0.0.1 dev eth1" in r.stdout
        # eth0 down, then configured and up with its far end up.
        assert r.stderr.splitlines()[-2:] == ["link -> 0", "link -> 1"]
