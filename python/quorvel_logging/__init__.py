"""Logging set-up shared by the kernel, the IDE connection client and the package manager.

Every module takes its logger with ``get_logger(__name__)``; a process that wants
log lines on screen calls ``setup_logging_subprocess()`` once at start-up.

Promises:

* Log lines go to the process's *original* standard error (``sys.__stderr__``),
  never to whatever ``sys.stderr`` is at the time of the call. The kernel swaps
  ``sys.stderr`` for a hook that turns each write into a network message; a handler
  writing there would turn every log line into a message, and the logging of that
  message into another log line.
* ``setup_logging_subprocess()`` is idempotent: one handler, however often it is
  called. It never removes handlers that others installed (pytest's ``caplog``).
* The root level comes from ``QUORVEL_LOG_LEVEL`` (a level name such as ``DEBUG``;
  unset or unknown means ``WARNING``). It is applied only while the root level still
  looks untouched -- ``WARNING`` (Python's default), ``NOTSET``, or the level this
  module set on an earlier call -- so a level chosen by a test or an embedding
  application is left alone.
"""

from __future__ import annotations

import logging
import os
import sys
from typing import IO, Optional

__all__ = ["LEVEL_ENV_VAR", "LOG_FORMAT", "OriginalStderrHandler", "get_logger",
           "setup_logging_subprocess"]

LEVEL_ENV_VAR = "QUORVEL_LOG_LEVEL"
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

# The level this module last put on the root logger; lets a later call with a new
# environment update it without treating it as somebody else's choice.
_applied_level: Optional[int] = None


class OriginalStderrHandler(logging.StreamHandler):
    """A stream handler bound to the process's original standard error."""

    # Marks our handler even if this module is reloaded and the class object changes.
    quorvel_original_stderr = True


def _original_stderr() -> IO[str]:
    if sys.__stderr__ is not None:
        return sys.__stderr__
    # pythonw and some embedders start without sys.__stderr__; fd 2 may still be valid.
    try:
        return os.fdopen(os.dup(2), "w", buffering=1, encoding="utf-8", errors="backslashreplace")
    except OSError:
        # No standard error at all: drop the lines rather than fail the process.
        return open(os.devnull, "w", encoding="utf-8")


def _level_from_env() -> int:
    name = os.environ.get(LEVEL_ENV_VAR, "").strip().upper()
    level = logging.getLevelName(name) if name else None
    # getLevelName maps unknown names to the string "Level X", hence the type check.
    return level if isinstance(level, int) else logging.WARNING


def setup_logging_subprocess() -> None:
    """Install the original-stderr handler on the root logger and set the root level."""
    global _applied_level
    root = logging.getLogger()
    if not any(getattr(h, "quorvel_original_stderr", False) for h in root.handlers):
        handler = OriginalStderrHandler(_original_stderr())
        handler.setFormatter(logging.Formatter(LOG_FORMAT))
        root.addHandler(handler)
    if root.level in (logging.WARNING, logging.NOTSET) or root.level == _applied_level:
        _applied_level = _level_from_env()
        root.setLevel(_applied_level)


def get_logger(name: str) -> logging.Logger:
    """The logger called ``name`` (usually the caller's ``__name__``)."""
    return logging.getLogger(name)
