"""The workbook pages: what the hub serves a browser, and each page's socket.

Addresses, on the hub's own port (the same checks as every other connection, ``access``):

* ``/`` lists the open workbooks; ``/workbook/<workbook id>`` is a workbook's sheet;
  ``/static/<file>`` the page's script and style (shipped in ``sheet_page/``, nothing fetched).
  The address the hub prints carries ``?token=``: the answer sets the token as a cookie
  (HttpOnly, SameSite=Strict) and sends the browser to the address without it.
* ``/ws/sheet/<workbook id>`` is a page's socket: the cookie carries the token, and the
  browser's Origin must be the hub's own.

A page's socket carries JSON objects. A cell record is ``[row, column, value, input]`` or
``[row, column, value, input, note]``: `value` is what the cell shows (a number, a text, a
boolean, null when empty, ``{"error": "#VALUE!"}`` or ``{"date": "2024-01-31"}``), `input`
what the formula bar shows (the formula as typed, or the value), `note` the message of a
failed Python call or of a formula that does not parse.

Hub to page: "hello" {`workbook_id`, `name`, `sheets`: [{`name`, `rows`, `columns`}],
`active`, `kernel`, `pending`} first (and again when the workbook's file is reloaded);
"changed" {`sheet`, `cells`} whenever cells change; "status" {`kernel`, `pending`};
"message_box" {`message`, `title`, `msg_type`} (user code's ``show_message_box``).

Page to hub, each with an integer `id` and answered exactly once with it:

* "get" {`sheet`, `top`, `left`, `bottom`, `right`} -> "cells" {`id`, `sheet`, `cells`}: the
  non-empty cells of the block (at most `MAX_GET_CELLS` cells asked).
* "edit" {`sheet`, `row`, `col`, `inputs`: rows of texts as typed} -> "edited" {`id`,
  `previous`}: the inputs the block had (for the page's undo).
* "recalculate" {} -> "recalculated" {`id`}: every formula anew, Python functions called again.
* anything that cannot be done -> "refused" {`id` (null when there was none), `error`}.

"select" {`sheet`} needs no answer: the sheet a page shows is the active sheet user code sees.
"""

from __future__ import annotations

import html
import logging
import os
from http import HTTPStatus
from typing import Any, Callable, Dict, List, Optional
from urllib.parse import parse_qs, quote, urlsplit

import orjson
from websockets.asyncio.server import ServerConnection
from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Response

from .access import COOKIE, cookie_tokens, workbook_id_of
from .ide_session import Outbox
from .live_workbook import LiveWorkbook, SheetError

__all__ = ["COOKIE", "MAX_GET_CELLS", "MAX_PAGE_FRAME_BYTES", "SheetPage", "page_response"]

logger = logging.getLogger(__name__)

PAGE_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sheet_page")
STATIC_FILES = {"sheet.js": "text/javascript; charset=utf-8",
                "sheet.css": "text/css; charset=utf-8"}
# Largest frame a page may send: a paste of MAX_EDIT_CELLS cells of text, with room.
MAX_PAGE_FRAME_BYTES = 16 * 1024 * 1024
MAX_GET_CELLS = 200_000
# What a page may let wait before it is closed (a page that does not read).
MAX_PAGE_OUTBOX_BYTES = 64 * 1024 * 1024
PAGE_CLOSED_CODE = 4004

