"""The IDE's connection as the development hub sees it, and the relay between IDE and kernels.

What the hub does with the IDE (the real hub's routing is its own; this is a small, honest
stand-in for running the system on one machine):

* When the IDE connects it gets a "workbook_list" of the open workbooks with their modules;
  each kernel that connects later is announced as "workbook_connected" (a kernel that leaves
  leaves its workbook open; the IDE follows kernel states through "watch_workbooks").
* A message from the IDE that names a connected workbook (`workbook_id`) goes to that kernel as
  it is. "update_module" and "delete_module" also update the hub's copy of the modules. The
  IDE's requests and the hub's answers are listed in ``ide_protocol``.
* When a kernel has taken a module update or deletion, the IDE gets the workbook's
  "module_list" from the hub's copy.
* From the kernels, the IDE gets the console's messages ("stdout", "stderr", "result_output",
  "execution_result", the debug and object-registry messages). A kernel's "execution_error"
  reaches the IDE as an "execution_result" with `success` false and the traceback text as
  `error`, which is what the IDE shows for a failure.
"""

from __future__ import annotations

import asyncio
import json
import logging
from typing import Any, Callable, Dict, Optional, Set

from websockets.asyncio.server import ServerConnection
from websockets.exceptions import ConnectionClosed

from .frames import frame_text, parse_message
from .ide_protocol import IDE_REPLACED_CODE, IDE_REPLACED_REASON

logger = logging.getLogger(__name__)

# Kernel messages the IDE shows as they are.
FORWARDED_TO_IDE = {
    "stdout", "stderr", "result_output", "execution_result", "debug_paused", "debug_exception",
    "debug_resumed", "debug_terminated", "debug_evaluate_result", "object_registry_update",
    "object_registry_response",
}


def error_text(error: Any) -> str:
    """The text the IDE shows for an error object (or an error already given as text)."""
    if isinstance(error, dict):
        return error.get("traceback") or f"{error.get('type', 'Error')}: {error.get('message', '')}"
    return str(error) if error is not None else "Unknown error"


def for_ide(message: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    """The message the IDE gets for a kernel's message, or None when the IDE does not show it."""
    kind = message.get("type")
    if kind in FORWARDED_TO_IDE:
        return message
    if kind == "execution_error":
        return {"type": "execution_result", "success": False,
                "error": error_text(message.get("error")),
                "function_name": message.get("function_name") or "",
                "request_id": message.get("request_id"), "source": message.get("source", "ide"),
                "workbook_id": message.get("workbook_id")}
    return None


class IdeSession:
    """The hub's side of the IDE's connection: one IDE at a time, as at /ws/ide/main_ide. An
    IDE that connects takes the place of the one before, which is closed with
    `IDE_REPLACED_CODE` and told why (see ``ide_protocol``)."""

    def __init__(self, route_to_kernel: Callable[[Dict[str, Any]], Any]) -> None:
        self.connection: Optional[ServerConnection] = None
        self._route_to_kernel = route_to_kernel
        self._closing: Set["asyncio.Task[None]"] = set()

    @property
    def connected(self) -> bool:
        return self.connection is not None

    async def serve(self, connection: ServerConnection, greeting: Dict[str, Any]) -> None:
        previous, self.connection = self.connection, connection
        if previous is not None:
            logger.warning("Another IDE connected; the IDE connected before is closed")
            # Not awaited: the closing handshake may take the old IDE's close time-out, and the
            # new IDE's greeting must not wait for it.
            closing = asyncio.ensure_future(previous.close(IDE_REPLACED_CODE, IDE_REPLACED_REASON))
            self._closing.add(closing)
            closing.add_done_callback(self._closing.discard)
        try:
            await self.send(greeting)
            async for frame in connection:
                if self.connection is not connection:
                    break  # replaced: what it still sends is not the IDE's any more
                text = frame_text(frame, "IDE")
                message = parse_message(text, "IDE") if text is not None else None
                if message is None:
                    continue
                if not isinstance(message.get("type"), str):
                    logger.warning("IDE sent a message whose type is not text; dropped")
                    continue
                # Sends to the IDE absorb its connection's end; anything raised here comes from a
                # kernel's connection or the hub's own handling, and must not end this session.
                try:
                    await self._route_to_kernel(message)
                except Exception:
                    logger.exception("Routing the IDE's %.80r message failed", message["type"])
        except ConnectionClosed:
            pass
        finally:
            if self.connection is connection:
                self.connection = None

    async def send(self, message: Dict[str, Any]) -> None:
        if self.connection is None:
            return
        try:
            await self.connection.send(json.dumps(message))
        except ConnectionClosed:
            self.connection = None
