import json

import pytest

from python_server import lsp_bridge, lsp_diagnostics
from python_server.lsp_bridge import LSPBridge

SALES = ("def total(rows):\n    '''Sum of the rows.\n\n    Empty rows count as zero.'''\n"
         "    return sum(rows)\n")


def at_end(code):
    """(code, line, column) with the cursor after the last character."""
    lines = code.split("\n")
    return code, len(lines), len(lines[-1])


def labels(result):
    assert result["error"] is None
    return [item["label"] for item in result["completions"]]


@pytest.fixture
def bridge():
    return LSPBridge()


class TestCompletionsSeeTheWorkbook:
    def test_an_in_memory_module_completes_whether_imported_or_not(self, bridge):
        modules = {"sales": SALES}
        result = bridge.get_completions(*at_end("import sales\nsales."), modules=modules)
        item = next(i for i in result["completions"] if i["label"] == "total")
        assert item["kind"] == "function" and item["insert_text"] == "total"
        assert "Sum of the rows." in item["documentation"]
        assert "total" in labels(bridge.get_completions(*at_end("from sales import t"),
                                                        modules=modules))

    def test_unsaved_buffers_win_over_the_modules_in_both_shapes(self, bridge):
        modules = {"sales": SALES}
        for dirty in ({"sales": "def net(x): pass\n"},
                      [{"module_name": "sales", "code": "def net(x): pass\n"}]):
            found = labels(bridge.get_completions(*at_end("import sales\nsales."),
                                                  modules=modules, dirty_files=dirty))
            assert "net" in found and "total" not in found
        # Without the buffer the saved text is back.
        assert "total" in labels(bridge.get_completions(*at_end("import sales\nsales."),
                                                        modules=modules))

    def test_a_deleted_module_no_longer_resolves(self, bridge):
        code = at_end("import sales\nsales.")
        assert "total" in labels(bridge.get_completions(*code, modules={"sales": SALES}))
        assert "total" in labels(bridge.get_completions(*code))  # None keeps the modules
        bridge.delete_module("sales")
        assert "total" not in labels(bridge.get_completions(*code))

    def test_a_package_on_the_given_paths_completes_in_the_next_request(self, bridge, tmp_path):
        code = at_end("import tinypkg\ntinypkg.")
        folder = tmp_path / "packages"
        bridge.update_sys_paths([str(folder)])
        assert "shout" not in labels(bridge.get_completions(*code))
        # The folder appears, with a package in it, as an installation makes it.
        (folder / "tinypkg").mkdir(parents=True)
        (folder / "tinypkg" / "__init__.py").write_text("def shout(text):\n    pass\n")
        bridge.update_sys_paths([str(folder)])
        assert "shout" in labels(bridge.get_completions(*code))
        # Installed into a folder already searched: no new paths needed.
        (folder / "other.py").write_text("def whisper():\n    pass\n")
        assert "whisper" in labels(bridge.get_completions(*at_end("import other\nother.")))
        bridge.update_sys_paths([])
        assert "shout" not in labels(bridge.get_completions(*code))

    def test_the_typed_prefix_is_reported(self, bridge):
        item = bridge.get_completions(*at_end("import os\nos.path.jo"))["completions"][0]
        assert (item["label"], item["prefix_length"]) == ("join", 2)


class TestTheKernelsOwnInterpreter:
    def test_installed_and_compiled_modules_without_touching_the_running_code(
            self, bridge, monkeypatch, tmp_path):
        """The analysis looks in this interpreter, yet sets no sys.path of its own under code
        running on other threads, and never asks the import hook of workbook modules."""
        import sys

        bridge.get_completions(*at_end("import os\nos.pa"))  # the analyser is loaded
        watched = list(sys.path)
        asked = []

        class WorkbookHook:  # as the kernel's in-memory loader sits in sys.meta_path
            @staticmethod
            def find_spec(name, path=None, target=None):
                asked.append((name, sys.path is watched))
                return None

        monkeypatch.setattr(sys, "path", watched)
        monkeypatch.setattr(sys, "meta_path", [WorkbookHook, *sys.meta_path])
        (tmp_path / "shipped").mkdir()
        (tmp_path / "shipped" / "__init__.py").write_text("def ship(order):\n    pass\n")
        bridge.update_sys_paths([str(tmp_path)])
        modules = {"sales": SALES}
        assert "ship" in labels(bridge.get_completions(*at_end("import shipped\nshipped."),
                                                       modules=modules))
        assert "total" in labels(bridge.get_completions(*at_end("import sales\nsales.t"),
                                                        modules=modules))
        for module, prefix, name in (("math", "fl", "floor"), ("cmath", "sq", "sqrt"),
                                     ("_bisect", "bis", "bisect_left")):
            assert name in labels(bridge.get_completions(
                *at_end(f"import {module}\n{module}.{prefix}"), modules=modules))
        assert sys.path is watched and all(unswapped for _, unswapped in asked), asked
        assert not {"sales", "shipped"} & {name for name, _ in asked}


