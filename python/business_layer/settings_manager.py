"""The hub's settings, as the package components read them.

Stands in for the hub's settings manager. A component receives the manager (or None) and
reads each key through :func:`read_setting`, which also accepts a plain mapping, so any
object with a ``get(key, default)`` method will do.

Keys read by the package components (all optional):

``packages.index_url`` (str)
    The primary index, as pip's ``--index-url`` takes it (a "simple" URL such as
    ``https://pypi.org/simple``). Unset: pip uses its own configuration, and the index
    queries use ``https://pypi.org``.
``packages.extra_index_urls`` (list of str)
    Secondary indexes, pip's ``--extra-index-url``; the queries try them in this order
    after the primary.
``packages.no_index`` (bool, default False)
    pip's ``--no-index``: install only from ``packages.find_links``. The queries are not
    affected.
``packages.find_links`` (list of str)
    Local folders or URLs of wheels, pip's ``--find-links``.
``packages.json_url_pattern`` (str, default ``{index}/pypi/{name}/json``)
``packages.version_json_url_pattern`` (str, default ``{index}/pypi/{name}/{version}/json``)
    Where an index serves its JSON documents. ``{index}`` is the index URL without a
    trailing ``/simple``; ``{name}`` and ``{version}`` are URL-quoted.
``packages.query_timeout`` (float, seconds, default 10)
    Time-out of each index request.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Mapping, Optional

__all__ = ["SettingsManager", "read_setting"]


class SettingsManager:
    """Settings held in memory under dotted keys, optionally loaded from a JSON file."""

    def __init__(self, values: Optional[Mapping[str, Any]] = None) -> None:
        self._values: Dict[str, Any] = dict(values or {})

    @classmethod
    def from_file(cls, path: "str | os.PathLike[str]") -> "SettingsManager":
        """Settings from a JSON object of keys and values."""
        with open(path, encoding="utf-8") as handle:
            values = json.load(handle)
        if not isinstance(values, dict):
            raise ValueError(f"{os.fspath(path)}: settings must be a JSON object")
        return cls(values)

    def get(self, key: str, default: Any = None) -> Any:
        return self._values.get(key, default)

    def set(self, key: str, value: Any) -> None:
        self._values[key] = value


def read_setting(settings_manager: Any, key: str, default: Any = None) -> Any:
    """``settings_manager.get(key, default)``; ``default`` when there is no manager."""
    if settings_manager is None:
        return default
    value = settings_manager.get(key, default)
    return default if value is None else value
