"""Finding the hub: the ``hub.json`` that a local hub writes in its data folder at each start.

The file holds the hub's WebSocket address (``url``), its page address (``http_url``), the
token every connection presents (``token``) and the hub's process id (``pid``); it is readable
by its owner only and removed when the hub stops. A hub started without ``--data-dir`` writes it
to ``$XDG_DATA_HOME/quorvel-devhub/hub.json`` (``~/.local/share/...`` without XDG_DATA_HOME).
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Optional
from urllib.parse import urlsplit

__all__ = ["HubAddress", "default_hub_file", "read_hub_file"]


@dataclass(frozen=True)
class HubAddress:
    host: str
    port: int
    secured: bool
    token: str


def default_hub_file() -> str:
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                           "share")
    return os.path.join(base, "quorvel-devhub", "hub.json")


def read_hub_file(path: str) -> Optional[HubAddress]:
    """The hub the file names; None when there is no such file or it does not name one."""
    try:
        with open(path, encoding="utf-8") as file:
            info = json.load(file)
        address = urlsplit(info["url"])
        token = info["token"]
        if address.scheme not in ("ws", "wss") or not address.hostname or not address.port \
                or not isinstance(token, str):
            return None
        return HubAddress(address.hostname, address.port, address.scheme == "wss", token)
    except (OSError, ValueError, KeyError, TypeError):
        return None
