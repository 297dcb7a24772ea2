"""``TimerManagerPanel``: the timers of a workbook, which call a module function every so many
seconds or at a time of day.

``update_ontime_config`` takes the hub's list of a workbook's timers; the table shows each
one's function, schedule, whether it is enabled (a check box), its next and last run and how
the last one went. Add... opens ``TimerDialog``; unchecking or checking a timer and Remove
change one entry. Every change sends the whole list ("save_ontime_events"), the timers the hub
already has under their ``timer_id``; the table shows the hub's list when it comes back, so a
list the hub refuses leaves the table as it was.
"""

from __future__ import annotations

import math
import re
from typing import Callable, Dict, List, Optional

from PySide6.QtCore import Qt, QTimer, Signal
from PySide6.QtGui import QColor
from PySide6.QtWidgets import (QAbstractItemView, QButtonGroup, QCheckBox, QDialog,
                               QDialogButtonBox, QGridLayout, QHBoxLayout, QLabel, QLineEdit,
                               QPushButton, QRadioButton, QTableWidget, QTableWidgetItem,
                               QVBoxLayout, QWidget)

from ..colors import ERROR, NOTICE, SUCCESS, style
from .automation_panel import AutomationPanel, FunctionBox, ModuleFunction

__all__ = ["MIN_TIMER_SECONDS", "TimerDialog", "TimerManagerPanel", "read_interval",
           "read_time_of_day"]

# The shortest interval the hub takes; it refuses a list with a shorter one.
MIN_TIMER_SECONDS = 1.0

COLUMNS = ("Function", "Schedule", "Enabled", "Next run", "Last run", "Last outcome")
_ENABLED_COLUMN = 2
_TIME_OF_DAY = re.compile(r"(\d{1,2}):(\d{2})(?::(\d{2}))?")
_OUTCOME_COLORS = {"success": SUCCESS, "error": ERROR, "skipped": NOTICE}


def read_interval(text: str) -> float:
    """The seconds typed; ValueError says why they cannot be a timer's interval."""
    try:
        seconds = float(text.strip())
    except ValueError:
        raise ValueError(f"'{text.strip()}' is not a number of seconds.") from None
    if not math.isfinite(seconds) or seconds < MIN_TIMER_SECONDS:
        raise ValueError(f"A timer runs at most once a second: type {MIN_TIMER_SECONDS:g} or "
                         "more seconds.")
    return int(seconds) if seconds.is_integer() else seconds


def read_time_of_day(text: str) -> str:
    """The time typed as "HH:MM" or "HH:MM:SS"; ValueError says why it is not one."""
    match = _TIME_OF_DAY.fullmatch(text.strip())
    parts = [int(part) for part in match.groups() if part is not None] if match else []
    if not parts or parts[0] > 23 or any(part > 59 for part in parts[1:]):
        raise ValueError(f"'{text.strip()}' is not a time of day: type HH:MM or HH:MM:SS, "
                         "e.g. 08:30.")
    return ":".join(f"{part:02d}" for part in parts)


def schedule_text(timer: dict) -> str:
    if timer.get("interval_seconds") is not None:
        return f"every {float(timer['interval_seconds']):g} s"
    return f"at {timer.get('time_of_day')}"


def _when(value: object) -> str:
    return "" if not value else str(value).replace("T", " ").split(".")[0]


def wire_entry(timer: dict) -> dict:
    """A timer as "save_ontime_events" carries it: its id if it has one, its function, one of
    its interval and its time of day, and whether it is enabled."""
    entry = {"module_name": timer.get("module_name"), "function_name": timer.get("function_name")}
    if timer.get("timer_id") is not None:
        entry = {"timer_id": timer["timer_id"], **entry}
    if timer.get("interval_seconds") is not None:
        entry["interval_seconds"] = timer["interval_seconds"]
    else:
        entry["time_of_day"] = timer.get("time_of_day")
    entry["enabled"] = bool(timer.get("enabled", True))
    return entry


