import sys

import pytest

from python_server.win32_com import (
    Win32ComEventRegistrar,
    Win32ComWatcher,
    get_win32_events_dictionary,
    get_win32_workbook_tree,
)


class TestWin32Com:
    def test_events_dictionary_is_a_fresh_copy(self):
        events = get_win32_events_dictionary()
        assert {"SheetChange", "SheetActivate", "WorkbookBeforeSave",
                "SheetSelectionChange"} <= set(events)
        events.clear()
        assert get_win32_events_dictionary()

    @pytest.mark.parametrize("platform, error",
                             [("linux", RuntimeError), ("win32", NotImplementedError)])
    def test_start_and_tree_refuse(self, monkeypatch, platform, error):
        monkeypatch.setattr(sys, "platform", platform)
        for component in (Win32ComWatcher(kernel=None), Win32ComEventRegistrar(kernel=None)):
            with pytest.raises(error, match="Windows COM events"):
                component.start(lambda: None)
            component.stop()
        with pytest.raises(error):
            get_win32_workbook_tree()

    def test_registrar_records_config_and_responses(self):
        registrar = Win32ComEventRegistrar(kernel=None)
        config = {"SheetChange": True}
        registrar.apply_config(config)
        config["SheetChange"] = False
        assert registrar.config == {"SheetChange": True}
        registrar.deliver_com_response("r1", {"value": 1})
        assert registrar.responses == {"r1": {"value": 1}}
        with pytest.raises(TypeError):
            registrar.apply_config(["SheetChange"])
