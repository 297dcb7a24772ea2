"""The Functions, Events and Timers panels: what they show of the hub's states, and the
requests their buttons and dialogs send."""
import pytest
from PySide6.QtCore import Qt
from PySide6.QtTest import QTest
from PySide6.QtWidgets import QApplication

from ide.gui import MainWindow
from ide.gui.panels import EventManagerPanel, FunctionPublisherPanel, TimerManagerPanel
from ide.gui.panels.timer_manager import read_time_of_day

WB = "wb1"
TOOLS = '''
def changed(address):
    """Reacts to a change."""
    def inner():
        pass

def moved(address):
    pass

class Helper:
    def method(self):
        pass

async def later():
    pass
'''
MATHS = "def twice(x, n=2):\n    \"\"\"Doubles it.\n\n    More.\"\"\"\n    return x * n\n"
MODULES = {"tools": TOOLS, "broken": "def oops(:\n", "maths": MATHS}


def click(widget):
    QTest.mouseClick(widget, Qt.MouseButton.LeftButton)


def click_row(table, row):
    QTest.mouseClick(table.viewport(), Qt.MouseButton.LeftButton, Qt.KeyboardModifier.NoModifier,
                     table.visualItemRect(table.item(row, 0)).center())


def rows(table):
    return [[table.item(r, c).text() for c in range(table.columnCount())]
            for r in range(table.rowCount())]


def make(qtbot, kind):
    panel = kind()
    qtbot.addWidget(panel)
    panel.resize(700, 600)
    panel.show()
    sent = []
    panel.send_requested.connect(sent.append)
    panel.add_workbook(WB, "Book.xlsx")
    panel.set_module_cache(WB, dict(MODULES))
    return panel, sent


def without_id(message):
    assert message["request_id"].startswith("ide-automation-")
    return {k: v for k, v in message.items() if k != "request_id"}


class TestFunctions:
    FUNCTIONS = [
        {"name": "TICKS", "module_name": "tools", "function_name": "ticks", "parameters": [],
         "description": "Counts", "streaming": True, "volatile": False, "origin": "decorator"},
        {"name": "TWICE", "module_name": "maths", "function_name": "twice",
         "parameters": ["x", "n"], "description": "Doubles it.", "streaming": False,
         "volatile": True, "origin": "published"},
    ]

    def test_the_table_shows_the_chosen_workbooks_functions_and_unpublishes_published_ones(
            self, qtbot):
        panel, sent = make(qtbot, FunctionPublisherPanel)
        panel.update_publications_from_server(WB, self.FUNCTIONS)
        panel.update_publications_from_server("other", [{"name": "ELSEWHERE"}])
        assert rows(panel.table) == [
            ["TICKS", "tools.ticks", "", "Counts", "streaming", "decorator"],
            ["TWICE", "maths.twice", "x, n", "Doubles it.", "volatile", "published"]]
        click_row(panel.table, 0)
        assert not panel.unpublish_button.isEnabled()
        assert "@quorvel.function" in panel.unpublish_button.toolTip()
        click(panel.unpublish_button)
        click_row(panel.table, 1)
        click(panel.unpublish_button)
        assert [without_id(m) for m in sent] == [
            {"type": "unpublish_function", "workbook_id": WB, "name": "TWICE"}]
        panel.workbook_box.select("other")
        assert rows(panel.table)[0][0] == "ELSEWHERE"

    def test_publish_offers_top_level_functions_and_sends_what_was_typed(self, qtbot):
        panel, sent = make(qtbot, FunctionPublisherPanel)
        click(panel.publish_button)
        dialog = panel.dialog
        box = dialog.function_box
        assert [box.itemText(i) for i in range(box.count())] == [
            "maths.twice(x, n=2)", "tools.changed(address)", "tools.moved(address)"]
        assert (dialog.name_edit.placeholderText(),
                dialog.description_edit.placeholderText()) == ("TWICE", "Doubles it.")
        QTest.keyClicks(dialog.name_edit, "2X")
        click(dialog.publish_button)
        assert sent == [] and dialog.isVisible() and "'2X'" in dialog.problem_label.text()
        dialog.name_edit.clear()
        QTest.keyClicks(dialog.name_edit, "MY.TWICE")
        QTest.keyClicks(dialog.description_edit, "Two times")
        click(dialog.publish_button)
        click(panel.publish_button)
        panel.dialog.function_box.setCurrentIndex(2)
        click(panel.dialog.publish_button)
        assert [without_id(m) for m in sent] == [
            {"type": "publish_function", "workbook_id": WB, "module_name": "maths",
             "function_name": "twice", "name": "MY.TWICE", "description": "Two times"},
            {"type": "publish_function", "workbook_id": WB, "module_name": "tools",
             "function_name": "moved"}]
        assert sent[0]["request_id"] != sent[1]["request_id"]


