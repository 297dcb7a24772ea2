"""The hub fuzzer, bounded: a few hundred requests with wrong fields, every one answered once,
also while the kernel is killed at random moments."""
import pytest

from ..conftest import scaled
from .hub_fuzzer import fuzz


@pytest.mark.timeout(scaled(300))
@pytest.mark.parametrize("frames, kill", [(300, False), (60, True)])
async def test_every_request_gets_one_final_reply(hub, frames, kill, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # wrong paths are relative ones too: files land here
    figures = await fuzz(hub, frames, seed=3, kill=kill, timeout=scaled(60))
    assert figures["frames"] == frames and figures["refused"] > frames // 4
    assert figures["doubles"] == []
    assert figures["kills"] > 0 or not kill
