"""The hub's package requests as the IDE and a kernel see them on the wire: refused specs start
nothing, failed installations keep what the workbook had, and the list outlives restarts."""
import asyncio
import json
import os
import socket

import pytest

from business_layer.packages.manager import validate_package_spec
from business_layer.settings_manager import SettingsManager
from devhub import DevHub
from devhub.access import IDE_PATH, KERNEL_PATH
from devhub.wheels import build_wheel

from ..conftest import hub_connect

WB = "Book.xlsx"


@pytest.fixture(autouse=True)
def offline_pip(monkeypatch):
    """pip children see neither this machine's pip configuration nor its pip environment."""
    monkeypatch.setenv("PIP_CONFIG_FILE", os.devnull)
    for name in list(os.environ):
        if name.startswith("PIP_") and name != "PIP_CONFIG_FILE":
            monkeypatch.delenv(name)
    monkeypatch.setenv("QUORVEL_SECURED", "0")


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    folder = tmp_path_factory.mktemp("wheels")
    for version in ("1.0", "2.0"):
        build_wheel(folder, "tinypkg", version, {"__init__.py": f"VERSION = {version!r}\n"})
    return folder


@pytest.fixture
async def hub(tmp_path, wheels):
    settings = SettingsManager({"packages.no_index": True, "packages.find_links": [str(wheels)]})
    async with DevHub(data_dir=str(tmp_path / "data"), package_settings=settings) as running:
        await running.workbooks.open_name(WB)  # its file keeps its package list
        yield running


class Peer:
    """A raw WebSocket client of the hub (the IDE or a kernel), reading whole messages."""

    def __init__(self, connection):
        self.connection = connection

    async def send(self, message):
        await self.connection.send(json.dumps(message))

    async def until(self, last, timeout=60):
        """Messages up to and including the first for which `last(message)` holds."""
        messages = []
        while True:
            messages.append(json.loads(await asyncio.wait_for(self.connection.recv(), timeout)))
            if last(messages[-1]):
                return messages


@pytest.fixture
async def ide(hub):
    async with hub_connect(hub, IDE_PATH) as connection:
        peer = Peer(connection)
        await peer.until(lambda m: m["type"] == "workbook_list")
        yield peer


def finished(message):
    return (message["type"] == "workbook_packages_update"
            or message.get("status") == "error")


class TestRefusedSpecs:
    @pytest.mark.parametrize("spec", ["numpy; rm -rf /", "--index-url=http://evil.example/simple",
                                      "-r /etc/passwd"])
    async def test_the_managers_refusal_reaches_the_ide_and_nothing_runs(
            self, ide, monkeypatch, spec):
        started = []

        async def refuse(*args, **kwargs):
            started.append(args)
            raise AssertionError("a child process was started")

        monkeypatch.setattr(asyncio, "create_subprocess_exec", refuse)
        await ide.send({"type": "install_package", "workbook_id": WB, "package_spec": spec})
        reply, = await ide.until(finished)
        assert reply == {"type": "package_install_progress", "workbook_id": WB,
                         "package_name": spec, "status": "error",
                         "error": "Invalid package spec: " + validate_package_spec(spec)[1]}
        assert started == []