class TestSignaturesAndHover:
    def test_signature_help_marks_the_parameter_under_the_cursor(self, bridge):
        result = bridge.get_signature_help(*at_end("import sales\nsales.total([1], "),
                                           modules={"sales": SALES})
        assert result["error"] is None
        assert result["signatures"][0]["label"] == "total(rows)"
        assert result["activeParameter"] == -1  # past the only parameter
        result = bridge.get_signature_help(*at_end("import sales\nsales.total("),
                                           modules={"sales": SALES})
        assert result["activeParameter"] == 0
        assert result["signatures"][0]["documentation"] == "Sum of the rows."

    def test_hover_is_markdown_compact_or_full(self, bridge):
        args = ("import sales\nsales.total", 2, 8)
        compact = bridge.get_hover(*args, modules={"sales": SALES})["contents"]
        assert compact == "```python\ntotal(rows)\n```\n\nSum of the rows."
        bridge.set_hover_mode("full")
        full = bridge.get_hover(*args, modules={"sales": SALES})["contents"]
        assert full.endswith("Sum of the rows.\n\nEmpty rows count as zero.")
        assert bridge.get_hover("x = 1\n\n", 2, 0)["contents"] is None


class TestDiagnostics:
    def test_syntax_errors_carry_line_and_column(self, bridge):
        (found,) = bridge.get_diagnostics("x = 1\ndef f(:\n    pass\n", "m")["diagnostics"]
        assert (found["line"], found["column"], found["severity"]) == (2, 6, "error")

    def test_undefined_names_and_unused_imports(self, bridge):
        found = bridge.get_diagnostics("import os\nprint(missing)\n", "m")["diagnostics"]
        assert [(d["line"], d["severity"], d["message"]) for d in found] == [
            (1, "warning", "'os' imported but unused"),
            (2, "error", "undefined name 'missing'")]

    def test_columns_count_characters_after_text_beyond_ascii(self, bridge):
        code = "s = 'é😀'; print(missing)\nt = 'é😀' +* 1\n"
        (name,) = bridge.get_diagnostics(code.splitlines()[0], "m")["diagnostics"]
        (syntax,) = bridge.get_diagnostics(code, "m")["diagnostics"]
        assert name["column"] == code.index("missing")
        assert (syntax["line"], syntax["column"]) == (2, code.splitlines()[1].index("*"))

    def test_the_garbage_collector_is_left_as_the_analysis_found_it(self, bridge):
        import gc

        bridge.get_diagnostics("def f(:\n", "m")  # a failing analysis too
        assert gc.isenabled()
        gc.disable()
        try:
            bridge.get_diagnostics("x = 1\n", "m")
            assert not gc.isenabled()
        finally:
            gc.enable()

    def test_compiler_warnings_stay_off_stderr(self, bridge, capfd):
        bridge.get_diagnostics("x = 1\nif x is 1:\n    s = '\\d'\n", "m")
        assert capfd.readouterr().err == ""


class TestBadInput:
    @pytest.mark.parametrize("args, error", [
        (("x = 1", 2, 0), "line 2 is outside the text (lines 1 to 1)"),
        (("x = 1", 1, 6), "column 6 is outside line 1 (columns 0 to 5)"),
        (("x = 1", -1, 0), "line -1 is outside the text"),
        (("x = 1", "1", 0), "line must be an integer, not str"),
        (("x = 1", 1, None), "column must be an integer, not NoneType"),
        ((["x"], 1, 0), "code must be text, not list"),
        (("x = '\ud800'", 1, 0), "code is not valid Unicode text (lone surrogate at offset 5)"),
        (("x", 1, 0, 5), "path must be text, not int"),
        (("x", 1, 0, None, ["sales"]), "modules must be a mapping, not list"),
        (("x", 1, 0, None, None, 3), "dirty_files must be a mapping or a list, not int"),
    ])
    def test_every_request_answers_empty_with_an_error(self, bridge, args, error):
        for operation, empty in ((bridge.get_completions, {"completions": []}),
                                 (bridge.get_signature_help, {"signatures": []}),
                                 (bridge.get_hover, {"contents": None})):
            result = operation(*args)
            assert result["error"].startswith(error)
            assert {key: result[key] for key in empty} == empty
            json.dumps(result).encode("utf-8")  # the answer can go on the wire

    def test_diagnostics_refuse_text_they_cannot_read(self, bridge):
        assert bridge.get_diagnostics(b"x", "m") == {"diagnostics": [],
                                                     "error": "code must be text, not bytes"}
        assert bridge.get_diagnostics("\ud800", "m")["error"].startswith("code is not valid")


    def test_a_damaged_parse_cache_file_is_dropped_and_the_answer_still_comes(
            self, bridge, tmp_path, monkeypatch):
        import jedi
        import parso.cache

        monkeypatch.setattr(jedi.settings, "cache_directory", str(tmp_path / "cache"))
        code = "import json\njson.du"
        assert "dumps" in labels(bridge.get_completions(*at_end(code)))
        # Another kernel was writing these when this one reads them.
        for cached in (tmp_path / "cache").rglob("*.pkl"):
            cached.write_bytes(b"")
        parso.cache.parser_cache.clear()
        assert "dumps" in labels(bridge.get_completions(*at_end(code)))

class TestBounds:
    def test_answers_are_cut_at_their_limits(self, bridge, monkeypatch):
        monkeypatch.setattr(lsp_bridge, "MAX_COMPLETIONS", 3)
        assert len(bridge.get_completions(*at_end("import os\nos."))["completions"]) == 3
        code = "".join(f"print(name_{i})\n" for i in range(lsp_diagnostics.MAX_DIAGNOSTICS + 5))
        found = bridge.get_diagnostics(code, "m")["diagnostics"]
        assert len(found) == lsp_diagnostics.MAX_DIAGNOSTICS and found[-1]["line"] == len(found)
