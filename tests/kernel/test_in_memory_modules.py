"""Workbook modules pushed by the IDE: importable from memory, updated and deleted by messages."""
import importlib
import linecache
import logging
import sys
import traceback

import pytest

from python_server import kernel as kernel_module

from ..conftest import messages_of

loader = kernel_module.in_memory_loader


@pytest.fixture
def modules():
    """Names to forget after the test, whatever it left behind."""
    names = []
    yield names
    for name in names:
        loader.delete_module(name)


class TestImportHook:
    def test_is_a_meta_path_finder_and_loader(self):
        from importlib.abc import Loader, MetaPathFinder
        assert isinstance(loader, MetaPathFinder) and isinstance(loader, Loader)
        assert loader.create_module(None) is None
        assert loader.find_spec("not_cached_anywhere", None) is None
        with pytest.raises(TypeError):
            loader.find_spec(b"bytes", None)

    def test_update_import_and_reload(self, modules):
        modules.append("wb_calc")
        loader.update_module("wb_calc", "def f():\n    return 1\n")
        import wb_calc
        old_f = wb_calc.f
        assert (wb_calc.__spec__.origin is None
                and wb_calc.__spec__.submodule_search_locations is None)
        loader.update_module("wb_calc", "def f():\n    return 2\n")
        assert "wb_calc" not in sys.modules
        fresh = importlib.import_module("wb_calc")
        assert (fresh.f(), old_f()) == (2, 1)

    def test_cached_module_shadows_an_installed_one(self, modules):
        modules.append("json")
        saved = sys.modules["json"]
        try:
            loader.update_module("json", "SHADOW = True\n")
            assert importlib.import_module("json").SHADOW is True
        finally:
            loader.delete_module("json")
            sys.modules["json"] = saved

    def test_dotted_names(self, modules):
        modules.extend(["wb_parent", "wb_parent.child", "email.wb_child", "nowhere.child"])
        loader.update_module("wb_parent", "")
        loader.update_module("wb_parent.child", "X = 1\n")
        with pytest.raises(ModuleNotFoundError):
            importlib.import_module("wb_parent.child")  # a cached module is never a package
        loader.update_module("email.wb_child", "X = 2\n")
        assert importlib.import_module("email.wb_child").X == 2
        loader.update_module("nowhere.child", "X = 3\n")
        with pytest.raises(ModuleNotFoundError, match="nowhere"):
            importlib.import_module("nowhere.child")

    def test_errors_show_the_virtual_file_and_line(self, kernel_log, modules):
        modules.append("wb_broken")
        loader.update_module("wb_broken", "a = 1\nraise ValueError('line two')\n")
        with pytest.raises(ValueError) as info:
            importlib.import_module("wb_broken")
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert (last.filename, last.lineno, last.line) == (
            "<virtual:wb_broken>", 2, "raise ValueError('line two')")
        assert "[InMemoryModuleLoader] Error executing module 'wb_broken': line two" in \
            messages_of(kernel_log, logging.ERROR)
        sys.modules.pop("wb_broken", None)
        loader.update_module("wb_broken", "\n\n\nraise KeyError('moved')\n")
        with pytest.raises(KeyError) as info:
            importlib.import_module("wb_broken")
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert (last.lineno, last.line) == (4, "raise KeyError('moved')")

    def test_delete_forgets_everywhere(self, kernel_log, modules):
        loader.update_module("wb_gone", "x = 1\n")
        importlib.import_module("wb_gone")
        assert "<virtual:wb_gone>" in linecache.cache
        loader.delete_module("wb_gone")
        assert "wb_gone" not in loader.source_cache and "wb_gone" not in sys.modules
        assert "<virtual:wb_gone>" not in linecache.cache
        assert messages_of(kernel_log, logging.DEBUG)[-3:] == [
            "[InMemoryModuleLoader] Removed 'wb_gone' from source_cache",
            "[InMemoryModuleLoader] Removed 'wb_gone' from sys.modules",
            "[InMemoryModuleLoader] Removed '<virtual:wb_gone>' from linecache",
        ]

    @pytest.mark.parametrize("args, text", [((None, "x"), "module_name must be str, not NoneType"),
                                            (("m", 5), "code must be str, not int")])
    def test_only_strings_are_accepted(self, args, text):
        with pytest.raises(TypeError, match=text):
            loader.update_module(*args)
        with pytest.raises(TypeError, match="module_name must be str, not bytes"):
            loader.delete_module(b"m")


class TestModuleMessages:
    async def test_update_then_delete(self, kernel_log, running, modules):
        modules.append("wb_msg")
        reply = await running.roundtrip(
            {"type": "update_module", "module_name": "wb_msg", "code": "v = 7\n"}, "module_updated")
        assert reply == {"type": "module_updated", "module_name": "wb_msg"}
        assert importlib.import_module("wb_msg").v == 7
        reply = await running.roundtrip({"type": "delete_module", "module_name": "wb_msg"},
                                        "module_deleted")
        assert reply == {"type": "module_deleted", "module_name": "wb_msg"}
        assert "wb_msg" not in sys.modules
        assert running.kernel._lsp_bridge is not None
        info = messages_of(kernel_log, logging.INFO)
        assert "[Kernel] Updated virtual module: wb_msg" in info
        assert "[Kernel] Deleted virtual module: wb_msg" in info

    async def test_deleting_an_unknown_module_still_answers(self, running):
        assert await running.roundtrip({"type": "delete_module", "module_name": "never_seen"},
                                       "module_deleted") == {"type": "module_deleted",
                                                             "module_name": "never_seen"}

    @pytest.mark.parametrize("message_type", ["update_module", "delete_module"])
    async def test_a_missing_module_name_is_refused(self, kernel_log, running, message_type):
        for message in ({"type": message_type}, {"type": message_type, "module_name": ""}):
            await running.send(message)
            assert await running.receive() == {"type": "error",
                                               "message": f"{message_type} requires module_name"}
        assert f"[Kernel] Received {message_type} without module_name" in \
            messages_of(kernel_log, logging.WARNING)

    async def test_a_non_string_code_is_refused_and_reading_goes_on(self, running):
        await running.send({"type": "update_module", "module_name": "m", "code": 5})
        assert await running.receive() == {
            "type": "error",
            "message": "Failed to handle message type 'update_module': TypeError: code must be "
                       "str, not int"}
        await running.roundtrip({"type": "delete_module", "module_name": "m"}, "module_deleted")
