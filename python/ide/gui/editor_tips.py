"""``TipLabel``: a tooltip floating over the editor (signature help, hover text), and the rich
text it shows.

Unlike Qt's own tooltip it stays up while the user types, and it belongs to the editor's
window (a screenshot of the window shows it). ``place_beside`` puts it (or the completion
list) next to the line it is about, above or below, always inside the editor.

* ``signature_html(signature, active)``: a signature with its active parameter in bold and
  underlined, then its documentation.
* ``hover_markdown(diagnostics, contents)``: the findings under the mouse, then the hover text
  (Markdown as the language services give it).
"""

from __future__ import annotations

import html
import re
from typing import Any, List, Optional

from PySide6.QtCore import QPoint, QRect, QSize, Qt
from PySide6.QtGui import QFont, QTextDocument
from PySide6.QtWidgets import QLabel, QWidget

__all__ = ["TipLabel", "hover_markdown", "place_beside", "signature_html", "text_size"]

MAX_TIP_WIDTH = 640
MAX_TIP_HEIGHT = 320
_PADDING = 6
_MARKDOWN_SPECIAL = re.compile(r"([\\`*_\[\]<>#|~])")


def escape_markdown(text: str) -> str:
    return _MARKDOWN_SPECIAL.sub(r"\\\1", text)


def signature_html(signature: dict, active: Optional[int]) -> str:
    """The signature's label with the `active` parameter emphasised, then its documentation."""
    label = signature.get("label") if isinstance(signature.get("label"), str) else ""
    parameters = signature.get("parameters")
    spans = []  # where each parameter's label lies in the signature's
    search = label.find("(") + 1
    for parameter in parameters if isinstance(parameters, list) else []:
        text = parameter.get("label") if isinstance(parameter, dict) else None
        at = label.find(text, search) if isinstance(text, str) and text else -1
        spans.append((at, at + len(text)) if at >= 0 else None)
        if at >= 0:
            search = at + len(text)
    span = spans[active] if isinstance(active, int) and 0 <= active < len(spans) else None
    if span is None:
        shown = html.escape(label)
    else:
        shown = (html.escape(label[:span[0]]) + "<b><u>" + html.escape(label[span[0]:span[1]])
                 + "</u></b>" + html.escape(label[span[1]:]))
    text = f"<code style='white-space: pre-wrap'>{shown}</code>"
    documentation = signature.get("documentation")
    if isinstance(documentation, str) and documentation.strip():
        text += f"<p style='color: #a0a0a0'>{html.escape(documentation.strip())}</p>"
    return text


def hover_markdown(diagnostics: List[dict], contents: Any) -> str:
    """The findings (one line each, with their source), then the hover text, as Markdown."""
    parts = []
    for diagnostic in diagnostics:
        severity = "Error" if diagnostic.get("severity") == "error" else "Warning"
        source = diagnostic.get("source")
        line = f"**{severity}:** {escape_markdown(str(diagnostic.get('message', '')))}"
        parts.append(line + (f" ({escape_markdown(str(source))})" if source else ""))
    if isinstance(contents, str) and contents.strip():
        parts.append(contents.strip())
    return "\n\n".join(parts)


def text_size(text: str, markdown: bool, font: QFont, max_width: int) -> QSize:
    """The size rich text (or Markdown) takes when lines wrap at `max_width` pixels."""
    document = QTextDocument()
    document.setDefaultFont(font)  # and the default margin, which a label's text has too
    if markdown:
        document.setMarkdown(text)
    else:
        document.setHtml(text)
    document.setTextWidth(max_width)
    width = min(max_width, int(document.idealWidth()) + 1)
    document.setTextWidth(width)
    return QSize(width, int(document.size().height()) + 1)


def place_beside(widget: QWidget, line: QRect, above: bool) -> None:
    """Moves a widget floating over its parent next to `line` (a rectangle in the parent's
    coordinates): above it when `above` and there is room, else below it if there is room;
    moved left as needed to stay inside the parent."""
    area = widget.parentWidget().rect()
    width, height = widget.width(), widget.height()
    room_above = line.top() - height >= area.top()
    room_below = line.bottom() + 1 + height <= area.bottom()
    y = line.top() - height if (above and room_above) or not room_below else line.bottom() + 1
    x = max(area.left(), min(line.left(), area.right() - width))
    widget.move(QPoint(x, max(area.top(), y)))


class TipLabel(QLabel):
    def __init__(self, parent: QWidget) -> None:
        super().__init__(parent)
        self.setObjectName("editorTip")
        self.setFocusPolicy(Qt.FocusPolicy.NoFocus)
        # The mouse goes through to the text below: hover follows the word under it.
        self.setAttribute(Qt.WidgetAttribute.WA_TransparentForMouseEvents)
        self.setWordWrap(True)
        self.setAlignment(Qt.AlignmentFlag.AlignTop | Qt.AlignmentFlag.AlignLeft)
        self.setStyleSheet(f"#editorTip {{ background: #252526; color: #d4d4d4; "
                           f"border: 1px solid #454545; padding: {_PADDING}px; }}")
        self.hide()

    def show_text(self, text: str, markdown: bool, line: QRect, above: bool) -> None:
        """Shows `text` next to `line` (a rectangle in the editor's coordinates): above it when
        `above` and there is room, else below; moved left as needed to stay in the editor."""
        self.setTextFormat(Qt.TextFormat.MarkdownText if markdown else Qt.TextFormat.RichText)
        self.setText(text)
        size = text_size(text, markdown, self.font(), MAX_TIP_WIDTH)
        frame = 2 * (_PADDING + 1)
        self.resize(size.width() + frame, min(MAX_TIP_HEIGHT, size.height() + frame))
        place_beside(self, line, above)
        self.show()
        self.raise_()

