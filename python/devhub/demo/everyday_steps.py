"""The everyday tools of the IDE demo, in the window the demo drives: find and replace, a
breakpoint beside the language services' findings, a cell that keeps running, completion at
the console prompt, the Run dialog's docstring and keyword arguments, a module exported to a
file, and the Help menu. Pictures: ``build/demo-everyday.png`` (the window with the find bar,
the gutter's markers, the running cell and the prompt's completion list) and
``build/demo-help.png`` (the guide to the quorvel module and the shortcut list).
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path
from typing import Callable


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


def run(app, window, workbook_id: str, poll: Callable[[], None], folder: Path) -> None:
    from PySide6.QtCore import Qt
    from PySide6.QtGui import QPainter, QPixmap
    from PySide6.QtWidgets import QTableWidget

    from ide.gui.dialogs import ModuleFileDialog, RunDialog

    from . import ide_driver as do

    ctrl = Qt.KeyboardModifier.ControlModifier

    def wait(condition: Callable[[], object], what: str, timeout: float = 60) -> None:
        do.wait_until(condition, timeout, what, tick=poll)

    summary = window.editor_for(workbook_id, "summary")
    window.editor_tabs.setCurrentWidget(summary)
    summary.setFocus()
    do.key(summary, Qt.Key.Key_Escape)
    show("editor", "a breakpoint on line 7 of summary.py, beside the findings' cross and "
                   "triangle")
    do.click_gutter(summary, 7)

    show("editor", "Ctrl+H: replace 'forecast' with 'fc' in summary.py")
    do.key(summary, Qt.Key.Key_H, ctrl)
    bar = window.find_bar
    do.type_text(bar.find_field, "forecast")
    do.type_text(bar.replace_field, "fc")
    show("editor", f"the find bar says {bar.count_label.text()!r}; Replace All, then Undo")
    do.click(bar.replace_all_button)
    show("editor", f"{bar.count_label.text()}; line 2 reads "
                   f"{summary.document().findBlockByNumber(1).text()!r}")
    summary.undo()
    show("editor", f"after Undo line 2 reads {summary.document().findBlockByNumber(1).text()!r}")

    show("ide", "Run dialog on grow(): its docstring, and a keyword argument")
    forecast = window.editor_for(workbook_id, "forecast")
    window.editor_tabs.setCurrentWidget(forecast)
    do.key(forecast, Qt.Key.Key_Home, ctrl)
    do.key(forecast, Qt.Key.Key_Down, times=4)
    do.key(forecast, Qt.Key.Key_F5)
    dialog = do.dialog(window, RunDialog)
    show("dialog", f"{dialog.signature_label.text()} -- {dialog.doc_label.text()}")
    dialog.args_edit.setText("100, 0.1, years=2")
    do.key(dialog.args_edit, Qt.Key.Key_Return)
    wait(lambda: not window.run_actions.runs, "the run with a keyword to end")

    exported = Path(tempfile.mkdtemp(prefix="quorvel-demo-")) / "forecast_copy.py"
    show("ide", f"File > Export Module... to {exported}")
    window.module_actions.export_module_action.trigger()
    file_box = do.dialog(window, ModuleFileDialog)
    file_box.name_edit.setText(str(exported))
    do.key(file_box.name_edit, Qt.Key.Key_Return)
    wait(exported.exists, "the exported file")
    show("ide", f"{exported.name}: {len(exported.read_text().splitlines())} lines")
    os.remove(exported)
    os.rmdir(exported.parent)

    window.editor_tabs.setCurrentWidget(summary)
    do.key(summary, Qt.Key.Key_F, ctrl)
    do.type_text(bar.find_field, "forecast")
    prompt = window.console.prompt
    show("ide", "a cell that keeps running: time.sleep(4)")
    do.type_text(prompt, "import time; time.sleep(4)")
    do.key(prompt, Qt.Key.Key_Return, ctrl)
    item = window.project_explorer._workbook_items[workbook_id]
    wait(lambda: item.text(1) == "busy", "the explorer to show busy")
    show("ide", f"explorer: {workbook_id} {item.text(1)}; beside the prompt: "
                f"{window.console.running_label.text()} and "
                f"{window.console.interrupt_button.text().replace('&', '')}")
    do.type_text(prompt, "g")  # grow came in with an earlier cell's import
    do.key(prompt, Qt.Key.Key_Space, ctrl)
    completion = window.prompt_completion
    wait(completion.popup.isVisible, "the prompt's completion list")
    show("ide", f"Ctrl+Space at the prompt lists "
                f"{[item['label'] for item in completion.popup.items][:3]}")
    picture = folder / "demo-everyday.png"
    picture.parent.mkdir(parents=True, exist_ok=True)
    window.grab().save(str(picture))
    show("ide", f"picture of the everyday tools saved to {picture}")
    completion.close()
    prompt.clear()
    bar.close_bar()
    wait(lambda: item.text(1) == "connected", "the cell to end")

    show("ide", "Help > Quorvel Guide (F1) and Help > Keyboard Shortcuts")
    guide = window.help_actions.show_guide()
    window.help_actions.shortcuts_action.trigger()
    table = window.help_actions.shortcuts_window.findChild(QTableWidget, "shortcuts")
    show("ide", f"the guide opens on {guide.toPlainText().splitlines()[0]!r}; "
                f"{table.rowCount()} shortcuts listed")
    left = window.help_actions.guide_window.grab()
    right = window.help_actions.shortcuts_window.grab()
    both = QPixmap(left.width() + right.width() + 10, max(left.height(), right.height()))
    both.fill(Qt.GlobalColor.darkGray)
    painter = QPainter(both)
    painter.drawPixmap(0, 0, left)
    painter.drawPixmap(left.width() + 10, 0, right)
    painter.end()
    help_picture = folder / "demo-help.png"
    both.save(str(help_picture))
    show("ide", f"picture of the guide and the shortcuts saved to {help_picture}")
    window.help_actions.guide_window.close()
    window.help_actions.shortcuts_window.close()