class TimerDialog(QDialog):
    """Asks for a new timer: a module function, an interval or a time of day, and whether it
    starts enabled; `chosen` gets the timer as "save_ontime_events" carries a new one."""

    chosen = Signal(dict)

    def __init__(self, parent: Optional[QWidget],
                 functions: Callable[[], List[ModuleFunction]]) -> None:
        super().__init__(parent)
        self.setWindowTitle("Add a timer")
        self.function_box = FunctionBox(functions, self)
        self.function_box.setObjectName("timer_function")
        self.every_button = QRadioButton("&Every", self)
        self.every_button.setObjectName("timer_every")
        self.interval_edit = QLineEdit("60", self)
        self.interval_edit.setObjectName("timer_interval")
        self.at_button = QRadioButton("&At", self)
        self.at_button.setObjectName("timer_at")
        self.time_edit = QLineEdit(self)
        self.time_edit.setObjectName("timer_time")
        self.time_edit.setPlaceholderText("HH:MM or HH:MM:SS")
        schedule = QButtonGroup(self)
        schedule.addButton(self.every_button)
        schedule.addButton(self.at_button)
        self.every_button.setChecked(True)
        self.every_button.toggled.connect(self._schedule_picked)
        self.enabled_check = QCheckBox("E&nabled", self)
        self.enabled_check.setObjectName("timer_enabled")
        self.enabled_check.setChecked(True)
        self.problem_label = QLabel("", self)
        self.problem_label.setObjectName("timer_problem")
        self.problem_label.setStyleSheet(style(ERROR))
        self.problem_label.setWordWrap(True)
        self.buttons = QDialogButtonBox(QDialogButtonBox.StandardButton.Cancel, self)
        self.add_button = QPushButton("Add", self)
        self.add_button.setDefault(True)
        self.buttons.addButton(self.add_button, QDialogButtonBox.ButtonRole.AcceptRole)
        self.buttons.accepted.connect(self.accept)
        self.buttons.rejected.connect(self.reject)

        grid = QGridLayout()
        grid.addWidget(QLabel("&Function:", self), 0, 0)
        grid.addWidget(self.function_box, 0, 1, 1, 2)
        grid.addWidget(self.every_button, 1, 0)
        grid.addWidget(self.interval_edit, 1, 1)
        grid.addWidget(QLabel("seconds", self), 1, 2)
        grid.addWidget(self.at_button, 2, 0)
        grid.addWidget(self.time_edit, 2, 1)
        grid.addWidget(QLabel("each day", self), 2, 2)
        layout = QVBoxLayout(self)
        layout.addLayout(grid)
        layout.addWidget(self.enabled_check)
        layout.addWidget(self.problem_label)
        layout.addWidget(self.buttons)
        self.setMinimumWidth(420)
        self._schedule_picked()
        if self.function_box.chosen() is None:
            self.problem_label.setText("The workbook's modules have no top-level function.")
            self.add_button.setEnabled(False)

    def _schedule_picked(self, _checked: bool = True) -> None:
        every = self.every_button.isChecked()
        self.interval_edit.setEnabled(every)
        self.time_edit.setEnabled(not every)

    def accept(self) -> None:
        function = self.function_box.chosen()
        if function is None:
            return
        entry: dict = {"module_name": function.module_name,
                       "function_name": function.function_name}
        edit = self.interval_edit if self.every_button.isChecked() else self.time_edit
        try:
            if edit is self.interval_edit:
                entry["interval_seconds"] = read_interval(edit.text())
            else:
                entry["time_of_day"] = read_time_of_day(edit.text())
        except ValueError as error:
            self.problem_label.setText(str(error))
            edit.setFocus()
            edit.selectAll()
            return
        entry["enabled"] = self.enabled_check.isChecked()
        super().accept()
        self.chosen.emit(entry)


