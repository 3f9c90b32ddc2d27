"""The TFTP rescue inside a board, against the board's TFTP server: the
dialogue key by key, the package fetched by busybox tftp and installed, the
retries, quitting, and file names that try to reach the shell."""
import pytest

from console import session  # noqa: F401
from records import record

INTRO = "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n"
IP, MASK, GW, SERVER = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"
FILENAME = "Image Filename: "
INVALID_NAME = "Invalid filename. Try again please\n"
CONFIGURING = "\tNetmask    : 255.255.255.0\nConfiguring management port..." + "." * 20 + "\n"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
PORT_COMMANDS = [r'"ifconfig eth1 10.0.0.2\n"', r'"ifconfig eth1 down\n"',
                 r'"ifconfig eth1 netmask 255.255.255.0\n"', r'"ifconfig eth1 up\n"']


def package():
    return record("app", bytes(range(256)) * 40, version=(1, 2, 3, 4))


def answer(c, text):
    c.key(text + "\r")


def start(session, server="10.0.0.1", prelude=None):
    c = session.on_board("flash-init", "i2c-init", "tftp", prelude=prelude)
    for a in ["10.0.0.2", "255.255.255.0", "", server]:
        answer(c, a)
    return c


def our_lines(text):
    """The console without what busybox tftp itself prints."""
    return "".join(line for line in text.splitlines(keepends=True)
                   if not line.startswith("tftp: ") and "ETA" not in line)


def install_as(session, c, name, slot="1"):
    answer(c, name)
    c.expect(SLOT_QUESTION)
    c.line(slot)
    return session.finish()


class TestDialogue:
    def test_package_fetched_and_installed(self, session, tmp_path):
        pkg = package()
        c = start(session)
        (session.board.path / "tftp" / "pkg.bin").write_bytes(pkg)
        for a in ["x", "Q", ""]:
            answer(c, a)
        text, results = install_as(session, c, "pkg.bin", "2")
        assert text.startswith(INTRO + IP + "10.0.0.2\n" + MASK + "255.255.255.0\n" + GW + "\n"
                               + SERVER + "10.0.0.1\n"
                               + FILENAME + "x\n" + INVALID_NAME
                               + FILENAME + "Q\n" + INVALID_NAME
                               + FILENAME + "\n" + INVALID_NAME
                               + FILENAME + "pkg.bin\n"
                               + CONFIGURING
                               + "Installing image pkg.bin from TFTP server 10.0.0.1\n")
        assert "Attempt" not in text
        assert results[-1] == "tftp -> 1"
        assert session.commands()[:5] == PORT_COMMANDS + [r'"tftp -g -r pkg.bin -l /tmp/image 10.0.0.1\n"']
        assert (session.board.path / "user" / "images" / "image2").read_bytes() == pkg
        assert session.board.vpd()[1] == 2

    def test_file_missing_on_the_server_three_attempts_then_abort(self, session):
        # What an earlier download left is never taken for this one's.
        c = start(session, prelude="echo old >/tmp/image")
        answer(c, "missing.bin")
        text, results = session.finish()
        tries = "".join(f"Installing image missing.bin from TFTP server 10.0.0.1\n"
                        f"Attempt {n}/3 of tftp timed out\n" for n in (1, 2, 3))
        assert our_lines(text).endswith(CONFIGURING + tries + "Tftp download failed. Aborting\n")
        assert results[-1] == "tftp -> 0"
        events = [t for _, _, t in session.events(["system", "sleep"]) if "tftp" in t or t == "sleep 3000000"]
        fetch = r'system "tftp -g -r missing.bin -l /tmp/image 10.0.0.1\n"'
        assert events == [fetch, "sleep 3000000"] * 3

    def test_server_that_never_answers(self, session):
        c = start(session, server="10.0.0.77")
        answer(c, "pkg.bin")
        c.child.timeout = 120  # three of the client's own time-outs
        text, results = session.finish()
        tries = "".join(f"Installing image pkg.bin from TFTP server 10.0.0.77\n"
                        f"Attempt {n}/3 of tftp timed out\n" for n in (1, 2, 3))
        assert our_lines(text).endswith(CONFIGURING + tries + "Tftp download failed. Aborting\n")
        assert results[-1] == "tftp -> 0"
        assert [t for _, _, t in session.events(["sleep"])][-3:] == ["sleep 3000000"] * 3


