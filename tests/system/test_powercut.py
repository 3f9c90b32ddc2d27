"""Power cuts at sampled points of an installation; `make powercut` runs
every point."""
import os

from powercut import run
from board import BUILD_DIR


def test_the_board_always_comes_up_with_a_good_application():
    survived, tried, failures = run(str(BUILD_DIR), sample=True)
    assert failures == []
    assert survived == tried >= 6
