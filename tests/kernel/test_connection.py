"""Connecting to the hub, the read loop's life, and tear-down, as the hub and user code see them."""
import asyncio
import logging
import sys
import threading

import pytest
import trustme
from websockets.asyncio.server import serve

from devhub import DevHub
from python_server import kernel as kernel_module
from python_server import quorvel

from ..conftest import messages_of, scaled
from .conftest import WORKBOOK, start_kernel


class TestSecuredMode:
    @pytest.mark.parametrize("value, scheme", [(None, "wss"), ("0", "ws"), ("1", "wss"),
                                                ("false", "wss"), ("", "wss")])
    def test_scheme_follows_quorvel_secured(self, monkeypatch, value, scheme):
        if value is None:
            monkeypatch.delenv("QUORVEL_SECURED", raising=False)
        else:
            monkeypatch.setenv("QUORVEL_SECURED", value)
        k = kernel_module.PythonKernel("wb", host="example", port="1234")
        assert k.server_url == f"{scheme}://example:1234"

    async def test_wss_with_a_self_signed_certificate(self, monkeypatch):
        """The default mode: TLS without verifying the (self-signed) certificate."""
        monkeypatch.delenv("QUORVEL_SECURED", raising=False)
        authority = trustme.CA()
        context = __import__("ssl").create_default_context(__import__("ssl").Purpose.CLIENT_AUTH)
        authority.issue_cert("127.0.0.1").configure_cert(context)
        async with DevHub(ssl_context=context) as hub:
            monkeypatch.setenv("QUORVEL_HUB_TOKEN", hub.token)
            running = await start_kernel(hub)
            assert running.kernel.server_url.startswith("wss://")
            reply = await running.roundtrip(
                {"type": "update_module", "module_name": "tls_mod", "code": "x = 1"},
                "module_updated")
            assert reply == {"type": "module_updated", "module_name": "tls_mod"}
            await running.send({"type": "shutdown"})
            await running.finished()
        kernel_module.in_memory_loader.delete_module("tls_mod")


class TestConnect:
    async def test_connect_publishes_the_kernel_to_the_host_bridge(self, running):
        k = running.kernel
        assert k.running is True
        assert k._loop is asyncio.get_running_loop()
        assert isinstance(k._socket_lock, asyncio.Lock)
        assert quorvel.messaging.loop is k._loop
        assert quorvel.messaging.loop_thread is threading.current_thread()
        assert quorvel._kernel_instance is k
        assert quorvel.connection_args == {}
        assert sys.modules["quorvel"] is quorvel
        assert k._batcher._running is True

    async def test_disconnect_undoes_connect_and_may_run_twice(self, kernel_log, running):
        k = running.kernel
        stdout_before = sys.stdout
        await running.send({"type": "shutdown"})
        await running.finished()
        assert k.running is False
        assert quorvel._kernel_instance is None
        assert quorvel.messaging.loop is None
        assert sys.stdout is stdout_before
        assert k._batcher._running is False
        await k.disconnect()  # a third time: still fine
        log = messages_of(kernel_log)
        assert f"Kernel connected for workbook: {WORKBOOK}" in log
        assert log[-1] == f"Kernel disconnected for workbook: {WORKBOOK}"
        with pytest.raises(RuntimeError):
            k._thread_pool.submit(print)

    async def test_connection_args_are_kept_or_defaulted(self, hub):
        running = await start_kernel(hub, connection_args={"platform": "web", "x": 1})
        assert quorvel.connection_args == {"platform": "web", "x": 1}
        assert running.kernel._win32_watcher is None
        await running.send({"type": "shutdown"})
        await running.finished()
        for empty in (None, {}):
            k = kernel_module.PythonKernel("wb", connection_args=empty)
            assert k.connection_args == {}

    async def test_failure_to_connect_is_logged_and_run_returns(self, monkeypatch, kernel_log):
        monkeypatch.setenv("QUORVEL_SECURED", "0")
        k = kernel_module.PythonKernel("wb", port="1")  # nothing listens on port 1
        await asyncio.wait_for(k.run(), 10)
        errors = messages_of(kernel_log, logging.ERROR)
        assert errors and errors[0].startswith("Kernel error: ")
        assert messages_of(kernel_log)[-1] == "Kernel disconnected for workbook: wb"

    def test_the_import_hook_is_registered_once(self, kernel_log):
        kernel_module.PythonKernel("a")
        kernel_module.PythonKernel("b")
        assert sys.meta_path.count(kernel_module.in_memory_loader) == 1
        sys.meta_path.remove(kernel_module.in_memory_loader)
        kernel_module.PythonKernel("c")
        kernel_module.PythonKernel("d")
        assert sys.meta_path[0] is kernel_module.in_memory_loader
        assert messages_of(kernel_log).count(
            "[Kernel] Registered InMemoryModuleLoader in sys.meta_path") == 1


