"""Project documents from a package index's JSON interface, shared by the resolvers.

An index serves ``<index>/pypi/<name>/json`` (the project and its latest release) and
``<index>/pypi/<name>/<version>/json`` (one release), as PyPI does; the settings may give
other URL patterns (see ``business_layer.settings_manager``). :class:`IndexJson` asks the
primary index first, then the secondaries in order.

Promises:

* Nothing raises to the caller for a bad answer: an unreachable index, a time-out, an
  HTTP error, a body that is not a JSON object, or one larger than
  ``MAX_DOCUMENT_BYTES`` counts as "no document" from that index, logged at warning.
* Names and versions that could not be a project's are refused before any request, so
  a name cannot walk the index's URL space (``../``); both are URL-quoted all the same.
"""

from __future__ import annotations

import json
import re
from typing import Any, Callable, Dict, List, Optional, TypeVar
from urllib.parse import quote

import httpx

from business_layer.settings_manager import read_setting
from quorvel_logging import get_logger

__all__ = ["DEFAULT_INDEX", "IndexJson", "MAX_DOCUMENT_BYTES", "is_valid_name", "is_valid_version"]

logger = get_logger(__name__)
T = TypeVar("T")

DEFAULT_INDEX = "https://pypi.org"
DEFAULT_TIMEOUT = 10.0
DEFAULT_JSON_URL_PATTERN = "{index}/pypi/{name}/json"
DEFAULT_VERSION_JSON_URL_PATTERN = "{index}/pypi/{name}/{version}/json"
# A project document beyond this is not a project document (PyPI's largest are a few MiB).
MAX_DOCUMENT_BYTES = 64 * 1024 * 1024

# Project names as packaging standards define them; versions loosely (the index decides).
_NAME = re.compile(r"^([A-Za-z0-9]|[A-Za-z0-9][A-Za-z0-9._-]*[A-Za-z0-9])$")
_VERSION = re.compile(r"^[A-Za-z0-9][A-Za-z0-9.+!_-]*$")
_MAX_NAME_LENGTH = 256


def is_valid_name(name: Any) -> bool:
    return isinstance(name, str) and len(name) <= _MAX_NAME_LENGTH and bool(_NAME.match(name))


def is_valid_version(version: Any) -> bool:
    return (isinstance(version, str) and len(version) <= _MAX_NAME_LENGTH
            and bool(_VERSION.match(version)))


def _json_base(index_url: str) -> str:
    """https://host/simple/ -> https://host: the JSON interface sits beside the simple one."""
    base = index_url.rstrip("/")
    if base.endswith("/simple"):
        base = base[: -len("/simple")]
    return base


class IndexJson:
    def __init__(self, settings_manager: Any = None) -> None:
        self.settings_manager = settings_manager

    def _setting(self, key: str, default: Any = None) -> Any:
        return read_setting(self.settings_manager, key, default)

    def indexes(self) -> List[str]:
        """The JSON base URLs to ask, primary first."""
        primary = self._setting("packages.index_url") or DEFAULT_INDEX
        extras = self._setting("packages.extra_index_urls", [])
        if isinstance(extras, str):
            extras = [extras]
        return [_json_base(str(url)) for url in [primary, *extras] if url]

    def document_url(self, index: str, name: str, version: Optional[str] = None) -> str:
        quoted = {"index": index, "name": quote(name, safe="")}
        if version is None:
            pattern = self._setting("packages.json_url_pattern", DEFAULT_JSON_URL_PATTERN)
        else:
            pattern = self._setting("packages.version_json_url_pattern",
                                    DEFAULT_VERSION_JSON_URL_PATTERN)
            quoted["version"] = quote(version, safe="")
        return str(pattern).format(**quoted)

    def timeout(self) -> float:
        try:
            return float(self._setting("packages.query_timeout", DEFAULT_TIMEOUT))
        except (TypeError, ValueError):
            return DEFAULT_TIMEOUT

    async def first_answer(self, name: str, version: Optional[str],
                           answer: Callable[[Dict[str, Any]], Optional[T]]) -> Optional[T]:
        """`answer(document)` of the first index, primary first, whose document gives one
        (not None); None when no index does."""
        async with httpx.AsyncClient(timeout=self.timeout(), follow_redirects=True) as client:
            for index in self.indexes():
                document = await self._fetch(client, self.document_url(index, name, version))
                if document is None:
                    continue
                result = answer(document)
                if result is not None:
                    return result
                logger.debug("No answer for %s from %s", name, index)
        return None

    async def _fetch(self, client: httpx.AsyncClient, url: str) -> Optional[Dict[str, Any]]:
        try:
            async with client.stream("GET", url,
                                     headers={"Accept": "application/json"}) as response:
                if response.status_code != 200:
                    logger.debug("Index answered %s for %s", response.status_code, url)
                    return None
                body = bytearray()
                async for chunk in response.aiter_bytes():
                    body += chunk
                    if len(body) > MAX_DOCUMENT_BYTES:
                        logger.warning("Index document too large, ignored: %s", url)
                        return None
            document = json.loads(body)
        except (httpx.HTTPError, httpx.InvalidURL, ValueError) as error:
            logger.warning("Index request failed for %s: %s", url, error or type(error).__name__)
            return None
        if not isinstance(document, dict) or not isinstance(document.get("info"), dict):
            logger.warning("Index answered something that is not a project document: %s", url)
            return None
        return document
