"""PackageManager construction, directories and the three index query delegations."""
import asyncio
import os

import pytest

from business_layer.packages import manager as manager_module
from business_layer.packages.manager import DEFAULT_CACHE_DIR, PackageManager


class Recorder:
    """Stands in for a component class: remembers how it was built."""
    built = []

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        Recorder.built.append(self)


@pytest.fixture
def recorded_components(monkeypatch):
    Recorder.built = []
    names = ["PackageCache", "PipCommandBuilder", "VersionResolver", "ExtrasResolver",
             "PackageIndexClient"]
    for name in names:
        monkeypatch.setattr(manager_module, name, type(name, (Recorder,), {}))
    return names


class TestConstruction:
    def test_fields_in_order_and_components_built_as_documented(self, tmp_path,
                                                                 recorded_components):
        settings = object()
        manager = PackageManager(str(tmp_path), settings)
        assert list(vars(manager)) == ["base_dir", "cache_dir", "settings_manager", "package_cache",
                                       "pip_command_builder", "version_resolver", "extras_resolver",
                                       "index_client"]
        assert manager.base_dir == str(tmp_path)
        assert manager.cache_dir == os.path.join(str(tmp_path), DEFAULT_CACHE_DIR)
        assert manager.settings_manager is settings
        assert [type(c).__name__ for c in Recorder.built] == recorded_components
        cache, *others = Recorder.built
        assert cache.args == () and cache.kwargs == {"cache_dir": str(tmp_path)}
        assert all(c.args == (settings,) and c.kwargs == {} for c in others)

    @pytest.mark.parametrize("base_dir", [None, ""])
    def test_no_base_dir_means_the_working_directory(self, tmp_path, monkeypatch, base_dir):
        monkeypatch.chdir(tmp_path)
        manager = PackageManager(base_dir)
        assert manager.base_dir == str(tmp_path)
        assert manager.cache_dir.endswith(".quorvel_packages")
        assert manager.settings_manager is None

    def test_relative_base_stays_relative_and_nothing_is_created(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        manager = PackageManager("work")
        assert manager.cache_dir == os.path.join("work", ".quorvel_packages")
        assert os.listdir(tmp_path) == []


class TestDirectories:
    def test_target_dir_is_resolved_when_asked(self, tmp_path, monkeypatch):
        manager = PackageManager("rel")
        monkeypatch.chdir(tmp_path)
        expected = os.path.join(str(tmp_path), "rel", ".quorvel_packages")
        assert manager.get_target_dir() == expected
        assert manager.get_installation_path() == expected
        assert not os.path.exists(expected)
        assert manager.ensure_cache_dir() == expected
        assert os.path.isdir(expected)
        assert manager.ensure_cache_dir() == expected

    def test_ensure_cache_dir_lets_os_errors_through(self, tmp_path):
        (tmp_path / "file").write_text("")
        with pytest.raises(OSError):
            PackageManager(str(tmp_path / "file")).ensure_cache_dir()

    def test_methods_go_through_the_instance(self, tmp_path):
        class Elsewhere(PackageManager):
            def get_target_dir(self):
                return str(tmp_path / "elsewhere")
        manager = Elsewhere(str(tmp_path))
        assert manager.ensure_cache_dir() == str(tmp_path / "elsewhere")
        assert manager.get_installation_path() == str(tmp_path / "elsewhere")


class FakeResolver:
    def __init__(self, result=None, error=None):
        self.result, self.error, self.calls = result, error, []

    async def answer(self, *args):
        self.calls.append(args)
        await asyncio.sleep(0)
        if self.error:
            raise self.error
        return self.result

    get_available_versions = get_package_extras = get_package_info = answer


class TestQueries:
    QUERIES = [("get_available_versions", "version_resolver", ("pkg",), ["2.0", "1.0"]),
               ("get_package_extras", "extras_resolver", ("pkg", "1.0"), ["fast"]),
               ("get_package_info", "index_client", ("pkg",), {"name": "pkg"})]

    @pytest.mark.parametrize("query, component, args, result", QUERIES)
    async def test_delegates_and_returns_unchanged(self, query, component, args, result):
        manager = PackageManager()
        resolver = FakeResolver(result)
        setattr(manager, component, resolver)
        assert await getattr(manager, query)(*args) is result
        resolver.result = None
        assert await getattr(manager, query)(*args) is None
        assert resolver.calls == [args, args]

    async def test_extras_version_defaults_to_none(self):
        manager = PackageManager()
        manager.extras_resolver = FakeResolver([])
        await manager.get_package_extras("pkg")
        assert manager.extras_resolver.calls == [("pkg", None)]

    @pytest.mark.parametrize("query, component, args, result", QUERIES)
    async def test_wrong_result_type_is_a_type_error(self, query, component, args, result):
        manager = PackageManager()
        wrong = {"a": 1} if isinstance(result, list) else ["a"]
        setattr(manager, component, FakeResolver(wrong))
        with pytest.raises(TypeError, match=query):
            await getattr(manager, query)(*args)
        setattr(manager, component, FakeResolver(tuple(result)))
        with pytest.raises(TypeError):
            await getattr(manager, query)(*args)

    async def test_component_errors_reach_the_caller(self):
        manager = PackageManager()
        manager.index_client = FakeResolver(error=LookupError("index down"))
        with pytest.raises(LookupError, match="index down"):
            await manager.get_package_info("pkg")
