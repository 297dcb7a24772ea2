"""Which of the X libraries Qt's desktop platform loads are missing, before Qt tries.

Without one of them Qt's xcb platform does not start, and its message names at most one
library, often not the one missing. ``missing_x_libraries()`` tries each in turn and gives
(file, Debian package) for those that cannot be loaded; ``x_libraries_problem()`` says so in
one message, with the command that installs them, when the window would use X.
"""

from __future__ import annotations

import ctypes
import os
from typing import Callable, List, Optional, Tuple

__all__ = ["X_LIBRARIES", "missing_x_libraries", "x_libraries_problem"]

# The shared libraries Qt's xcb platform plugin needs beyond libxcb itself, by Debian package.
X_LIBRARIES = (
    ("libxcb-cursor.so.0", "libxcb-cursor0"),
    ("libxcb-icccm.so.4", "libxcb-icccm4"),
    ("libxcb-keysyms.so.1", "libxcb-keysyms1"),
    ("libxcb-image.so.0", "libxcb-image0"),
    ("libxcb-render-util.so.0", "libxcb-render-util0"),
    ("libxcb-randr.so.0", "libxcb-randr0"),
    ("libxcb-shape.so.0", "libxcb-shape0"),
    ("libxcb-xkb.so.1", "libxcb-xkb1"),
    ("libxkbcommon-x11.so.0", "libxkbcommon-x11-0"),
)


def _loads(name: str) -> bool:
    try:
        ctypes.CDLL(name)
    except OSError:
        return False
    return True


def missing_x_libraries(loads: Callable[[str], bool] = _loads) -> List[Tuple[str, str]]:
    return [(name, package) for name, package in X_LIBRARIES if not loads(name)]


def _uses_x() -> bool:
    platform = os.environ.get("QT_QPA_PLATFORM", "")
    if platform:
        return platform.split(":")[0] == "xcb"
    return bool(os.environ.get("DISPLAY")) and not os.environ.get("WAYLAND_DISPLAY")


def x_libraries_problem() -> Optional[str]:
    """Why the window cannot start on X here, or None (it can, or it does not use X)."""
    if not _uses_x():
        return None
    missing = missing_x_libraries()
    if not missing:
        return None
    names = ", ".join(name for name, _package in missing)
    packages = " ".join(package for _name, package in missing)
    return (f"The IDE window cannot start: Qt needs these X libraries, which are missing here: "
            f"{names}. On Debian or Ubuntu: sudo apt-get install {packages}")
