"""The analyser's view of installed modules, from inside the kernel's own interpreter.

jedi answers its questions about installed and compiled modules (where a module is, what a C
extension's objects are) in a helper process unless told to look in its own: a second
interpreter of some 30 MiB per kernel, and a few hundred milliseconds to start before the
first completion. The kernel's interpreter is the workbook's already, so it is asked instead,
with two of jedi's same-process functions replaced, since they would disturb the code the
kernel runs meanwhile:

* looking a module up (``get_module_info``) set ``sys.path`` to the analysis' folders for
  the time of the search, under user code running on other threads, and asked every finder of
  ``sys.meta_path``, the kernel's own hook of in-memory workbook modules among them (those
  are analysed from the files the bridge mirrors them to). Here the folders are handed to the
  path finder, and ``sys.path`` is left alone;
* loading a compiled module (``load_module``) set ``sys.path`` too, around the import. Here
  it is imported with the kernel's own path, which holds the workbook's package folders as
  well (only compiled modules are loaded: Python source is read, never run).

Everything else is jedi's own. All of it runs on the language thread, under the bridge's
analysis lock.
"""

from __future__ import annotations

import importlib.machinery
import sys
import traceback
import warnings
from functools import partial
from typing import Any, Optional

__all__ = ["kernel_environment"]


def _module_info(inference_state: Any, sys_path: Optional[list] = None,
                 full_name: Optional[str] = None, string: str = "", path: Optional[list] = None,
                 is_global_search: bool = True, **_ignored: Any) -> Any:
    from jedi.inference.compiled.subprocess.functions import ImplicitNSInfo, _from_loader

    folders = path if path is not None else sys_path if sys_path is not None else sys.path
    try:
        spec = importlib.machinery.PathFinder.find_spec(string, folders)
        if spec is None and path is None:
            spec = importlib.machinery.BuiltinImporter.find_spec(string)
        if spec is None:
            return None, None
        if spec.loader is None and not spec.has_location:  # a namespace package
            name = string if not path else full_name
            return ImplicitNSInfo(name, list(spec.submodule_search_locations or [])), True
        return _from_loader(spec.loader, string)
    except (ImportError, ValueError):
        return None, None


def _load_module(inference_state: Any, dotted_name: str, sys_path: Any = None) -> Any:
    from jedi.inference.compiled.access import create_access_path

    try:
        __import__(dotted_name)
    except Exception:  # importing runs the module's code: whatever it raises is a warning
        warnings.warn(f"Cannot import {dotted_name}:\n{traceback.format_exc()}", UserWarning,
                      stacklevel=2)
        return None
    module = sys.modules.get(dotted_name)
    return None if module is None else create_access_path(inference_state, module)


_REPLACED = {"get_module_info": _module_info, "load_module": _load_module}


_environment: Any = None


def kernel_environment() -> Any:
    """jedi's environment of this very interpreter, with the two replacements above; one for
    the process (jedi keeps no state in it). Imports jedi."""
    global _environment
    if _environment is None:
        import jedi
        from jedi.inference.compiled import subprocess as jedi_subprocess

        class SameProcess(jedi_subprocess.InferenceStateSameProcess):
            def __getattr__(self, name: str) -> Any:
                replaced = _REPLACED.get(name)
                if replaced is None:
                    return super().__getattr__(name)
                return partial(replaced, self._inference_state_weakref())

        class KernelEnvironment(jedi.InterpreterEnvironment):
            def get_inference_state_subprocess(self, inference_state: Any) -> Any:
                return SameProcess(inference_state)

        _environment = KernelEnvironment()
    return _environment
