"""A stand-in for the hub's IDE endpoint: a real websockets server on 127.0.0.1, running its own
event loop on a thread of its own, driven from the test (GUI) thread.

Every method is called from the test's thread and waits for the server thread only as long as
the operation itself takes; it never needs the Qt event loop, so it is safe while the GUI thread
is busy or blocked.
"""
from __future__ import annotations

import asyncio
import json
import threading
from typing import Callable, Iterable, List, Optional, Tuple

from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed

Responder = Callable[[dict], Iterable[dict]]
WAIT = 10.0


class FakeHub:
    def __init__(self, ssl_context=None, responder: Optional[Responder] = None) -> None:
        self.ssl_context = ssl_context
        self.responder = responder
        self.port = 0
        self.received: List[str] = []
        self.paths: List[str] = []
        # The Authorization header of each handshake (None when it had none), refused or not.
        self.authorizations: List[Optional[str]] = []
        # (status, body) to refuse every handshake with, as a hub refuses a wrong token.
        self.refusal: Optional[Tuple[int, str]] = None
        self.accepted = 0
        self._connection: Optional[ServerConnection] = None
        self._server = None
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="fake hub",
                                        daemon=True)
        self._thread.start()

    # --- running the loop from the test thread --------------------------------------------

    def _run(self, coroutine, timeout: float = WAIT):
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(timeout)

    def start(self) -> "FakeHub":
        """Serves on the hub's port (an ephemeral one the first time)."""
        self._run(self._start())
        return self

    async def _start(self) -> None:
        self._server = await serve(self._serve, "127.0.0.1", self.port, ssl=self.ssl_context,
                                   process_request=self._process_request)
        self.port = self._server.sockets[0].getsockname()[1]

    def stop_server(self) -> None:
        """Stops listening and closes every connection normally (1001, going away)."""
        self._run(self._stop_server())

    async def _stop_server(self) -> None:
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None

    def shutdown(self) -> None:
        self.stop_server()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(WAIT)

    # --- the current connection -----------------------------------------------------------

    def _process_request(self, connection: ServerConnection, request):
        self.authorizations.append(request.headers.get("Authorization"))
        if self.refusal is not None:
            return connection.respond(*self.refusal)
        return None

    async def _serve(self, connection: ServerConnection) -> None:
        self.paths.append(connection.request.path)
        self._connection = connection
        self.accepted += 1
        try:
            async for frame in connection:
                self.received.append(frame)
                if self.responder is not None:
                    for reply in self.responder(json.loads(frame)):
                        await connection.send(json.dumps(reply))
        except ConnectionClosed:
            pass

    def send(self, message: dict) -> None:
        self.send_raw(json.dumps(message))

    def send_raw(self, text) -> None:
        async def send():
            await (await self._current()).send(text)

        self._run(send())

    def send_many(self, frames: Iterable[str]) -> None:
        async def send_all():
            for frame in frames:
                await self._connection.send(frame)

        self._run(send_all(), timeout=60)

    def ping(self, timeout: float = 2.0) -> float:
        """Round trip of a ping to the client: proves its connection thread is answering."""
        async def ping():
            pong = await (await self._current()).ping()
            return await asyncio.wait_for(pong, timeout)

        return self._run(ping(), timeout + 1)

    def close_connection(self, code: int = 1000, reason: str = "") -> None:
        """Closes the current connection with a closing handshake."""
        async def close():
            await (await self._current()).close(code, reason)

        self._run(close())

    def drop_connection(self) -> None:
        """Cuts the current connection without a closing handshake."""
        async def abort():
            (await self._current()).transport.abort()

        self._run(abort())

    async def _current(self) -> ServerConnection:
        """The current connection; a client may see its handshake done a moment before the
        server's handler has run."""
        while self._connection is None:
            await asyncio.sleep(0.001)
        return self._connection

    def messages(self) -> List[dict]:
        return [json.loads(frame) for frame in list(self.received)]
