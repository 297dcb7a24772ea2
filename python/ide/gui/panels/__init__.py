"""The IDE's side panels, as the main window holds them.

Each panel is a plain Qt widget that accepts the calls the connection client makes (on the GUI
thread) and shows their result; none of them talks to the network itself.
"""

from .debug_panel import DebugPanel
from .event_manager import EventManagerPanel
from .function_publisher import FunctionPublisherPanel
from .object_inspector import ObjectInspectorPanel
from .package_manager import PackageManagerPanel
from .project_explorer import ProjectExplorer
from .timer_manager import TimerManagerPanel

__all__ = ["DebugPanel", "EventManagerPanel", "FunctionPublisherPanel", "ObjectInspectorPanel",
           "PackageManagerPanel", "ProjectExplorer", "TimerManagerPanel"]