class TimerManagerPanel(AutomationPanel):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.configs: Dict[str, List[dict]] = {}
        self.dialog: Optional[TimerDialog] = None

        self.table = QTableWidget(0, len(COLUMNS), self)
        self.table.setObjectName("timers")
        self.table.setHorizontalHeaderLabels(COLUMNS)
        self.table.horizontalHeader().setStretchLastSection(True)
        self.table.verticalHeader().setVisible(False)
        self.table.setEditTriggers(QAbstractItemView.EditTrigger.NoEditTriggers)
        self.table.setSelectionBehavior(QAbstractItemView.SelectionBehavior.SelectRows)
        self.table.setSelectionMode(QAbstractItemView.SelectionMode.SingleSelection)
        self.table.itemSelectionChanged.connect(self._update_buttons)
        self.table.itemChanged.connect(self._item_changed)
        self.add_button = QPushButton("Add...", self)
        self.add_button.setObjectName("add_timer")
        self.add_button.clicked.connect(self.open_add_dialog)
        self.remove_button = QPushButton("Remove", self)
        self.remove_button.setObjectName("remove_timer")
        self.remove_button.clicked.connect(self.remove_selected)

        buttons = QHBoxLayout()
        buttons.addWidget(self.add_button)
        buttons.addWidget(self.remove_button)
        buttons.addStretch(1)
        self.layout_.addLayout(buttons)
        self.layout_.addWidget(self.table, 1)
        self.layout_.addWidget(self.status_label)
        self._update_buttons()

    def update_ontime_config(self, workbook_id: str, ontime_events: list) -> None:
        self.configs[workbook_id] = [t for t in ontime_events or [] if isinstance(t, dict)]
        if self._shows(workbook_id):
            self.show_status("")
            self.refresh()

    def remove_workbook(self, workbook_id: str) -> None:
        self.configs.pop(workbook_id, None)
        super().remove_workbook(workbook_id)

    def selected_row(self) -> Optional[int]:
        rows = {index.row() for index in self.table.selectedIndexes()}
        return rows.pop() if len(rows) == 1 else None

    # --- requests -------------------------------------------------------------------------

    def open_add_dialog(self) -> Optional[TimerDialog]:
        """Opens the dialog (window-modal, not blocking) for the shown workbook."""
        workbook_id = self.current_workbook()
        if workbook_id is None:
            self.show_status("Open a workbook before adding timers.", ok=False)
            return None
        dialog = TimerDialog(self, lambda: self.functions(workbook_id))
        dialog.chosen.connect(lambda entry: self._save(workbook_id, self._entries(workbook_id)
                                                       + [entry]))
        dialog.finished.connect(dialog.deleteLater)
        self.dialog = dialog
        dialog.open()
        return dialog

    def remove_selected(self) -> None:
        workbook_id, row = self.current_workbook(), self.selected_row()
        if workbook_id is None or row is None:
            return
        entries = self._entries(workbook_id)
        if row < len(entries):
            del entries[row]
            self._save(workbook_id, entries)

    def set_enabled(self, row: int, enabled: bool) -> None:
        workbook_id = self.current_workbook()
        entries = self._entries(workbook_id) if workbook_id is not None else []
        if row < len(entries) and entries[row]["enabled"] != enabled:
            entries[row]["enabled"] = enabled
            self._save(workbook_id, entries)
            # The check box shows the hub's list until its answer comes (redrawn once the
            # table is done with the click).
            QTimer.singleShot(0, self.refresh)

    def _entries(self, workbook_id: str) -> List[dict]:
        return [wire_entry(timer) for timer in self.configs.get(workbook_id, [])]

    def _save(self, workbook_id: str, entries: List[dict]) -> None:
        self.send("save_ontime_events", workbook_id, ontime_events=entries)
        self.show_status(f"Sent {len(entries)} timer(s) to the hub; the table shows them as it "
                         "keeps them.")

    # --- showing --------------------------------------------------------------------------

    def refresh(self) -> None:
        self.table.blockSignals(True)
        try:
            self.table.setRowCount(0)
            for timer in self.configs.get(self.current_workbook() or "", []):
                self._add_row(timer)
        finally:
            self.table.blockSignals(False)
        self._update_buttons()

    def _add_row(self, timer: dict) -> None:
        row = self.table.rowCount()
        self.table.insertRow(row)
        outcome = timer.get("last_outcome") or ""
        error = timer.get("last_error")
        texts = (f"{timer.get('module_name')}.{timer.get('function_name')}",
                 schedule_text(timer), "", _when(timer.get("next_run")),
                 _when(timer.get("last_run")), f"{outcome}: {error}" if error else outcome)
        for column, text in enumerate(texts):
            item = QTableWidgetItem(text)
            if column == _ENABLED_COLUMN:
                item.setFlags(item.flags() | Qt.ItemFlag.ItemIsUserCheckable)
                item.setCheckState(Qt.CheckState.Checked if timer.get("enabled", True)
                                   else Qt.CheckState.Unchecked)
            elif column == len(texts) - 1:
                if outcome in _OUTCOME_COLORS:
                    item.setForeground(QColor(_OUTCOME_COLORS[outcome]))
                if error:
                    item.setToolTip(str(error))
            self.table.setItem(row, column, item)

    def _item_changed(self, item: QTableWidgetItem) -> None:
        if item.column() == _ENABLED_COLUMN:
            self.set_enabled(item.row(), item.checkState() == Qt.CheckState.Checked)

    def _update_buttons(self) -> None:
        self.add_button.setEnabled(self.current_workbook() is not None)
        self.remove_button.setEnabled(self.selected_row() is not None)
