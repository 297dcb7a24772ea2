"""``EventManagerPanel``: the event handlers of a workbook, and the one running now.

``update_state`` takes the hub's "event_manager_state" of a workbook: the objects (the workbook
and its sheets) with the events each raises, the handlers bound to them, whether events are on,
the handler running now (Stop interrupts it) with how many events wait for it, and the
bindings the hub could not keep.

Binding: select an event, pick a module function and click Bind; the hub is asked first
("validate_handler") and, when ``show_result`` brings its answer and the handler is valid, the
binding joins the panel's unsaved bindings (listed below the tree). Unbind takes a binding off;
one made by a ``@quorvel.on`` decorator stays until the decorator is removed from its module.
Save sends the whole list of bindings made here ("save_event_config"); ``show_result`` shows
the outcome, and the hub's next state is shown as it comes.

``_module_cache`` maps workbook id to that workbook's module sources (the connection client
fills it, and takes a workbook out of it when it closes).
"""

from __future__ import annotations

import time
from typing import Dict, List, Optional, Tuple

from PySide6.QtCore import Qt, QTimer
from PySide6.QtWidgets import (QHBoxLayout, QLabel, QListWidget, QPushButton, QTreeWidget,
                               QTreeWidgetItem, QWidget)

from ..colors import ERROR, HINT, NOTICE, style
from .automation_panel import AutomationPanel, FunctionBox

__all__ = ["EventManagerPanel", "handler_arguments"]

Key = Tuple[str, str]  # object id, event name
Handler = Tuple[str, str]  # module name, function name

_SHEET_ARGUMENT = "one argument: the address of the range, e.g. 'Sheet1!A1:B2'"
_ARGUMENTS = {"Change": _SHEET_ARGUMENT, "SelectionChange": _SHEET_ARGUMENT,
              "Calculate": _SHEET_ARGUMENT, "SheetActivate": "one argument: the sheet's name",
              "Open": "no arguments", "OnTime": "no arguments"}
_KEY_ROLE = Qt.ItemDataRole.UserRole
_WARNING_STYLE = style(NOTICE)
_ERROR_STYLE = style(ERROR)


def handler_arguments(event_name: str) -> str:
    """What a handler of the event is called with, as the panel says it."""
    return _ARGUMENTS.get(event_name, "what the event passes")


def _text(handler: Handler) -> str:
    return f"{handler[0]}.{handler[1]}"


