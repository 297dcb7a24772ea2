"""The Functions, Events and Timers panels against a real hub and kernel: what a person
publishes, binds and schedules there runs in the workbook, and its output reaches the
console."""
from PySide6.QtCore import Qt
from PySide6.QtTest import QTest

from .conftest import WORKBOOK
from .test_automation_panels import event_row, rows, select_event

SOURCE = '''import quorvel
from quorvel import excel

@quorvel.function
def countdown(n):
    for i in range(int(n), -1, -1):
        yield i

def twice(x):
    return 2 * x

def mark(address):
    print("handled", address)

def beat():
    print("timer beat")
'''


def click(widget):
    QTest.mouseClick(widget, Qt.MouseButton.LeftButton)


async def _edit(hub, text):
    live = hub.live_workbook(WORKBOOK)
    await live.ready.wait()
    live.edit("Sheet1", 3, 3, [[text]])


def test_publish_bind_and_schedule_from_the_panels(used):
    ide, window = used, used.window
    ide.new_module(WORKBOOK, "pulse", SOURCE)

    functions = window.function_publisher
    window.tool_tabs.setCurrentWidget(functions)  # the panel's tab, as a person clicks it
    functions.workbook_box.select(WORKBOOK)
    ide.wait(lambda: ["COUNTDOWN", "pulse.countdown", "n", "", "streaming", "decorator"]
             in rows(functions.table), "the decorated stream in the Functions panel")
    click(functions.publish_button)
    dialog = functions.dialog
    dialog.function_box.select("pulse", "twice")
    click(dialog.publish_button)
    ide.wait(lambda: any(row[0] == "TWICE" and row[-1] == "published"
                         for row in rows(functions.table)), "the published function")

    events = window.event_manager
    window.tool_tabs.setCurrentWidget(events)
    events.workbook_box.select(WORKBOOK)
    ide.wait(lambda: events.event_item("Sheet1", "Change") is not None, "the sheet's events")
    select_event(events, "Sheet1", "Change")
    events.function_box.select("pulse", "mark")
    click(events.bind_button)
    ide.wait(lambda: events.pending_list.count() == 1, "the hub to accept the binding")
    click(events.save_button)
    ide.wait(lambda: event_row(events, "Sheet1", "Change")[1:] == ["pulse.mark", "bound"],
             "the saved binding")
    ide.wait_for_console("Handler registered: Sheet1.Change")

    ide.background.call(_edit(ide.background.hub, "7"))
    ide.wait_for_console("handled Sheet1!C3")
    select_event(events, "Sheet1", "Change")
    click(events.unbind_button)
    click(events.save_button)
    ide.wait_for_console("Handler unregistered: Sheet1.Change")
    ide.wait(lambda: event_row(events, "Sheet1", "Change")[1] == "—", "the handler to go")
    assert ide.background.hub.live_workbook(WORKBOOK).events.bound() == []

    timers = window.timer_manager
    window.tool_tabs.setCurrentWidget(timers)
    timers.workbook_box.select(WORKBOOK)
    click(timers.add_button)
    dialog = timers.dialog
    dialog.function_box.select("pulse", "beat")
    click(dialog.every_button)
    dialog.interval_edit.setText("1")
    click(dialog.add_button)
    ide.wait_for_console("timer beat")
    ide.wait(lambda: any("success" in " ".join(row) for row in rows(timers.table)),
             "the timer's outcome")
    # The timer is taken off again, so that it does not run beside the other tests.
    timers.table.selectRow(0)
    click(timers.remove_button)
    ide.wait(lambda: timers.table.rowCount() == 0, "the timer to go")
