"""Package handlers: forwards, caches, and progress shown only for the workbook on display."""
import logging

import pytest

from .conftest import Spy, log_lines

PANEL_METHODS = ("update_package_status", "log_pip_output", "log_pip_output_colored",
                 "show_resolved_deps_popup", "get_current_workbook")


@pytest.fixture
def panel(window):
    window.project_explorer.add_workbook("shown", "Shown.xlsx")
    window.project_explorer.add_workbook("hidden", "Hidden.xlsx")
    assert window.package_manager.get_current_workbook() == "shown"
    return window.package_manager


class TestForwards:
    @pytest.mark.parametrize("message_type, method", [
        ("pip_output", "_handle_pip_output"),
        ("get_package_versions_response", "_handle_package_versions_response"),
        ("get_package_extras_response", "_handle_package_extras_response"),
        ("get_package_info_response", "_handle_package_info_response"),
        ("package_paths_updated", "_handle_package_paths_updated"),
    ])
    def test_the_whole_message_goes_to_the_window(self, feed, window, message_type, method):
        spy = Spy().watch(window, method)
        message = {"type": message_type, "anything": [1, {"x": None}]}
        feed(message)
        assert [(c.args, c.on_gui_thread) for c in spy.calls] == [((message,), True)]

    def test_pip_output_of_the_shown_workbook_appears_in_colour(self, feed, panel):
        feed({"type": "pip_output", "workbook_id": "shown", "content": "Collecting six\n"},
             {"type": "pip_output", "workbook_id": "shown", "output_type": "stderr",
              "content": "WARNING: old pip"},
             {"type": "pip_output", "workbook_id": "hidden", "content": "not shown"})
        assert panel.pip_lines() == ["Collecting six", "WARNING: old pip"]
        assert 'color:#ff6b6b' in panel.output.toHtml().replace(" ", "")


class TestPackagesUpdate:
    def test_emits_the_caches_and_logs_the_paths(self, client_log, feed, panel, qtbot):
        received = []
        panel.update_caches.connect(lambda *args: received.append(args))
        feed({"type": "workbook_packages_update", "workbook_id": "shown",
              "packages": {"six": "1.16"}, "python_paths": ["/p/a", "/p/b"]})
        assert received == [("shown", {"six": "1.16"}, {}, ["/p/a", "/p/b"])]
        assert log_lines(client_log, logging.INFO)[-2:] == [
            "[PYTHON_PATH] Received workbook_packages_update for shown",
            "[PYTHON_PATH] python_paths in message: ['/p/a', '/p/b']"]
        assert panel.table.item(0, 0).text() == "six"

    def test_defaults_without_packages_and_without_an_id(self, feed, panel):
        received = []
        panel.update_caches.connect(lambda *args: received.append(args))
        feed({"type": "workbook_packages_update"},
             {"type": "workbook_packages_update", "packages": [], "package_errors": {"x": "e"}})
        assert received == [(None, None, None, None), (None, [], {"x": "e"}, None)]


class TestInstallProgress:
    @pytest.mark.parametrize("status, error, line", [
        ("installing", "", "Installing numpy..."),
        ("installed", "", "Successfully installed numpy"),
        ("error", "no such version", "Error installing numpy: no such version"),
        ("resolving", "", None),
    ])
    def test_status_and_line_for_the_shown_workbook(self, feed, panel, status, error, line):
        spy = Spy().watch(panel, "update_package_status", "log_pip_output")
        feed({"type": "package_install_progress", "workbook_id": "shown",
              "package_name": "numpy", "status": status, "error": error})
        assert spy.of("update_package_status")[0].args == ("numpy", status, error)
        assert [c.args for c in spy.of("log_pip_output")] == ([(line,)] if line else [])
        assert panel.statuses["numpy"] == (status, error)

    def test_error_defaults_to_empty(self, feed, panel):
        feed({"type": "package_install_progress", "workbook_id": "shown",
              "package_name": "numpy", "status": "error"})
        assert panel.pip_lines()[-1] == "Error installing numpy: "

    def test_another_workbooks_progress_is_dropped_without_a_trace(self, feed, panel):
        spy = Spy().watch(panel, *PANEL_METHODS[:-1])
        feed({"type": "package_install_progress", "workbook_id": "hidden",
              "package_name": "numpy", "status": "installed"},
             {"type": "package_installation_complete", "workbook_id": "hidden"},
             {"type": "resolved_deps_response", "workbook_id": "hidden", "deps": ["a"]})
        assert spy.calls == [] and panel.pip_lines() == [] and panel.statuses == {}

    @pytest.mark.parametrize("missing", ["workbook_id", "package_name", "status"])
    def test_incomplete_progress_asks_nothing(self, feed, panel, missing):
        spy = Spy().watch(panel, *PANEL_METHODS)
        message = {"type": "package_install_progress", "workbook_id": "shown",
                   "package_name": "numpy", "status": "installed"}
        del message[missing]
        feed(message)
        assert spy.calls == []

    def test_completion_line_is_green(self, feed, panel):
        spy = Spy().watch(panel, "log_pip_output_colored")
        feed({"type": "package_installation_complete", "workbook_id": "shown"},
             {"type": "package_installation_complete", "workbook_id": "shown",
              "message": "All 3 packages installed."})
        assert [c.args for c in spy.calls] == [("Installation complete.", "#2ECC71"),
                                               ("All 3 packages installed.", "#2ECC71")]
        assert "color:#2ecc71" in panel.output.toHtml().replace(" ", "").lower()

    def test_resolved_dependencies_open_a_popup(self, feed, panel):
        feed({"type": "resolved_deps_response", "workbook_id": "shown",
              "deps": ["numpy==2.0", "six"]})
        popup = panel.deps_popup
        assert popup is not None and popup.isVisible() and not popup.isModal()
        spy = Spy().watch(panel, "show_resolved_deps_popup")
        feed({"type": "resolved_deps_response", "workbook_id": "shown"})
        assert spy.calls[0].args == ([],)
