"""The package and object panels of the IDE window against the development hub and a kernel
process: what a user types and clicks, and what the panels and the console then show."""
import os

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import pytest  # noqa: E402
from PySide6.QtCore import Qt  # noqa: E402

from business_layer.settings_manager import SettingsManager  # noqa: E402
from devhub.background import BackgroundHub  # noqa: E402
from devhub.wheels import build_wheel  # noqa: E402
from ide.gui import MainWindow  # noqa: E402
from ide.gui.idelink import IdeLink  # noqa: E402

WB = "Packages.xlsx"
SLOW = 90000  # ms: pip runs three times per installation, on a shared machine


class System:
    def __init__(self, background, window, link):
        self.background, self.window, self.link = background, window, link
        self.process = None

    def start_kernel(self):
        hub = self.background.hub
        self.process = self.background.call(hub.launch_kernel(WB))
        self.background.call(hub.wait_for_kernel(WB, timeout=30))

    def stop_kernel(self):
        self.background.call(self.process.kill())

    def run_cell(self, qtbot, code, expected):
        self.link.send_message({"type": "execution_request", "workbook_id": WB, "code": code})
        qtbot.waitUntil(lambda: expected in self.console(), timeout=SLOW)

    def console(self):
        return "".join(e.text if e.from_std else e.text + "\n" for e in self.window.console.entries)


@pytest.fixture
def system(qtbot, monkeypatch, tmp_path):
    monkeypatch.setenv("QUORVEL_SECURED", "0")
    monkeypatch.setenv("PIP_CONFIG_FILE", os.devnull)
    for name in list(os.environ):
        if name.startswith("PIP_") and name != "PIP_CONFIG_FILE":
            monkeypatch.delenv(name)
    wheels = tmp_path / "wheels"
    build_wheel(wheels, "tinypkg", "1.0", {"__init__.py": "VERSION = '1.0'\n"})
    build_wheel(wheels, "tinyapp", "1.0",
                {"__init__.py": "import tinypkg\n\n"
                                "def greet():\n    return 'hi ' + tinypkg.VERSION\n"},
                requires=["tinypkg"])
    settings = SettingsManager({"packages.no_index": True, "packages.find_links": [str(wheels)]})
    background = BackgroundHub(data_dir=str(tmp_path / "data"), package_settings=settings)
    window = MainWindow()
    qtbot.addWidget(window)
    window.show()  # clicks reach visible widgets only
    link = IdeLink(window, "127.0.0.1", background.port, token=background.hub.token)
    window.link = link
    running = System(background, window, link)
    try:
        running.start_kernel()
        link.start()
        qtbot.waitUntil(lambda: window.package_manager.get_current_workbook() == WB, timeout=15000)
        yield running
    finally:
        link.stop()
        del window.link  # the client holds the window: no cycle left for the end of the run
        running.stop_kernel()
        background.stop()


@pytest.mark.timeout(300)
def test_a_package_installed_from_the_panel_is_imported_by_the_next_cell(system, qtbot):
    panel = system.window.package_manager
    qtbot.keyClicks(panel.spec_input, "tinyapp")
    qtbot.mouseClick(panel.install_button, Qt.MouseButton.LeftButton)
    qtbot.waitUntil(lambda: ("tinyapp", "1.0", "installed") in panel.package_rows(), timeout=SLOW)
    assert "Would install tinyapp-1.0 tinypkg-1.0" in panel.pip_lines()
    assert "Successfully installed tinyapp" in panel.pip_lines()
    system.run_cell(qtbot, "import tinyapp; tinyapp.greet()", "Out: 'hi 1.0'")

    # A restarted kernel has lost its namespace, not the workbook's packages.
    system.stop_kernel()
    system.start_kernel()
    system.run_cell(qtbot, "import tinyapp as again; again.greet() + '!'", "Out: 'hi 1.0!'")

    panel.table.selectRow(0)
    qtbot.mouseClick(panel.remove_button, Qt.MouseButton.LeftButton)
    qtbot.waitUntil(lambda: panel.package_rows() == [], timeout=SLOW)
    system.run_cell(qtbot, "import tinyapp", "No module named 'tinyapp'")


def test_the_object_panel_follows_the_kernels_registry(system, qtbot):
    inspector = system.window.object_inspector
    system.run_cell(qtbot, "import quorvel; quorvel.save_object('model', [1, 2])",
                    "Execution completed successfully")
    qtbot.waitUntil(lambda: inspector.keys_of(WB) == ["model"], timeout=15000)
    assert inspector.table.item(0, 2).text() == "[1, 2]"

    # Chosen anew (as after the IDE started), the panel asks the kernel for the whole registry.
    inspector.objects.clear()
    inspector.set_workbooks([])
    inspector.set_workbooks([(WB, WB)])
    qtbot.waitUntil(lambda: inspector.keys_of(WB) == ["model"], timeout=15000)
    system.run_cell(qtbot, "quorvel.clear_all_objects()", "Execution completed successfully")
    qtbot.waitUntil(lambda: inspector.table.rowCount() == 0, timeout=15000)