class TestTheHubsToken:
    async def test_the_connection_argument_wins_over_the_environment(self, hub, monkeypatch):
        monkeypatch.setenv("QUORVEL_HUB_TOKEN", "not-the-hubs")
        running = await start_kernel(hub, connection_args={"auth_token": hub.token})
        await running.send({"type": "shutdown"})
        await running.finished()

    @pytest.mark.parametrize("args", [{"auth_token": "guessed"}, {"auth_token": ""}])
    async def test_a_wrong_or_empty_token_is_refused_and_run_returns(self, hub, kernel_log,
                                                                     monkeypatch, args):
        k = kernel_module.PythonKernel("Guess.xlsx", port=str(hub.port), connection_args=args)
        if args["auth_token"] == "":
            monkeypatch.delenv("QUORVEL_HUB_TOKEN")  # an empty argument sends no token
        await asyncio.wait_for(k.run(), scaled(10))
        errors = messages_of(kernel_log, logging.ERROR)
        assert errors == ["Kernel error: server rejected WebSocket connection: HTTP 403"]
        assert "Guess.xlsx" not in hub.workbook_ids()

    async def test_without_a_token_the_kernel_connects_as_before(self, monkeypatch):
        """No token anywhere: the same URL, and no Authorization header in the handshake."""
        monkeypatch.setenv("QUORVEL_SECURED", "0")
        monkeypatch.delenv("QUORVEL_HUB_TOKEN", raising=False)
        seen = []

        def record(connection, request):
            seen.append((request.path, request.headers.get("Authorization")))

        async def close_at_once(connection):
            await connection.close()

        async with serve(close_at_once, "127.0.0.1", 0, process_request=record) as server:
            port = server.sockets[0].getsockname()[1]
            k = kernel_module.PythonKernel("Book1.xlsx", port=str(port))
            await asyncio.wait_for(k.run(), scaled(10))
        assert seen == [("/ws/kernel/Book1.xlsx", None)]


    async def test_a_workbook_name_a_url_cannot_hold_is_percent_encoded(self, hub):
        """Plain names travel as they are; others (spaces, accents, '%') reach the hub whole."""
        running = await start_kernel(hub, workbook_id="My Budget 100% é.xlsx")
        assert running.session.connection.request.path == (
            "/ws/kernel/My%20Budget%20100%25%20%C3%A9.xlsx")
        await running.send({"type": "shutdown"})
        await running.finished()


class TestReadLoopEnds:
    async def test_peer_closing_ends_listen_and_run(self, running):
        await running.session.connection.close()
        await running.finished()
        assert running.kernel.running is False

    async def test_a_frame_beyond_the_library_bound_closes_cleanly(self, kernel_log, running):
        await running.session.send_raw("x" * (kernel_module.MAX_FRAME_BYTES + 1))
        await running.finished()
        await asyncio.wait_for(running.session.closed.wait(), 5)
        assert running.session.connection.close_code == 1009
        assert any("1009" in m for m in messages_of(kernel_log, logging.INFO))
        assert messages_of(kernel_log)[-1] == f"Kernel disconnected for workbook: {WORKBOOK}"


class TestMainEntry:
    async def test_main_in_a_kernel_process(self, hub):
        """The launcher runs main(); the kernel answers and exits after "shutdown"."""
        process = await hub.launch_kernel("Process.xlsx", {"platform": "web"})
        try:
            session = await hub.wait_for_kernel("Process.xlsx", timeout=30)
            await session.send({"type": "update_module", "module_name": "m", "code": "a = 1"})
            assert await session.expect("module_updated") == {"type": "module_updated",
                                                              "module_name": "m"}
            await session.send({"type": "shutdown"})
            assert await process.wait(timeout=15) == 0
        finally:
            await process.kill()

    async def test_main_returns_after_the_connection_ends(self, hub):
        task = asyncio.create_task(kernel_module.main("Main.xlsx", str(hub.port)))
        session = await hub.wait_for_kernel("Main.xlsx")
        await session.send({"type": "shutdown"})
        assert await asyncio.wait_for(task, 10) is None


class TestPromptExitWithBlockedCells:
    @pytest.mark.parametrize("ending", ["shutdown", "closed connection",
                                        "shutdown from a hub that stopped reading"])
    async def test_the_process_ends_within_two_seconds(self, hub, ending):
        process = await hub.launch_kernel("Blocked.xlsx")
        session = hub.kernel("Blocked.xlsx")
        try:
            await hub.wait_for_kernel("Blocked.xlsx", timeout=scaled(30))
            code = ("for i in range(10**6):\n    print(i)" if "stopped" in ending else
                    "import time\nprint('blocked')\ntime.sleep(3600)")
            await session.send({"type": "execution_request", "request_id": "b", "code": code})
            await session.expect("stdout", timeout=scaled(30))
            if "stopped" in ending:
                session.pause_reading()
                await asyncio.sleep(0.5)  # the socket's buffers fill up meanwhile
            if ending == "closed connection":
                await session.connection.close()
            else:
                await session.send({"type": "shutdown"})
            assert await process.wait(timeout=scaled(2)) == 0
        finally:
            session.resume_reading()
            await process.kill()

    async def test_blocked_workers_are_left_behind_as_daemon_threads(self, kernel_log, running):
        import builtins

        builtins.wire_gate = threading.Event()
        try:
            await running.send({"type": "execution_request", "request_id": "b", "code":
                                "import builtins, threading\n"
                                "print(threading.current_thread().name)\n"
                                "builtins.wire_gate.wait()"})
            worker = (await running.expect("stdout"))["content"].strip()
            await running.send({"type": "shutdown"})
            await running.finished(timeout=scaled(2))
            assert ("[Kernel] Worker threads still running user code are left behind as daemon "
                    f"threads: {worker}") in messages_of(kernel_log, logging.WARNING)
            if sys.version_info < (3, 13):
                # 3.13 joins every thread started as non-daemon at exit, with no way to take
                # one out: there, the launcher's os._exit after the disconnect ends the process.
                assert [t.daemon for t in threading.enumerate() if t.name == worker] == [True]
        finally:
            builtins.wire_gate.set()
            del builtins.wire_gate