class EventManagerPanel(AutomationPanel):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.states: Dict[str, dict] = {}
        self._received: Dict[str, float] = {}  # when each state came (running seconds go on)
        # Per workbook, the bindings made here as they will be saved; a workbook without an
        # entry has no unsaved change and follows the hub's state.
        self._bindings: Dict[str, Dict[Key, Handler]] = {}
        self._validations: Dict[str, Tuple[str, Key, Handler]] = {}  # by request id
        self._saves: Dict[str, str] = {}  # request id -> workbook id
        self.result_label = self.status_label

        self.enabled_label = QLabel("", self)
        self.enabled_label.setObjectName("events_enabled")
        self.enabled_label.setWordWrap(True)
        self.running_label = QLabel("", self)
        self.running_label.setObjectName("running")
        self.running_label.setWordWrap(True)
        self.stop_button = QPushButton("Stop", self)
        self.stop_button.setObjectName("stop_handler")
        self.stop_button.setToolTip("Interrupt the running handler")
        self.stop_button.clicked.connect(self.stop_running)
        self.problems_label = QLabel("", self)
        self.problems_label.setObjectName("problems")
        self.problems_label.setWordWrap(True)
        self.problems_label.setStyleSheet(_ERROR_STYLE)

        self.tree = QTreeWidget(self)
        self.tree.setObjectName("event_tree")
        self.tree.setColumnCount(3)
        self.tree.setHeaderLabels(["Event", "Handler", "Origin"])
        self.tree.currentItemChanged.connect(lambda _item, _previous: self._update_buttons())
        self.function_box = FunctionBox(lambda: self.functions(self.current_workbook()), self)
        self.function_box.setObjectName("handler_function")
        self.function_box.currentIndexChanged.connect(lambda _index: self._update_buttons())
        self.hint_label = QLabel("", self)
        self.hint_label.setStyleSheet(style(HINT))
        self.hint_label.setWordWrap(True)
        self.bind_button = QPushButton("Bind", self)
        self.bind_button.setObjectName("bind_handler")
        self.bind_button.clicked.connect(self.bind_selected)
        self.unbind_button = QPushButton("Unbind", self)
        self.unbind_button.setObjectName("unbind_handler")
        self.unbind_button.clicked.connect(self.unbind_selected)
        self.save_button = QPushButton("Save", self)
        self.save_button.setObjectName("save_handlers")
        self.save_button.setToolTip("Send the bindings made here to the hub")
        self.save_button.clicked.connect(self.save)
        self.pending_list = QListWidget(self)
        self.pending_list.setObjectName("pending_bindings")
        self.pending_list.setMaximumHeight(90)
        self._clock = QTimer(self)
        self._clock.setInterval(1000)
        self._clock.timeout.connect(self._show_running)

        running = QHBoxLayout()
        running.addWidget(self.running_label, 1)
        running.addWidget(self.stop_button)
        binding = QHBoxLayout()
        binding.addWidget(self.function_box, 1)
        binding.addWidget(self.bind_button)
        binding.addWidget(self.unbind_button)
        self.layout_.addWidget(self.enabled_label)
        self.layout_.addLayout(running)
        self.layout_.addWidget(self.problems_label)
        self.layout_.addWidget(self.tree, 1)
        self.layout_.addLayout(binding)
        self.layout_.addWidget(self.hint_label)
        self.layout_.addWidget(QLabel("Unsaved bindings:", self))
        self.layout_.addWidget(self.pending_list)
        self.layout_.addWidget(self.save_button)
        self.layout_.addWidget(self.status_label)
        self.refresh()

    # --- what the hub says ----------------------------------------------------------------

    def update_state(self, workbook_id: str, message: dict) -> None:
        self.states[workbook_id] = message if isinstance(message, dict) else {}
        self._received[workbook_id] = time.monotonic()
        if self._shows(workbook_id):
            self.refresh()

    def show_result(self, message: dict) -> None:
        """Shows the answer to a validation or a save; a valid handler joins the bindings."""
        ok = bool(message.get("success", message.get("valid", False)))
        text = str(message.get("message") or message.get("error") or ("OK" if ok else "Failed"))
        request_id = message.get("request_id")
        validation = self._validations.pop(request_id, None) if request_id else None
        saved = self._saves.pop(request_id, None) if request_id else None
        if validation is not None and ok:
            workbook_id, key, handler = validation
            self._set_bindings(workbook_id, {**self.bindings(workbook_id), key: handler})
            text += " Save sends the bindings to the hub."
        if saved is not None and ok:
            self._bindings.pop(saved, None)  # the hub's state has them now
        self.show_status(text, ok)
        self.refresh()

    def remove_workbook(self, workbook_id: str) -> None:
        for store in (self.states, self._received, self._bindings):
            store.pop(workbook_id, None)
        super().remove_workbook(workbook_id)

    # --- bindings -------------------------------------------------------------------------

    def _handlers(self, workbook_id: str, decorated: bool) -> List[Tuple[Key, Handler]]:
        found = []
        for entry in (self.states.get(workbook_id) or {}).get("handlers") or []:
            if isinstance(entry, dict) and (entry.get("origin") == "decorator") == decorated:
                found.append(((str(entry.get("object_id")), str(entry.get("event_name"))),
                              (str(entry.get("module_name")), str(entry.get("function_name")))))
        return found

    def saved_bindings(self, workbook_id: str) -> Dict[Key, Handler]:
        """The handlers bound in the IDE, as the hub last reported them."""
        return dict(self._handlers(workbook_id, decorated=False))

    def bindings(self, workbook_id: str) -> Dict[Key, Handler]:
        """The handlers bound in the IDE, with the changes not saved yet."""
        if workbook_id in self._bindings:
            return dict(self._bindings[workbook_id])
        return self.saved_bindings(workbook_id)

    def pending_changes(self, workbook_id: str) -> List[str]:
        saved, bound = self.saved_bindings(workbook_id), self.bindings(workbook_id)
        changes = []
        for key in sorted(set(saved) | set(bound)):
            before, after = saved.get(key), bound.get(key)
            if before == after:
                continue
            event = f"{key[0]}.{key[1]}"
            if before is None:
                changes.append(f"Bind {event} to {_text(after)}")
            elif after is None:
                changes.append(f"Unbind {_text(before)} from {event}")
            else:
                changes.append(f"Bind {event} to {_text(after)} instead of {_text(before)}")
        return changes

    def _set_bindings(self, workbook_id: str, bindings: Dict[Key, Handler]) -> None:
        if bindings == self.saved_bindings(workbook_id):
            self._bindings.pop(workbook_id, None)
        else:
            self._bindings[workbook_id] = bindings

    def selected_event(self) -> Optional[Key]:
        item = self.tree.currentItem()
        key = item.data(0, _KEY_ROLE) if item is not None else None
        return (key[0], key[1]) if key else None

    def event_item(self, object_id: str, event_name: str) -> Optional[QTreeWidgetItem]:
        for top in range(self.tree.topLevelItemCount()):
            parent = self.tree.topLevelItem(top)
            for index in range(parent.childCount()):
                child = parent.child(index)
                key = child.data(0, _KEY_ROLE)
                if key and (key[0], key[1]) == (object_id, event_name):
                    return child
        return None

    # --- requests -------------------------------------------------------------------------

    def bind_selected(self) -> None:
        """Asks the hub whether the chosen function can handle the selected event."""
        workbook_id, key = self.current_workbook(), self.selected_event()
        function = self.function_box.chosen()
        if workbook_id is None or key is None or function is None:
            return
        handler = (function.module_name, function.function_name)
        message = self.send("validate_handler", workbook_id, object_id=key[0],
                            event_name=key[1], module_name=handler[0],
                            function_name=handler[1])
        self._validations[message["request_id"]] = (workbook_id, key, handler)
        self.show_status(f"Checking {_text(handler)} as the handler of {key[0]}.{key[1]}...")

    def unbind_selected(self) -> None:
        workbook_id, key = self.current_workbook(), self.selected_event()
        if workbook_id is None or key is None:
            return
        bindings = self.bindings(workbook_id)
        if bindings.pop(key, None) is not None:
            self._set_bindings(workbook_id, bindings)
            self.refresh()

    def save(self) -> None:
        """Sends the whole list of the workbook's bindings made here."""
        workbook_id = self.current_workbook()
        if workbook_id is None:
            return
        handlers = [{"object_id": key[0], "event_name": key[1], "module_name": handler[0],
                     "function_name": handler[1]}
                    for key, handler in sorted(self.bindings(workbook_id).items())]
        message = self.send("save_event_config", workbook_id, handlers=handlers)
        self._saves[message["request_id"]] = workbook_id
        self.show_status(f"Saving {len(handlers)} binding(s)...")

    def stop_running(self) -> None:
        """Interrupts the running handler by the request id the hub runs it under."""
        workbook_id = self.current_workbook()
        running = (self.states.get(workbook_id or "") or {}).get("running")
        if not isinstance(running, dict) or not running.get("request_id"):
            return
        self.send_requested.emit({"type": "interrupt_execution", "workbook_id": workbook_id,
                                  "request_id": running["request_id"]})
        self.show_status(f"Asked the hub to stop "
                         f"{running.get('module_name')}.{running.get('function_name')}.")

    # --- showing --------------------------------------------------------------------------

    def refresh(self) -> None:
        workbook_id = self.current_workbook()
        state = self.states.get(workbook_id or "") or {}
        enabled = state.get("events_enabled")
        if enabled is False:
            self.enabled_label.setText("Events are off: user code called "
                                       "quorvel.set_enable_events(False); no handler runs until "
                                       "it sets them back on.")
            self.enabled_label.setStyleSheet(_WARNING_STYLE)
        else:
            self.enabled_label.setText("Events are on." if enabled else "")
            self.enabled_label.setStyleSheet("")
        self._show_running()
        problems = [str(p) for p in state.get("problems") or []]
        self.problems_label.setText("\n".join(problems))
        self.problems_label.setVisible(bool(problems))
        self._fill_tree(workbook_id, state)
        self.function_box.reload()
        self.pending_list.clear()
        if workbook_id is not None:
            self.pending_list.addItems(self.pending_changes(workbook_id))
        self._update_buttons()

    def _show_running(self) -> None:
        workbook_id = self.current_workbook() or ""
        state = self.states.get(workbook_id) or {}
        running, queued = state.get("running"), state.get("queued") or 0
        waiting = f"{queued} event(s) wait." if queued else ""
        if isinstance(running, dict):
            seconds = float(running.get("seconds") or 0)
            seconds += time.monotonic() - self._received.get(workbook_id, time.monotonic())
            self.running_label.setText(
                f"Running {running.get('module_name')}.{running.get('function_name')} for "
                f"{running.get('object_id')}.{running.get('event_name')}: {int(seconds)} s. "
                + waiting)
            if not self._clock.isActive():
                self._clock.start()
        else:
            self.running_label.setText(waiting)
            self._clock.stop()
        self.stop_button.setVisible(isinstance(running, dict))

    def _fill_tree(self, workbook_id: Optional[str], state: dict) -> None:
        selected = self.selected_event()
        self.tree.clear()
        if workbook_id is None:
            return
        decorated: Dict[Key, List[Handler]] = {}
        for key, handler in self._handlers(workbook_id, decorated=True):
            decorated.setdefault(key, []).append(handler)
        saved, bound = self.saved_bindings(workbook_id), self.bindings(workbook_id)
        objects: Dict[str, Tuple[str, List[str]]] = {}
        for entry in state.get("objects") or []:
            if isinstance(entry, dict) and entry.get("object_id") is not None:
                events = [str(event) for event in entry.get("events") or []]
                objects[str(entry["object_id"])] = (str(entry.get("object_type") or ""), events)
        # A binding whose object is not listed (a sheet renamed or deleted) is shown anyway,
        # so that it can be unbound.
        for object_id, event_name in sorted(set(decorated) | set(saved) | set(bound)):
            events = objects.setdefault(object_id, ("", []))[1]
            if event_name not in events:
                events.append(event_name)
        for object_id, (object_type, events) in objects.items():
            parent = QTreeWidgetItem(self.tree, [object_id, "", object_type])
            for event_name in events:
                key = (object_id, event_name)
                handlers = [_text(h) for h in decorated.get(key, [])]
                origins = ["decorator"] * len(handlers)
                if key in bound:
                    handlers.append(_text(bound[key]))
                    origins.append("bound" if saved.get(key) == bound[key] else "bound, not saved")
                elif key in saved:
                    handlers.append(f"({_text(saved[key])})")
                    origins.append("unbound, not saved")
                item = QTreeWidgetItem(parent, [event_name, "; ".join(handlers) or "—",
                                                ", ".join(origins)])
                item.setData(0, _KEY_ROLE, list(key))
                item.setToolTip(0, f"Its handler is called with {handler_arguments(event_name)}.")
                if key == selected:
                    self.tree.setCurrentItem(item)
            parent.setExpanded(True)

    def _update_buttons(self) -> None:
        workbook_id, key = self.current_workbook(), self.selected_event()
        self.bind_button.setEnabled(key is not None and self.function_box.chosen() is not None)
        self.hint_label.setText(
            f"A handler of {key[1]} is called with {handler_arguments(key[1])}." if key else
            "Select an event, pick a module function, then Bind.")
        bound = key is not None and workbook_id is not None and key in self.bindings(workbook_id)
        self.unbind_button.setEnabled(bound)
        decorated = [h for k, h in self._handlers(workbook_id, decorated=True) if k == key] \
            if key is not None and workbook_id is not None else []
        if not bound and decorated:
            self.unbind_button.setToolTip(
                f"@quorvel.on in {decorated[0][0]}.py binds {_text(decorated[0])}: remove the "
                "decorator there to unbind it.")
        else:
            self.unbind_button.setToolTip("Take off the handler bound here (Save sends it)")
        self.save_button.setEnabled(workbook_id is not None
                                    and bool(self.pending_changes(workbook_id)))
