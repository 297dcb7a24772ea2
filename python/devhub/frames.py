"""Reading frames that a kernel or the IDE sent, whatever they hold.

The hub is a peer like any other: a frame that is not text, not JSON or not a JSON object, and a
"chunk" message that does not fit its message, is logged and dropped, and the session reading
it goes on. ``parse_message`` and ``ChunkBuffers`` never raise for what a peer sent.
"""

from __future__ import annotations

import json
import logging
import re
from typing import Any, Dict, List, Optional, Union

logger = logging.getLogger(__name__)

# How much of an unparsable frame is searched for the request it was (see salvage_request).
MAX_SALVAGED_CHARS = 1024 * 1024
# Most chunks one relayed message may claim (1 GiB of 64 KiB chunks): a claim beyond it would
# only make the hub allocate for a message that cannot come.
MAX_CHUNKS = 16384
# Most partial chunked messages kept per connection, and most characters they hold together; a
# new one beyond either drops the oldest.
MAX_PARTIAL_MESSAGES = 64
MAX_PARTIAL_CHARS = 256 * 1024 * 1024


def frame_text(frame: Union[str, bytes], peer: str) -> Optional[str]:
    """The frame as text; None (logged) for binary data that is not UTF-8."""
    if isinstance(frame, str):
        return frame
    try:
        return frame.decode()
    except UnicodeDecodeError:
        logger.warning("%s sent a binary frame that is not UTF-8 text; dropped", peer)
        return None


_FIELD = r'"%s"\s*:\s*"((?:[^"\\]|\\.){0,200})"'


def salvage_request(text: str) -> Optional[Dict[str, Any]]:
    """The `type`, `request_id` and `workbook_id` of a request that cannot be parsed (broken,
    or nested deeper than the parser goes), read from its text (the first of each), so that it
    can still be answered; None when it names no request id."""
    found: Dict[str, Any] = {}
    for name in ("type", "request_id", "workbook_id"):
        match = re.search(_FIELD % name, text[:MAX_SALVAGED_CHARS])
        if match is not None:
            try:
                found[name] = json.loads(f'"{match.group(1)}"')
            except ValueError:
                return None
    return found if found.get("request_id") else None


def parse_message(text: str, peer: str) -> Optional[Dict[str, Any]]:
    """The JSON object in `text`; None (logged) for anything else."""
    try:
        message = json.loads(text)
    except (ValueError, RecursionError) as error:
        logger.warning("%s sent a frame that is not JSON (%s); dropped", peer, error)
        return None
    if not isinstance(message, dict):
        logger.warning("%s sent JSON that is not an object (%s); dropped", peer,
                       type(message).__name__)
        return None
    return message


class ChunkBuffers:
    """Reassembly of "chunk" messages into the messages they carry, per connection."""

    def __init__(self, peer: str) -> None:
        self.peer = peer
        self._partial: Dict[str, List[Optional[str]]] = {}
        self._chars = 0  # held by the partial messages

    def add(self, chunk: Dict[str, Any]) -> Optional[Dict[str, Any]]:
        """The whole message once this chunk completes it, else None (also for a broken one)."""
        chunk_id, index = chunk.get("chunk_id"), chunk.get("chunk_index")
        total, data = chunk.get("total_chunks"), chunk.get("data")
        slots = self._partial.get(chunk_id) if isinstance(chunk_id, str) else None
        if not (isinstance(chunk_id, str) and _is_count(index) and _is_count(total)
                and index < total <= MAX_CHUNKS and isinstance(data, str)
                and (slots is None or len(slots) == total)):
            logger.warning("%s sent a chunk that does not fit (chunk_id %.80r, index %.20r of "
                           "%.20r); dropped", self.peer, chunk_id, index, total)
            return None
        if slots is None:
            slots = self._partial[chunk_id] = [None] * total
        if slots[index] is None:
            self._chars += len(data)
            slots[index] = data
        while len(self._partial) > MAX_PARTIAL_MESSAGES or self._chars > MAX_PARTIAL_CHARS:
            oldest = next(iter(self._partial))
            logger.warning("%s left too many chunked messages unfinished; dropped %r",
                           self.peer, oldest)
            self._drop(oldest)
            if oldest == chunk_id:
                return None
        if any(slot is None for slot in slots):
            return None
        self._drop(chunk_id)
        return parse_message("".join(slots), self.peer)  # type: ignore[arg-type]

    def _drop(self, chunk_id: str) -> None:
        slots = self._partial.pop(chunk_id)
        self._chars -= sum(len(slot) for slot in slots if slot is not None)


def _is_count(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0
