"""Language services for the IDE's editor: completions, signatures, hover text, diagnostics.

The kernel holds one ``LSPBridge`` and calls its four request operations on a thread of their
own, one at a time; completions, signatures and hover come from jedi, diagnostics from the
compiler and pyflakes. The analysis sees:

* the edited module's text ``code`` with the cursor at ``line`` (1-based) and ``column``
  (0-based, in characters), at document path ``path`` (text or None);
* ``modules``: the workbook's in-memory modules, module name to text, as the kernel holds
  them at the moment of the request; ``import sales`` resolves to module ``sales`` whether or
  not user code imported it. None keeps the modules of the previous request;
* ``dirty_files``: unsaved editor buffers of other modules, which take precedence over
  ``modules``: a mapping of module name to text, or a list of ``{"module_name": name,
  "code": text}`` objects;
* every folder of the kernel's ``sys.path`` at the moment of the request, after the paths
  last given to ``update_sys_paths``, so a package installed for the workbook completes in
  the next request.

Every request operation returns a dictionary and never raises. On bad input (a position
outside the text, a value of the wrong type, text that is not valid Unicode) or a failure
of the analysis, the results are empty and ``error`` holds a one-line text; otherwise
``error`` is None. Shapes:

``get_completions`` -> ``{"completions": [item, ...], "error": ...}``, at most
``MAX_COMPLETIONS`` items in jedi's order; an item is ``{"label": name, "kind": jedi's type
("module", "class", "instance", "function", "param", "path", "keyword", "property",
"statement"), "detail": short description ("def join", "module path"), "documentation":
Markdown as hover gives it in "compact" mode, for a module, class, function, property or
keyword among the first ``DOCUMENTED_COMPLETIONS`` items; "" for the others, whose text hover
gives), "insert_text": the whole name, "prefix_length": characters before the
cursor that the name replaces}``.

``get_signature_help`` -> ``{"signatures": [{"label": "f(a, b=1)", "documentation": first
paragraph of the docstring, "parameters": [{"label": "b=1", "name": "b"}, ...],
"activeParameter": index}, ...], "activeSignature": 0, "activeParameter": index, "error":
...}``; the index is -1 when the cursor is past the last parameter.

``get_hover`` -> ``{"contents": Markdown text or None, "error": ...}``: a fenced ``python``
block with the signature (or ``name: type``), then in "compact" mode the docstring's first
paragraph, in "full" mode the whole docstring. Any mode other than "full" is compact.

``get_diagnostics`` -> ``{"diagnostics": [{"line", "column", "end_line", "end_column" (lines
1-based, columns 0-based), "severity": "error" or "warning", "message", "source": "syntax" or
"pyflakes", "code": the finding's class name}, ...], "error": ...}``.

``update_sys_paths``, ``delete_module`` and ``set_hover_mode`` are called on the kernel's
listener loop: they only record what changed, never wait for an analysis and never raise.
``warm_up`` loads the analyser and fills its caches; ``warm_up_steps`` gives the same work as
steps, which the kernel runs on the language thread once language services are first wanted,
each queued behind the requests that arrived during the one before. Installed and compiled
modules are looked at in the kernel's own interpreter (``lsp_environment``), not in a helper
process.
"""

from __future__ import annotations

import contextlib
import gc
import importlib
import logging
import pickle
import shutil
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Mapping, Optional

from quorvel_logging import get_logger

from .lsp_diagnostics import diagnose
from .lsp_environment import kernel_environment
from .lsp_modules import ModuleMirror

__all__ = ["LSPBridge", "MAX_COMPLETIONS", "DOCUMENTED_COMPLETIONS", "MAX_SIGNATURES"]

logger = get_logger(__name__)

# Most completion items in one answer (after `import ` jedi offers every module it finds).
MAX_COMPLETIONS = 1000
# Items whose documentation is filled in: each costs an inference, and an editor shows the
# first ones; the rest are one hover away.
DOCUMENTED_COMPLETIONS = 20
# Most signatures (overloads) in one answer.
MAX_SIGNATURES = 10

# Kinds whose docstring describes the item itself.
_DOCUMENTED_KINDS = frozenset({"module", "class", "function", "keyword", "property"})

_WARM_UP_TEXTS = ("import os\nos.path.", "import os\nos.", "''.", "print(")


