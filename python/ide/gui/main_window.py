"""``MainWindow``: the IDE main window, as the connection client sees it.

Stands in for the IDE's main window with a small but real Qt window: a project explorer on the
left, editor tabs over the console in the middle, the tool panels on the right and a status bar
with an error light and the debugger state. It accepts every call the client makes, always on
the GUI thread, and keeps the members the client reads and writes:

* ``_module_cache``: workbook id -> {module name: source}; ``_synced_module_hashes`` keyed by id.
* ``_debug_active``, ``_current_debug_workbook``, ``_pending_debug_line`` (None or a map with
  ``workbook_id``, ``module_name``, ``line``), ``_current_debug_editor``.
* ``_console_source_filter``: "all" or "ide_only" (the console's source box sets it).
* ``editor_tabs``: the tab widget of ``MonacoEditor`` editors, titled "<module>.py".
* ``watchdog_port`` and ``auth_token``.
"""

from __future__ import annotations

from typing import Any, Dict, Optional

from PySide6.QtCore import Qt
from PySide6.QtWidgets import (QDockWidget, QLabel, QMainWindow, QSplitter, QStackedWidget,
                               QTabWidget, QWidget)

from .console import ConsoleView
from .monaco_editor import MonacoEditor
from .output_level import OutputLevel
from .panels import (EventManagerPanel, FunctionPublisherPanel, ObjectInspectorPanel,
                     PackageManagerPanel, ProjectExplorer, TimerManagerPanel)

__all__ = ["MainWindow"]

_ERROR_LIGHT_ON = "color: #ff6b6b;"
_ERROR_LIGHT_OFF = "color: #3c3c3c;"