def event_state(**changes):
    state = {"type": "event_manager_state", "workbook_id": WB, "events_enabled": True,
             "objects": [{"object_id": "Workbook", "object_type": "Workbook",
                          "events": ["Open", "SheetActivate"]},
                         {"object_id": "Sheet1", "object_type": "Worksheet",
                          "events": ["Change", "SelectionChange"]}],
             "handlers": [{"object_id": "Workbook", "event_name": "Open", "module_name": "tools",
                           "function_name": "opened", "origin": "decorator"},
                          {"object_id": "Sheet1", "event_name": "SelectionChange",
                           "module_name": "tools", "function_name": "moved",
                           "origin": "bound"}],
             "running": None, "queued": 0, "problems": []}
    state.update(changes)
    return state


def event_row(panel, object_id, event_name):
    item = panel.event_item(object_id, event_name)
    return [item.text(c) for c in range(3)]


def select_event(panel, object_id, event_name):
    item = panel.event_item(object_id, event_name)
    panel.tree.scrollToItem(item)
    QTest.mouseClick(panel.tree.viewport(), Qt.MouseButton.LeftButton,
                     Qt.KeyboardModifier.NoModifier, panel.tree.visualItemRect(item).center())


class TestEvents:
    def test_the_tree_shows_each_event_with_its_handler(self, qtbot):
        panel, _sent = make(qtbot, EventManagerPanel)
        panel.update_state(WB, event_state(
            events_enabled=False, problems=["Sheet9.Change: tools.gone does not exist"],
            handlers=event_state()["handlers"] + [
                {"object_id": "Sheet9", "event_name": "Change", "module_name": "tools",
                 "function_name": "gone", "origin": "bound"}]))
        assert event_row(panel, "Workbook", "Open") == ["Open", "tools.opened", "decorator"]
        assert event_row(panel, "Sheet1", "Change") == ["Change", "—", ""]
        assert event_row(panel, "Sheet1", "SelectionChange")[1:] == ["tools.moved", "bound"]
        # A binding of a sheet that is gone is listed, so that it can be unbound.
        assert event_row(panel, "Sheet9", "Change")[1] == "tools.gone"
        assert "off" in panel.enabled_label.text()
        assert "tools.gone does not exist" in panel.problems_label.text()

    def test_a_binding_is_validated_first_then_saved_with_the_earlier_ones(self, qtbot):
        panel, sent = make(qtbot, EventManagerPanel)
        panel.update_state(WB, event_state())
        select_event(panel, "Sheet1", "Change")
        assert "address of the range" in panel.hint_label.text()
        panel.function_box.select("tools", "changed")
        click(panel.bind_button)
        assert [without_id(m) for m in sent] == [
            {"type": "validate_handler", "workbook_id": WB, "object_id": "Sheet1",
             "event_name": "Change", "module_name": "tools", "function_name": "changed"}]
        assert not panel.save_button.isEnabled()
        # Refused: nothing to save. An answer to no request of the panel's adds nothing either.
        panel.show_result({"type": "validate_handler_response", "request_id":
                           sent[0]["request_id"], "valid": False, "message": "takes 1 argument"})
        panel.show_result({"request_id": "someone-else", "valid": True, "message": "fine"})
        assert panel.pending_list.count() == 0 and not panel.save_button.isEnabled()
        assert panel.status_label.text() == "fine"
        click(panel.bind_button)
        panel.show_result({"request_id": sent[1]["request_id"], "valid": True, "message": "OK"})
        assert [panel.pending_list.item(i).text() for i in range(panel.pending_list.count())] == [
            "Bind Sheet1.Change to tools.changed"]
        assert event_row(panel, "Sheet1", "Change")[1:] == ["tools.changed", "bound, not saved"]
        # A state that comes meanwhile keeps the unsaved binding.
        panel.update_state(WB, event_state(queued=1))
        click(panel.save_button)
        assert without_id(sent[-1]) == {
            "type": "save_event_config", "workbook_id": WB, "handlers": [
                {"object_id": "Sheet1", "event_name": "Change", "module_name": "tools",
                 "function_name": "changed"},
                {"object_id": "Sheet1", "event_name": "SelectionChange",
                 "module_name": "tools", "function_name": "moved"}]}
        panel.show_result({"type": "save_event_config_response",
                           "request_id": sent[-1]["request_id"], "success": True,
                           "message": "2 handlers saved"})
        saved = event_state()
        saved["handlers"].append({"object_id": "Sheet1", "event_name": "Change",
                                  "module_name": "tools", "function_name": "changed",
                                  "origin": "bound"})
        panel.update_state(WB, saved)
        assert panel.pending_list.count() == 0
        assert event_row(panel, "Sheet1", "Change")[1:] == ["tools.changed", "bound"]
        # Saved, the panel follows the hub again (here, a reload that lost the binding).
        panel.update_state(WB, event_state())
        assert event_row(panel, "Sheet1", "Change")[1] == "—"
        assert panel.pending_list.count() == 0

    def test_decorator_handlers_cannot_be_unbound_here(self, qtbot):
        panel, sent = make(qtbot, EventManagerPanel)
        panel.update_state(WB, event_state())
        select_event(panel, "Workbook", "Open")
        assert not panel.unbind_button.isEnabled()
        assert "@quorvel.on" in panel.unbind_button.toolTip()
        select_event(panel, "Sheet1", "SelectionChange")
        click(panel.unbind_button)
        assert panel.pending_list.item(0).text() == "Unbind tools.moved from Sheet1.SelectionChange"
        click(panel.save_button)
        assert [without_id(m) for m in sent] == [
            {"type": "save_event_config", "workbook_id": WB, "handlers": []}]

    def test_the_running_handler_can_be_stopped(self, qtbot):
        panel, sent = make(qtbot, EventManagerPanel)
        panel.update_state(WB, event_state(queued=2, running={
            "object_id": "Sheet1", "event_name": "Change", "module_name": "tools",
            "function_name": "changed", "request_id": "event-7", "seconds": 12.4}))
        text = panel.running_label.text()
        assert "tools.changed" in text and "12 s" in text and "2 event(s) wait" in text
        click(panel.stop_button)
        assert sent == [{"type": "interrupt_execution", "workbook_id": WB,
                         "request_id": "event-7"}]
        panel.update_state(WB, event_state())
        assert panel.stop_button.isHidden() and panel.running_label.text() == ""


