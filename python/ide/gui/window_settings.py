"""``WindowSettings``: what the IDE remembers from one run to the next, in a ``QSettings``.

Kept: the window's geometry and dock layout, the editor/console splitter, the console's line
limit and prompt history, the recent workbook files, and the workbook last worked in with its
file and open modules (reopened at the next start, see ``WorkbookActions.reopen``). Without a
``QSettings`` nothing is kept, which is what tests and scripted sessions want.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, List, Optional

from PySide6.QtCore import QByteArray, QSettings

if TYPE_CHECKING:
    from .hosts import SettingsHost

__all__ = ["WindowSettings", "default_settings"]

GEOMETRY = "window/geometry"
STATE = "window/state"
SPLITTER = "window/splitter"
MAX_LINES = "console/max_lines"
HISTORY = "console/history"
LAST_WORKBOOK = "workbook/last"
LAST_MODULES = "workbook/modules"
LAST_MODULE = "workbook/current_module"
LAST_PATH = "workbook/path"
RECENT = "workbook/recent"
ASK_BEFORE_RESET = "run/ask_before_reset"


def default_settings() -> QSettings:
    """The IDE's settings of this user (a file in the platform's usual place)."""
    return QSettings(QSettings.Format.IniFormat, QSettings.Scope.UserScope, "Quorvel", "IDE")


class WindowSettings:
    def __init__(self, settings: Optional[QSettings]) -> None:
        self.settings = settings

    def restore(self, window: "SettingsHost") -> None:
        settings = self.settings
        if settings is None:
            return
        for key, apply in ((GEOMETRY, window.restoreGeometry), (STATE, window.restoreState),
                           (SPLITTER, window.centre_splitter.restoreState)):
            value = settings.value(key)
            if isinstance(value, QByteArray):
                apply(value)
        max_lines = _int(settings.value(MAX_LINES))
        if max_lines:
            window.console.set_max_lines(max_lines)
        window.console.prompt.set_history(_strings(settings.value(HISTORY)))
        window.workbook_actions.set_recent(_strings(settings.value(RECENT)))
        window.run_actions.ask_before_reset = str(settings.value(ASK_BEFORE_RESET, "true")) \
            != "false"
        last = settings.value(LAST_WORKBOOK)
        if isinstance(last, str) and last:
            current = settings.value(LAST_MODULE)
            path = settings.value(LAST_PATH)
            window.workbook_actions.reopen(last, _strings(settings.value(LAST_MODULES)),
                                           current if isinstance(current, str) else None,
                                           path if isinstance(path, str) and path else None)

    def save(self, window: "SettingsHost") -> None:
        settings = self.settings
        if settings is None:
            return
        settings.setValue(GEOMETRY, window.saveGeometry())
        settings.setValue(STATE, window.saveState())
        settings.setValue(SPLITTER, window.centre_splitter.saveState())
        settings.setValue(MAX_LINES, window.console.max_lines)
        settings.setValue(HISTORY, json.dumps(window.console.prompt.history))
        settings.setValue(RECENT, json.dumps(window.workbook_actions.recent))
        settings.setValue(ASK_BEFORE_RESET,
                          "true" if window.run_actions.ask_before_reset else "false")
        workbook_id = window.target_workbook()
        if workbook_id:
            editor = window.current_editor()
            settings.setValue(LAST_WORKBOOK, workbook_id)
            path = window.channel.workbook_files.get(workbook_id, {}).get("path")
            if path:
                settings.setValue(LAST_PATH, path)
            settings.setValue(LAST_MODULES, json.dumps(
                [e.module_name for e in window.editors() if e.workbook_id == workbook_id]))
            settings.setValue(LAST_MODULE, editor.module_name
                              if editor is not None and editor.workbook_id == workbook_id else "")
        settings.sync()


def _int(value: Any) -> int:
    try:
        return int(value)
    except (TypeError, ValueError):
        return 0


def _strings(value: Any) -> List[str]:
    """A list of strings stored as JSON text (anything else reads as empty)."""
    try:
        items = json.loads(value) if isinstance(value, str) else []
    except ValueError:
        return []
    return [item for item in items if isinstance(item, str)] if isinstance(items, list) else []
