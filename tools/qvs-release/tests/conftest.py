import os
import pathlib
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("QVS_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[3]))
TOOL = pathlib.Path(os.environ.get("QVS_RELEASE", SOURCE_DIR / "build" / "host" / "tools" / "qvs-release" / "qvs-release"))
TEST_KEYS = SOURCE_DIR / "tests" / "keys"


def run_tool(*args, cwd=None):
    return subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd)


@pytest.fixture
def tool():
    assert TOOL.exists(), f"build qvs-release first: {TOOL}"
    return run_tool