class TestQuitting:
    @pytest.mark.parametrize("answers,last_prompt", [
        (["q"], IP),
        (["10.0.0.2", "q"], MASK),
        (["10.0.0.2", "255.255.255.0", "quit"], GW),
        (["10.0.0.2", "255.255.255.0", "", "Q"], SERVER),
        (["10.0.0.2", "255.255.255.0", "", "10.0.0.1", "q"], FILENAME),
    ])
    def test_quit_at_each_question(self, session, answers, last_prompt):
        c = session.on_board("tftp")
        for a in answers:
            answer(c, a)
        text, results = session.finish()
        assert text.endswith(last_prompt + answers[-1] + "\n")
        assert text.count(FILENAME) <= 1 and "Configuring" not in text
        assert results[-1] == "tftp -> 0"
        assert session.commands() == []

    def test_interrupt_while_the_file_name_is_typed(self, session):
        c = session.on_board("tftp")
        for a in ["10.0.0.2", "", "", "10.0.0.1"]:
            answer(c, a)
        c.key("pk")
        c.interrupt(direct=True)
        answer(c, "g.bin")
        text, results = session.finish()
        assert text.endswith(FILENAME + "pk\x07g.bin\n")
        assert results[-1] == "tftp -> 0"
        assert session.commands() == []


class TestFileNames:
    def test_ordinary_names_keep_the_command_line_byte_for_byte(self, session):
        name = ("Img-1.2_3+4:5@6,7~8/" + "x" * 127)[:127]
        pkg = package()
        c = start(session)
        path = session.board.path / "tftp" / name
        path.parent.mkdir(parents=True)
        path.write_bytes(pkg)
        text, results = install_as(session, c, name)
        assert results[-1] == "tftp -> 1"
        assert session.commands()[4] == f'"tftp -g -r {name} -l /tmp/image 10.0.0.1\\n"'
        assert f"Installing image {name} from TFTP server 10.0.0.1\n" in text
        assert (session.board.path / "user" / "images" / "image1").read_bytes() == pkg

    @pytest.mark.parametrize("name", [
        "we;ird $(x) 'q' `y` \"z\" & | < > * ? [a] {b} \\ #.bin",
        "~/p.bin",
        "-h",
    ])
    def test_names_the_shell_would_read_are_fetched_as_typed(self, session, name):
        pkg = package()
        c = start(session)
        path = session.board.path / "tftp" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(pkg)
        text, results = install_as(session, c, name)
        assert results[-1] == "tftp -> 1"
        assert f"Installing image {name} from TFTP server 10.0.0.1\n" in text
        assert (session.board.path / "user" / "images" / "image1").read_bytes() == pkg

    @pytest.mark.parametrize("name", [
        "a;touch /tmp/pwned #",
        "$(touch /tmp/pwned)",
        "`touch /tmp/pwned`",
        "x' ; touch /tmp/pwned ; '",
        "a|touch /tmp/pwned #",
        "a||touch /tmp/pwned #",
        "a >/tmp/pwned",
        "x'\\''; touch /tmp/pwned #",
        "x\\'; touch /tmp/pwned #",
    ])
    def test_names_that_try_to_run_a_command_run_only_the_client(self, session, name):
        c = start(session)
        answer(c, name)
        text, results = session.finish()
        assert results[-1] == "tftp -> 0"
        assert our_lines(text).endswith("Tftp download failed. Aborting\n")
        assert not (session.board.path / "tmp" / "pwned").exists()
