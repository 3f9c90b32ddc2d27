import os
import pathlib
import subprocess

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
PKGTOOL = BUILD_DIR / "bin" / "pkgtool"


def run_pkgtool(*args, cwd=None, wrap=()):
    """pkgtool ARGS, run under the command line WRAP when one is given
    (strace, prlimit); a run that hangs fails its test, not the whole suite."""
    return subprocess.run([*map(str, wrap), str(PKGTOOL), *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=120)


@pytest.fixture
def pkgtool():
    if not PKGTOOL.exists():
        pytest.fail(f"{PKGTOOL} is not built")
    return run_pkgtool
