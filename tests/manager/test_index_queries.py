"""Version, extras and information queries against package indexes served on 127.0.0.1."""
import time

import pytest

from business_layer.packages.extras_resolver import ExtrasResolver
from business_layer.packages.manager import PackageManager
from business_layer.packages.package_index_client import PackageIndexClient
from business_layer.packages.version_resolver import VersionResolver
from business_layer.settings_manager import SettingsManager

FILE = [{"filename": "x.whl", "yanked": False}]


def project(releases=None, **info):
    document = {"info": {"name": "demo", "version": "2.0", "summary": "A demo", **info}}
    if releases is not None:
        document["releases"] = releases
    return document


def settings_for(primary, *secondaries, **more):
    return SettingsManager({"packages.index_url": primary + "/simple/",
                            "packages.extra_index_urls": list(secondaries),
                            "packages.query_timeout": 2, **more})


class TestVersions:
    async def test_newest_first_by_version_semantics(self, index):
        index.project("demo", project({
            "1.9": FILE, "1.10": FILE, "2.0rc1": FILE, "2.0": FILE, "0.9.post1": FILE, "0.9": FILE,
            "3.0": [], "2.5": [{"yanked": True}], "not a version": FILE}))
        versions = await VersionResolver(settings_for(index.url)).get_available_versions("demo")
        assert versions == ["2.0", "2.0rc1", "1.10", "1.9", "0.9.post1", "0.9"]
        assert index.requests == ["/pypi/demo/json"]

    async def test_falls_through_to_the_secondary(self, index, second_index, closed_port):
        index.project("demo", project({"1.0": []}))
        second_index.project("demo", project({"1.0": FILE}))
        resolver = VersionResolver(settings_for(closed_port, index.url,
                                                second_index.url + "/simple"))
        assert await resolver.get_available_versions("demo") == ["1.0"]
        assert index.requests == second_index.requests == ["/pypi/demo/json"]

    @pytest.mark.parametrize("status, body", [
        (200, b"not json"), (200, b"[1, 2]"), (200, b'{"info": "x"}'), (500, b"{}"),
        (200, b'{"info": {}, "releases": ["1.0"]}'), (200, b"\xff\xfe"),
    ])
    async def test_garbage_gives_an_empty_list(self, index, status, body):
        index.project("demo", body, status=status)
        assert await VersionResolver(settings_for(index.url)).get_available_versions("demo") == []

    async def test_time_out_is_bounded(self, index):
        index.project("demo", project({"1.0": FILE}), delay=5)
        start = time.monotonic()
        settings = settings_for(index.url, **{"packages.query_timeout": 0.3})
        assert await VersionResolver(settings).get_available_versions("demo") == []
        assert time.monotonic() - start < 3

    @pytest.mark.parametrize("name", ["../admin", "a/b", "", "-x", "x y", None, 5, "x" * 300])
    async def test_names_that_are_no_names_ask_nobody(self, index, name):
        assert await VersionResolver(settings_for(index.url)).get_available_versions(name) == []
        assert await ExtrasResolver(settings_for(index.url)).get_package_extras(name) == []
        assert "error" in await PackageIndexClient(settings_for(index.url)).get_package_info(name)
        assert index.requests == []


class TestExtras:
    async def test_declared_extras_of_a_version(self, index):
        index.project("demo", project(provides_extra=["socks", "http2"]), version="1.0")
        extras = await ExtrasResolver(settings_for(index.url)).get_package_extras("demo", "1.0")
        assert extras == ["socks", "http2"]
        assert index.requests == ["/pypi/demo/1.0/json"]

    async def test_latest_from_requirement_markers(self, index):
        index.project("demo", project(requires_dist=[
            "idna", 'h2<5,>=3; extra == "http2"', "socksio==1.*; extra == 'socks'",
            'rich; python_version >= "3.8" and extra == "cli"', 'h2; extra == "http2"',
            "bad req ;;"]))
        extras = await ExtrasResolver(settings_for(index.url)).get_package_extras("demo")
        assert extras == ["http2", "socks", "cli"]

    async def test_unknown_release_gives_an_empty_list(self, index):
        assert await ExtrasResolver(settings_for(index.url)).get_package_extras("demo", "9") == []


class TestInfo:
    async def test_info_from_the_first_index_that_knows_it(self, index, second_index):
        second_index.project("demo", project(summary=None))
        client = PackageIndexClient(settings_for(index.url, second_index.url))
        assert await client.get_package_info("demo") == {
            "name": "demo", "latest_version": "2.0", "summary": ""}
        assert index.requests == ["/pypi/demo/json"]

    async def test_configured_url_patterns(self, index):
        index.routes["/api/demo.json"] = (200, b'{"info": {"name": "Demo", "version": "1"}}', 0)
        settings = settings_for(index.url,
                                **{"packages.json_url_pattern": "{index}/api/{name}.json"})
        info = await PackageIndexClient(settings).get_package_info("demo")
        assert info == {"name": "Demo", "latest_version": "1", "summary": ""}

    async def test_unreachable_index_gives_an_error_dict(self, closed_port):
        info = await PackageIndexClient(settings_for(closed_port)).get_package_info("demo")
        assert list(info) == ["error"] and "demo" in info["error"]


async def test_manager_queries_end_to_end(index, tmp_path):
    index.project("demo", project({"1.0": FILE, "1.1": FILE}, provides_extra=["x"]))
    manager = PackageManager(str(tmp_path), settings_for(index.url))
    assert await manager.get_available_versions("demo") == ["1.1", "1.0"]
    assert await manager.get_package_extras("demo") == ["x"]
    assert (await manager.get_package_info("demo"))["latest_version"] == "2.0"
