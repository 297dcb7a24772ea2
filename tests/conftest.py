"""Fixtures shared by the test suites: a development hub on 127.0.0.1 and kernels connected to
it."""
import logging
import os

import pytest
from websockets.asyncio.client import connect

from devhub import DevHub

KERNEL_LOGGER = "python_server.kernel"
# Time limits of the tests are multiplied by this on slow machines.
TIMEOUT_FACTOR = float(os.environ.get("QUORVEL_TESTS_TIMEOUT_FACTOR", "1"))


def scaled(seconds: float) -> float:
    return seconds * TIMEOUT_FACTOR


def without_sanitizer(environment=None) -> dict:
    """The environment for programs that are not ours (a browser, LibreOffice): the sanitizer
    run preloads libasan into every process the suite starts, which they do not survive."""
    environment = dict(os.environ if environment is None else environment)
    for name in ("LD_PRELOAD", "ASAN_OPTIONS"):
        environment.pop(name, None)
    return environment


@pytest.fixture
async def hub(monkeypatch):
    """A hub serving plain ws on an ephemeral port; kernels started in the test use ws too, and
    present the hub's token (from the environment, as a kernel the hub launched does)."""
    monkeypatch.setenv("QUORVEL_SECURED", "0")
    async with DevHub() as running:
        monkeypatch.setenv("QUORVEL_HUB_TOKEN", running.token)
        yield running


def hub_connect(hub, path, **options):
    """A websockets client connection to `path` of `hub`, presenting its token."""
    return connect(hub.url + path, additional_headers=hub.auth_headers, **options)


@pytest.fixture
def kernel_log(caplog):
    """The kernel's log records, at every level."""
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    return caplog


def messages_of(caplog, level=None, logger=KERNEL_LOGGER):
    """Messages logged by `logger` during the test's set-up and call, oldest first."""
    records = caplog.get_records("setup") + caplog.get_records("call")
    return [r.getMessage() for r in records
            if r.name == logger and (level is None or r.levelno == level)]
