"""The colours of the IDE's texts, one name per meaning, for the console, labels and panels.

The console takes them as hex strings; ``style(color)`` is the style sheet that gives a
label that text colour.
"""

from __future__ import annotations

__all__ = ["ECHO", "ERROR", "HINT", "INFO", "NOTICE", "SUCCESS", "style"]

ERROR = "#ff6b6b"    # failures, refusals, a kernel that is gone
NOTICE = "#e0a030"   # what needs attention but is not a failure: waiting, running, unsaved
SUCCESS = "#4caf50"  # done, connected
ECHO = "#9e9e9e"     # what the IDE echoes of what a person asked for
HINT = "#858585"     # help texts and what is not known yet
INFO = "#4daafc"     # work under way (a package being installed)


def style(color: str) -> str:
    return f"color: {color};"
