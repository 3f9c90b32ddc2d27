"""The XMODEM rescue's handling of its serial line."""
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import console as xr  # noqa: E402


def rescue(tmp_path, rx_script, line, prelude=None):
    """The rescue with a receiver of our own at the receiver's path, in a
    /tmp of its own, after the shell command line prelude."""
    rx = tmp_path / "rx"
    rx.write_text("#!/bin/sh\n" + rx_script + "\n")
    rx.chmod(0o755)
    return xr.Receiver.driver(tmp_path, "xmodem", line=line, prelude=prelude,
                              extra=["--tmpfs", "/tmp", "--bind", tmp_path, tmp_path, "--ro-bind", rx, "/usr/bin/rx"])


def test_line_that_cannot_be_opened_returns_to_the_menu_without_the_receiver(tmp_path):
    marker = tmp_path / "rx-ran"
    receiver = rescue(tmp_path, f"touch '{marker}'", line=False)
    try:
        assert receiver.wait() == 0
        assert receiver.seen == b"Running xmodem rescue.....\r\n"
        assert receiver.stderr().startswith("Can't open serial port!: ")
        assert receiver.lines() == ["xmodem -> 0"]
        assert not marker.exists()
    finally:
        receiver.close()


def test_the_receiver_starts_without_an_earlier_download_or_a_copy_of_the_line(tmp_path):
    seen = tmp_path / "rx-saw"
    script = f"{{ ls -l /proc/$$/fd; [ -e /tmp/image ] && echo earlier-download; }} > '{seen}'"
    receiver = rescue(tmp_path, script, line=True, prelude="echo old >/tmp/image")
    try:
        receiver.press_enter_at_115200()
        receiver.press_enter_at_9600()
        assert receiver.wait() == 0
        # Its console is the line already; the launcher's own copy stays its
        # own.  Only what it receives may ever be installed.
        assert "/dev/pts/" in seen.read_text() and "ttyS0" not in seen.read_text()
        assert "earlier-download" not in seen.read_text()
        assert receiver.lines() == ["xmodem -> 0"]
    finally:
        receiver.close()
