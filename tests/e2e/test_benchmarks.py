"""Every benchmark `make bench` runs also runs here, briefly (--smoke): a broken one, or one
that leaves an object of our modules alive at its exit, fails the suite."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from ..conftest import scaled

ROOT = Path(__file__).resolve().parents[2]


def benchmarks():
    """The names in the Makefile's BENCHES list."""
    makefile = (ROOT / "Makefile").read_text()
    listed = re.search(r"^BENCHES\s*:=((?:.*\\\n)*.*)$", makefile, re.MULTILINE)
    return listed.group(1).replace("\\\n", " ").split()


@pytest.mark.timeout(scaled(300))
@pytest.mark.parametrize("name", benchmarks())
def test_the_benchmark_runs_in_its_smoke_mode(name):
    result = subprocess.run(
        [sys.executable, str(ROOT / "bench" / f"{name}.py"), "--smoke"], cwd=ROOT,
        env=dict(os.environ, QT_QPA_PLATFORM="offscreen"), capture_output=True, text=True,
        timeout=scaled(240))
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-4000:]
    assert result.stdout.strip(), "a benchmark prints its figures"
    # An object of our modules still alive at exit is a leak, which nanobind reports there.
    assert "nanobind: leaked" not in result.stderr, result.stderr[-4000:]
