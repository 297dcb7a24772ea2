import pytest

import coroutine_probe

from . import reference


@pytest.fixture(params=[coroutine_probe, reference], ids=["cpp", "python"])
def impl(request):
    """The probe functions: the C++ bridge, then the same code as plain `async def`."""
    return request.param
