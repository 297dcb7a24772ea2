"""The kept-objects and packages part of the IDE demo, run in the IDE window the demo drives.

A cell keeps an object and a later cell reads it while the object panel lists it; then a small
wheel built here is installed offline (``--no-index --find-links``) from the package panel, as
a user would type and click it, and a cell imports it. Prints what the IDE shows and saves a
picture of the package and object panels to ``build/demo-packages.png``.
"""

from __future__ import annotations

import time
from pathlib import Path
from typing import Callable

from business_layer.settings_manager import SettingsManager

from ..background import BackgroundHub
from ..wheels import build_wheel

PACKAGE = "growthcalc"
PACKAGE_SOURCE = '''\
"""Compound growth, as a workbook would use it."""

def compound(value, rate, years):
    return round(value * (1 + rate) ** years)
'''


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


def run(app, background: BackgroundHub, window, link, workbook_id: str,
        poll: Callable[[], None], folder: Path = Path("build")) -> None:
    """Runs the segment against the connected window; `poll` prints new console lines."""

    def wait_until(condition: Callable[[], bool], timeout: float = 120) -> None:
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise TimeoutError("the IDE did not show what was expected in time")
            app.processEvents()
            poll()
            time.sleep(0.01)
        app.processEvents()
        poll()

    def run_cell(code: str) -> None:
        """Types the cell at the console prompt and presses Enter, as a user would."""
        from PySide6.QtCore import Qt

        from . import ide_driver as do

        show("ide", f"prompt: {code}")
        seen = window.console.entry_count
        do.type_text(window.console.prompt, code)
        do.key(window.console.prompt, Qt.Key.Key_Return)
        wait_until(lambda: any(e.text.startswith("Execution ")
                               for e in list(window.console.entries)[seen:]))

    inspector, packages = window.object_inspector, window.package_manager
    window.pick_workbook(workbook_id)  # the panels follow the explorer's workbook
    window.tool_tabs.setCurrentWidget(inspector)
    run_cell("import quorvel; quorvel.save_object('forecast', {'2025': 1157, '2026': 1216})")
    wait_until(lambda: "forecast" in inspector.keys_of(workbook_id))
    for key, (type_name, text) in inspector.objects[workbook_id].items():
        show("objects", f"{key}  {type_name}  {text}")
    run_cell("quorvel.get_object('forecast')['2026'] - quorvel.get_object('forecast')['2025']")

    wheels = folder / "demo-wheels"
    build_wheel(wheels, PACKAGE, "1.0", {"__init__.py": PACKAGE_SOURCE})
    show("hub", f"built {PACKAGE}-1.0 into {wheels}; packages install offline from there")
    background.hub.packages.configure(SettingsManager(
        {"packages.no_index": True, "packages.find_links": [str(wheels.resolve())]}))

    window.tool_tabs.setCurrentWidget(packages)
    show("ide", f"package panel: type {PACKAGE!r}, press Install")
    from . import ide_driver as do
    do.type_text(packages.spec_input, PACKAGE)
    packages.install_button.click()
    printed = 0

    def installed() -> bool:
        nonlocal printed
        lines = packages.pip_lines()
        for line in lines[printed:]:
            show("pip", line)
        printed = len(lines)
        return any(row[0] == PACKAGE and row[2] == "installed" for row in packages.package_rows())

    wait_until(installed)
    for name, version, status in packages.package_rows():
        show("packages", f"{name}  {version}  {status}")
    run_cell(f"import {PACKAGE}; {PACKAGE}.compound(1000, 0.05, 3)")

    picture = folder / "demo-packages.png"
    save_panels(app, window, picture)
    show("ide", f"picture of the package and object panels saved to {picture}")


def save_panels(app, window, picture: Path) -> None:
    """The window with its package panel, and the object panel beside it, in one image."""
    from PySide6.QtGui import QColor, QPainter, QPixmap

    tabs = window.tool_tabs
    tabs.setCurrentWidget(window.object_inspector)
    app.processEvents()
    objects = window.object_inspector.grab()
    tabs.setCurrentWidget(window.package_manager)
    app.processEvents()
    whole = window.grab()
    image = QPixmap(whole.width() + objects.width(), max(whole.height(), objects.height()))
    image.fill(QColor("#1e1e1e"))
    painter = QPainter(image)
    painter.drawPixmap(0, 0, whole)
    painter.drawPixmap(whole.width(), 0, objects)
    painter.end()
    picture.parent.mkdir(parents=True, exist_ok=True)
    image.save(str(picture))
