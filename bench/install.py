"""Cache installation of a local wheel through the manager, against the same pip command run
directly.

1. Overhead: ROUNDS installations of tinypkg 1.0 (built here) with
   `PackageManager.install_package_to_cache` into a fresh base directory each time (never a cache
   hit), interleaved with ROUNDS runs of the very command the manager starts, run directly with
   asyncio.create_subprocess_exec and communicate(). Offline: --no-index --find-links, pip's
   configuration files ignored.
2. Latency: the same installation through the manager with pip wrapped (bench/pip_first_write.py)
   so that the moment pip flushes its first line is known; the time until that line reaches the
   consumer of the generator.

Prints medians and the ratio manager / pip.
Run: .venv/bin/python bench/install.py [--smoke]   (--smoke: two rounds)
"""
from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from business_layer.packages.manager import PackageManager
from business_layer.packages.pip_runner import PipCommandBuilder
from business_layer.settings_manager import SettingsManager

ROUNDS = 20
WARMUP = 2
HERE = Path(__file__).resolve().parent


def isolate_pip() -> None:
    """pip reads neither this machine's configuration nor PIP_* variables; no forced unbuffering."""
    for name in list(os.environ):
        if name.startswith("PIP_") or name == "PYTHONUNBUFFERED":
            del os.environ[name]
    os.environ["PIP_CONFIG_FILE"] = os.devnull


def build_wheel(root: Path) -> Path:
    source = root / "src"
    (source / "tinypkg").mkdir(parents=True)
    (source / "tinypkg" / "__init__.py").write_text("VERSION = '1.0'\n")
    (source / "pyproject.toml").write_text(
        '[build-system]\nrequires = ["setuptools>=61"]\nbuild-backend = "setuptools.build_meta"\n'
        '[project]\nname = "tinypkg"\nversion = "1.0"\n')
    wheels = root / "wheels"
    wheels.mkdir()
    subprocess.run([sys.executable, "-c",
                    "import sys, setuptools.build_meta as b; b.build_wheel(sys.argv[1])",
                    str(wheels)],
                   cwd=source, check=True, capture_output=True)
    return wheels


async def through_manager(settings, base: Path) -> float:
    start = time.perf_counter()
    items = [item async for item in
             PackageManager(str(base), settings).install_package_to_cache("tinypkg", "1.0")]
    elapsed = time.perf_counter() - start
    assert items[-1][0] == "path", items
    return elapsed


async def direct(settings, target: Path) -> float:
    start = time.perf_counter()
    os.makedirs(target)
    command = PipCommandBuilder(settings).build_install_command(
        "tinypkg==1.0", str(target), no_deps=True, prefer_binary=True)
    process = await asyncio.create_subprocess_exec(
        *command, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
    await process.communicate()
    elapsed = time.perf_counter() - start
    assert process.returncode == 0
    return elapsed


class TimedBuilder(PipCommandBuilder):
    """The manager's pip command, with pip started through the first-write clock."""

    def build_install_command(self, *args, **kwargs):
        command = super().build_install_command(*args, **kwargs)
        assert command[1:3] == ["-m", "pip"]
        return [command[0], str(HERE / "pip_first_write.py"), *command[3:]]


async def first_line_latency(settings, base: Path, clock: Path) -> float:
    os.environ["QUORVEL_BENCH_FIRST_WRITE"] = str(clock)
    manager = PackageManager(str(base), settings)
    manager.pip_command_builder = TimedBuilder(settings)
    arrived = None
    async for output_type, _ in manager.install_package_to_cache("tinypkg", "1.0"):
        if arrived is None and output_type == "stdout":
            arrived = time.monotonic()
    return arrived - float(clock.read_text())


async def main() -> None:
    isolate_pip()
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        settings = SettingsManager({"packages.no_index": True,
                                    "packages.find_links": [str(build_wheel(root))]})
        manager_times, pip_times, latencies = [], [], []
        for n in range(WARMUP + ROUNDS):
            # Alternate which goes first so that machine noise hits both alike.
            pair = [through_manager(settings, root / f"m{n}"), direct(settings, root / f"p{n}")]
            if n % 2:
                pair.reverse()
            first = await pair[0]
            second = await pair[1]
            m, p = (second, first) if n % 2 else (first, second)
            if n >= WARMUP:
                manager_times.append(m)
                pip_times.append(p)
        for n in range(ROUNDS):
            latencies.append(await first_line_latency(settings, root / f"l{n}", root / f"clock{n}"))

    m, p = statistics.median(manager_times), statistics.median(pip_times)
    print(f"install_package_to_cache of a local wheel, {ROUNDS} rounds (medians)")
    print(f"  through the manager : {m * 1000:8.1f} ms")
    print(f"  pip run directly    : {p * 1000:8.1f} ms")
    print(f"  ratio manager / pip : {m / p:8.3f}  (overhead {100 * (m / p - 1):+.1f}%; "
          f"budget +10%)")
    print(f"  per-round ratios    : "
          f"min {min(a / b for a, b in zip(manager_times, pip_times)):.3f}, "
          f"max {max(a / b for a, b in zip(manager_times, pip_times)):.3f}")
    print(f"first pip line, pip's flush to the consumer, {ROUNDS} installations")
    print(f"  median {statistics.median(latencies) * 1000:.2f} ms, "
          f"max {max(latencies) * 1000:.2f} ms"
          f"  (budget 100 ms)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true", help="two rounds")
    if parser.parse_args().smoke:
        ROUNDS, WARMUP = 2, 0
    asyncio.run(main())
