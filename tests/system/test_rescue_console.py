"""The console's single-key read and line editor, typed at key by key through
a pseudo-terminal; what the program writes is checked byte for byte."""
import termios

import pytest

from board import outside_board
from console import MODULEDRV, Console, crlf

BEL = "\a"
BS = "\b"


class Driver:
    def __init__(self, tmp_path):
        self.results = tmp_path / "results"
        self.consoles = []

    def start(self, *ops, preexec_fn=None):
        if not MODULEDRV.exists():
            pytest.fail(f"{MODULEDRV} is not built")
        self.results.write_text("")
        c = Console([*outside_board(MODULEDRV), "-r", self.results, *ops], preexec_fn=preexec_fn)
        self.consoles.append(c)
        return c

    def lines(self):
        return self.results.read_text().splitlines()

    def edit(self, keys, size=128, preexec_fn=None):
        """Types keys at a line editor; returns (console bytes, text, result line)."""
        c = self.start("line", str(size), preexec_fn=preexec_fn)
        c.key(keys)
        out, status = c.finish()
        assert status == 0
        (line,) = self.lines()
        words = line.split()
        text = b"" if words[2] == "-" else bytes.fromhex(words[2])
        return out, text, dict(zip(words[3::2], words[4::2]))


@pytest.fixture
def drv(tmp_path):
    d = Driver(tmp_path)
    yield d
    for c in d.consoles:
        c.close()


def edited(out, shown):
    assert out == crlf(shown)


class TestLineEnd:
    def test_return_ends_the_line_with_one_line_feed(self, drv):
        out, text, res = drv.edit("hello\r")
        edited(out, "hello\n")
        assert text == b"hello"
        assert res == {"quit": "0", "same": "1", "zeroed": "1", "guard": "1"}

    def test_line_feed_ends_it_as_well(self, drv):
        out, text, _ = drv.edit("ok\n")
        edited(out, "ok\n")
        assert text == b"ok"

    def test_enter_in_the_middle_returns_the_whole_text(self, drv):
        out, text, _ = drv.edit("abcd\x02\x02\r")
        edited(out, "abcd" + BS * 2 + "\n")
        assert text == b"abcd"

    def test_an_empty_line(self, drv):
        out, text, res = drv.edit("\r")
        edited(out, "\n")
        assert text == b""
        assert res["zeroed"] == "1"


class TestFullLine:
    def test_128_byte_buffer_holds_127_characters_and_rings_for_the_128th(self, drv):
        keys = "".join(chr(ord("a") + i % 26) for i in range(127))
        out, text, res = drv.edit(keys + "XY\r")
        edited(out, keys + BEL + BEL + "\n")
        assert text == keys.encode()
        assert res["guard"] == "1"

    def test_insertion_in_the_middle_of_a_full_line_rings_and_changes_nothing(self, drv):
        out, text, _ = drv.edit("abc\x01Z\r", size=4)
        edited(out, "abc" + BS * 3 + BEL + "\n")
        assert text == b"abc"

    def test_size_one_takes_no_character(self, drv):
        out, text, res = drv.edit("ab\r", size=1)
        edited(out, BEL + BEL + "\n")
        assert text == b""
        assert res["guard"] == "1"

    def test_a_deletion_makes_room_again(self, drv):
        out, text, _ = drv.edit("abcd\x7fxy\r", size=4)
        edited(out, "abc" + BEL + BS + " " + BS + "x" + BEL + "\n")
        assert text == b"abx"


class TestCursor:
    def test_insert_after_moving_left_redraws_the_tail(self, drv):
        out, text, _ = drv.edit("abc\x02\x02X\r")
        # X, the old tail, then back to just after X.
        edited(out, "abc" + BS * 2 + "Xbc" + BS * 2 + "\n")
        assert text == b"aXbc"

    def test_home_steps_back_once_per_character(self, drv):
        out, text, _ = drv.edit("abc\x01\x01Z\r")
        edited(out, "abc" + BS * 3 + "Zabc" + BS * 3 + "\n")
        assert text == b"Zabc"

    def test_right_rewrites_the_character_it_passes_and_stops_at_the_end(self, drv):
        out, text, _ = drv.edit("abc\x02\x02\x06\x06\x06Q\r")
        edited(out, "abc" + BS * 2 + "bc" + "Q\n")
        assert text == b"abcQ"

    def test_left_at_the_start_writes_nothing(self, drv):
        out, text, _ = drv.edit("a\x02\x02\x02b\r")
        edited(out, "a" + BS + "ba" + BS + "\n")
        assert text == b"ba"

    def test_arrow_keys_of_the_terminal(self, drv):
        out, text, _ = drv.edit("abc\x1b[D\x1b[D\x1b[CX\r")
        edited(out, "abc" + BS + BS + "b" + "Xc" + BS + "\n")
        assert text == b"abXc"

    def test_parameters_of_a_sequence_are_skipped(self, drv):
        out, text, _ = drv.edit("ab\x01\x1b[1;5CZ\r")
        edited(out, "ab" + BS * 2 + "a" + "Zb" + BS + "\n")
        assert text == b"aZb"

    def test_other_sequences_change_nothing_and_ring_no_bell(self, drv):
        out, text, _ = drv.edit("ab\x1b[A\x1b[3~c\r")
        edited(out, "abc\n")
        assert text == b"abc"

    def test_application_mode_cursor_keys_arrive_as_characters(self, drv):
        out, text, _ = drv.edit("a\x1bOC\r")
        edited(out, "aOC\n")
        assert text == b"aOC"

    def test_escape_twice_stays_after_escape(self, drv):
        out, text, _ = drv.edit("a\x1b\x1b[D\r")
        edited(out, "a" + BS + "\n")
        assert text == b"a"


