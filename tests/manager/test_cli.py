"""The command line, run as a person would run it."""
import json
import subprocess
import sys

CLI = [sys.executable, "-m", "business_layer.packages.manager_cli"]


def run(*args, cwd):
    return subprocess.run([*CLI, *args], cwd=cwd, capture_output=True, text=True, timeout=120)


class TestCommandLine:
    def test_install_streams_pip_and_prints_the_path(self, tmp_path, wheelhouse):
        done = run("install", "tinypkg==1.0", "--target", "lib", "--no-index",
                   "--find-links", str(wheelhouse), cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        lines = done.stdout.splitlines()
        assert "Successfully installed tinypkg-1.0" in lines
        assert lines[-2:] == ["Successfully installed tinypkg==1.0",
                              f"Installed in {tmp_path / 'lib'}"]
        assert (tmp_path / "lib" / "tinypkg" / "__init__.py").exists()

    def test_cache_then_reuse(self, tmp_path, wheelhouse):
        args = ("cache", "tinypkg", "2.0", "--extra", "fast", "--no-index", "--find-links",
                str(wheelhouse))
        first, second = run(*args, cwd=tmp_path), run(*args, cwd=tmp_path)
        assert first.returncode == second.returncode == 0, first.stderr + second.stderr
        path = first.stdout.splitlines()[-1].removeprefix("Installed in ")
        assert path.startswith(str(tmp_path / ".quorvel_packages"))
        assert second.stdout.splitlines() == [f"Package already cached at {path}",
                                              "Using cached tinypkg[fast]==2.0",
                                              f"Installed in {path}"]

    def test_failures_exit_1_with_the_error(self, tmp_path, wheelhouse):
        refused = run("install", "tinypkg; rm -rf ~", cwd=tmp_path)
        assert refused.returncode == 1
        assert refused.stderr.strip() == ("error: Invalid package spec: "
                                          "Package spec contains invalid character: ;")
        assert list(tmp_path.iterdir()) == []
        missing = run("install", "nosuchpkg", "--no-index", "--find-links", str(wheelhouse),
                      cwd=tmp_path)
        assert missing.returncode == 1
        assert "No matching distribution found for nosuchpkg" in missing.stderr
        assert missing.stderr.splitlines()[-1] == "error: pip install failed with return code 1"

    def test_queries(self, tmp_path, index):
        index.project("demo", {"info": {"name": "demo", "version": "1.1", "summary": "Demo.",
                                        "provides_extra": ["x"]},
                               "releases": {"1.0": [{}], "1.1": [{}]}})
        settings = tmp_path / "settings.json"
        settings.write_text(json.dumps({"packages.index_url": index.url}))
        common = ("--settings", str(settings))
        assert run("versions", "demo", *common, cwd=tmp_path).stdout.split() == ["1.1", "1.0"]
        assert run("extras", "demo", *common, cwd=tmp_path).stdout.split() == ["x"]
        assert run("info", "demo", *common, cwd=tmp_path).stdout.splitlines() == [
            "demo 1.1", "Demo."]
        unknown = run("info", "nothere", "--index-url", index.url, cwd=tmp_path)
        assert unknown.returncode == 1 and unknown.stderr.startswith(
            "error: Package nothere not found")
