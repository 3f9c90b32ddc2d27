"""The XMODEM rescue's handling of its serial line."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import xmodem_relay as xr  # noqa: E402
from mgmt_session import MGMTDRV  # noqa: E402


def test_line_that_cannot_be_opened_returns_to_the_menu_without_the_receiver(tmp_path):
    if not MGMTDRV.exists():
        pytest.fail(f"{MGMTDRV} is not built")
    # A receiver of our own at the receiver's path shows whether it ran.
    marker = tmp_path / "rx-ran"
    rx = tmp_path / "rx"
    rx.write_text(f"#!/bin/sh\ntouch '{marker}'\n")
    rx.chmod(0o755)
    results = tmp_path / "results"
    receiver = xr.Receiver(tmp_path, [MGMTDRV, "-r", results, "xmodem"], line=False,
                           extra=["--ro-bind", rx, "/usr/bin/rx"])
    try:
        assert receiver.wait() == 0
        assert receiver.seen == b"Running xmodem rescue.....\r\n"
        assert receiver.stderr().startswith("Can't open serial port!: ")
        assert results.read_text().splitlines() == ["xmodem 0"]
        assert not marker.exists()
    finally:
        receiver.close()
