"""What the IDE's actions use of the main window, as protocols: each action takes the one of its
kind and reaches nothing else of the window, so that a small stand-in can take the window's
place (the tests' fake hosts do). ``MainWindow`` is each of them.

``window()`` is the Qt window the actions' dialogs, menus and shortcuts belong to (for the main
window, itself). The actions do not call one another: each asks the others through its signals,
which the window connects.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Dict, List, Optional, Protocol, runtime_checkable

if TYPE_CHECKING:
    from PySide6.QtCore import QByteArray
    from PySide6.QtWidgets import QDockWidget, QLabel, QSplitter, QStatusBar, QTabWidget, QWidget

    from .breakpoints import BreakpointKeeper, BreakpointStore
    from .console import ConsoleView
    from .debug_session import DebugSession
    from .hub_channel import HubChannel
    from .monaco_editor import MonacoEditor
    from .output_level import OutputLevel
    from .panels import DebugPanel, ProjectExplorer
    from .unsaved_buffers import UnsavedBuffers
    from .workbook_modules import WorkbookModules

__all__ = ["ActionHost", "DebugHost", "EditHost", "LanguageHost", "ModuleHost", "PromptHost",
           "RunHost", "SettingsHost", "WorkbookHost"]


@runtime_checkable
class ActionHost(Protocol):
    """What every action of the menus uses: its window, the hub, and console lines."""
    channel: HubChannel

    def window(self) -> QWidget: ...

    def notify(self, text: str, color: Optional[str] = None,
               level_detailed: bool = False) -> None: ...

    def workbook_display_name(self, workbook_id: str) -> str: ...


@runtime_checkable
class ModuleHost(ActionHost, Protocol):
    """``ModuleActions``: the editor tabs, the workbooks' modules and the explorer."""
    project_explorer: ProjectExplorer
    editor_tabs: QTabWidget
    workbook_modules: WorkbookModules
    breakpoints: BreakpointStore
    breakpoint_keeper: BreakpointKeeper
    unsaved_buffers: UnsavedBuffers

    def statusBar(self) -> QStatusBar: ...

    def target_workbook(self) -> Optional[str]: ...

    def current_editor(self) -> Optional[MonacoEditor]: ...

    def editors(self) -> List[MonacoEditor]: ...

    def editor_for(self, workbook_id: Optional[str],
                   module_name: str) -> Optional[MonacoEditor]: ...

    def add_editor_tab(self, module_name: str, code: str, workbook_id: str) -> MonacoEditor: ...

    def open_module(self, workbook_id: str, module_name: str) -> None: ...

    def retitle_tab(self, editor: MonacoEditor) -> None: ...

    def close_tab(self, index: int) -> None: ...


@runtime_checkable
class RunHost(ActionHost, Protocol):
    """``RunActions``: the console and its prompt, the current tab, the breakpoints a debug run
    takes, and the debug session (one at a time)."""
    console: ConsoleView
    project_explorer: ProjectExplorer
    breakpoints: BreakpointStore
    debug_session: DebugSession

    def log_to_console(self, text: object, color: Optional[str] = None,
                       level: OutputLevel = ..., from_std: bool = False) -> None: ...

    def kernel_problem(self, workbook_id: Optional[str]) -> Optional[str]: ...

    def current_editor(self) -> Optional[MonacoEditor]: ...


@runtime_checkable
class WorkbookHost(ActionHost, Protocol):
    """``WorkbookActions``: the explorer's kernel states and the workbooks' tabs."""
    project_explorer: ProjectExplorer

    def target_workbook(self) -> Optional[str]: ...

    def pick_workbook(self, workbook_id: str) -> None: ...

    def unsaved_editors(self) -> List[MonacoEditor]: ...

    def show_saved_modules(self, workbook_id: str, modules: Dict[str, str]) -> None: ...

    def open_module(self, workbook_id: str, module_name: str) -> None: ...


@runtime_checkable
class DebugHost(ActionHost, Protocol):
    """``DebugActions``: the session, the debug panel and its dock, the status bar, and the
    tabs that show a pause."""
    debug_session: DebugSession
    debug_panel: DebugPanel
    debug_dock: QDockWidget
    debug_label: QLabel
    breakpoints: BreakpointStore
    editor_tabs: QTabWidget
    workbook_modules: WorkbookModules

    def statusBar(self) -> QStatusBar: ...

    def log_to_console(self, text: object, color: Optional[str] = None,
                       level: OutputLevel = ..., from_std: bool = False) -> None: ...

    def editor_for(self, workbook_id: Optional[str],
                   module_name: str) -> Optional[MonacoEditor]: ...

    def open_module(self, workbook_id: str, module_name: str) -> None: ...


@runtime_checkable
class LanguageHost(Protocol):
    """``LanguageClient``: the hub, the kernels' states and the open editors."""
    channel: HubChannel

    def window(self) -> QWidget: ...

    def statusBar(self) -> QStatusBar: ...

    def kernel_problem(self, workbook_id: Optional[str]) -> Optional[str]: ...

    def editors(self) -> List[MonacoEditor]: ...


@runtime_checkable
class EditHost(Protocol):
    """``EditActions``: the tab being edited, and where to say there is none."""

    def window(self) -> QWidget: ...

    def statusBar(self) -> QStatusBar: ...

    def current_editor(self) -> Optional[MonacoEditor]: ...


@runtime_checkable
class PromptHost(Protocol):
    """``PromptCompletion``: the console's prompt, the hub and the kernels' states."""
    console: ConsoleView
    channel: HubChannel

    def window(self) -> QWidget: ...

    def statusBar(self) -> QStatusBar: ...

    def kernel_problem(self, workbook_id: Optional[str]) -> Optional[str]: ...


class RecentWorkbooks(Protocol):
    """What the workbook actions remember between runs."""
    recent: List[str]

    def set_recent(self, paths: List[str]) -> None: ...

    def reopen(self, workbook_id: str, modules: List[str], current: Optional[str],
               path: Optional[str] = None) -> None: ...


class ResetQuestion(Protocol):
    """Whether the run actions ask before resetting the namespace."""
    ask_before_reset: bool


@runtime_checkable
class SettingsHost(Protocol):
    """``WindowSettings``: the window's layout, the console, and what the workbook and run
    actions remember."""
    console: ConsoleView
    centre_splitter: QSplitter
    channel: HubChannel
    workbook_actions: RecentWorkbooks
    run_actions: ResetQuestion

    def restoreGeometry(self, geometry: QByteArray) -> bool: ...

    def restoreState(self, state: QByteArray, version: int = 0) -> bool: ...

    def saveGeometry(self) -> QByteArray: ...

    def saveState(self, version: int = 0) -> QByteArray: ...

    def target_workbook(self) -> Optional[str]: ...

    def current_editor(self) -> Optional[MonacoEditor]: ...

    def editors(self) -> List[MonacoEditor]: ...
