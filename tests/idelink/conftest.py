"""Fixtures of the IDE client tests: an offscreen Qt application, the IDE main window, a fake
hub on 127.0.0.1 and an IdeLink between them."""
import os

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import logging  # noqa: E402
import threading  # noqa: E402
from typing import List, NamedTuple  # noqa: E402

import pytest  # noqa: E402

from ide.gui import MainWindow  # noqa: E402
from ide.gui.idelink import IdeLink  # noqa: E402

from .fake_hub import FakeHub  # noqa: E402

LOGGER = "ide.gui.idelink"


class Call(NamedTuple):
    name: str
    args: tuple
    kwargs: dict
    on_gui_thread: bool


class Spy:
    """Records calls made on objects' methods (and on which thread), then calls through."""

    def __init__(self) -> None:
        self.calls: List[Call] = []

    def watch(self, target, *names: str) -> "Spy":
        for name in names:
            original = getattr(target, name)

            def spy(*args, _name=name, _original=original, **kwargs):
                self.calls.append(Call(_name, args, kwargs,
                                       threading.current_thread() is threading.main_thread()))
                return _original(*args, **kwargs)

            setattr(target, name, spy)
        return self

    def of(self, name: str) -> List[Call]:
        return [call for call in self.calls if call.name == name]

    def names(self) -> List[str]:
        return [call.name for call in self.calls]


@pytest.fixture
def window(qtbot):
    window = MainWindow()
    qtbot.addWidget(window)
    return window


@pytest.fixture
def plain_ws(monkeypatch):
    monkeypatch.setenv("QUORVEL_SECURED", "0")


@pytest.fixture
def hub():
    hub = FakeHub().start()
    yield hub
    hub.shutdown()


@pytest.fixture
def link(window, hub, plain_ws):
    link = IdeLink(window, "127.0.0.1", hub.port)
    yield link
    link.stop()


@pytest.fixture
def connected(link, hub, qtbot):
    """A started link whose connection the hub has accepted."""
    link.start()
    qtbot.waitUntil(lambda: link.is_connected() and hub.accepted == 1, timeout=5000)
    return link


@pytest.fixture
def client_log(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def log_lines(caplog, level=None):
    """The client's log lines since the test's set-up began, oldest first."""
    records = caplog.get_records("setup") + caplog.get_records("call")
    return [r.getMessage() for r in records
            if r.name == LOGGER and (level is None or r.levelno == level)]


def console_texts(window):
    window.console.flush()
    return window.console.texts()


class Feeder:
    """Sends messages from the hub and waits until the window has handled all of them."""

    def __init__(self, hub, window, qtbot):
        self.hub, self.window, self.qtbot = hub, window, qtbot
        self.rounds = 0

    def __call__(self, *messages):
        for message in messages:
            if isinstance(message, str):
                self.hub.send_raw(message)
            else:
                self.hub.send(message)
        # Frames are handled in arrival order and their bodies run in that order: once this
        # marker is in the console, everything sent before it has been handled.
        self.rounds += 1
        marker = f"-- handled {self.rounds} --"
        self.hub.send({"type": "log_to_console", "content": marker})
        self.qtbot.waitUntil(lambda: marker in self.window.console.texts(), timeout=5000)

    def console(self):
        """Console entries other than the connection notice and the markers."""
        return [entry for entry in self.window.console.entries
                if not entry.text.startswith("-- handled ")
                and entry.text != "Connected to Quorvel Server"]


@pytest.fixture
def feed(connected, hub, window, qtbot):
    return Feeder(hub, window, qtbot)
