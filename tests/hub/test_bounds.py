"""The hub's bounds against what a client may send, each taken by the value it names."""
from http import HTTPStatus

from websockets.datastructures import Headers

from devhub import frames
from devhub.access import MAX_TOKEN_LENGTH, check_credentials
from devhub.frames import ChunkBuffers, salvage_request
from devhub.pending_replies import MAX_WAITING_WITH_ID, PendingReplies


def chunk(chunk_id, index, total, data):
    return {"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total,
            "data": data}


class TestBounds:
    def test_partial_chunked_messages_are_bounded_in_characters(self, monkeypatch):
        monkeypatch.setattr(frames, "MAX_PARTIAL_CHARS", 100)
        buffers = ChunkBuffers("test")
        assert buffers.add(chunk("a", 0, 2, '{"type": ')) is None
        assert buffers.add(chunk("b", 0, 2, "x" * 95)) is None  # "a" is dropped for it
        assert buffers.add(chunk("a", 1, 2, '"late"}')) is None  # a new "a", never finished
        assert buffers._chars <= 100
        whole = ChunkBuffers("test")
        whole.add(chunk("c", 1, 2, '"stdout"}'))
        assert whole.add(chunk("c", 0, 2, '{"type": ')) == {"type": "stdout"}
        assert whole._chars == 0

    def test_requests_answered_by_id_wait_in_bounded_numbers(self):
        replies = PendingReplies()
        for n in range(MAX_WAITING_WITH_ID + 5):
            replies.relayed("W", {"type": "hover_request", "request_id": f"h{n}"})
        refused = replies.abandon("W", "gone")
        assert len(refused) == MAX_WAITING_WITH_ID
        assert refused[0]["request_id"] == "h5"

    def test_a_token_beyond_its_length_is_refused_without_comparing(self):
        token = "t" * (MAX_TOKEN_LENGTH + 1)
        headers = Headers({"Authorization": f"Bearer {token}"})
        refusal = check_credentials("/ws/ide/main_ide", headers, token, set())
        assert refusal is not None and refusal.status == HTTPStatus.FORBIDDEN

    def test_an_unreadable_request_is_found_by_its_id_only_near_its_start(self, monkeypatch):
        text = '{"type": "execution_request", "request_id": "r1", "extra": [[[['
        assert salvage_request(text) == {"type": "execution_request", "request_id": "r1"}
        monkeypatch.setattr(frames, "MAX_SALVAGED_CHARS", 10)
        assert salvage_request(text) is None