# One analysis at a time in the process: jedi's caches are process-wide and not thread-safe.
# Taken by the language thread (and direct callers), never by the kernel's listener loop.
_analysis_lock = threading.Lock()
# Set when import paths change: the path finder caches what each folder held (and that a
# missing folder is missing), so its caches are dropped before the next analysis.
_paths_changed = False
_warmed_up = False


def _jedi_environment() -> Any:
    """The kernel's own interpreter, as jedi sees installed modules (``lsp_environment``)."""
    global _paths_changed
    if _paths_changed:
        _paths_changed = False
        importlib.invalidate_caches()
    return kernel_environment()


class _BadRequest(Exception):
    """Input the bridge refuses; its text is the answer's `error`."""


def _first_paragraph(text: str) -> str:
    """The first paragraph that is not a heading (the language reference's keyword texts open
    with a title underlined by asterisks)."""
    for paragraph in text.strip().split("\n\n"):
        lines = paragraph.strip().splitlines()
        underline = lines[-1].strip() if len(lines) == 2 else ""
        if lines and not (underline and len(set(underline)) == 1 and underline[0] in "*=-~^"):
            return paragraph.strip()
    return ""


def _markdown(name: Any, full: bool) -> str:
    """A jedi name as Markdown: a python block with its signatures (or what it is), then its
    docstring, whole or its first paragraph."""
    kind = name.type
    if kind in ("function", "class"):
        prefix = "class " if kind == "class" else ""
        header = "\n".join(prefix + signature.to_string()
                           for signature in name.get_signatures()[:MAX_SIGNATURES])
    elif kind == "module":
        header = f"module {name.name}"
    elif kind == "keyword":
        header = name.name
    else:
        hint = name.get_type_hint() if kind != "param" else ""
        header = f"{name.name}: {hint}" if hint else name.description
    doc = name.docstring(raw=True).strip()
    if not full:
        doc = _first_paragraph(doc)
    text = f"```python\n{header or name.name}\n```"
    return f"{text}\n\n{doc}" if doc else text


