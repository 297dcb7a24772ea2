"""``CompletionPopup``: the completion list floating under the text cursor, with the chosen
item's documentation beside it.

It only shows: the language client decides when it opens, what it lists and what is typed.
Items are the language services' completion items (``label``, ``kind``, ``detail``,
``documentation`` in Markdown, ``insert_text``, ``prefix_length``); each row shows the kind
as a coloured letter, the label and the detail. ``show_matching(typed)`` lists the items whose
label starts with what was typed of them (any case), in the order given; the first row is
chosen. The keyboard stays with the editor, which moves the choice with ``move_choice(step)``.
"""

from __future__ import annotations

from typing import Callable, Dict, List, Optional

from PySide6.QtCore import QModelIndex, QRect, QSize, Qt, Signal
from PySide6.QtGui import QColor, QPainter
from PySide6.QtWidgets import (QFrame, QHBoxLayout, QLabel, QListWidget, QListWidgetItem,
                               QStyle, QStyledItemDelegate, QStyleOptionViewItem, QWidget)

from .editor_tips import text_size

__all__ = ["CompletionPopup", "VISIBLE_ROWS"]

VISIBLE_ROWS = 10
LIST_WIDTH = 340
DOCS_WIDTH = 360
MAX_DOCS_HEIGHT = 300
_DOCS_PADDING = 6
_ITEM = Qt.ItemDataRole.UserRole + 1

# Kind of item -> (letter, colour) of its badge.
_BADGES: Dict[str, tuple] = {
    "function": ("f", "#b180d7"), "class": ("C", "#ee9d28"), "module": ("M", "#4fc1ff"),
    "instance": ("v", "#75beff"), "statement": ("v", "#75beff"), "param": ("p", "#9cdcfe"),
    "keyword": ("k", "#c586c0"), "property": ("P", "#dcdcaa"), "path": ("/", "#cccccc"),
}
_OTHER_BADGE = ("·", "#cccccc")


def _text(item: dict, key: str) -> str:
    value = item.get(key)
    return value if isinstance(value, str) else ""


class _ItemDelegate(QStyledItemDelegate):
    """Draws a row: the kind's badge, the label, and the detail dimmed at the right."""

    def sizeHint(self, option: QStyleOptionViewItem, index: QModelIndex) -> QSize:
        return QSize(LIST_WIDTH, option.fontMetrics.height() + 6)

    def paint(self, painter: QPainter, option: QStyleOptionViewItem, index: QModelIndex) -> None:
        item = index.data(_ITEM) or {}
        painter.save()
        rect = option.rect
        if option.state & QStyle.StateFlag.State_Selected:
            painter.fillRect(rect, QColor("#04395e"))
        letter, color = _BADGES.get(_text(item, "kind"), _OTHER_BADGE)
        badge = QRect(rect.left() + 4, rect.top() + 3, rect.height() - 6, rect.height() - 6)
        painter.setPen(QColor(color))
        painter.drawRect(badge.adjusted(0, 0, -1, -1))
        painter.drawText(badge, Qt.AlignmentFlag.AlignCenter, letter)
        text_rect = rect.adjusted(badge.width() + 10, 0, -6, 0)
        label = _text(item, "label")
        painter.setPen(QColor("#d4d4d4"))
        painter.drawText(text_rect, Qt.AlignmentFlag.AlignVCenter, label)
        metrics = option.fontMetrics
        room = text_rect.width() - metrics.horizontalAdvance(label) - 16
        if room > 30:
            detail = metrics.elidedText(_text(item, "detail"), Qt.TextElideMode.ElideRight, room)
            painter.setPen(QColor("#8a8a8a"))
            painter.drawText(text_rect, Qt.AlignmentFlag.AlignVCenter
                             | Qt.AlignmentFlag.AlignRight, detail)
        painter.restore()


class CompletionPopup(QFrame):
    # An item chosen with the mouse (a double click).
    chosen = Signal(dict)

    def __init__(self, parent: QWidget) -> None:
        super().__init__(parent)
        self.setObjectName("completionPopup")
        self.setFocusPolicy(Qt.FocusPolicy.NoFocus)
        self.setStyleSheet(
            "#completionPopup { background: #252526; border: 1px solid #454545; }"
            "QListWidget { background: #252526; border: none; }"
            f"QLabel {{ color: #cccccc; background: #252526; padding: {_DOCS_PADDING}px;"
            " border-left: 1px solid #454545; }")
        self.list = QListWidget(self)
        self.list.setFocusPolicy(Qt.FocusPolicy.NoFocus)
        self.list.setItemDelegate(_ItemDelegate(self.list))
        self.list.setUniformItemSizes(True)
        self.list.setHorizontalScrollBarPolicy(Qt.ScrollBarPolicy.ScrollBarAlwaysOff)
        self.list.currentItemChanged.connect(lambda _item, _previous: self._show_docs())
        self.list.itemDoubleClicked.connect(lambda item: self.chosen.emit(item.data(_ITEM)))
        self.docs = QLabel(self)
        self.docs.setTextFormat(Qt.TextFormat.MarkdownText)
        self.docs.setWordWrap(True)
        self.docs.setAlignment(Qt.AlignmentFlag.AlignTop | Qt.AlignmentFlag.AlignLeft)
        self.docs.setFixedWidth(DOCS_WIDTH)
        layout = QHBoxLayout(self)
        layout.setContentsMargins(1, 1, 1, 1)
        layout.setSpacing(0)
        layout.addWidget(self.list, 0, Qt.AlignmentFlag.AlignTop)
        layout.addWidget(self.docs, 0, Qt.AlignmentFlag.AlignTop)
        self.items: List[dict] = []
        self.hide()

    def set_items(self, items: List[dict]) -> None:
        """The items of an answer, to be shown with `show_matching`."""
        self.items = [item for item in items if isinstance(item, dict) and _text(item, "label")]

    def show_matching(self, typed: Callable[[dict], str]) -> int:
        """Lists the items whose label starts with `typed(item)` (what was typed of it) and
        returns how many; the choice goes back to the first row."""
        self.list.clear()
        for item in self.items:
            if _text(item, "label").lower().startswith(typed(item).lower()):
                row = QListWidgetItem(_text(item, "label"))
                row.setData(_ITEM, item)
                self.list.addItem(row)
        count = self.list.count()
        if count:
            self.list.setCurrentRow(0)
            rows = min(count, VISIBLE_ROWS)
            height = rows * self.list.sizeHintForRow(0) + 2 * self.list.frameWidth()
            self.list.setFixedSize(LIST_WIDTH, height)
            self._show_docs()
        return count

    def move_choice(self, step: int) -> None:
        """Moves the choice by `step` rows, stopping at the first and last."""
        count = self.list.count()
        if count:
            row = max(0, min(count - 1, self.list.currentRow() + step))
            self.list.setCurrentRow(row)

    def current(self) -> Optional[dict]:
        row = self.list.currentItem()
        return row.data(_ITEM) if row is not None else None

    def _show_docs(self) -> None:
        item = self.current()
        if item is None:
            self.docs.hide()
            self.adjustSize()
            return
        text = _text(item, "documentation")
        if not text:
            detail = _text(item, "detail") or _text(item, "label")
            text = f"```\n{detail}\n```"
        self.docs.setText(text)
        needed = text_size(text, True, self.docs.font(), DOCS_WIDTH - 2 * _DOCS_PADDING).height()
        self.docs.setFixedHeight(min(MAX_DOCS_HEIGHT, max(self.list.height(),
                                                          needed + 2 * _DOCS_PADDING)))
        self.docs.show()
        self.adjustSize()
