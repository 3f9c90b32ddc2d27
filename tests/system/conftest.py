import os
import pathlib
import subprocess

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
PKGTOOL = BUILD_DIR / "bin" / "pkgtool"


def run_pkgtool(*args, cwd=None):
    return subprocess.run([str(PKGTOOL), *map(str, args)], cwd=cwd, capture_output=True, text=True)


@pytest.fixture
def pkgtool():
    if not PKGTOOL.exists():
        pytest.fail(f"{PKGTOOL} is not built")
    return run_pkgtool
