import io
import logging
import sys

import pytest

import quorvel_logging
from quorvel_logging import LEVEL_ENV_VAR, get_logger, setup_logging_subprocess

_REAL_STDERR = sys.__stderr__


def _ours(root):
    return [h for h in root.handlers if getattr(h, "quorvel_original_stderr", False)]


@pytest.fixture(autouse=True)
def clean_root(monkeypatch):
    monkeypatch.delenv(LEVEL_ENV_VAR, raising=False)
    root = logging.getLogger()
    level = root.level
    yield root
    for handler in _ours(root):
        root.removeHandler(handler)
        if handler.stream is not _REAL_STDERR:
            handler.stream.close()
    root.setLevel(level)


class TestOutput:
    def test_lines_reach_original_stderr_not_replaced_sys_stderr(self, capfd, monkeypatch):
        hook = io.StringIO()
        monkeypatch.setattr(sys, "stderr", hook)
        setup_logging_subprocess()
        get_logger("quorvel.probe").warning("hello %s", "there")
        err = capfd.readouterr().err
        assert "WARNING quorvel.probe: hello there" in err
        assert hook.getvalue() == ""

    def test_falls_back_to_fd_2_without_sys_dunder_stderr(self, capfd, monkeypatch):
        monkeypatch.setattr(sys, "__stderr__", None)
        setup_logging_subprocess()
        get_logger("quorvel.probe").error("no dunder")
        assert "ERROR quorvel.probe: no dunder" in capfd.readouterr().err


class TestInstallation:
    def test_idempotent_and_keeps_foreign_handlers(self, clean_root):
        foreign = logging.NullHandler()
        clean_root.addHandler(foreign)
        try:
            setup_logging_subprocess()
            setup_logging_subprocess()
            assert len(_ours(clean_root)) == 1
            assert foreign in clean_root.handlers
        finally:
            clean_root.removeHandler(foreign)


class TestLevel:
    @pytest.mark.parametrize(
        "env, expected",
        [("DEBUG", logging.DEBUG), ("info", logging.INFO), ("bogus", logging.WARNING),
         (None, logging.WARNING)],
    )
    def test_level_from_environment(self, clean_root, monkeypatch, env, expected):
        clean_root.setLevel(logging.WARNING)
        if env is not None:
            monkeypatch.setenv(LEVEL_ENV_VAR, env)
        setup_logging_subprocess()
        assert clean_root.level == expected

    def test_later_call_follows_a_changed_environment(self, clean_root, monkeypatch):
        clean_root.setLevel(logging.WARNING)
        monkeypatch.setenv(LEVEL_ENV_VAR, "DEBUG")
        setup_logging_subprocess()
        monkeypatch.setenv(LEVEL_ENV_VAR, "ERROR")
        setup_logging_subprocess()
        assert clean_root.level == logging.ERROR

    def test_level_chosen_by_someone_else_is_kept(self, clean_root, monkeypatch):
        monkeypatch.setattr(quorvel_logging, "_applied_level", None)
        clean_root.setLevel(logging.CRITICAL)
        monkeypatch.setenv(LEVEL_ENV_VAR, "DEBUG")
        setup_logging_subprocess()
        assert clean_root.level == logging.CRITICAL
