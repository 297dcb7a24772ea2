"""The package cache and the pip command builder on their own."""
import os
import sys
import threading

from business_layer.package_cache import PackageCache
from business_layer.packages.pip_runner import PipCommandBuilder
from business_layer.settings_manager import SettingsManager


class TestPackageCache:
    def record(self, cache, name="Tiny_Pkg", version="1.0", extras=""):
        install_id, path = cache.generate_install_path()
        os.makedirs(path)
        cache.add_cached_package(install_id, name, version, extras, cache.get_current_platform(),
                                 cache.get_python_version(), path)
        return path

    def test_lookup_in_a_missing_cache_creates_nothing(self, tmp_path):
        cache = PackageCache(cache_dir=str(tmp_path))
        assert cache.get_cached_package("x", "1", "") is None
        assert os.listdir(tmp_path) == []

    def test_hit_matches_name_as_pip_does_and_the_rest_exactly(self, tmp_path):
        cache = PackageCache(cache_dir=str(tmp_path))
        path = self.record(cache, extras="a,b")
        assert os.path.dirname(path) == os.path.join(str(tmp_path), ".quorvel_packages")
        assert cache.get_cached_package("tiny-pkg", "1.0", "a,b") == path
        assert cache.get_cached_package("TINY.PKG", "1.0", "a,b") == path
        assert cache.get_cached_package("tiny-pkg", "1.0", "a") is None
        assert cache.get_cached_package("tiny-pkg", "1.0.1", "a,b") is None

    def test_vanished_folder_is_a_miss_and_an_older_one_still_serves(self, tmp_path):
        cache = PackageCache(cache_dir=str(tmp_path))
        older, newer = self.record(cache), self.record(cache)
        assert cache.get_cached_package("tiny-pkg", "1.0", "") == newer
        os.rmdir(newer)
        assert cache.get_cached_package("tiny-pkg", "1.0", "") == older
        os.rmdir(older)
        assert cache.get_cached_package("tiny-pkg", "1.0", "") is None

    def test_concurrent_writers_lose_nothing(self, tmp_path):
        caches = [PackageCache(cache_dir=str(tmp_path)) for _ in range(8)]
        paths, errors = [], []

        def work(cache, n):
            try:
                for k in range(5):
                    paths.append((f"{n}.{k}", self.record(cache, version=f"{n}.{k}")))
            except Exception as error:
                errors.append(error)
        threads = [threading.Thread(target=work, args=(c, n)) for n, c in enumerate(caches)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        assert errors == [] and len(paths) == 40
        assert all(caches[0].get_cached_package("tiny-pkg", v, "") == p for v, p in paths)


class TestPipCommandBuilder:
    def test_bare_command(self):
        command = PipCommandBuilder(None).build_install_command("pkg==1", "/t")
        assert command[:4] == [sys.executable, "-m", "pip", "install"]
        assert command[command.index("--target") + 1] == "/t"
        assert command[-2:] == ["--", "pkg==1"]
        assert "--no-deps" not in command and "--prefer-binary" not in command
        assert {"--no-input", "--disable-pip-version-check", "--upgrade"} <= set(command)

    def test_options_and_index_settings(self):
        settings = SettingsManager({"packages.index_url": "https://i/simple",
                                    "packages.extra_index_urls": ["https://a", "https://b"],
                                    "packages.no_index": True, "packages.find_links": "/wheels"})
        command = PipCommandBuilder(settings).build_install_command(
            "pkg==1", "/t", no_deps=True, prefer_binary=True)
        tail = command[command.index("/t") + 1:]
        assert tail == ["--index-url", "https://i/simple", "--extra-index-url", "https://a",
                        "--extra-index-url", "https://b", "--no-index", "--find-links", "/wheels",
                        "--no-deps", "--prefer-binary", "--", "pkg==1"]