class MainWindow(QMainWindow):
    DEBUG_LINE_HIGHLIGHT_DELAY_MS = 100

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.setWindowTitle("Quorvel IDE")
        self.resize(1280, 800)

        self._module_cache: Dict[str, Dict[str, str]] = {}
        self._synced_module_hashes: Dict[str, Any] = {}
        self._workbook_names: Dict[str, Optional[str]] = {}
        self._debug_active = False
        self._current_debug_workbook: Optional[str] = None
        self._pending_debug_line: Optional[dict] = None
        self._current_debug_editor: Optional[MonacoEditor] = None
        self._console_source_filter = "all"
        self.watchdog_port = 0
        self.auth_token = ""
        self.settings: Dict[str, Any] = {}
        self.language_responses: Dict[str, dict] = {}
        self.package_index_answers: Dict[str, dict] = {}

        self.console = ConsoleView(self)
        self.console.source_filter_changed.connect(self._set_console_source_filter)
        self.console.cleared.connect(lambda: self._set_error_light(False))

        self.editor_tabs = QTabWidget(self)
        self.editor_tabs.setDocumentMode(True)
        self.editor_tabs.setTabsClosable(True)
        self.editor_tabs.setMovable(True)
        self.editor_tabs.tabCloseRequested.connect(self._close_tab)
        welcome = QLabel("Open a module from the project explorer.", self)
        welcome.setAlignment(Qt.AlignmentFlag.AlignCenter)
        welcome.setStyleSheet("color: #858585; background: #1e1e1e;")
        self._editor_area = QStackedWidget(self)
        self._editor_area.addWidget(welcome)
        self._editor_area.addWidget(self.editor_tabs)

        centre = QSplitter(Qt.Orientation.Vertical, self)
        centre.addWidget(self._editor_area)
        centre.addWidget(self.console)
        centre.setSizes([470, 300])
        self.setCentralWidget(centre)

        self.project_explorer = ProjectExplorer(self)
        self.project_explorer.module_activated.connect(self._open_module_from_cache)
        self.project_explorer.workbooks_changed.connect(self._sync_package_workbooks)
        self._add_dock("Project", self.project_explorer, Qt.DockWidgetArea.LeftDockWidgetArea)

        self.package_manager = PackageManagerPanel(self)
        self.event_manager = EventManagerPanel(self)
        self.timer_manager = TimerManagerPanel(self)
        self.function_publisher = FunctionPublisherPanel(self)
        self.object_inspector = ObjectInspectorPanel(self)
        self.package_manager.send_requested.connect(self._send_to_hub)
        self.object_inspector.send_requested.connect(self._send_to_hub)
        self.tool_tabs = QTabWidget(self)
        for title, panel in (("Packages", self.package_manager), ("Events", self.event_manager),
                             ("Timers", self.timer_manager),
                             ("Functions", self.function_publisher),
                             ("Objects", self.object_inspector)):
            self.tool_tabs.addTab(panel, title)
        self._add_dock("Tools", self.tool_tabs, Qt.DockWidgetArea.RightDockWidgetArea)
        self.resizeDocks([self.findChild(QDockWidget, "Project"),
                          self.findChild(QDockWidget, "Tools")], [230, 420],
                         Qt.Orientation.Horizontal)

        self.error_light = QLabel("●", self)
        self.error_light.setToolTip("Lights up when a program writes to standard error")
        self._set_error_light(False)
        self.debug_label = QLabel("", self)
        self.statusBar().addPermanentWidget(self.debug_label)
        self.statusBar().addPermanentWidget(self.error_light)

    def _add_dock(self, title: str, widget: QWidget, area: Qt.DockWidgetArea) -> None:
        dock = QDockWidget(title, self)
        dock.setObjectName(title)
        dock.setWidget(widget)
        dock.setFeatures(QDockWidget.DockWidgetFeature.DockWidgetMovable)
        self.addDockWidget(area, dock)

    # --- console and status ---------------------------------------------------------------

    def log_to_console(self, text: object, color: Optional[str] = None,
                       level: OutputLevel = OutputLevel.SIMPLE, from_std: bool = False) -> None:
        self.console.append(text, color, level=level, from_std=from_std)

    def _set_console_source_filter(self, value: str) -> None:
        self._console_source_filter = value

    def _show_error_light(self) -> None:
        self._set_error_light(True)

    def _set_error_light(self, on: bool) -> None:
        self.error_light_on = on
        self.error_light.setStyleSheet(_ERROR_LIGHT_ON if on else _ERROR_LIGHT_OFF)

    def show_and_focus(self) -> None:
        if self.isMinimized():
            self.showNormal()
        self.show()
        self.raise_()
        self.activateWindow()

    # --- workbooks ------------------------------------------------------------------------

    def set_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        self._workbook_names[workbook_id] = name

    def _update_workbook_name(self, workbook_id: str, new_name: Optional[str]) -> None:
        self._workbook_names[workbook_id] = new_name
        self.project_explorer.update_workbook_name(workbook_id, new_name)
        for index, editor in self._editors():
            if editor.workbook_id == workbook_id:
                self.editor_tabs.setTabToolTip(index, self._tab_tooltip(editor))

    def workbook_display_name(self, workbook_id: str) -> str:
        return self._workbook_names.get(workbook_id) or workbook_id

    def _sync_package_workbooks(self) -> None:
        explorer = self.project_explorer
        workbooks = [(wid, explorer.display_name(wid)) for wid in explorer._workbook_items]
        self.package_manager.set_workbooks(workbooks)
        self.object_inspector.set_workbooks(workbooks)

    def _send_to_hub(self, message: dict) -> None:
        """Sends a panel's request through the connection client (`link`, set by the app)."""
        link = getattr(self, "link", None)
        if link is None or not link.is_connected():
            self.log_to_console(f"Not connected to the hub: {message.get('type')} not sent",
                                "#ff6b6b", level=OutputLevel.DETAILED)
            return
        link.send_message(message)

    # --- editors --------------------------------------------------------------------------

    def add_editor_tab(self, module_name: str, code: str, workbook_id: str) -> MonacoEditor:
        """Shows `code` in the tab of that module, opening the tab if needed."""
        for index, editor in self._editors():
            if editor.workbook_id == workbook_id and editor.module_name == module_name:
                if editor.toPlainText() != code:
                    editor.setPlainText(code)
                self.editor_tabs.setCurrentIndex(index)
                return editor
        editor = MonacoEditor(workbook_id, module_name, code, self.editor_tabs)
        index = self.editor_tabs.addTab(editor, f"{module_name}.py")
        self.editor_tabs.setTabToolTip(index, self._tab_tooltip(editor))
        self.editor_tabs.setCurrentIndex(index)
        self._editor_area.setCurrentWidget(self.editor_tabs)
        return editor

    def _close_tabs_for_workbook(self, workbook_id: str) -> None:
        for index, editor in reversed(list(self._editors())):
            if editor.workbook_id == workbook_id:
                self._close_tab(index)

    def _close_tab(self, index: int) -> None:
        widget = self.editor_tabs.widget(index)
        self.editor_tabs.removeTab(index)
        if widget is self._current_debug_editor:
            self._current_debug_editor = None
        if widget is not None:
            widget.deleteLater()
        if self.editor_tabs.count() == 0:
            self._editor_area.setCurrentIndex(0)

    def _editors(self):
        for index in range(self.editor_tabs.count()):
            widget = self.editor_tabs.widget(index)
            if isinstance(widget, MonacoEditor):
                yield index, widget

    def _tab_tooltip(self, editor: MonacoEditor) -> str:
        return f"{self.workbook_display_name(editor.workbook_id)} / {editor.module_name}.py"

    def _open_module_from_cache(self, workbook_id: str, module_name: str) -> None:
        code = self._module_cache.get(workbook_id, {}).get(module_name)
        if code is not None:
            self.add_editor_tab(module_name, code, workbook_id)

    # --- debugging ------------------------------------------------------------------------

    def _set_debug_state(self, active: bool, workbook_id: Optional[str]) -> None:
        self._debug_active = bool(active)
        self._current_debug_workbook = workbook_id if active else None
        self.debug_label.setText(
            f"Debugging {self.workbook_display_name(workbook_id)}" if active else "")
        if not active:
            for _index, editor in self._editors():
                editor.clear_debug_line()
            self._current_debug_editor = None
            self._pending_debug_line = None

    def _debug_stop(self) -> None:
        self._set_debug_state(False, None)

    def _handle_debug_paused(self, message: dict) -> None:
        workbook_id = message.get("workbook_id")
        module_name = message.get("module_name")
        line = message.get("line")
        for _index, editor in self._editors():
            if editor.workbook_id == workbook_id and editor.module_name == module_name:
                editor.set_debug_line(line)
                self._current_debug_editor = editor
                return
        # The module is not open yet: its tab marks the line when the module's code arrives.
        self._pending_debug_line = {"workbook_id": workbook_id, "module_name": module_name,
                                    "line": line}

    def _handle_debug_exception(self, message: dict) -> None:
        self.log_to_console(f"Exception while debugging: {message.get('error', message)}",
                            "#ff6b6b", level=OutputLevel.SIMPLE)

    def _handle_debug_resumed(self, message: dict) -> None:
        if self._current_debug_editor is not None:
            self._current_debug_editor.clear_debug_line()

    def _handle_debug_terminated(self, message: dict) -> None:
        self._debug_stop()
        self.log_to_console("Debug session ended", level=OutputLevel.DETAILED)

    def _handle_debug_evaluate_result(self, message: dict) -> None:
        self.log_to_console(f"{message.get('expression', '')} = {message.get('result')}",
                            "#4caf50", level=OutputLevel.SIMPLE)

    # --- forwarded answers ----------------------------------------------------------------

    def _handle_pip_output(self, message: dict) -> None:
        workbook_id = message.get("workbook_id")
        if workbook_id and workbook_id != self.package_manager.get_current_workbook():
            return
        text = message.get("content", message.get("output", ""))
        stream = message.get("output_type", message.get("stream", "stdout"))
        color = "#ff6b6b" if stream == "stderr" else None
        self.package_manager.log_pip_output_colored(str(text).rstrip("\n"), color)

    def _handle_package_versions_response(self, message: dict) -> None:
        self.package_index_answers["versions"] = message

    def _handle_package_extras_response(self, message: dict) -> None:
        self.package_index_answers["extras"] = message

    def _handle_package_info_response(self, message: dict) -> None:
        self.package_index_answers["info"] = message

    def _handle_package_paths_updated(self, message: dict) -> None:
        self.log_to_console(f"Package paths updated for {message.get('workbook_id')}",
                            level=OutputLevel.DETAILED)

    def _handle_completion_response(self, message: dict) -> None:
        self.language_responses["completion"] = message

    def _handle_signature_help_response(self, message: dict) -> None:
        self.language_responses["signature_help"] = message

    def _handle_hover_response(self, message: dict) -> None:
        self.language_responses["hover"] = message

    def _handle_diagnostic_response(self, message: dict) -> None:
        self.language_responses["diagnostic"] = message

    def _handle_save_event_config_response(self, message: dict) -> None:
        self.event_manager.show_result(message)

    def _handle_validate_handler_response(self, message: dict) -> None:
        self.event_manager.show_result(message)

    def _handle_all_settings_response(self, message: dict) -> None:
        settings = message.get("settings")
        if isinstance(settings, dict):
            self.settings.update(settings)

    def _handle_settings_response(self, message: dict) -> None:
        if "key" in message:
            self.settings[message["key"]] = message.get("value")
