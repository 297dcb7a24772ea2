"""The debugging part of the IDE demo, run in the IDE window the demo drives.

A module is typed and saved, a breakpoint is set by clicking the editor's gutter, and a
function runs under the debugger (F9). At the pause the demo prints the marked line, the
variables and the call stack, steps twice (F10), evaluates an expression in the paused frame,
removes the breakpoint with another click while paused and continues (F5) to the end. A picture
of the paused window is saved to ``build/demo-debug.png``.
"""

from __future__ import annotations

from pathlib import Path
from typing import Callable

PORTFOLIO_MODULE = """\
PRICES = {"ACME": 12.5, "GLOBEX": 40.0}

def value_of(name, count):
    price = PRICES[name]
    return count * price

def report(holdings):
    total = 0
    for name, count in holdings:
        total += value_of(name, count)
    print(f"portfolio worth {total:,.2f}")
    return total
"""
BREAKPOINT_LINE = 4  # price = PRICES[name]
REPORT_LINE = 9  # inside report(), where F9 is pressed


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


def run(window, workbook_id: str, poll: Callable[[], None],
        folder: Path = Path("build")) -> None:
    """Runs the segment against the connected window; `poll` prints new console lines."""
    from PySide6.QtCore import Qt

    from ide.gui.dialogs import NameDialog, RunDialog

    from . import ide_driver as do

    actions, panel = window.debug_actions, window.debug_panel
    explorer = window.project_explorer

    def wait(condition, what: str, timeout: float = 60) -> None:
        do.wait_until(condition, timeout, what, tick=poll)

    def wait_paused(module: str, line: int) -> dict:
        wait(lambda: actions.paused and actions.session.pause.get("module_name") == module
             and actions.session.pause.get("line") == line, f"a pause at {module}:{line}")
        show("ide", f"status bar: {window.debug_label.text()}")
        return actions.session.pause

    def print_pause() -> None:
        editor = window.current_editor()
        show("editor",
             f"{editor.module_name}.py line {editor.debug_line} is marked: "
             f"{editor.document().findBlockByNumber(editor.debug_line - 1).text().strip()}")
        for scope in ("Locals", "Globals"):
            for name, (kind, value) in panel.variable_rows(scope).items():
                show("vars", f"{scope[:-1].lower():<6} {name} ({kind}) = {value}")
        for index in range(panel.stack.topLevelItemCount()):
            item = panel.stack.topLevelItem(index)
            show("stack", f"{item.text(0)} in {item.text(1)}, line {item.text(2)}")

    show("ide", "File > New Module: portfolio, typed and saved")
    do.click_item(explorer, explorer._workbook_items[workbook_id])
    window.module_actions.new_module_action.trigger()
    name_box = do.dialog(window, NameDialog)
    do.type_text(name_box.name_edit, "portfolio")
    do.key(name_box.name_edit, Qt.Key.Key_Return)
    wait(lambda: window.editor_for(workbook_id, "portfolio") is not None, "the module's tab")
    editor = window.editor_for(workbook_id, "portfolio")
    do.type_code(editor, PORTFOLIO_MODULE)
    do.key(editor, Qt.Key.Key_S, Qt.KeyboardModifier.ControlModifier)
    wait(lambda: not editor.is_modified(), "the save to be confirmed")

    do.click_gutter(editor, BREAKPOINT_LINE)
    show("ide", f"click in the gutter at line {BREAKPOINT_LINE}: a red dot; breakpoints "
                f"{window.breakpoints.records(workbook_id)}")

    show("ide", "F9 in report(): the Debug dialog, arguments [('ACME', 10), ('GLOBEX', 3)]")
    do.key(editor, Qt.Key.Key_Home, Qt.KeyboardModifier.ControlModifier)
    do.key(editor, Qt.Key.Key_Down, times=REPORT_LINE - 1)
    do.key(editor, Qt.Key.Key_F9)
    run_box = do.dialog(window, RunDialog)
    do.type_text(run_box.args_edit, "[('ACME', 10), ('GLOBEX', 3)]")
    do.key(run_box.args_edit, Qt.Key.Key_Return)
    wait_paused("portfolio", BREAKPOINT_LINE)
    print_pause()

    show("ide", "F10: step over")
    do.key(editor, Qt.Key.Key_F10)
    wait_paused("portfolio", BREAKPOINT_LINE + 1)
    print_pause()

    show("ide", "evaluate in the paused frame: count * price")
    do.type_text(panel.expression_edit, "count * price")
    do.key(panel.expression_edit, Qt.Key.Key_Return)
    wait(lambda: any("count * price =" in entry.text
                     for entry in list(window.console.entries)[-3:]), "the evaluation's answer")

    picture = folder / "demo-debug.png"
    picture.parent.mkdir(parents=True, exist_ok=True)
    window.grab().save(str(picture))
    show("ide", f"picture of the paused debugger saved to {picture}")

    show("ide", "F10: step over the return, back in report()")
    do.key(editor, Qt.Key.Key_F10)
    wait(lambda: actions.paused and actions.session.pause.get("function") == "report",
         "a pause in report()")
    show("ide", f"status bar: {window.debug_label.text()}")

    do.click_gutter(editor, BREAKPOINT_LINE)
    show("ide", f"click the red dot while paused: breakpoints "
                f"{window.breakpoints.records(workbook_id)} reach the paused run")
    show("ide", "F5: continue to the end")
    do.key(editor, Qt.Key.Key_F5)
    wait(lambda: actions.session is None, "the debug run to end")
    show("ide", f"session over: editor marks no line ({editor.debug_line}), Continue enabled: "
                f"{actions.continue_action.isEnabled()}, F5 runs again: "
                f"{window.run_actions.run_action.shortcut().toString() == 'F5'}")
