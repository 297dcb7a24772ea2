"""The language services part of the IDE demo, run in the IDE window the demo drives.

A new module is typed in the editor with keys only: "forecast." opens the completion list of
the workbook's in-memory module and Tab inserts "grow"; "(" and "," show grow's signature with
the parameter being typed emphasised; the finished text is underlined where the kernel's
diagnostics find an unused import and an undefined name, counted in the status bar and
explained on hover; the package the demo installed completes too. It ends with the cursor
inside "round(forecast.gr|ow(...))" and Ctrl+Space and Ctrl+Shift+Space pressed, so that the
picture the demo takes next shows the list, a signature tip and the underlines together.
"""

from __future__ import annotations

import html
import re
from typing import Callable

MODULE = "summary"
HEADER = ('import os\nimport forecast\n\n\ndef summary(years):\n'
          '    """What the forecast leaves after the budget."""\n')


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


def run(app, window, workbook_id: str, poll: Callable[[], None]) -> None:
    """Runs the segment against the connected window; `poll` prints new console lines."""
    from PySide6.QtCore import Qt
    from PySide6.QtGui import QTextCursor
    from PySide6.QtTest import QTest

    from ide.gui.dialogs import NameDialog

    from . import ide_driver as do

    def wait(condition: Callable[[], object], what: str, timeout: float = 60) -> None:
        do.wait_until(condition, timeout, what, tick=poll)

    def listed() -> list:
        popup = editor.completion_popup
        return [popup.list.item(i).text() for i in range(popup.list.count())] \
            if popup.isVisible() else []

    def plain(rich: str) -> str:
        """The tip's text, the emphasised parameter in brackets."""
        text = re.sub(r"<b><u>(.*?)</u></b>", r"[\1]", rich)
        return html.unescape(" ".join(re.sub(r"<[^>]+>", " ", text).split()))

    show("ide", f"language services: File > New Module... '{MODULE}', typed with keys only")
    do.click_item(window.project_explorer, window.project_explorer._workbook_items[workbook_id])
    window.module_actions.new_module_action.trigger()
    name_box = do.dialog(window, NameDialog)
    do.type_text(name_box.name_edit, MODULE)
    do.key(name_box.name_edit, Qt.Key.Key_Return)
    wait(lambda: window.editor_for(workbook_id, MODULE) is not None, "the module's tab")
    editor = window.editor_for(workbook_id, MODULE)
    editor.setFocus()

    do.type_code(editor, HEADER)
    show("editor", "typed the imports and 'def summary(years):'; now 'return round(forecast.'")
    do.type_text(editor, "return round(forecast.")
    wait(lambda: "grow" in listed(), "the completion list")
    popup = editor.completion_popup
    show("editor", f"'forecast.' lists {', '.join(listed()[:4])}, ...; the first, "
                   f"{popup.current()['label']} ({popup.current()['kind']}), is chosen")
    do.type_text(editor, "g")
    show("editor", f"'g' leaves {listed()}; Tab inserts it")
    do.key(editor, Qt.Key.Key_Tab)
    do.type_text(editor, "(1000, ")
    tip = editor.signature_tip
    wait(lambda: tip.isVisible() and "<u>rate</u>" in tip.text(), "grow's signature")
    show("editor", f"signature tip after '1000, ': {plain(tip.text())}")
    do.type_text(editor, "0.05, years)) - budget")
    show("editor", f"line 7 reads: {editor.textCursor().block().text().strip()}")

    wait(lambda: len(editor.diagnostics) == 2, "the diagnostics")
    for finding in editor.diagnostics:
        show("editor", f"underlined, line {finding['line']}: {finding['severity']}: "
                       f"{finding['message']}")
    show("ide", f"status bar: {window.language.problems_label.text()}")
    cursor = QTextCursor(editor.document())
    budget = editor.textCursor().block().text().index("budget")
    cursor.setPosition(editor.position_of(7, budget + 2))
    QTest.mouseMove(editor.viewport(), editor.cursorRect(cursor).center())
    wait(lambda: "budget" in editor.hover_tip.text(), "the hover tip")
    show("editor", f"hover on 'budget': {editor.hover_tip.text().replace(chr(92), '')}")

    do.key(editor, Qt.Key.Key_Return)  # the editor dedents after a return
    do.type_text(editor, "import growthcalc; growthcalc.")
    wait(lambda: "compound" in listed(), "the package's completions")
    show("editor", f"the package installed for the workbook completes too: 'growthcalc.' "
                   f"lists {listed()[0]}")
    do.key(editor, Qt.Key.Key_Escape)
    do.key(editor, Qt.Key.Key_Home, Qt.KeyboardModifier.ShiftModifier)
    do.key(editor, Qt.Key.Key_Backspace, times=2)

    show("editor", "cursor into round(forecast.gr|ow(...)): Ctrl+Space, Ctrl+Shift+Space")
    line = editor.document().findBlockByNumber(6)
    cursor = QTextCursor(line)
    cursor.setPosition(editor.position_of(7, line.text().index("grow") + 2))
    editor.setTextCursor(cursor)
    do.key(editor, Qt.Key.Key_Space, Qt.KeyboardModifier.ControlModifier)
    do.key(editor, Qt.Key.Key_Space, Qt.KeyboardModifier.ControlModifier
           | Qt.KeyboardModifier.ShiftModifier)
    wait(lambda: listed() and tip.isVisible(), "the list and the tip")
    show("editor", f"list {listed()}; tip: {plain(tip.text())}")
    wait(lambda: editor.diagnostics_version == editor.text_version, "the underlines")
