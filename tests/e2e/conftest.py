"""Fixtures of the end-to-end tests: a headless Chromium shared by a module's tests."""
import pytest

from ..browser import start_chromium


@pytest.fixture(scope="module")
def browser():
    driver = start_chromium()
    yield driver
    driver.quit()
