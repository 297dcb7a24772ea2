"""Who may reach the hub: its secret, the checks every handshake passes, and ``hub.json``.

The hub runs whatever code its connections send, so it lets in only the processes it launched
and the person who started it:

* Each start makes a new token (``secrets.token_urlsafe(32)``). The hub writes it, with its
  addresses and process id, to ``hub.json`` in its data folder (readable by its owner only,
  replaced atomically, removed when the hub stops); kernels it launches get it in the
  environment (``QUORVEL_HUB_TOKEN``).
* A handshake presents the token as ``Authorization: Bearer <token>`` or as the query parameter
  ``token`` (both at once must agree). A handshake that carries an ``Origin`` header (every
  browser sends one) must come from the hub's own HTTP origin, whatever token it carries: a web
  page open in the person's browser cannot reach the hub.
* The path must name an endpoint: ``/ws/ide/main_ide``, or ``/ws/kernel/<workbook id>`` with an
  id (percent-encoded) that is a workbook name once decoded (no slashes, no control
  characters).

The checks are values in, verdict out, so they are tested without sockets; the hub applies the
verdict before its handshake answers, so a refused connection never carries a message.
"""

from __future__ import annotations

import hmac
import json
import logging
import os
import secrets
from dataclasses import dataclass
from http import HTTPStatus
from typing import Any, Dict, Iterable, List, Optional, Tuple, Union
from urllib.parse import parse_qs, unquote, urlsplit

from .atomic_file import replace_file, sync_folder
from .ide_protocol import workbook_name_problem

__all__ = ["COOKIE", "Endpoint", "HUB_FILE_NAME", "IDE_PATH", "KERNEL_PATH", "MAX_TOKEN_LENGTH",
           "Refusal", "SHEET_PATH", "TOKEN_ENV", "check_credentials", "cookie_tokens",
           "endpoint_of", "new_token", "own_origins", "remove_hub_file", "token_matches",
           "workbook_id_of", "write_hub_file"]

logger = logging.getLogger(__name__)

KERNEL_PATH = "/ws/kernel/"
IDE_PATH = "/ws/ide/main_ide"
SHEET_PATH = "/ws/sheet/"
# The addresses of pages a browser loads (answered without a socket, see ``sheet_page``).
PAGE_PREFIXES = ("/workbook/", "/static/")
PAGE_ROUTES = ("/", "/favicon.ico")
COOKIE = "quorvel_token"
HUB_FILE_NAME = "hub.json"
# The variable through which a launched kernel (or a person's shell) hands the token on.
TOKEN_ENV = "QUORVEL_HUB_TOKEN"
# Random bytes in a token; its text is about 4/3 as long.
TOKEN_BYTES = 32
# A presented token longer than this is refused without being compared.
MAX_TOKEN_LENGTH = 512

_BEARER = "bearer "


@dataclass(frozen=True)
class Endpoint:
    """What a handshake's path asks for: the IDE's socket, or a workbook's kernel socket."""

    kind: str  # "ide", "kernel", "sheet" (a page's socket) or "page" (a page itself)
    workbook_id: Optional[str] = None


@dataclass(frozen=True)
class Refusal:
    """A handshake the hub answers with `status` and the text `reason` instead of a socket."""

    status: HTTPStatus
    reason: str


def new_token() -> str:
    return secrets.token_urlsafe(TOKEN_BYTES)


def own_origins(port: int, secured: bool) -> frozenset:
    """The origins of the hub's own pages: the only browser origins it lets in."""
    scheme = "https" if secured else "http"
    return frozenset({f"{scheme}://127.0.0.1:{port}", f"{scheme}://localhost:{port}"})


def route_of(path: str) -> str:
    """The path without its query: what may be logged (the query can hold the token)."""
    return urlsplit(path).path


def endpoint_of(path: str) -> Union[Endpoint, Refusal]:
    route = route_of(path)
    if route == IDE_PATH:
        return Endpoint("ide")
    for prefix, kind in ((KERNEL_PATH, "kernel"), (SHEET_PATH, "sheet")):
        if route.startswith(prefix):
            found = workbook_id_of(route[len(prefix):])
            return found if isinstance(found, Refusal) else Endpoint(kind, found)
    if route in PAGE_ROUTES or route.startswith(PAGE_PREFIXES):
        return Endpoint("page")
    return Refusal(HTTPStatus.NOT_FOUND, "No such endpoint.")


def workbook_id_of(encoded: str) -> Union[str, Refusal]:
    """The workbook id a path names, percent-encoded; what it names once decoded must be a
    workbook name (an encoded slash stays a slash, and is refused)."""
    try:
        workbook_id = unquote(encoded, errors="strict")
    except UnicodeDecodeError:
        return Refusal(HTTPStatus.BAD_REQUEST, "Not a workbook id: not UTF-8 once decoded.")
    problem = workbook_name_problem(workbook_id)
    if problem is not None:
        return Refusal(HTTPStatus.BAD_REQUEST, f"Not a workbook id. {problem}")
    return workbook_id


