"""``MainWindow``: the IDE main window, as the connection client sees it.

Stands in for the IDE's main window with a small but real Qt window: a project explorer on the
left, editor tabs over the console in the middle, the tool panels on the right and a status bar
with an error light and the debugger state. It accepts every call the client makes, always on
the GUI thread, and keeps the members the client reads and writes:

* ``_module_cache``: workbook id -> {module name: source}; ``_synced_module_hashes`` keyed by id
  (both kept by ``workbook_modules``, a ``WorkbookModules``).
* ``_debug_active``, ``_current_debug_workbook``, ``_pending_debug_line`` (None or a map with
  ``workbook_id``, ``module_name``, ``line``), ``_current_debug_editor`` (all kept by
  ``debug_session``, the ``DebugSession``); the debugger's messages go to ``debug_actions``,
  which shows them in the editors and the debug panel.
* ``_console_source_filter``: "all" or "ide_only" (the console's source box sets it).
* ``editor_tabs``: the tab widget of ``MonacoEditor`` editors, titled "<module>.py"; a tab
  whose module has unsaved edits shows a dot before its title (its icon, so the title stays
  the module's file name).
* ``watchdog_port`` and ``auth_token``.

Beyond those calls it is a working IDE against the hub (``attach_link`` connects it):
``module_actions``, ``run_actions``, ``workbook_actions`` and ``debug_actions`` hold the menus'
and shortcuts' actions (each uses the window through its protocol in ``hosts``, and asks the
others through signals, which ``_connect_actions`` connects), ``channel`` sends the requests
they make, ``language`` asks the current tab's kernel for completions, signatures, hover text
and diagnostics (the four ``_handle_*_response`` methods hand it the answers that come without
their request), and ``window_settings`` (around the ``QSettings`` given, or none to keep
nothing) holds what is remembered between runs.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Optional, Tuple

from PySide6.QtCore import QSettings, Qt
from PySide6.QtGui import (QAction, QCloseEvent, QColor, QIcon, QKeySequence, QPainter, QPixmap,
                           QTextCursor)
from PySide6.QtWidgets import (QApplication, QDockWidget, QInputDialog, QLabel, QMainWindow,
                               QMenu, QMessageBox, QSplitter, QStackedWidget, QTabWidget,
                               QToolBar, QVBoxLayout, QWidget)

from .colors import ERROR, NOTICE, style
from .breakpoints import BreakpointGutter, BreakpointKeeper, BreakpointStore
from .console import ConsoleView
from .debug_actions import DebugActions
from .debug_session import DebugSession
from .dialogs import choose
from .edit_actions import EditActions
from .find_bar import FindBar
from .help_actions import HelpActions
from .hub_channel import KERNEL_CONNECTED, HubChannel
from .language_client import COMPLETION, DIAGNOSTIC, HOVER, SIGNATURE_HELP, LanguageClient
from .module_actions import ModuleActions
from .monaco_editor import MonacoEditor
from .output_level import OutputLevel
from .prompt_completion import PromptCompletion
from .panels import (DebugPanel, EventManagerPanel, FunctionPublisherPanel,
                     ObjectInspectorPanel, PackageManagerPanel, ProjectExplorer,
                     TimerManagerPanel)
from .run_actions import RunActions
from .unsaved_buffers import UnsavedBuffers
from .window_settings import WindowSettings
from .workbook_actions import WorkbookActions
from .workbook_modules import WorkbookModules

__all__ = ["MainWindow"]

_ERROR_LIGHT_ON = style(ERROR)
_ERROR_LIGHT_OFF = "color: #3c3c3c;"
_WELCOME = ("Open a module from the project explorer (double-click or Enter),\n"
            "or create one with File > New Module (Ctrl+N).")


def _kept_by(owner: str, name: str) -> property:
    """A member of the window that `owner` (one of its attributes) keeps as `name`: read and
    written through the window by the name the connection client knows it by."""
    return property(lambda self: getattr(getattr(self, owner), name),
                    lambda self, value: setattr(getattr(self, owner), name, value))


def _modified_icon() -> QIcon:
    pixmap = QPixmap(10, 10)
    pixmap.fill(Qt.GlobalColor.transparent)
    painter = QPainter(pixmap)
    painter.setRenderHint(QPainter.RenderHint.Antialiasing)
    painter.setBrush(QColor(NOTICE))
    painter.setPen(Qt.PenStyle.NoPen)
    painter.drawEllipse(1, 1, 8, 8)
    painter.end()
    return QIcon(pixmap)


class MainWindow(QMainWindow):
    DEBUG_LINE_HIGHLIGHT_DELAY_MS = 100

    # What the connection client reads and writes, kept by the workbook modules and the
    # debug session.
    _module_cache = _kept_by("workbook_modules", "sources")
    _synced_module_hashes = _kept_by("workbook_modules", "synced_hashes")
    _debug_active = _kept_by("debug_session", "active")
    _current_debug_workbook = _kept_by("debug_session", "workbook_id")
    _pending_debug_line = _kept_by("debug_session", "pending_line")
    _current_debug_editor = _kept_by("debug_session", "editor")

    def __init__(self, parent: Optional[QWidget] = None,
                 settings: Optional[QSettings] = None) -> None:
        super().__init__(parent)
        self.setWindowTitle("Quorvel IDE")
        self.resize(1280, 800)
        self.link: Any = None
        self.channel = HubChannel(self)
        self._modified_icon = _modified_icon()

        self.workbook_modules = WorkbookModules()
        self._workbook_names: Dict[str, Optional[str]] = {}
        self.debug_session = DebugSession(self)
        self.debug_session.state_changed.connect(self._debug_state_changed)
        self._console_source_filter = "all"
        self.watchdog_port = 0
        self.auth_token = ""
        self.settings: Dict[str, Any] = {}
        self.package_index_answers: Dict[str, dict] = {}

        self.console = ConsoleView(self)
        self.console.source_filter_changed.connect(self._set_console_source_filter)
        self.console.cleared.connect(lambda: self._set_error_light(False))

        self.editor_tabs = QTabWidget(self)
        self.editor_tabs.setDocumentMode(True)
        self.editor_tabs.setTabsClosable(True)
        self.editor_tabs.setMovable(True)
        self.editor_tabs.currentChanged.connect(self._tab_changed)
        welcome = QLabel(_WELCOME, self)
        welcome.setAlignment(Qt.AlignmentFlag.AlignCenter)
        welcome.setStyleSheet("color: #858585; background: #1e1e1e;")
        self._editor_area = QStackedWidget(self)
        self._editor_area.addWidget(welcome)
        self._editor_area.addWidget(self.editor_tabs)
        self.find_bar = FindBar(self.current_editor, self)
        editing = QWidget(self)
        editing_layout = QVBoxLayout(editing)
        editing_layout.setContentsMargins(0, 0, 0, 0)
        editing_layout.setSpacing(0)
        editing_layout.addWidget(self.find_bar)
        editing_layout.addWidget(self._editor_area)

        self.centre_splitter = QSplitter(Qt.Orientation.Vertical, self)
        self.centre_splitter.setObjectName("centre")
        self.centre_splitter.addWidget(editing)
        self.centre_splitter.addWidget(self.console)
        self.centre_splitter.setSizes([450, 320])
        self.setCentralWidget(self.centre_splitter)

        self.project_explorer = ProjectExplorer(self)
        self.project_explorer.module_activated.connect(self.open_module)
        self.project_explorer.workbooks_changed.connect(self._sync_package_workbooks)
        self.project_explorer.workbooks_changed.connect(self._sync_console_workbooks)
        self.project_explorer.currentItemChanged.connect(
            lambda _item, _previous: self._follow_workbook(
                self.project_explorer.current_target()[0]))
        self._add_dock("Project", self.project_explorer, Qt.DockWidgetArea.LeftDockWidgetArea)

        self.package_manager = PackageManagerPanel(self)
        self.event_manager = EventManagerPanel(self)
        self.timer_manager = TimerManagerPanel(self)
        self.function_publisher = FunctionPublisherPanel(self)
        self.object_inspector = ObjectInspectorPanel(self)
        self.package_manager.send_requested.connect(self._send_to_hub)
        self.object_inspector.send_requested.connect(self._send_to_hub)
        for panel in self._automation_panels():
            panel.send_requested.connect(self._send_to_hub)
            # They pick functions from the modules as the window has them now.
            panel.module_source = lambda wid: self.workbook_modules.sources.get(wid)
        self.tool_tabs = QTabWidget(self)
        for title, panel in (("Packages", self.package_manager), ("Events", self.event_manager),
                             ("Timers", self.timer_manager),
                             ("Functions", self.function_publisher),
                             ("Objects", self.object_inspector)):
            self.tool_tabs.addTab(panel, title)
        self._add_dock("Tools", self.tool_tabs, Qt.DockWidgetArea.RightDockWidgetArea)
        self.breakpoints = BreakpointStore(self)
        self.breakpoint_keeper = BreakpointKeeper(self.breakpoints, self.channel,
                                                  lambda text: self.notify(text, ERROR))
        self.debug_panel = DebugPanel(self)
        self.debug_dock = self._add_dock("Debug", self.debug_panel,
                                         Qt.DockWidgetArea.RightDockWidgetArea)
        # The debug panel shares the tools' place; a debug session brings it to the front.
        self.tabifyDockWidget(self.findChild(QDockWidget, "Tools"), self.debug_dock)
        self.findChild(QDockWidget, "Tools").raise_()
        self.resizeDocks([self.findChild(QDockWidget, "Project"),
                          self.findChild(QDockWidget, "Tools")], [270, 360],
                         Qt.Orientation.Horizontal)

        self.error_light = QLabel("●", self)
        self.error_light.setToolTip("Lights up when a program writes to standard error")
        self._set_error_light(False)
        self.debug_label = QLabel("", self)
        self.language = LanguageClient(self)
        self.statusBar().addPermanentWidget(self.language.problems_label)
        self.statusBar().addPermanentWidget(self.debug_label)
        self.statusBar().addPermanentWidget(self.error_light)

        self.module_actions = ModuleActions(self)
        self.run_actions = RunActions(self)
        self.workbook_actions = WorkbookActions(self)
        self.debug_actions = DebugActions(self)
        self.edit_actions = EditActions(self, self.find_bar)
        self.prompt_completion = PromptCompletion(self)
        self.help_actions = HelpActions(self)
        self.statusBar().insertPermanentWidget(0, self.run_actions.busy_label)
        self.editor_tabs.tabCloseRequested.connect(self.module_actions.request_close)
        self._connect_actions()
        self._build_menus()
        # Unsaved edits are kept beside the settings as they are typed, and offered back after
        # a crash, once the hub has their workbook.
        self.unsaved_buffers = UnsavedBuffers(
            os.path.join(os.path.dirname(settings.fileName()), "unsaved") if settings else None,
            self)
        self._kept_edits = self.unsaved_buffers.kept()
        self.channel.kernel_states_changed.connect(self._offer_kept_edits)
        self.window_settings = WindowSettings(settings)
        self.window_settings.restore(self)

    def _connect_actions(self) -> None:
        """The actions ask one another through their signals; here they are put in touch."""
        modules, runs, books = self.module_actions, self.run_actions, self.workbook_actions
        debugging = self.debug_actions
        runs.save_requested.connect(modules.save)
        books.save_requested.connect(modules.save)
        runs.restart_requested.connect(books.restart_now)
        runs.debug_run_sent.connect(debugging.started)
        runs.run_ended.connect(debugging.run_ended)
        debugging.debug_requested.connect(lambda: runs.open_run_dialog(debug=True))
        debugging.f5_continues.connect(runs.debugger_paused)

    def _build_menus(self) -> None:
        modules, runs, books = self.module_actions, self.run_actions, self.workbook_actions
        quit_action = QAction("&Quit", self)
        quit_action.setShortcut(QKeySequence("Ctrl+Q"))
        quit_action.triggered.connect(self.close)
        limit_action = QAction("Console &Line Limit...", self)
        limit_action.triggered.connect(self._ask_console_limit)
        next_tab = QAction("Next Tab", self)
        next_tab.setShortcuts([QKeySequence("Ctrl+Tab"), QKeySequence("Ctrl+PgDown")])
        next_tab.triggered.connect(lambda: self._step_tab(+1))
        previous_tab = QAction("Previous Tab", self)
        previous_tab.setShortcuts([QKeySequence("Ctrl+Shift+Tab"), QKeySequence("Ctrl+PgUp")])
        previous_tab.triggered.connect(lambda: self._step_tab(-1))
        next_pane = QAction("Next &Pane", self)
        next_pane.setShortcut(QKeySequence("F6"))
        next_pane.setToolTip("Move the keyboard focus: editor, console prompt, project explorer")
        next_pane.triggered.connect(self._next_pane)
        self.reconnect_action = QAction("Re&connect to Hub", self)
        self.reconnect_action.setToolTip("Connect again after another IDE took this one's place")
        self.reconnect_action.triggered.connect(self._reconnect)
        menus = (
            ("&File", [books.new_workbook_action, books.open_workbook_action,
                       books.recent_menu, books.close_workbook_action, books.save_as_action,
                       books.reload_action, None, modules.new_module_action,
                       modules.rename_module_action, modules.delete_module_action,
                       modules.import_module_action, modules.export_module_action, None,
                       modules.save_action, modules.save_all_action, modules.close_tab_action,
                       None, self.reconnect_action, quit_action]),
            ("&Edit", self.edit_actions.actions()),
            ("&Run", [runs.run_action, runs.interrupt_action, runs.prompt_action, None,
                      runs.reset_action, books.restart_action]),
            ("&Debug", self.debug_actions.actions()),
            ("&View", [next_tab, previous_tab, next_pane, None, limit_action]),
            ("&Help", self.help_actions.actions()),
        )
        for title, actions in menus:
            menu = self.menuBar().addMenu(title)
            for action in actions:
                if action is None:
                    menu.addSeparator()
                elif isinstance(action, QMenu):
                    menu.addMenu(action)
                else:
                    menu.addAction(action)
        toolbar = QToolBar("Main", self)
        toolbar.setObjectName("main toolbar")
        toolbar.setToolButtonStyle(Qt.ToolButtonStyle.ToolButtonTextOnly)
        # Labels that keep their width, so that no button moves as runs start and end.
        for action in (modules.save_action, runs.run_action, runs.interrupt_action,
                       books.restart_action):
            toolbar.addAction(action)
        toolbar.addSeparator()  # away from Run: it wipes what the cells defined, after asking
        toolbar.addAction(runs.reset_action)
        self.addToolBar(toolbar)
        self.addToolBar(self.debug_actions.toolbar)
        self.project_explorer.set_menu_actions(
            [modules.new_module_action, books.restart_action],
            [modules.open_module_action, modules.rename_module_action,
             modules.delete_module_action],
            [books.new_workbook_action, books.open_workbook_action])

    def attach_link(self, link: Any) -> None:
        """Works through `link` (the IdeLink that calls this window) from now on."""
        self.link = link
        self.channel.attach(link)

    def _reconnect(self) -> None:
        """Starts the link again (it stops when another IDE takes its place); nothing happens
        while it is running."""
        link = getattr(self, "link", None)
        if link is None or link._running:
            return
        self.statusBar().showMessage(f"Connecting to {link.url} ...")
        link.start()

    def _add_dock(self, title: str, widget: QWidget, area: Qt.DockWidgetArea) -> QDockWidget:
        dock = QDockWidget(title, self)
        dock.setObjectName(title)
        dock.setWidget(widget)
        dock.setFeatures(QDockWidget.DockWidgetFeature.DockWidgetMovable)
        self.addDockWidget(area, dock)
        return dock

    # --- console and status ---------------------------------------------------------------

    def log_to_console(self, text: object, color: Optional[str] = None,
                       level: OutputLevel = OutputLevel.SIMPLE, from_std: bool = False) -> None:
        self.console.append(text, color, level=level, from_std=from_std)

    def notify(self, text: str, color: Optional[str] = None,
               level_detailed: bool = False) -> None:
        """A console line of the IDE's own (what an action did, or why it could not)."""
        self.log_to_console(text, color, level=OutputLevel.DETAILED if level_detailed
                            else OutputLevel.SIMPLE)

    def _ask_console_limit(self) -> None:
        value, ok = QInputDialog.getInt(self, "Console line limit",
                                        "Keep at most this many lines:", self.console.max_lines,
                                        100, 10_000_000, 1000)
        if ok:
            self.console.set_max_lines(value)

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
        for panel in self._automation_panels():
            panel.set_workbooks(workbooks)

    def _automation_panels(self) -> tuple:
        return (self.function_publisher, self.event_manager, self.timer_manager)

    def _send_to_hub(self, message: dict) -> None:
        """Sends a panel's request through the connection client (`link`, set by the app)."""
        link = getattr(self, "link", None)
        if link is None or not link.is_connected():
            self.log_to_console(f"Not connected to the hub: {message.get('type')} not sent",
                                ERROR, level=OutputLevel.DETAILED)
            return
        link.send_message(message)

    def _sync_console_workbooks(self) -> None:
        explorer = self.project_explorer
        self.console.set_workbooks(
            [(wid, explorer.display_name(wid)) for wid in explorer._workbook_items])

    def kernel_problem(self, workbook_id: Optional[str]) -> Optional[str]:
        """Why the workbook's kernel cannot take a request now, or None when it may."""
        state = self.channel.kernel_state(workbook_id)
        if state is None or state == KERNEL_CONNECTED:
            return None  # connected, or not known here: the hub has the last word
        book = self.workbook_display_name(workbook_id or "")
        return f"the kernel of {book} is not connected ({state})"

    def target_workbook(self) -> Optional[str]:
        """The workbook an action applies to: the explorer's while the user is in it, else the
        current tab's, else the one picked for the prompt, else the explorer's."""
        explorer_choice = self.project_explorer.current_target()[0]
        if explorer_choice and self.project_explorer.has_the_user():
            return explorer_choice
        editor = self.current_editor()
        if editor is not None:
            return editor.workbook_id
        return self.console.current_workbook() or explorer_choice

    def pick_workbook(self, workbook_id: str) -> None:
        """Makes the workbook the current one in the explorer and the console's Run in box."""
        self.project_explorer.select_workbook(workbook_id)
        self.console.select_workbook(workbook_id)

    def _follow_workbook(self, workbook_id: Optional[str]) -> None:
        """The prompt and the tool panels follow the workbook the user is in."""
        if not workbook_id:
            return
        self.console.select_workbook(workbook_id)
        for panel in (self.package_manager, self.object_inspector, *self._automation_panels()):
            panel.workbook_box.select(workbook_id)

    # --- editors --------------------------------------------------------------------------

    def add_editor_tab(self, module_name: str, code: str, workbook_id: str) -> MonacoEditor:
        """Shows `code` in the tab of that module, opening the tab if needed. A tab with
        unsaved edits keeps them (a console line says the new code was not loaded)."""
        editor = self.editor_for(workbook_id, module_name)
        if editor is not None:
            if editor.toPlainText() != code:
                if editor.is_modified():
                    self.notify(f"{module_name}.py has unsaved edits: its tab keeps them rather "
                                "than load the workbook's code.", NOTICE)
                else:
                    editor.setPlainText(code)
                    editor.mark_saved()
            self.editor_tabs.setCurrentWidget(editor)
            return editor
        editor = MonacoEditor(workbook_id, module_name, code, self.editor_tabs)
        editor.breakpoint_gutter = BreakpointGutter(editor, self.breakpoints)
        self.language.attach(editor)
        self._tell_hub_editing(workbook_id)
        index = self.editor_tabs.addTab(editor, f"{module_name}.py")
        editor.document().modificationChanged.connect(
            lambda _modified, e=editor: self.retitle_tab(e))
        editor.document().modificationChanged.connect(
            lambda modified, e=editor: modified or self.unsaved_buffers.forget(
                e.workbook_id, e.module_name))
        editor.document().contentsChanged.connect(lambda e=editor: self._keep_edit(e))
        self.retitle_tab(editor)
        self.editor_tabs.setCurrentIndex(index)
        self._editor_area.setCurrentWidget(self.editor_tabs)
        return editor

    def _tell_hub_editing(self, workbook_id: str) -> None:
        """The hub hears that a module of the workbook is open here: its kernel then loads
        its language services, which a workbook nobody edits does not pay for."""
        link = getattr(self, "link", None)
        if link is not None and link.is_connected():
            link.send_message({"type": "editing_workbook", "workbook_id": workbook_id})

    def retitle_tab(self, editor: MonacoEditor) -> None:
        """Shows the editor's module name, tooltip and modified marker in its tab."""
        index = self.editor_tabs.indexOf(editor)
        if index < 0:
            return
        self.editor_tabs.setTabText(index, f"{editor.module_name}.py")
        self.editor_tabs.setTabIcon(index, self._modified_icon if editor.is_modified()
                                    else QIcon())
        tooltip = self._tab_tooltip(editor)
        self.editor_tabs.setTabToolTip(
            index, tooltip + (" (unsaved changes: Ctrl+S saves)" if editor.is_modified() else ""))

    def current_editor(self) -> Optional[MonacoEditor]:
        widget = self.editor_tabs.currentWidget()
        return widget if isinstance(widget, MonacoEditor) else None

    def editors(self) -> List[MonacoEditor]:
        """The editors of the tabs, in their order."""
        return [editor for _index, editor in self._editors()]

    def editor_for(self, workbook_id: Optional[str], module_name: str) -> Optional[MonacoEditor]:
        for _index, editor in self._editors():
            if editor.workbook_id == workbook_id and editor.module_name == module_name:
                return editor
        return None

    def _tab_changed(self, _index: int) -> None:
        editor = self.current_editor()
        self.language.set_editor(editor)
        self.find_bar.refresh()  # its highlights follow the tab
        if editor is not None:
            self._follow_workbook(editor.workbook_id)

    def _next_pane(self) -> None:
        panes = [pane for pane in (self.current_editor(), self.console.prompt,
                                   self.project_explorer) if pane is not None]
        focused = QApplication.focusWidget()
        index = next((i for i, pane in enumerate(panes) if pane is focused), -1)
        panes[(index + 1) % len(panes)].setFocus(Qt.FocusReason.ShortcutFocusReason)

    def _step_tab(self, step: int) -> None:
        count = self.editor_tabs.count()
        if count:
            self.editor_tabs.setCurrentIndex((self.editor_tabs.currentIndex() + step) % count)

    def _close_tabs_for_workbook(self, workbook_id: str) -> None:
        for index, editor in reversed(list(self._editors())):
            if editor.workbook_id != workbook_id:
                continue
            if editor.is_modified():
                # The workbook is gone, the person's edits are not: the tab stays.
                self.notify(f"{editor.module_name}.py of {workbook_id} has unsaved edits; its "
                            "tab stays open.", NOTICE)
            else:
                self.close_tab(index)

    def _keep_edit(self, editor: MonacoEditor) -> None:
        if editor.is_modified():
            self.unsaved_buffers.changed(editor.workbook_id, editor.module_name,
                                         editor.toPlainText())

    def _offer_kept_edits(self, states: Dict[str, str]) -> None:
        """Offers back the edits a crash left unsaved, for the workbooks the hub has now."""
        offered = [kept for kept in self._kept_edits if kept.workbook_id in states]
        if not offered:
            return
        self._kept_edits = [kept for kept in self._kept_edits if kept not in offered]
        names = ", ".join(f"{kept.module_name}.py ({self.workbook_display_name(kept.workbook_id)})"
                          for kept in offered)

        def chosen(choice: Optional[str]) -> None:
            for kept in offered:
                if choice == "Restore":
                    self._restore_edit(kept)
                elif choice == "Discard":
                    self.unsaved_buffers.forget(kept.workbook_id, kept.module_name)

        choose(self, "Unsaved edits kept", f"The IDE ended without saving edits of {names}. "
               "Restore them into their tabs (unsaved, to look at and save), or discard them?",
               ["Restore", "Discard", "Later"], chosen)

    def _restore_edit(self, kept: Any) -> None:
        saved = self.workbook_modules.modules(kept.workbook_id).get(kept.module_name, "")
        editor = self.add_editor_tab(kept.module_name, saved, kept.workbook_id)
        if editor.toPlainText() != kept.text:
            # One edit over the saved text: the tab shows it unsaved, and undo goes back.
            cursor = editor.textCursor()
            cursor.select(QTextCursor.SelectionType.Document)
            cursor.insertText(kept.text)
        self.notify(f"Restored the unsaved edits of {kept.module_name}.py", NOTICE)

    def close_tab(self, index: int) -> None:
        widget = self.editor_tabs.widget(index)
        if isinstance(widget, MonacoEditor):
            self.unsaved_buffers.forget(widget.workbook_id, widget.module_name)
        self.editor_tabs.removeTab(index)
        self.debug_session.editor_closed(widget)
        if widget is not None:
            widget.deleteLater()
        if self.editor_tabs.count() == 0:
            self._editor_area.setCurrentIndex(0)

    def _editors(self) -> Iterator[Tuple[int, MonacoEditor]]:
        for index in range(self.editor_tabs.count()):
            widget = self.editor_tabs.widget(index)
            if isinstance(widget, MonacoEditor):
                yield index, widget

    def _tab_tooltip(self, editor: MonacoEditor) -> str:
        return f"{self.workbook_display_name(editor.workbook_id)} / {editor.module_name}.py"

    def show_saved_modules(self, workbook_id: str, modules: Dict[str, str]) -> None:
        """Takes `modules` as the workbook's saved modules (after a reload) and shows them in the
        tabs without unsaved edits; a tab whose module is gone is closed."""
        cache = self.workbook_modules.replace(workbook_id, modules)
        self.project_explorer.set_modules(workbook_id, sorted(modules))
        for index, editor in reversed(list(self._editors())):
            if editor.workbook_id != workbook_id or editor.is_modified():
                continue
            code = cache.get(editor.module_name)
            if code is None:
                self.close_tab(index)
            elif editor.toPlainText() != code:
                editor.setPlainText(code)
                editor.mark_saved()

    def open_module(self, workbook_id: str, module_name: str) -> None:
        """Brings the module's tab to the front, opening it with the workbook's code."""
        editor = self.editor_for(workbook_id, module_name)
        if editor is not None:
            self.editor_tabs.setCurrentWidget(editor)
            editor.setFocus()
            return
        code = self.workbook_modules.source(workbook_id, module_name)
        if code is not None:
            self.add_editor_tab(module_name, code, workbook_id).setFocus()

    # --- closing --------------------------------------------------------------------------

    def unsaved_editors(self) -> list:
        return [editor for _index, editor in self._editors() if editor.is_modified()]

    def closeEvent(self, event: QCloseEvent) -> None:
        unsaved = self.unsaved_editors()
        if unsaved and self.isVisible():
            names = ", ".join(f"{editor.module_name}.py" for editor in unsaved)
            answer = QMessageBox.question(
                self, "Unsaved changes", f"These modules have unsaved changes: {names}. "
                "Save them before quitting?",
                QMessageBox.StandardButton.Save | QMessageBox.StandardButton.Discard
                | QMessageBox.StandardButton.Cancel, QMessageBox.StandardButton.Save)
            if answer == QMessageBox.StandardButton.Save:
                event.ignore()
                self._save_then_quit(unsaved)
                return
            if answer != QMessageBox.StandardButton.Discard:
                event.ignore()
                return
            for editor in unsaved:  # dropped on purpose: not offered back
                self.unsaved_buffers.forget(editor.workbook_id, editor.module_name)
        self.unsaved_buffers.flush()
        self.window_settings.save(self)
        super().closeEvent(event)

    def _save_then_quit(self, editors: list) -> None:
        """Saves each editor; the window closes once the workbooks hold every one (a save that
        fails leaves it open, its edit unsaved and the reason in the console)."""
        waiting = set(editors)

        def saved(editor: MonacoEditor) -> None:
            waiting.discard(editor)
            if not waiting and not self.unsaved_editors():
                self.close()

        for editor in editors:
            self.module_actions.save(editor, lambda e=editor: saved(e))

    # --- debugging ------------------------------------------------------------------------
    # The session's state is debug_session's, shown by debug_actions; these are the calls the
    # client makes.

    def _set_debug_state(self, active: bool, workbook_id: Optional[str]) -> None:
        self.debug_session.set_state(active, workbook_id)

    def _debug_stop(self) -> None:
        self._set_debug_state(False, None)

    def _debug_state_changed(self, active: bool) -> None:
        if not active:
            for editor in self.editors():
                editor.clear_debug_line()

    def _handle_debug_paused(self, message: dict) -> None:
        # A pause turns the debug state on, as the client does when it finds it off.
        if self.debug_actions.paused_at(message) and not self._debug_active:
            self._set_debug_state(True, message["workbook_id"])

    def _handle_debug_exception(self, message: dict) -> None:
        self.debug_actions.exception_reported(message)

    def _handle_debug_resumed(self, message: dict) -> None:
        self.debug_actions.resumed()

    def _handle_debug_terminated(self, message: dict) -> None:
        self.debug_actions.terminated(message)

    def _handle_debug_evaluate_result(self, message: dict) -> None:
        self.debug_actions.evaluated(message)

    # --- forwarded answers ----------------------------------------------------------------

    def _handle_interrupt_result(self, message: dict) -> None:
        self.run_actions.interrupt_answered(message)

    def _handle_pip_output(self, message: dict) -> None:
        workbook_id = message.get("workbook_id")
        if workbook_id and workbook_id != self.package_manager.get_current_workbook():
            return
        text = message.get("content", message.get("output", ""))
        stream = message.get("output_type", message.get("stream", "stdout"))
        color = ERROR if stream == "stderr" else None
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
        self.language.answered(COMPLETION, message)

    def _handle_signature_help_response(self, message: dict) -> None:
        self.language.answered(SIGNATURE_HELP, message)

    def _handle_hover_response(self, message: dict) -> None:
        self.language.answered(HOVER, message)

    def _handle_diagnostic_response(self, message: dict) -> None:
        self.language.answered(DIAGNOSTIC, message)

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
