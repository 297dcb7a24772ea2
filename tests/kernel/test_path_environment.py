"""The import path: the kernel's record of the paths it added, and the path messages that
change sys.path and unload what came from directories that go away."""
import importlib
import importlib.util
import sys

import pytest

from python_server import kernel as kernel_module

WB = "Book1.xlsx"


@pytest.fixture(autouse=True)
def clean_import_state():
    """sys.path (the same list object) and sys.modules as they were before the test."""
    saved_path, saved_modules = list(sys.path), set(sys.modules)
    yield
    sys.path[:] = saved_path
    for name in set(sys.modules) - saved_modules:
        del sys.modules[name]
    importlib.invalidate_caches()


def package(root, name, version, submodules=()):
    """root/name: a package whose VERSION is `version`, with empty submodules."""
    folder = root / name
    folder.mkdir(parents=True)
    (folder / "__init__.py").write_text(f"VERSION = {version!r}\n")
    for sub in submodules:
        (folder / f"{sub}.py").write_text("")
    return str(root)


def load_from(path, name):
    """Imports `name` from the file `path`, as a module of that name."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


class TestPathRecord:
    def test_only_recorded_paths_leave_and_reset_restores_the_start(self):
        before = list(sys.path)
        env = kernel_module.VirtualEnvironment(WB)
        env.add_path("/wb/one")
        env.add_path("/wb/one")
        env.add_path(before[0])  # recorded, but sys.path already has it
        assert env.get_paths() == ["/wb/one", before[0]] and sys.path[0] == "/wb/one"
        assert sys.path.count(before[0]) == before.count(before[0])

        env.remove_path(before[-1])  # never added here: stays in sys.path
        assert sys.path[-1] == before[-1]
        env.remove_path(before[0])  # added here, though it was there before
        assert before[0] not in sys.path

        path_list = sys.path
        env.reset_path()
        assert sys.path is path_list and sys.path == before and env.get_paths() == []

    def test_a_path_that_is_no_string_changes_nothing(self):
        env = kernel_module.VirtualEnvironment(WB)
        before = list(sys.path)
        with pytest.raises(TypeError, match="must be a string, not int"):
            env.add_path(5)
        assert sys.path == before and env.get_paths() == []


class TestPathMessages:
    async def test_add_remove_and_reset_reply_with_the_whole_path(self, running):
        added = await running.roundtrip({"type": "add_path", "path": "/wb/code"}, "path_added")
        assert list(added) == ["type", "path", "current_paths"]
        assert added["current_paths"] == sys.path and sys.path[0] == "/wb/code"
        removed = await running.roundtrip({"type": "remove_path", "path": "/wb/code"},
                                          "path_removed")
        assert "/wb/code" not in removed["current_paths"]
        reset = await running.roundtrip({"type": "reset_path"}, "path_reset")
        assert reset == {"type": "path_reset",
                         "current_paths": running.kernel.virtual_env.original_path}

    async def test_replacing_a_package_folder_unloads_its_modules(self, running, tmp_path):
        v1 = package(tmp_path / "v1", "wbp_tool", "1", submodules=["a", "b"])
        v2 = package(tmp_path / "v2", "wbp_tool", "2")
        other = package(tmp_path / "other", "wbp_other", "x")
        reply = await running.roundtrip({"type": "set_package_paths", "old_paths": [],
                                         "new_paths": [v1, other]}, "package_paths_updated")
        assert reply == {"type": "package_paths_updated", "paths_added": 2,
                         "modules_unloaded": 0, "workbook_id": WB}
        assert sys.path[:2] == [v1, other]
        for name in ("wbp_tool.a", "wbp_tool.b", "wbp_other"):
            importlib.import_module(name)

        reply = await running.roundtrip({"type": "set_package_paths", "old_paths": [v1],
                                         "new_paths": [v2, other]}, "package_paths_updated")
        assert reply["modules_unloaded"] == 3
        assert sys.path[:2] == [v2, other] and v1 not in sys.path
        assert importlib.import_module("wbp_tool").VERSION == "2"
        assert "wbp_other" in sys.modules
        assert running.kernel.virtual_env.get_paths() == [v2, other]
        assert running.kernel._lsp_bridge.sys_paths == [v2, other]

    async def test_whole_packages_go_but_neighbours_and_memory_modules_stay(
            self, running, tmp_path, workbook_modules):
        lib = package(tmp_path / "lib", "wbp_pkg", "lib")
        package(tmp_path / "lib2", "wbp_neighbour", "lib2")
        (tmp_path / "elsewhere").mkdir()
        (tmp_path / "elsewhere" / "extra.py").write_text("")
        sys.path[:0] = [lib, str(tmp_path / "lib2")]
        importlib.import_module("wbp_pkg")
        load_from(tmp_path / "elsewhere" / "extra.py", "wbp_pkg.extra")
        importlib.import_module("wbp_neighbour")  # under "lib2", which starts with "lib"
        sys.modules["wbp_pkg.nofile"] = type(sys)("wbp_pkg.nofile")
        sys.modules["wbp_oddity"] = type("Odd", (), {"__file__": 42})()
        workbook_modules.append("wbp_memory")
        kernel_module.in_memory_loader.update_module("wbp_memory", "")
        importlib.import_module("wbp_memory")

        reply = await running.roundtrip({"type": "unload_and_clear_paths", "paths": [lib]},
                                        "modules_unloaded")
        assert reply == {"type": "modules_unloaded", "modules_unloaded": 3, "paths_cleared": 1,
                         "workbook_id": WB}
        assert not {"wbp_pkg", "wbp_pkg.extra", "wbp_pkg.nofile"} & set(sys.modules)
        assert {"wbp_neighbour", "wbp_memory", "wbp_oddity"} <= set(sys.modules)
        assert lib not in sys.path

        empty = await running.roundtrip({"type": "unload_and_clear_paths"}, "modules_unloaded")
        assert (empty["modules_unloaded"], empty["paths_cleared"]) == (0, 0)

    async def test_user_code_paths_go_to_the_end_and_unload_nothing(self, running, tmp_path):
        code = package(tmp_path / "code", "wbp_mine", "1")
        sys.path.insert(0, "/wb/old")
        reply = await running.roundtrip({"type": "set_python_paths", "old_paths": ["/wb/old"],
                                         "new_paths": [code]}, "python_paths_updated")
        assert reply == {"type": "python_paths_updated", "paths_added": 1, "workbook_id": WB}
        assert sys.path[-1] == code and "/wb/old" not in sys.path
        assert running.kernel._lsp_bridge.sys_paths == sys.path
        assert running.kernel.virtual_env.get_paths() == []

    @pytest.mark.parametrize("message", [
        {"type": "set_package_paths", "old_paths": [], "new_paths": ["/ok", 7]},
        {"type": "set_package_paths", "old_paths": "/not/a/list", "new_paths": []},
        {"type": "set_python_paths", "new_paths": [None]},
        {"type": "unload_and_clear_paths", "paths": {"a": 1}},
        {"type": "add_path", "path": ["/x"]},
    ])
    async def test_bad_path_lists_fail_before_anything_changes(self, message):
        kernel = kernel_module.PythonKernel(WB)
        kernel.virtual_env.add_path("/wb/kept")
        before, modules = list(sys.path), set(sys.modules)
        with pytest.raises(TypeError, match="must be a"):
            await kernel.handle_message(message)
        assert sys.path == before and set(sys.modules) == modules
        assert kernel.virtual_env.get_paths() == ["/wb/kept"]
