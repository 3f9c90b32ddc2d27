"""The console's single-key read and line editor, typed at key by key through
a pseudo-terminal; what the program writes is checked byte for byte."""
import termios

import pytest

from console import crlf, session  # noqa: F401

BEL, BS = "\a", "\b"
FULL = "".join(chr(ord("a") + i % 26) for i in range(127))


def no_interrupt_char():
    """A line whose interrupt character is not 0x03."""
    attrs = termios.tcgetattr(0)
    attrs[6][termios.VINTR] = b"\x00"
    termios.tcsetattr(0, termios.TCSANOW, attrs)


# keys typed, buffer size, what the console shows, the text returned
EDITS = [
    ("hello\r", 128, "hello\n", "hello"),
    ("ok\n", 128, "ok\n", "ok"),
    ("abcd\x02\x02\r", 128, "abcd" + BS * 2 + "\n", "abcd"),
    ("\r", 128, "\n", ""),
    # full buffers: the last byte stays for the terminating zero
    (FULL + "XY\r", 128, FULL + BEL + BEL + "\n", FULL),
    ("abc\x01Z\r", 4, "abc" + BS * 3 + BEL + "\n", "abc"),
    ("ab\r", 1, BEL + BEL + "\n", ""),
    ("abcd\x7fxy\r", 4, "abc" + BEL + BS + " " + BS + "x" + BEL + "\n", "abx"),
    # cursor keys: an insertion redraws the tail and steps back over it
    ("abc\x02\x02X\r", 128, "abc" + BS * 2 + "Xbc" + BS * 2 + "\n", "aXbc"),
    ("abc\x01\x01Z\r", 128, "abc" + BS * 3 + "Zabc" + BS * 3 + "\n", "Zabc"),
    ("abc\x02\x02\x06\x06\x06Q\r", 128, "abc" + BS * 2 + "bcQ\n", "abcQ"),
    ("a\x02\x02\x02b\r", 128, "a" + BS + "ba" + BS + "\n", "ba"),
    ("abc\x1b[D\x1b[D\x1b[CX\r", 128, "abc" + BS * 2 + "bXc" + BS + "\n", "abXc"),
    ("ab\x01\x1b[1;5CZ\r", 128, "ab" + BS * 2 + "aZb" + BS + "\n", "aZb"),
    ("ab\x1b[A\x1b[3~c\r", 128, "abc\n", "abc"),
    ("a\x1bOC\r", 128, "aOC\n", "aOC"),
    ("a\x1b\x1b[D\r", 128, "a" + BS + "\n", "a"),
    # deletion
    ("abc\b\r", 128, "abc" + BS + " " + BS + "\n", "ab"),
    ("abcd\x02\x02\x7f\r", 128, "abcd" + BS * 3 + "cd " + BS * 3 + "\n", "acd"),
    ("ab\x01\b\x7f\r", 128, "ab" + BS * 2 + "\n", "ab"),
    ("abc\x01\x04\r", 128, "abc" + BS * 3 + "bc " + BS * 3 + "\n", "bc"),
    ("abc\x04\r", 128, "abc\n", "abc"),
    ("abc\x1b\b\x1b\x7f\r", 128, "abc" + (BS + " " + BS) * 2 + "\n", "a"),
    # other keys: control keys ring, bytes above 127 are text
    ("a\tb\x00\x1fc\r", 128, "a" + BEL + "b" + BEL + BEL + "c\n", "abc"),
    ("a\xe9\xff\r", 128, "a\xe9\xff\n", "a\xe9\xff"),
    # 0x03 read as data (not the line's interrupt character) breaks off
    ("ab\x03", 128, "ab <break>\n", "ab"),
]


@pytest.mark.parametrize("keys,size,shown,text", EDITS)
def test_line_editor(session, keys, size, shown, text):
    c = session.local("line", size, preexec_fn=no_interrupt_char if "\x03" in keys else None)
    c.key(keys)
    out, status = c.finish()
    assert (out, status) == (crlf(shown), 0)
    # The text, no interrupt, the caller's buffer, zeros after the text, and
    # nothing written past the buffer.
    assert session.lines() == [f"line -> {text.encode('latin-1').hex() or '-'} quit 0 same 1 zeroed 1 guard 1"]


def test_interrupt_key_while_typing_rings_once_and_keeps_the_text(session):
    c = session.local("line", 128)
    c.key("ab")
    c.interrupt()
    c.key("c\r")
    assert c.finish() == (crlf("ab" + BEL + "c\n"), 0)
    assert session.lines() == [f"line -> {b'abc'.hex()} quit 1 same 1 zeroed 1 guard 1"]


def test_echo_and_line_mode_are_off_only_while_a_key_is_awaited(session):
    c = session.local("lflags", "key", "lflags")
    c.wait_reading()
    lflag = termios.tcgetattr(c.child.child_fd)[3]
    assert lflag & (termios.ICANON | termios.ECHO) == 0 and lflag & termios.ISIG
    c.child.send(b"\xff")
    assert c.finish() == (b"", 0)  # the key is not echoed
    assert session.lines() == ["lflags -> icanon 1 echo 1", "key -> 0xff quit 0", "lflags -> icanon 1 echo 1"]


def test_interrupt_key_gives_0_and_restores_the_terminal(session):
    c = session.local("key", "lflags")
    c.interrupt()
    assert c.finish() == (b"", 0)
    assert session.lines() == ["key -> 0x00 quit 1", "lflags -> icanon 1 echo 1"]
