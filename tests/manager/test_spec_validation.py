"""Package spec validation: messages, the injection corpus, and no child for a refused spec."""
import os
import re

import pytest

from business_layer.packages import manager as manager_module
from business_layer.packages.manager import VALID_PACKAGE_PATTERN, validate_package_spec

from .conftest import ScriptedPip, collect

INVALID_CHARACTER = "Package spec contains invalid character: "
INVALID_FORMAT = (False, "Package spec contains invalid format")

# What an attacker (or a careless paste) might send as a spec, with what stops it.
INJECTIONS = [
    ("requests; rm -rf /", ";"), ("requests|sh", "|"), ("requests && curl x", "&"),
    ("requests$HOME", "$"), ("requests`id`", "`"), ("requests$(id)", "$"), ("x(1)", "("),
    ("x)", ")"), ("x{a}", "{"), ("x}", "}"), ("x<1", "<"), ("requests>=2.0", ">"),
    ("x>1", ">"), ("x<=1", "<"), ("requests\n--index-url=http://evil", "\n"), ("x\r", "\r"),
    ("requests\n", "\n"), ("a|b&c", "|"), ("a&b|c", "|"), (";|&$`(){}<>\n\r", ";"),
]
BAD_FORMAT = [
    "-r/etc/passwd", "--index-url=http://evil", "-e.", "--", " requests", "requests ",
    "requests ==1.0", "x[]==1", "../../etc/passwd", "/abs/path", "./local", "file:///tmp/x",
    "http://evil/pkg.whl", "git+https://evil/repo", "pkg @ http://x", "pkg==1.0 --pre",
    "x==1==2", "x[a]]", "x[a][b]", "x=1", "x===1", "pkg\t", "pkg\x00", "pkg\x0b", "pkg\u2028",
    "réquests", "requеsts", "ｒequests", "pkg；ls", "pkg＆", "pkg\u00a0", "١٢٣", "x==１",
    "_private", ".hidden", "x[a b]", "pkg~1", "pkg!1", "x'y", 'x"y', "x\\y", "x*",
    "x?", "x#", "x%20", "x+y", "x,y", "x:y", "x@y",
]


class TestMessages:
    def test_empty(self):
        assert validate_package_spec("") == (False, "Package spec cannot be empty")

    def test_length_bound_in_characters(self):
        assert validate_package_spec("a" * 256) == (True, "")
        assert validate_package_spec("a" * 257) == (False,
                                                    "Package spec too long (max 256 characters)")
        # Too long is reported before any character: length is checked first.
        assert validate_package_spec(";" * 257)[1].startswith("Package spec too long")

    @pytest.mark.parametrize("spec, character", INJECTIONS)
    def test_forbidden_character_first_in_list_order(self, spec, character):
        assert validate_package_spec(spec) == (False, INVALID_CHARACTER + character)

    @pytest.mark.parametrize("spec", BAD_FORMAT)
    def test_invalid_format(self, spec):
        assert validate_package_spec(spec) == INVALID_FORMAT

    @pytest.mark.parametrize("spec", [
        "requests", "requests==2.31.0", "requests!=2.0", "requests~=2.0", "Django_Rest.frame-work",
        "httpx[http2,cli]==0.27.0", "a", "9lives", "pkg==1.0rc1", "x[a.b_c-d]", "pkg==1.0.post1",
    ])
    def test_accepted(self, spec):
        assert validate_package_spec(spec) == (True, "")

    def test_non_string_is_a_type_error(self):
        for value in (None, b"requests", 5, ["requests"]):
            with pytest.raises(TypeError):
                validate_package_spec(value)


class TestPattern:
    def test_is_a_compiled_pattern_without_flags(self):
        assert isinstance(VALID_PACKAGE_PATTERN, re.Pattern)
        assert VALID_PACKAGE_PATTERN.pattern == (
            r"^[a-zA-Z0-9][a-zA-Z0-9._-]*(\[[a-zA-Z0-9,._-]+\])?(==|>=|<=|>|<|!=|~=)?[a-zA-Z0-9._-]*$")
        assert VALID_PACKAGE_PATTERN.flags == re.compile("").flags

    def test_validation_reads_the_module_pattern(self, monkeypatch):
        monkeypatch.setattr(manager_module, "VALID_PACKAGE_PATTERN", re.compile("^only$"))
        assert validate_package_spec("requests") == INVALID_FORMAT
        assert validate_package_spec("only") == (True, "")


class TestRefusedSpecsStartNothing:
    """A refused spec yields one error item, builds no command and starts no child."""

    @pytest.mark.parametrize("spec",
                             [s for s, _ in INJECTIONS[:8]] + BAD_FORMAT[:6] + ["", "a" * 300])
    async def test_install_package(self, manager, no_child, spec):
        builder = manager.pip_command_builder = ScriptedPip("")
        items = await collect(manager.install_package(spec, None))
        assert items == [("error", "Invalid package spec: " + validate_package_spec(spec)[1])]
        assert builder.calls == [] and no_child == []
        assert not os.path.exists(manager.get_target_dir())

    @pytest.mark.parametrize("name, version, extras", [
        ("requests", "1.0; id", None), ("-e", "1", None), ("x", "1", ["a;b"]), ("x", "1", ["a]b"]),
        ("x", "1 --pre", None), ("x", ">=1", None), ("ｘ", "1", None), ("x", "1", ["é"]),
    ])
    async def test_install_package_to_cache(self, manager, no_child, name, version, extras):
        builder = manager.pip_command_builder = ScriptedPip("")
        items = await collect(manager.install_package_to_cache(name, version, extras))
        assert len(items) == 1 and items[0][0] == "error"
        assert items[0][1].startswith("Invalid package spec: Package spec contains invalid")
        assert builder.calls == [] and no_child == []