_SECURITY = {
    "Content-Security-Policy": "default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                               "frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
    "X-Frame-Options": "DENY",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


def _response(status: HTTPStatus, body: bytes, content_type: str,
              extra: Optional[Dict[str, str]] = None) -> Response:
    headers = Headers()
    headers["Content-Type"] = content_type
    headers["Content-Length"] = str(len(body))
    headers["Connection"] = "close"  # the server closes a connection once it has answered
    for name, value in {**_SECURITY, **(extra or {})}.items():
        headers[name] = value
    return Response(status.value, status.phrase, headers, body)


def _html(status: HTTPStatus, title: str, body: str,
          extra: Optional[Dict[str, str]] = None) -> Response:
    page = (f"<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{html.escape(title)}</title>"
            f"<link rel=\"stylesheet\" href=\"/static/sheet.css\"></head>"
            f"<body class=\"listing\"><h1>{html.escape(title)}</h1>{body}</body></html>")
    return _response(status, page.encode(), "text/html; charset=utf-8", extra)


def page_response(path: str, headers: Any, token: Optional[str], check: Callable[[str], bool],
                  workbooks: Callable[[], List[Dict[str, Any]]],
                  is_open: Callable[[str], bool]) -> Response:
    """The answer to a browser's GET of a page address (the Origin was checked already).
    `check(token)` says whether a presented token is the hub's."""
    route = urlsplit(path).path
    query = parse_qs(urlsplit(path).query, keep_blank_values=True).get("token", [])
    if token is not None:
        if query:
            if len(query) != 1 or not check(query[0]):
                return _html(HTTPStatus.FORBIDDEN, "Not this hub's token",
                             "<p>The address carries a token that is not this hub's. Open the "
                             "address the hub printed when it started.</p>")
            # The token moves into a cookie, and out of the address bar and the history.
            cookie = f"{COOKIE}={query[0]}; HttpOnly; SameSite=Strict; Path=/"
            return _response(HTTPStatus.SEE_OTHER, b"", "text/plain; charset=utf-8",
                             {"Location": route, "Set-Cookie": cookie})
        if not _cookie_token_ok(headers, check):
            return _html(HTTPStatus.FORBIDDEN, "The hub's token is needed",
                         "<p>Open the address the hub printed when it started (it carries the "
                         "token), or run <code>make run</code>.</p>")
    if route == "/":
        return _html(HTTPStatus.OK, "Open workbooks", _listing(workbooks()))
    if route.startswith("/static/"):
        name = route[len("/static/"):]
        if name not in STATIC_FILES:
            return _html(HTTPStatus.NOT_FOUND, "Not found", "<p>No such file.</p>")
        with open(os.path.join(PAGE_FOLDER, name), "rb") as file:
            return _response(HTTPStatus.OK, file.read(), STATIC_FILES[name])
    if route == "/favicon.ico":
        return _response(HTTPStatus.NO_CONTENT, b"", "text/plain")
    workbook_id = workbook_of(route, "/workbook/")
    if workbook_id is None or not is_open(workbook_id):
        return _html(HTTPStatus.NOT_FOUND, "No such workbook",
                     "<p>No workbook of that name is open. <a href=\"/\">Open workbooks</a></p>")
    with open(os.path.join(PAGE_FOLDER, "workbook.html"), "rb") as file:
        return _response(HTTPStatus.OK, file.read(), "text/html; charset=utf-8")


def workbook_of(route: str, prefix: str) -> Optional[str]:
    if not route.startswith(prefix):
        return None
    found = workbook_id_of(route[len(prefix):])
    return found if isinstance(found, str) else None


def _cookie_token_ok(headers: Any, check: Callable[[str], bool]) -> bool:
    """Whether the page's cookie (or, for a script, an Authorization header) has the token."""
    bearer = [value[7:].strip() for value in headers.get_all("Authorization")
              if value[:7].lower() == "bearer "]
    return any(check(value) for value in cookie_tokens(headers) + bearer)


def _listing(workbooks: List[Dict[str, Any]]) -> str:
    if not workbooks:
        return "<p>No workbook is open. Open one in the IDE (File &gt; Open).</p>"
    items = "".join(
        f"<li><a href=\"/workbook/{quote(entry['id'], safe='')}\">{html.escape(entry['name'])}"
        f"</a> <span class=\"kernel\">kernel {html.escape(str(entry['kernel']))}</span></li>"
        for entry in workbooks)
    return f"<ul class=\"workbooks\">{items}</ul>"


class SheetPage:
    """The hub's side of one page's socket."""

    def __init__(self, connection: ServerConnection, peer: str,
                 live: Callable[[], Optional[LiveWorkbook]],
                 kernel_state: Callable[[], str]) -> None:
        self.connection = connection
        self.peer = peer
        self._live = live
        self._kernel_state = kernel_state
        self._outbox = Outbox(connection, peer, MAX_PAGE_OUTBOX_BYTES)
        self.workbook: Optional[LiveWorkbook] = None

    def send(self, message: Dict[str, Any]) -> None:
        self._outbox.put(orjson.dumps(message).decode())

    def close(self, reason: str) -> None:
        self._outbox.close(PAGE_CLOSED_CODE, reason)

    async def serve(self) -> None:
        live = self._live()
        if live is None:
            self.close("The workbook is not open")
            return
        await live.ready.wait()
        self.attach(live)
        try:
            async for frame in self.connection:
                self._handle(frame)
        except ConnectionClosed:
            pass
        finally:
            self._outbox.stop()
            if self.workbook is not None:
                self.workbook.pages.discard(self)

    def attach(self, live: LiveWorkbook) -> None:
        """Shows this page `live` (the workbook, or the workbook reloaded from its file)."""
        if self.workbook is not None:
            self.workbook.pages.discard(self)
        self.workbook = live
        live.pages.add(self)
        self.send({"type": "hello", "workbook_id": live.workbook_id, "name": live.file.name,
                   "sheets": live.sheet_info(), "active": live.active,
                   "kernel": self._kernel_state(), "pending": live.calls.pending,
                   "problem": live.load_problem})

    def _handle(self, frame: Any) -> None:
        request_id: Any = None
        try:
            message = orjson.loads(frame)
            if not isinstance(message, dict):
                raise SheetError("A message must be a JSON object.")
            request_id = message.get("id")
            if request_id is not None and (not isinstance(request_id, int)
                                           or isinstance(request_id, bool)):
                request_id = None
                raise SheetError("A request's id must be a whole number.")
            self._answer(message, request_id)
        except (SheetError, orjson.JSONDecodeError, TypeError, KeyError) as error:
            text = str(error) if isinstance(error, SheetError) else \
                f"Not a request: {type(error).__name__}: {error}"
            self.send({"type": "refused", "id": request_id, "error": text[:500]})
        except Exception as error:  # a fault of ours: the page is told, the hub goes on
            logger.exception("A page request of %s failed", self.peer)
            self.send({"type": "refused", "id": request_id,
                       "error": f"The hub failed on this request: {error}"[:500]})

    def _answer(self, message: Dict[str, Any], request_id: Any) -> None:
        live = self.workbook
        assert live is not None
        kind = message.get("type")
        if kind == "select":
            sheet, where = message.get("sheet"), message.get("address")
            if isinstance(sheet, str):
                live.select(sheet, where if isinstance(where, str) and len(where) < 40 else None)
            return
        if request_id is None:
            raise SheetError(f"A {str(kind)[:40]!r} request needs an id.")
        if kind == "get":
            sheet, box = _text(message, "sheet"), [_number(message, name) for name in
                                                   ("top", "left", "bottom", "right")]
            if (box[2] - box[0] + 1) * (box[3] - box[1] + 1) > MAX_GET_CELLS:
                raise SheetError(f"A page asks for at most {MAX_GET_CELLS:,} cells at a time.")
            cells = live.records(sheet, *box)
            self.send({"type": "cells", "id": request_id, "sheet": sheet, "cells": cells})
        elif kind == "edit":
            sheet, row, column = _text(message, "sheet"), _number(message, "row"), \
                _number(message, "col")
            previous = live.edit(sheet, row, column, message.get("inputs"))  # type: ignore
            self.send({"type": "edited", "id": request_id, "previous": previous})
        elif kind == "recalculate":
            live.recalculate_all()
            self.send({"type": "recalculated", "id": request_id})
        else:
            raise SheetError(f"Unknown request type {str(kind)[:40]!r}.")


def _text(message: Dict[str, Any], name: str) -> str:
    value = message.get(name)
    if not isinstance(value, str):
        raise SheetError(f"{name!r} must be a text.")
    return value


def _number(message: Dict[str, Any], name: str) -> int:
    value = message.get(name)
    if not isinstance(value, int) or isinstance(value, bool):
        raise SheetError(f"{name!r} must be a whole number.")
    return value