def _check_text(value: Any, what: str) -> None:
    if not isinstance(value, str):
        raise _BadRequest(f"{what} must be text, not {type(value).__name__}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as error:
        raise _BadRequest(f"{what} is not valid Unicode text (lone surrogate at offset "
                          f"{error.start})") from None


def _check_position(code: str, line: Any, column: Any) -> None:
    from parso import split_lines

    for name, value in (("line", line), ("column", column)):
        if not isinstance(value, int) or isinstance(value, bool):
            raise _BadRequest(f"{name} must be an integer, not {type(value).__name__}")
    lines = split_lines(code)
    if not 1 <= line <= len(lines):
        raise _BadRequest(f"line {line} is outside the text (lines 1 to {len(lines)})")
    if not 0 <= column <= len(lines[line - 1]):
        raise _BadRequest(f"column {column} is outside line {line} "
                          f"(columns 0 to {len(lines[line - 1])})")


def _module_texts(modules: Any, dirty_files: Any) -> Optional[Dict[str, str]]:
    """The modules the analysis sees (dirty buffers win), or None when `modules` is None."""
    if modules is not None and not isinstance(modules, Mapping):
        raise _BadRequest(f"modules must be a mapping, not {type(modules).__name__}")
    if isinstance(dirty_files, Mapping):
        dirty = dict(dirty_files)
    elif isinstance(dirty_files, (list, tuple)):
        dirty = {}
        for entry in dirty_files:
            if not isinstance(entry, Mapping):
                raise _BadRequest("dirty_files entries must be objects with module_name and code")
            dirty[entry.get("module_name")] = entry.get("code")
    elif dirty_files is None:
        dirty = {}
    else:
        raise _BadRequest(f"dirty_files must be a mapping or a list, not "
                          f"{type(dirty_files).__name__}")
    if modules is None and not dirty:
        return None
    merged = dict(modules or {})
    merged.update(dirty)
    # Entries that are not text on both sides cannot be modules; they are left out.
    return {name: text for name, text in merged.items()
            if isinstance(name, str) and isinstance(text, str)}


def _error_text(error: BaseException) -> str:
    text = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
    # The answer is serialised as UTF-8: surrogates from the input must not reach it.
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


@contextlib.contextmanager
def _collector_paused():
    """Holds the cyclic garbage collector off for one diagnostics analysis.

    The analysis makes many objects that live until it ends, which sets off full collections;
    each of those walks every object of the process, jedi's large caches included, and made a
    2,000-line analysis about 2.5 times slower. Nothing is lost by waiting: what any thread
    leaves meanwhile is collected after. A collector that user code switched off stays off.
    """
    if not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def _drop_parse_cache(error: BaseException) -> None:
    """Empties the analyser's parse cache on disk and in memory.

    The cache on disk is shared by every kernel on the machine and written without atomic
    renames: a file another process was writing when this one read it unpickles as truncated,
    and would fail every later analysis that needs it. Dropping the cache costs one cold parse.
    """
    import jedi
    import parso.cache

    logger.warning("[LSP] Dropping the parse cache, which held a damaged file: %s",
                   _error_text(error))
    shutil.rmtree(jedi.settings.cache_directory, ignore_errors=True)  # others may be at it too
    parso.cache.parser_cache.clear()


class LSPBridge:
    def __init__(self) -> None:
        self.hover_mode = "compact"
        # What the listener loop records for the next analysis; guarded by _state_lock, which
        # is held only for single reads and writes (the loop must never wait).
        self._state_lock = threading.Lock()
        self._sys_paths: List[str] = []
        self._deleted: set = set()
        self._mirror: Optional[ModuleMirror] = None

    # --- state changes, from the listener loop ----------------------------------------------

    def update_sys_paths(self, paths: Any) -> None:
        """Folders searched before ``sys.path``, replacing those of the previous call; what
        is installed in any folder is looked up afresh from the next request on."""
        global _paths_changed
        try:
            kept = [path for path in paths if isinstance(path, str)]
        except TypeError:
            logger.warning("[LSP] Ignoring import paths that are not a list: %r", paths)
            return
        with self._state_lock:
            self._sys_paths = kept
        _paths_changed = True

    def delete_module(self, module_name: str) -> None:
        """Forgets an in-memory module: imports of it no longer resolve."""
        with self._state_lock:
            self._deleted.add(module_name)

    def set_hover_mode(self, mode: Any) -> None:
        self.hover_mode = mode

    @property
    def sys_paths(self) -> List[str]:
        with self._state_lock:
            return list(self._sys_paths)

    # --- requests, on the language thread -----------------------------------------------------

    def get_completions(self, code: Any = "", line: Any = 1, column: Any = 0, path: Any = None,
                        modules: Any = None, dirty_files: Any = None) -> Dict[str, Any]:
        return self._answer("completions", [], self._completions,
                            code, line, column, path, modules, dirty_files)

    def get_signature_help(self, code: Any = "", line: Any = 1, column: Any = 0,
                           path: Any = None, modules: Any = None,
                           dirty_files: Any = None) -> Dict[str, Any]:
        empty = {"signatures": [], "activeSignature": 0, "activeParameter": 0}
        return self._answer(None, empty, self._signatures,
                            code, line, column, path, modules, dirty_files)

    def get_hover(self, code: Any = "", line: Any = 1, column: Any = 0, path: Any = None,
                  modules: Any = None, dirty_files: Any = None) -> Dict[str, Any]:
        return self._answer("contents", None, self._hover,
                            code, line, column, path, modules, dirty_files)

    def get_diagnostics(self, code: Any = "", module_name: Any = None) -> Dict[str, Any]:
        started = time.perf_counter()
        try:
            _check_text(code, "code")
            with _analysis_lock, _collector_paused():
                found = diagnose(code)
        except _BadRequest as error:
            return {"diagnostics": [], "error": str(error)}
        except Exception as error:
            logger.warning("[LSP] Diagnostics of %r failed: %s", module_name, _error_text(error))
            return {"diagnostics": [], "error": _error_text(error)}
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug("[LSP] Diagnostics of %r took %.1f ms", module_name,
                         (time.perf_counter() - started) * 1000)
        return {"diagnostics": found, "error": None}

    def warm_up_steps(self) -> List[Callable[[], Any]]:
        """``warm_up`` in small steps, for a caller that lets requests in between them (the
        kernel does): empty once the process has warmed up or started to."""
        global _warmed_up
        if _warmed_up:
            return []
        _warmed_up = True

        def completion(text: str) -> Callable[[], Any]:
            lines = text.split("\n")
            return lambda: self.get_completions(text, len(lines), len(lines[-1]))

        def timed(number: int, step: Callable[[], Any]) -> Callable[[], Any]:
            def run() -> None:
                started = time.perf_counter()
                step()
                logger.debug("[LSP] Warm-up step %d took %.1f ms", number,
                             (time.perf_counter() - started) * 1000)
            return run

        steps = [*map(completion, _WARM_UP_TEXTS),
                 lambda: self.get_signature_help("print(", 1, 6),
                 lambda: self.get_hover("len", 1, 1),
                 lambda: self.get_diagnostics("import os\n")]
        return [timed(number, step) for number, step in enumerate(steps, 1)]

    def warm_up(self) -> None:
        """Loads jedi and pyflakes and fills jedi's caches for the stdlib's most used parts,
        once per process (the caches are the process's)."""
        started = time.perf_counter()
        try:
            for step in self.warm_up_steps():
                step()
        except Exception as error:  # the first real request will say what is wrong
            logger.warning("[LSP] Warm-up failed: %s", _error_text(error))
            return
        logger.debug("[LSP] Warm-up took %.1f ms", (time.perf_counter() - started) * 1000)

    # --- the analysis ------------------------------------------------------------------------

    def _answer(self, key: Optional[str], empty: Any, compute, code, line, column, path,
                modules, dirty_files) -> Dict[str, Any]:
        def answer(value: Any, error: Optional[str]) -> Dict[str, Any]:
            result = dict(value) if key is None else {key: value}
            result["error"] = error
            return result

        try:
            _check_text(code, "code")
            _check_position(code, line, column)
            if path is not None:
                _check_text(path, "path")
            texts = _module_texts(modules, dirty_files)
            with _analysis_lock:
                try:
                    script = self._script(code, path, texts)
                    return answer(compute(script, line, column), None)
                except (EOFError, pickle.UnpicklingError) as error:
                    _drop_parse_cache(error)
                    script = self._script(code, path, texts)
                    return answer(compute(script, line, column), None)
        except _BadRequest as error:
            return answer(empty, str(error))
        except Exception as error:
            logger.warning("[LSP] %s failed: %s", compute.__name__.strip("_"), _error_text(error))
            return answer(empty, _error_text(error))

    def _script(self, code: str, path: Optional[str], texts: Optional[Dict[str, str]]):
        import jedi

        if self._mirror is None:
            self._mirror = ModuleMirror()
        with self._state_lock:
            deleted, self._deleted = self._deleted, set()
            extra = list(self._sys_paths)
        self._mirror.remove_all(deleted)
        if texts is not None:
            self._mirror.sync(texts)
        search = [str(self._mirror.root)]
        for folder in extra + list(sys.path):
            if isinstance(folder, str) and folder and folder not in search:
                search.append(folder)
        project = jedi.Project(self._mirror.root, sys_path=search, smart_sys_path=False)
        return jedi.Script(code, path=path or None, project=project,
                           environment=_jedi_environment())

    def _completions(self, script, line: int, column: int) -> List[Dict[str, Any]]:
        items = []
        for index, completion in enumerate(script.complete(line, column)):
            if index == MAX_COMPLETIONS:
                break
            name, kind = completion.name, completion.type
            # A value's docstring would be its type's ("str(object='') -> str" for __name__).
            documented = index < DOCUMENTED_COMPLETIONS and kind in _DOCUMENTED_KINDS
            items.append({
                "label": name,
                "kind": kind,
                "detail": completion.description,
                "documentation": _markdown(completion, False) if documented else "",
                "insert_text": name,
                "prefix_length": len(name) - len(completion.complete),
            })
        return items

    def _signatures(self, script, line: int, column: int) -> Dict[str, Any]:
        found = script.get_signatures(line, column)[:MAX_SIGNATURES]
        signatures = []
        for signature in found:
            index = signature.index
            signatures.append({
                "label": signature.to_string(),
                "documentation": _first_paragraph(signature.docstring(raw=True)),
                "parameters": [{"label": param.to_string(), "name": param.name}
                               for param in signature.params],
                "activeParameter": -1 if index is None else index,
            })
        return {"signatures": signatures, "activeSignature": 0,
                "activeParameter": signatures[0]["activeParameter"] if signatures else 0}

    def _hover(self, script, line: int, column: int) -> Optional[str]:
        names = script.help(line, column)
        return _markdown(names[0], self.hover_mode == "full") if names else None
