"""The IDE's GUI side: the pieces the connection client ``ide.gui.idelink`` calls.

* ``run_in_qt_thread``: the decorator that moves a function's body to the Qt GUI thread.
* ``OutputLevel``: the level of a console line.
* ``MonacoEditor``: the code editor widget of an editor tab.
* ``MainWindow``: the IDE main window with its console, status bar, editor tabs and panels.

``python -m ide.gui`` opens the main window connected to a hub (see ``ide.gui.__main__``).
"""

from .monaco_editor import MonacoEditor
from .output_level import OutputLevel
from .qt_thread import run_in_qt_thread

__all__ = ["MainWindow", "MonacoEditor", "OutputLevel", "run_in_qt_thread"]


def __getattr__(name: str):
    # The main window pulls in every panel; load it only when somebody asks for it.
    if name == "MainWindow":
        from .main_window import MainWindow

        return MainWindow
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