class TestDeletion:
    def test_backspace_at_the_end(self, drv):
        out, text, _ = drv.edit("abc\b\r")
        edited(out, "abc" + BS + " " + BS + "\n")
        assert text == b"ab"

    def test_del_in_the_middle_redraws_tail_and_blank(self, drv):
        out, text, res = drv.edit("abcd\x02\x02\x7f\r")
        # back over the b, redraw "cd", blank the old last column, back 3.
        edited(out, "abcd" + BS * 2 + BS + "cd " + BS * 3 + "\n")
        assert text == b"acd"
        assert res["zeroed"] == "1"

    def test_backspace_at_the_start_writes_nothing(self, drv):
        out, text, _ = drv.edit("ab\x01\b\x7f\r")
        edited(out, "ab" + BS * 2 + "\n")
        assert text == b"ab"

    def test_ctrl_d_deletes_under_the_cursor(self, drv):
        out, text, _ = drv.edit("abc\x01\x04\r")
        edited(out, "abc" + BS * 3 + "bc " + BS * 3 + "\n")
        assert text == b"bc"

    def test_ctrl_d_at_the_end_does_nothing(self, drv):
        out, text, _ = drv.edit("abc\x04\r")
        edited(out, "abc\n")
        assert text == b"abc"

    def test_escape_backspace_and_escape_del_delete_like_backspace(self, drv):
        out, text, _ = drv.edit("abc\x1b\b\x1b\x7f\r")
        edited(out, "abc" + (BS + " " + BS) * 2 + "\n")
        assert text == b"a"


class TestOtherKeys:
    def test_control_keys_ring_and_are_not_stored(self, drv):
        out, text, _ = drv.edit("a\tb\x00\x1fc\r")
        edited(out, "a" + BEL + "b" + BEL + BEL + "c\n")
        assert text == b"abc"

    def test_bytes_above_127_are_text(self, drv):
        out, text, _ = drv.edit("a\xe9\xff\r")
        assert out == b"a\xe9\xff\r\n"
        assert text == b"a\xe9\xff"

    def test_0x03_read_as_data_breaks_off_and_keeps_the_text(self, drv):
        def no_interrupt_char():
            # A line whose interrupt character is not 0x03.
            attrs = termios.tcgetattr(0)
            attrs[6][termios.VINTR] = b"\x00"
            termios.tcsetattr(0, termios.TCSANOW, attrs)

        out, text, res = drv.edit("ab\x03", preexec_fn=no_interrupt_char)
        edited(out, "ab <break>\n")
        assert text == b"ab"
        assert res["quit"] == "0"

    def test_interrupt_key_while_typing_rings_once_and_keeps_the_text(self, drv):
        c = drv.start("line", "128")
        c.key("ab")
        c.expect("ab")
        c.interrupt()
        c.expect(BEL)
        c.key("c\r")
        out, status = c.finish()
        assert status == 0
        assert out == crlf("ab" + BEL + "c\n")
        (line,) = drv.lines()
        assert line.split()[2:5] == [b"abc".hex(), "quit", "1"]


class TestSingleKey:
    def test_echo_and_line_mode_are_off_only_while_a_key_is_awaited(self, drv):
        c = drv.start("lflags", "key", "lflags")
        c.wait_reading()
        lflag = termios.tcgetattr(c.child.child_fd)[3]
        assert lflag & (termios.ICANON | termios.ECHO) == 0
        assert lflag & termios.ISIG
        c.child.send(b"x")
        out, status = c.finish()
        assert status == 0
        assert out == b""  # the key is not echoed
        assert drv.lines() == ["lflags -> icanon 1 echo 1", "key -> 0x78 quit 0", "lflags -> icanon 1 echo 1"]

    def test_every_byte_value_comes_through_zero_extended(self, drv):
        c = drv.start("key", "key")
        c.key(b"\xff\x7f")
        c.finish()
        assert drv.lines() == ["key -> 0xff quit 0", "key -> 0x7f quit 0"]

    def test_interrupt_key_gives_0_and_restores_the_terminal(self, drv):
        c = drv.start("key", "lflags")
        c.interrupt()
        out, status = c.finish()
        assert status == 0
        assert out == b""
        assert drv.lines() == ["key -> 0x00 quit 1", "lflags -> icanon 1 echo 1"]
