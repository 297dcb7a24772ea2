"""The streaming core, driven by scripted children: what pip writes, the consumer sees."""
import asyncio
import logging

import pytest

from business_layer.packages.manager import MAX_OUTPUT_LINE_BYTES

from .conftest import ScriptedPip, collect

MANAGER_LOGGER = "business_layer.packages.manager"


async def run(manager, script, target="out", **builder):
    manager.pip_command_builder = ScriptedPip(script, **builder)
    return await collect(manager.install_package("pkg", target))


def lines_of(items):
    return [item for item in items if item[0] in ("stdout", "stderr")]


class TestLines:
    async def test_decoding_and_stripping(self, manager):
        items = await run(manager, r"""
            import sys
            out = sys.stdout.buffer
            out.write(b"trailing   \r\n\n\t \nbad \xff\xfe end\n"); out.flush()
            sys.stderr.buffer.write(b"warn \r\n"); sys.stderr.flush()
            out.write(b"last line without end  ")
        """)
        assert sorted(lines_of(items)) == sorted([
            ("stdout", "trailing"), ("stdout", ""), ("stdout", ""),
            ("stdout", "bad \ufffd\ufffd end"),
            ("stderr", "warn"), ("stdout", "last line without end")])
        assert [t for t, _ in items if t == "stdout"] and items[-2][0] == "success"

    async def test_overlong_line_arrives_whole_in_pieces(self, manager):
        size = MAX_OUTPUT_LINE_BYTES * 2 + 123
        items = await run(manager, f"""
            import sys
            sys.stdout.write("x" * {size} + "   \\n" + "after\\n")
            sys.stdout.write("y" * {MAX_OUTPUT_LINE_BYTES + 1})
        """)
        contents = [content for _, content in lines_of(items)]
        assert "after" in contents
        split = contents.index("after")
        assert "".join(contents[:split]) == "x" * size
        assert all(0 < len(piece) <= MAX_OUTPUT_LINE_BYTES for piece in contents[:split])
        assert "".join(contents[split + 1:]) == "y" * (MAX_OUTPUT_LINE_BYTES + 1)
        assert items[-1][0] == "path"


class TestArrivalOrder:
    async def test_interleaved_pipes_in_arrival_order(self, manager):
        """The child waits for the consumer to see each line before writing the next."""
        connected = asyncio.get_running_loop().create_future()
        server = await asyncio.start_server(lambda r, w: connected.set_result(w), "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        order = [("stdout", "o1"), ("stderr", "e1"), ("stderr", "e2"), ("stdout", "o2"),
                 ("stderr", "e3"), ("stdout", "o3")]
        manager.pip_command_builder = ScriptedPip(f"""
            import socket, sys
            ack = socket.create_connection(("127.0.0.1", {port}))
            for stream, text in {order!r}:
                print(text, file=getattr(sys, stream), flush=True)
                ack.recv(1)
        """)
        seen = []
        async with server:
            async for item in manager.install_package("pkg", "out"):
                seen.append(item)
                if item[0] in ("stdout", "stderr"):
                    (await asyncio.wait_for(connected, 10)).write(b".")
        assert seen[:-2] == order
        assert [t for t, _ in seen[-2:]] == ["success", "path"]

    async def test_slow_consumer_never_blocks_the_child(self, manager, tmp_path):
        """Far more output than a pipe holds: the child finishes while nobody consumes."""
        done = tmp_path / "done"
        stream = manager.install_package("pkg", "out")
        manager.pip_command_builder = ScriptedPip(f"""
            import sys
            for n in range(20000):
                print("line %05d" % n + " " * 60)
            sys.stdout.flush()
            open({str(done)!r}, "w").close()
        """)
        first = await asyncio.wait_for(stream.__anext__(), 30)
        for _ in range(1000):
            if done.exists():
                break
            await asyncio.sleep(0.02)
        assert done.exists()
        rest = await collect(stream)
        assert [first] + rest[:-2] == [("stdout", "line %05d" % n) for n in range(20000)]


class TestEndings:
    async def test_non_zero_exit(self, manager):
        items = await run(manager, "import sys; print('bad things', file=sys.stderr); sys.exit(3)")
        assert items == [("stderr", "bad things"),
                         ("error", "pip install failed with return code 3")]

    async def test_missing_program(self, manager):
        items = await run(manager, "", program="/nonexistent/python3")
        assert items == [("error", "Python executable not found")]

    async def test_program_without_permission(self, manager, tmp_path):
        program = tmp_path / "not-executable"
        program.write_text("")
        items = await run(manager, "", target=str(tmp_path / "t"), program=str(program))
        assert items == [("error", "Permission denied when installing to " + str(tmp_path / "t"))]

    async def test_other_failure_is_logged_and_reported(self, manager, caplog):
        class Empty:
            def build_install_command(self, *args, **kwargs):
                return []
        manager.pip_command_builder = Empty()
        with caplog.at_level(logging.ERROR, logger=MANAGER_LOGGER):
            items = await collect(manager.install_package("pkg", "out"))
        assert len(items) == 1 and items[0][0] == "error"
        message = items[0][1]
        assert message.startswith("Installation failed: ") and "program" in message
        assert [r.getMessage() for r in caplog.records] == [
            "Failed to install package pkg: " + message[len("Installation failed: "):]]

    async def test_cancellation_is_not_an_error_item(self, manager, monkeypatch):
        started, create = [], asyncio.create_subprocess_exec

        async def recording(*args, **kwargs):
            started.append(await create(*args, **kwargs))
            return started[-1]

        monkeypatch.setattr(asyncio, "create_subprocess_exec", recording)
        manager.pip_command_builder = ScriptedPip(
            "import time; print('started', flush=True); time.sleep(60)")
        seen = []

        async def consume():
            async for item in manager.install_package("pkg", "out"):
                seen.append(item)

        task = asyncio.create_task(consume())
        try:
            while not seen:
                await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await asyncio.wait_for(task, 10)
            assert seen == [("stdout", "started")]
        finally:
            # The installation leaves its child alone; the test does not.
            started[0].kill()
            await asyncio.wait_for(started[0].wait(), 10)


class TestLogging:
    async def test_command_lines_are_logged_at_info(self, manager, caplog):
        manager.pip_command_builder = ScriptedPip("pass")
        with caplog.at_level(logging.INFO, logger=MANAGER_LOGGER):
            await collect(manager.install_package("pkg", "out"))
            await collect(manager.install_package_to_cache("pkg", "1.0"))
        command = " ".join(manager.pip_command_builder.build_install_command("", ""))
        assert [r.getMessage() for r in caplog.records if r.levelno == logging.INFO] == [
            "Running pip install: " + command, "Installing to cache: " + command]


class TestChildEnvironment:
    SCRIPT = "import os; print(os.environ.get('QUORVEL_MARK', 'unset'))"

    async def test_env_given_to_the_cache_installation(self, manager, monkeypatch):
        monkeypatch.setenv("QUORVEL_MARK", "parent")
        manager.pip_command_builder = ScriptedPip(self.SCRIPT)
        items = await collect(manager.install_package_to_cache("pkg", "1.0", None,
                                                               {"QUORVEL_MARK": "given"}))
        assert items[0] == ("stdout", "given")
        items = await collect(manager.install_package_to_cache("pkg", "2.0"))
        assert items[0] == ("stdout", "parent")
