"""``WorkbookBox``: a choice among the open workbooks, shown by name, holding their ids.

The console's "Run in" box and the package and object panels each have one. Refilling it keeps
the workbook that was chosen when it is still listed, and says nothing while it refills: the
owner decides what a change of choice means.
"""

from __future__ import annotations

from typing import Iterable, Optional, Tuple

from PySide6.QtWidgets import QComboBox, QWidget

__all__ = ["WorkbookBox"]


class WorkbookBox(QComboBox):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)

    def current(self) -> Optional[str]:
        """The id of the chosen workbook, or None when there is none."""
        return self.currentData()

    def set_workbooks(self, workbooks: Iterable[Tuple[str, str]]) -> None:
        """Offers these (id, display name) workbooks; the chosen one stays chosen if listed,
        else the first is. No signal is emitted."""
        chosen = self.current()
        self.blockSignals(True)
        try:
            self.clear()
            for workbook_id, name in workbooks:
                self.addItem(name, workbook_id)
            index = self.findData(chosen)
            self.setCurrentIndex(index if index >= 0 else (0 if self.count() else -1))
        finally:
            self.blockSignals(False)

    def select(self, workbook_id: Optional[str]) -> None:
        """Chooses the workbook if listed (emitting the change, as a user's choice would)."""
        index = self.findData(workbook_id)
        if index >= 0:
            self.setCurrentIndex(index)

    def rename(self, workbook_id: str, name: Optional[str]) -> None:
        index = self.findData(workbook_id)
        if index >= 0:
            self.setItemText(index, name or workbook_id)