def timer(timer_id, **fields):
    base = {"timer_id": timer_id, "module_name": "tools", "function_name": "moved",
            "interval_seconds": None, "time_of_day": None, "enabled": True, "next_run": None,
            "last_run": None, "last_outcome": None, "last_error": None}
    base.update(fields)
    return base


TIMERS = [timer("t1", interval_seconds=90, next_run="2024-05-01T08:31:30.250000",
                last_outcome="success"),
          timer("t2", time_of_day="08:30", enabled=False, last_outcome="error",
                last_error="ZeroDivisionError: division by zero")]
WIRE = [{"timer_id": "t1", "module_name": "tools", "function_name": "moved",
         "interval_seconds": 90, "enabled": True},
        {"timer_id": "t2", "module_name": "tools", "function_name": "moved",
         "time_of_day": "08:30", "enabled": False}]


class TestTimers:
    def test_the_table_shows_each_timer(self, qtbot):
        panel, _sent = make(qtbot, TimerManagerPanel)
        panel.update_ontime_config(WB, TIMERS)
        assert rows(panel.table) == [
            ["tools.moved", "every 90 s", "", "2024-05-01 08:31:30", "", "success"],
            ["tools.moved", "at 08:30", "", "", "",
             "error: ZeroDivisionError: division by zero"]]
        assert [panel.table.item(r, 2).checkState() for r in range(2)] == [
            Qt.CheckState.Checked, Qt.CheckState.Unchecked]

    def test_each_change_sends_the_whole_list_under_the_timer_ids(self, qtbot):
        panel, sent = make(qtbot, TimerManagerPanel)
        panel.update_ontime_config(WB, TIMERS)
        panel.table.item(0, 2).setCheckState(Qt.CheckState.Unchecked)
        QApplication.processEvents()
        # The hub's list stays shown until it answers.
        assert panel.table.item(0, 2).checkState() == Qt.CheckState.Checked
        click_row(panel.table, 1)
        click(panel.remove_button)
        assert [without_id(m) for m in sent] == [
            {"type": "save_ontime_events", "workbook_id": WB,
             "ontime_events": [dict(WIRE[0], enabled=False), WIRE[1]]},
            {"type": "save_ontime_events", "workbook_id": WB, "ontime_events": [WIRE[0]]}]

    def test_a_new_timer_is_checked_in_the_dialog_then_sent_with_the_others(self, qtbot):
        panel, sent = make(qtbot, TimerManagerPanel)
        panel.update_ontime_config(WB, TIMERS)
        click(panel.add_button)
        dialog = panel.dialog
        dialog.function_box.select("maths", "twice")
        for schedule, text, problem in ((dialog.every_button, "0.5", "at most once a second"),
                                        (dialog.every_button, "often", "not a number"),
                                        (dialog.at_button, "24:00", "not a time of day")):
            click(schedule)
            edit = dialog.interval_edit if schedule is dialog.every_button else dialog.time_edit
            edit.setText(text)
            click(dialog.add_button)
            assert problem in dialog.problem_label.text() and dialog.isVisible()
        assert sent == []
        dialog.time_edit.setText("7:05")
        QTest.keyClick(dialog.enabled_check, Qt.Key.Key_Space)
        click(dialog.add_button)
        assert [without_id(m) for m in sent] == [
            {"type": "save_ontime_events", "workbook_id": WB, "ontime_events": WIRE + [
                {"module_name": "maths", "function_name": "twice", "time_of_day": "07:05",
                 "enabled": False}]}]

    @pytest.mark.parametrize("text, expected", [
        ("8:30", "08:30"), ("23:59:59", "23:59:59"), ("00:00", "00:00"),
        ("24:00", None), ("12:60", None), ("12:30:60", None), ("noon", None), ("12", None)])
    def test_times_of_day(self, text, expected):
        if expected is None:
            with pytest.raises(ValueError):
                read_time_of_day(text)
        else:
            assert read_time_of_day(text) == expected


class FakeLink:
    def __init__(self):
        self.sent = []

    def is_connected(self):
        return True

    def send_message(self, message):
        self.sent.append(message)


def test_the_window_sends_the_panels_requests_and_gives_them_its_modules(qtbot):
    window = MainWindow()
    qtbot.addWidget(window)
    window.link = FakeLink()
    window._module_cache[WB] = {"clock": "def tick():\n    pass\n"}
    window.project_explorer.add_workbook(WB, "Book.xlsx")
    panel = window.timer_manager
    assert panel.current_workbook() == WB
    assert window.function_publisher.workbook_box.currentText() == "Book.xlsx"
    panel.open_add_dialog()
    assert panel.dialog.function_box.currentText() == "clock.tick()"
    click(panel.dialog.add_button)
    window.event_manager.update_state(WB, event_state(running={"request_id": "event-1"}))
    click(window.event_manager.stop_button)
    assert [m["type"] for m in window.link.sent if not m["type"].startswith("get_")] == [
        "save_ontime_events", "interrupt_execution"]