class TestInstallations:
    async def test_a_failed_install_keeps_the_earlier_packages_and_the_list_outlives_the_hub(
            self, hub, ide, tmp_path, monkeypatch):
        await ide.send({"type": "install_package", "workbook_id": WB,
                        "package_spec": "tinypkg==1.0"})
        messages = await ide.until(finished)
        assert [m["status"] for m in messages if m["type"] == "package_install_progress"] == [
            "installing", "installed"]
        assert any(m["type"] == "pip_output" and "tinypkg" in m["content"] for m in messages)
        listed = messages[-1]
        assert [(p["name"], p["version"]) for p in listed["packages"]] == [("tinypkg", "1.0")]
        paths = listed["python_paths"]
        assert os.path.isfile(os.path.join(paths[0], "tinypkg", "__init__.py"))

        with socket.socket() as sock:  # an index where nothing listens
            sock.bind(("127.0.0.1", 0))
            closed = f"http://127.0.0.1:{sock.getsockname()[1]}/simple"
        monkeypatch.setenv("PIP_RETRIES", "0")
        hub.packages.configure(SettingsManager({"packages.index_url": closed}))
        await ide.send({"type": "install_package", "workbook_id": WB,
                        "package_spec": "tinypkg==2.0"})
        messages = await ide.until(finished)
        assert messages[-1]["status"] == "error" and "tinypkg==2.0" in messages[-1]["error"]
        assert any(m.get("output_type") == "stderr" for m in messages)
        await ide.send({"type": "get_workbook_packages", "workbook_id": WB, "request_id": "r"})
        after, = await ide.until(finished)
        assert (after["python_paths"], after["packages"]) == (paths, listed["packages"])
        assert after["request_id"] == "r" and "tinypkg" in after["package_errors"]

        # A new hub on the same data folder knows the list and gives it to a connecting kernel.
        async with DevHub(data_dir=str(tmp_path / "data")) as second:
            async with hub_connect(second, KERNEL_PATH + WB) as kernel:
                first, = await Peer(kernel).until(lambda m: True)
        assert first == {"type": "set_package_paths", "old_paths": [], "new_paths": paths}

    async def test_removing_unloads_the_package_from_the_kernel(self, hub, ide):
        async with hub_connect(hub, KERNEL_PATH + WB) as connection:
            kernel = Peer(connection)
            await hub.wait_for_kernel(WB)
            await ide.send({"type": "install_package", "workbook_id": WB,
                            "package_spec": "tinypkg"})
            asked, = await kernel.until(lambda m: True)
            assert asked["type"] == "set_package_paths" and asked["old_paths"] == []
            await kernel.send({"type": "package_paths_updated", "paths_added": 1,
                               "modules_unloaded": 0, "workbook_id": WB})
            listed = (await ide.until(finished))[-1]
            assert [(p["name"], p["version"]) for p in listed["packages"]] == [("tinypkg", "2.0")]

            await ide.send({"type": "remove_package", "workbook_id": WB,
                            "package_name": "TinyPkg"})
            asked, = await kernel.until(lambda m: True)
            assert asked == {"type": "set_package_paths", "old_paths": listed["python_paths"],
                             "new_paths": []}
            await kernel.send({"type": "package_paths_updated", "paths_added": 0,
                               "modules_unloaded": 1, "workbook_id": WB})
            messages = await ide.until(finished)
            assert [m["type"] for m in messages] == ["package_paths_updated",
                                                     "workbook_packages_update"]
            assert messages[-1]["packages"] == [] and messages[-1]["python_paths"] == []


class TestIndexQueries:
    async def test_answers_carry_the_request_id(self, hub, ide):
        from ..manager.conftest import Index
        index = Index()
        try:
            index.project("demo", {"info": {"name": "demo", "provides_extra": ["fast"]},
                                   "releases": {"1.0": [{"filename": "d.whl"}], "2.0": [{}]}})
            hub.packages.configure(SettingsManager({"packages.index_url": index.url + "/simple"}))
            for request, answer in [
                ({"type": "get_package_versions", "package_name": "demo"},
                 {"versions": ["2.0", "1.0"]}),
                ({"type": "get_package_extras", "package_name": "demo", "version": None},
                 {"version": None, "extras": ["fast"]}),
                ({"type": "get_package_versions"},
                 {"versions": None, "error": "package_name must be a non-empty string"}),
            ]:
                await ide.send({**request, "request_id": "q"})
                reply, = await ide.until(lambda m: True)
                assert reply == {"type": request["type"] + "_response", "request_id": "q",
                                 "package_name": request.get("package_name"), **answer}
        finally:
            index.close()
