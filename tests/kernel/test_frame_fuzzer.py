"""The frame fuzzer, bounded: a few hundred hostile frames against a kernel process."""
from ..conftest import scaled
from .frame_fuzzer import fuzz


async def test_every_frame_is_answered_and_the_kernel_still_computes(hub):
    figures = await fuzz(hub, 600, seed=1, timeout=scaled(30))
    assert figures["frames"] == 600 and figures["refused"] >= 15
    assert figures["kept"][0] == 0  # no cancel outlives its stream
    assert figures["exit_code"] == 0
