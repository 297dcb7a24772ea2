"""Installations with real pip children, offline: wheels built by the tests, --no-index."""
import asyncio
import os
from pathlib import Path

import pytest

from business_layer.package_cache import PackageCache
from business_layer.packages.manager import PackageManager
from business_layer.settings_manager import SettingsManager

from .conftest import collect


def installed_version(folder):
    """The VERSION that the tinypkg module in `folder` declares."""
    namespace = {}
    exec((folder / "tinypkg" / "__init__.py").read_text(), namespace)
    return namespace["VERSION"]


def types_of(items):
    return [output_type for output_type, _ in items]


class TestInstallPackage:
    async def test_default_target_is_the_hidden_cache(self, manager):
        items = await collect(manager.install_package("tinypkg==1.0"))
        assert items[-2:] == [("success", "Successfully installed tinypkg==1.0"),
                              ("path", manager.get_target_dir())]
        assert ("stdout", "Successfully installed tinypkg-1.0") in items
        assert installed_version(Path(manager.get_target_dir())) == "1.0"

    async def test_relative_target_comes_back_absolute(self, manager, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        items = await collect(manager.install_package("tinypkg", os.path.join("some", "where")))
        assert items[-1] == ("path", str(tmp_path / "some" / "where"))
        assert installed_version(tmp_path / "some" / "where") == "2.0"

    async def test_a_new_version_replaces_the_old_in_a_shared_target(self, manager, tmp_path):
        for version in ("1.0", "2.0", "1.0"):
            items = await collect(manager.install_package(f"tinypkg=={version}",
                                                          str(tmp_path / "t")))
            assert types_of(items)[-2:] == ["success", "path"]
            assert installed_version(tmp_path / "t") == version

    @pytest.mark.parametrize("spec, complaint", [
        ("nosuchpkg==1.0", "No matching distribution found for nosuchpkg==1.0"),
        ("brokenpkg==1.0", "brokenpkg-1.0-py3-none-any.whl"),
    ])
    async def test_pip_failure_forwards_every_line_then_the_error(self, manager, spec, complaint):
        items = await collect(manager.install_package(spec, None))
        assert items[-1] == ("error", "pip install failed with return code 1")
        assert "path" not in types_of(items) and "success" not in types_of(items)
        assert any(t == "stderr" and complaint in line for t, line in items)


    async def test_no_network(self, tmp_path, closed_port, monkeypatch):
        monkeypatch.setenv("PIP_RETRIES", "0")
        manager = PackageManager(str(tmp_path),
                                 SettingsManager({"packages.index_url": closed_port}))
        items = await collect(manager.install_package_to_cache("tinypkg", "1.0"))
        assert items[-1] == ("error", "pip install failed with return code 1")
        assert ("stderr", "ERROR: No matching distribution found for tinypkg==1.0") in items
        assert manager.package_cache.get_cached_package("tinypkg", "1.0", "") is None


class TestInstallToCache:
    async def test_installs_records_then_reuses_without_a_child(self, manager, monkeypatch):
        items = await collect(manager.install_package_to_cache("tinypkg", "2.0", ["slow", "fast"]))
        assert items[-2][1] == "Successfully installed tinypkg[slow,fast]==2.0 to cache"
        install_dir = items[-1][1]
        assert items[-1][0] == "path" and os.path.dirname(install_dir) == manager.get_target_dir()
        assert installed_version(Path(install_dir)) == "2.0"

        async def refuse(*args, **kwargs):
            raise AssertionError("a cache hit must not start pip")
        monkeypatch.setattr(asyncio, "create_subprocess_exec", refuse)
        # The same extras in another order are the same installation.
        again = await collect(manager.install_package_to_cache("tinypkg", "2.0", ["fast", "slow"]))
        assert again == [("stdout", "Package already cached at " + install_dir),
                         ("success", "Using cached tinypkg[fast,slow]==2.0"),
                         ("cached", install_dir)]
        assert await collect(
            manager.install_package_no_deps("tinypkg", "2.0", ["fast", "slow"])) == again

    async def test_extras_keep_their_order_in_the_spec_and_sort_in_the_key(self, manager):
        specs = []
        build = manager.pip_command_builder.build_install_command

        def spy(spec, target, **options):
            specs.append((spec, options))
            return build(spec, target, **options)
        manager.pip_command_builder.build_install_command = spy
        items = await collect(manager.install_package_to_cache("tinypkg", "2.0", ["slow", "fast"]))
        assert specs == [("tinypkg[slow,fast]==2.0", {"no_deps": True, "prefer_binary": True})]
        cache = manager.package_cache
        assert cache.get_cached_package("tinypkg", "2.0", "fast,slow") == items[-1][1]
        assert cache.get_cached_package("tinypkg", "2.0", "slow,fast") is None
        assert cache.get_cached_package("tinypkg", "2.0", "") is None

    async def test_record_exists_when_success_arrives(self, manager):
        async for output_type, content in manager.install_package_to_cache("tinypkg", "1.0"):
            if output_type == "success":
                assert manager.package_cache.get_cached_package("tinypkg", "1.0", "")

    async def test_failed_installation_is_not_recorded(self, manager):
        items = await collect(manager.install_package_to_cache("tinypkg", "9.9"))
        assert items[-1] == ("error", "pip install failed with return code 1")
        assert manager.package_cache.get_cached_package("tinypkg", "9.9", "") is None
        # The next attempt tries again rather than reporting a cached failure.
        assert types_of(
            await collect(manager.install_package_to_cache("tinypkg", "9.9")))[-1] == "error"

    async def test_failing_record_is_an_installation_failure(self, manager):
        def full(*args):
            raise OSError("disk full")
        manager.package_cache.add_cached_package = full
        items = await collect(manager.install_package_to_cache("tinypkg", "1.0"))
        assert items[-1] == ("error", "Installation failed: disk full")
        assert "path" not in types_of(items)

    async def test_concurrent_installations(self, manager):
        wanted = [("1.0", None), ("2.0", None), ("2.0", ["fast"]), ("2.0", ["slow", "fast"])]
        results = await asyncio.gather(*(collect(manager.install_package_to_cache("tinypkg", v, e))
                                         for v, e in wanted))
        paths = [items[-1][1] for items in results]
        assert all(items[-1][0] == "path" for items in results) and len(set(paths)) == 4
        cache = PackageCache(cache_dir=manager.base_dir)
        for (version, extras), path in zip(wanted, paths):
            assert cache.get_cached_package("tinypkg", version,
                                            ",".join(sorted(extras or []))) == path
            assert installed_version(Path(path)) == version
