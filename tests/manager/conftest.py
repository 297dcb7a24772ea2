"""Fixtures of the package manager tests: wheels built here, offline pip, a local index."""
import asyncio
import json
import os
import subprocess
import sys
import textwrap
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from business_layer.packages import manager as manager_module
from business_layer.packages.manager import PackageManager
from business_layer.settings_manager import SettingsManager

PROJECT = "tinypkg"


def build_wheel(root, version, extras=()):
    """Builds tinypkg-<version> with setuptools into root/wheels; the module knows its version."""
    source = root / f"src-{version}"
    (source / PROJECT).mkdir(parents=True)
    (source / PROJECT / "__init__.py").write_text(f"VERSION = {version!r}\n")
    optional = "".join(f"{extra} = []\n" for extra in extras)
    (source / "pyproject.toml").write_text(textwrap.dedent(f"""\
        [build-system]
        requires = ["setuptools>=61"]
        build-backend = "setuptools.build_meta"
        [project]
        name = "{PROJECT}"
        version = "{version}"
        [project.optional-dependencies]
        """) + optional)
    wheels = root / "wheels"
    wheels.mkdir(exist_ok=True)
    subprocess.run([sys.executable, "-c",
                    "import sys, setuptools.build_meta as b; b.build_wheel(sys.argv[1])",
                    str(wheels)],
                   cwd=source, check=True, capture_output=True, timeout=60)


@pytest.fixture(scope="session")
def wheelhouse(tmp_path_factory):
    """A folder with tinypkg 1.0 and 2.0 (extras "fast", "slow") and a broken wheel."""
    root = tmp_path_factory.mktemp("wheelhouse")
    build_wheel(root, "1.0")
    build_wheel(root, "2.0", extras=("fast", "slow"))
    (root / "wheels" / "brokenpkg-1.0-py3-none-any.whl").write_bytes(b"this is not a zip file")
    return root / "wheels"


@pytest.fixture(autouse=True)
def offline_pip(monkeypatch):
    """pip children see neither this machine's pip configuration nor its pip environment."""
    monkeypatch.setenv("PIP_CONFIG_FILE", os.devnull)
    for name in list(os.environ):
        if name.startswith("PIP_") and name != "PIP_CONFIG_FILE":
            monkeypatch.delenv(name)


@pytest.fixture
def settings(wheelhouse):
    return SettingsManager({"packages.no_index": True, "packages.find_links": [str(wheelhouse)]})


@pytest.fixture
def manager(tmp_path, settings, monkeypatch):
    """A manager under the test's folder, which is also the working directory: relative targets
    land there."""
    monkeypatch.chdir(tmp_path)
    return PackageManager(str(tmp_path / "base"), settings)


async def collect(stream, timeout=60):
    """Every pair an installation yields."""
    async def drain():
        return [item async for item in stream]
    return await asyncio.wait_for(drain(), timeout)


class ScriptedPip:
    """A command builder whose "pip" is a Python script; records what it was asked for."""

    def __init__(self, script, program=sys.executable):
        self.script, self.program, self.calls = textwrap.dedent(script), program, []

    def build_install_command(self, package_spec, target_dir, **options):
        self.calls.append((package_spec, target_dir, options))
        return [self.program, "-c", self.script]


@pytest.fixture
def no_child(monkeypatch):
    """Fails the test if anything starts a child process through asyncio."""
    started = []

    async def refuse(*args, **kwargs):
        started.append(args)
        raise AssertionError(f"a child process was started: {args}")

    monkeypatch.setattr(asyncio, "create_subprocess_exec", refuse)
    return started


class Index:
    """A package index's JSON interface on 127.0.0.1: paths to (status, body, delay)."""

    def __init__(self):
        self.routes, self.requests = {}, []
        index = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                index.requests.append(self.path)
                status, body, delay = index.routes.get(self.path, (404, b"{}", 0))
                if delay:
                    threading.Event().wait(delay)
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, args=(0.02,), daemon=True).start()

    def project(self, name, document, version=None, status=200, delay=0):
        path = f"/pypi/{name}/{version}/json" if version else f"/pypi/{name}/json"
        body = document if isinstance(document, bytes) else json.dumps(document).encode()
        self.routes[path] = (status, body, delay)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def index():
    running = Index()
    yield running
    running.close()


@pytest.fixture
def second_index():
    running = Index()
    yield running
    running.close()


@pytest.fixture
def closed_port():
    """A URL on 127.0.0.1 where nothing listens."""
    import socket
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}"


__all__ = ["PROJECT", "ScriptedPip", "collect", "manager_module"]