def check_credentials(path: str, headers: Any, token: Optional[str],
                      origins: Iterable[str], cookie: bool = False) -> Optional[Refusal]:
    """None when the handshake may go on; else why not. `headers` has ``get_all(name)`` (as
    websockets' ``Headers``); `token` None means the hub asks for none. With `cookie` (a
    page's socket, opened by a page the hub served) the token may come as the cookie the
    page's address set; a page's socket must come from a page (have an Origin)."""
    if cookie and not headers.get_all("Origin"):
        return Refusal(HTTPStatus.FORBIDDEN, "A sheet's socket is opened by the hub's pages.")
    sent_origins = headers.get_all("Origin")
    if sent_origins and (len(sent_origins) != 1 or sent_origins[0] not in origins):
        return Refusal(HTTPStatus.FORBIDDEN, "Connections from web pages of other origins are "
                                             "not allowed.")
    if token is None:
        return None
    presented, problem = _presented_tokens(path, headers)
    if cookie and problem is None and not presented:
        presented = cookie_tokens(headers)[:1]
    if problem is not None:
        return Refusal(HTTPStatus.FORBIDDEN, problem)
    if not presented:
        return Refusal(HTTPStatus.FORBIDDEN, "A token is required: the hub's hub.json holds it.")
    expected = token.encode()
    # Every candidate is compared, so the time taken does not say which one was wrong.
    matches = [len(candidate) <= MAX_TOKEN_LENGTH
               and hmac.compare_digest(candidate.encode("utf-8", "replace"), expected)
               for candidate in presented]
    if not all(matches):
        return Refusal(HTTPStatus.FORBIDDEN, "The token is not this hub's.")
    return None


def _presented_tokens(path: str, headers: Any) -> Tuple[List[str], Optional[str]]:
    """The tokens a handshake presents (header and query), or why they cannot be taken."""
    found: List[str] = []
    authorizations = headers.get_all("Authorization")
    if len(authorizations) > 1:
        return [], "Only one Authorization header is taken."
    if authorizations:
        value = authorizations[0]
        if value[:len(_BEARER)].lower() != _BEARER:
            return [], "The Authorization header must be \"Bearer <token>\"."
        found.append(value[len(_BEARER):].strip())
    queried = parse_qs(urlsplit(path).query, keep_blank_values=True).get("token", [])
    if len(queried) > 1:
        return [], "Only one token parameter is taken."
    found.extend(queried)
    if len(found) == 2 and not hmac.compare_digest(found[0].encode("utf-8", "replace"),
                                                   found[1].encode("utf-8", "replace")):
        return [], "The header and the query give different tokens."
    return found, None


def cookie_tokens(headers: Any) -> List[str]:
    """The tokens a request's cookies carry."""
    return [part.strip().partition("=")[2] for line in headers.get_all("Cookie")
            for part in line.split(";") if part.strip().partition("=")[0] == COOKIE]


def token_matches(presented: str, token: str) -> bool:
    return len(presented) <= MAX_TOKEN_LENGTH and \
        hmac.compare_digest(presented.encode("utf-8", "replace"), token.encode())


# --- hub.json -------------------------------------------------------------------------------

def write_hub_file(data_dir: str, url: str, http_url: str, token: str) -> str:
    """Tells the hub's own processes where it is and what its token is; the file's path."""
    path = os.path.join(data_dir, HUB_FILE_NAME)
    previous = read_hub_file(path)
    if previous is not None and previous.get("pid") not in (None, os.getpid()) \
            and _alive(previous.get("pid")):
        logger.warning("Another hub (pid %s) used %s; it now names this hub", previous["pid"],
                       path)
    info = {"url": url, "http_url": http_url, "token": token, "pid": os.getpid()}
    replace_file(path, json.dumps(info, indent=2).encode() + b"\n", mode=0o600)
    return path


def remove_hub_file(path: str, token: str) -> None:
    """Removes ``hub.json`` if it still names the hub of `token` (a later hub may own it)."""
    info = read_hub_file(path)
    if info is None or not hmac.compare_digest(str(info.get("token", "")).encode(),
                                               token.encode()):
        return
    try:
        os.unlink(path)
    except FileNotFoundError:
        return
    sync_folder(os.path.dirname(path))


def read_hub_file(path: str) -> Optional[Dict[str, Any]]:
    try:
        with open(path, encoding="utf-8") as file:
            info = json.load(file)
    except (OSError, ValueError):
        return None
    return info if isinstance(info, dict) else None


def _alive(pid: Any) -> bool:
    if not isinstance(pid, int) or pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True
