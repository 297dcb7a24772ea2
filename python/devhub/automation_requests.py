"""The IDE's requests about a workbook's worksheet functions, event handlers and timers (see
``ide_protocol`` for the messages): published and unpublished by hand, bound and checked,
scheduled. Each change is in the workbook's file before it is answered."""

from __future__ import annotations

import logging
from typing import Any, Awaitable, Callable, Dict, Optional

from python_server.quorvel.worksheet_functions import module_functions, valid_function_name

from .ide_protocol import refusal
from .live_workbook import PUBLISHED_SETTING, LiveWorkbook
from .workbook_events import Handler
from .workbook_file import WorkbookFileError

__all__ = ["AutomationRequests", "MAX_PUBLISHED"]

logger = logging.getLogger(__name__)

MAX_PUBLISHED = 1_000
Send = Callable[[Dict[str, Any]], Awaitable[None]]


class AutomationRequests:
    def __init__(self, live_workbook: Callable[[str], Optional[LiveWorkbook]],
                 send: Send) -> None:
        self._live_workbook = live_workbook
        self._send = send

    async def handle(self, message: Dict[str, Any]) -> None:
        workbook_id = message.get("workbook_id")
        live = self._live_workbook(workbook_id) if isinstance(workbook_id, str) else None
        if live is None:
            await self._refuse(message, f"No workbook {workbook_id!r:.120} is open.")
            return
        await live.ready.wait()
        kind = message["type"]
        try:
            if kind == "get_automation_state":
                *states, last = live.automation_states()
                for state in states:
                    await self._send(state)
                await self._send({**last, "request_id": message.get("request_id")})
            elif kind == "publish_function":
                await self._publish(live, message)
            elif kind == "unpublish_function":
                await self._unpublish(live, message)
            elif kind == "validate_handler":
                await self._validate(live, message)
            elif kind == "save_event_config":
                await self._save_handlers(live, message)
            elif kind == "save_ontime_events":
                problem = await live.timers.save(message.get("ontime_events"))
                if problem is not None:
                    await self._refuse(message, problem)
                else:
                    await self._send({**live.timers.state(),
                                      "request_id": message.get("request_id")})
        except WorkbookFileError as error:  # a read-only file, a full disk
            await self._refuse(message, str(error))

    async def _publish(self, live: LiveWorkbook, message: Dict[str, Any]) -> None:
        module, function = message.get("module_name"), message.get("function_name")
        if not isinstance(module, str) or module not in live.file.modules:
            await self._refuse(message, f"There is no module {module!r:.80}.")
            return
        if not isinstance(function, str) or \
                function not in module_functions(live.file.modules[module]):
            await self._refuse(message, f"Module {module} has no function {function!r:.80}.")
            return
        name = message.get("name") or function
        description = message.get("description") or ""
        if not isinstance(name, str) or not valid_function_name(name.upper()):
            await self._refuse(message, f"{name!r:.80} is not a worksheet function name: "
                                        f"letters, digits, '_' and '.', starting with a letter, "
                                        f"and not a cell reference such as A1.")
            return
        if not isinstance(description, str):
            await self._refuse(message, "The description is not text.")
            return
        name = name.upper()
        taken = live.functions.get(name)
        if taken is not None and taken.origin == "decorator":
            await self._refuse(message, f"{name} is already a worksheet function, of "
                                        f"{taken.module}.{taken.function}.")
            return
        entries = [e for e in live.published() if str(e.get("name", "")).upper() != name]
        if len(entries) >= MAX_PUBLISHED:
            await self._refuse(message, f"A workbook publishes at most {MAX_PUBLISHED:,} "
                                        f"functions by hand.")
            return
        entries.append({"name": name, "module_name": module, "function_name": function,
                        "description": description[:1000]})
        await self._store(live, message, entries)

    async def _unpublish(self, live: LiveWorkbook, message: Dict[str, Any]) -> None:
        name = str(message.get("name") or "").upper()
        function = live.functions.get(name)
        if function is not None and function.origin == "decorator":
            await self._refuse(message, f"{name} is published by @quorvel.function in module "
                                        f"{function.module}: remove the decorator to unpublish "
                                        f"it.")
            return
        entries = [e for e in live.published() if str(e.get("name", "")).upper() != name]
        if len(entries) == len(live.published()):
            await self._refuse(message, f"No function {name!r:.80} is published by hand.")
            return
        await self._store(live, message, entries)

    async def _store(self, live: LiveWorkbook, message: Dict[str, Any], entries: list) -> None:
        await live.file.set_setting(PUBLISHED_SETTING, entries)
        live.functions_changed()
        await self._send({**live.functions_state(), "request_id": message.get("request_id")})

    async def _validate(self, live: LiveWorkbook, message: Dict[str, Any]) -> None:
        values = [message.get(name) for name in ("object_id", "event_name", "module_name",
                                                 "function_name")]
        if not all(isinstance(value, str) and value for value in values):
            problem: Optional[str] = ("A handler names object_id, event_name, module_name and "
                                      "function_name")
        else:
            problem = live.events.problem(Handler(*values))  # type: ignore[arg-type]
        await self._send({"type": "validate_handler_response",
                          "request_id": message.get("request_id"),
                          "workbook_id": live.workbook_id, "valid": problem is None,
                          "message": problem or f"{values[2]}.{values[3]} can handle "
                                                f"{values[0]}.{values[1]}"})

    async def _save_handlers(self, live: LiveWorkbook, message: Dict[str, Any]) -> None:
        success, text, results = await live.events.save_bindings(message.get("handlers"))
        for result in results:
            await self._send(result)
        await self._send({"type": "save_event_config_response",
                          "request_id": message.get("request_id"),
                          "workbook_id": live.workbook_id, "success": success,
                          "message": text})

    async def _refuse(self, message: Dict[str, Any], problem: str) -> None:
        # The console shows it too: the panels hear of a refusal only there.
        await self._send({"type": "log_to_console", "color": "#ff6b6b", "content": problem})
        if isinstance(message.get("request_id"), str):
            await self._send(refusal(message, problem))
