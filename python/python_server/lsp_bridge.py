"""Language services (completion, signatures, hover, diagnostics) for the IDE's editor.

Stand-in until the real services exist. The kernel constructs it unconditionally and
keeps it told about module deletions, import paths and the hover mode; those calls
only record state and never raise. The language features themselves refuse with
``NotImplementedError``.
"""

from __future__ import annotations

from typing import Any, Dict, List

from quorvel_logging import get_logger

__all__ = ["LSPBridge"]

logger = get_logger(__name__)

_NOT_BUILT = "Language services are not built yet"


class LSPBridge:
    def __init__(self) -> None:
        self.sys_paths: List[Any] = []
        self.hover_mode: Any = None
        # Per-module analysis state, keyed by module name; nothing is cached yet.
        self._modules: Dict[str, Any] = {}

    def delete_module(self, module_name: str) -> None:
        """Forget whatever is known about ``module_name``."""
        self._modules.pop(module_name, None)

    def update_sys_paths(self, paths: Any) -> None:
        """Remember a copy of the import paths used to resolve user modules."""
        try:
            self.sys_paths = list(paths) if paths is not None else []
        except TypeError:
            # Called on the kernel's ordinary path: a bad argument must not break a run.
            logger.warning("Ignoring import paths that are not a list: %r", paths)

    def set_hover_mode(self, mode: Any) -> None:
        self.hover_mode = mode

    def completion(self, source: str, line: int, column: int, path: str, modules: dict) -> Any:
        raise NotImplementedError(_NOT_BUILT)

    def signature_help(self, source: str, line: int, column: int, path: str, modules: dict) -> Any:
        raise NotImplementedError(_NOT_BUILT)

    def hover(self, source: str, line: int, column: int, path: str, modules: dict) -> Any:
        raise NotImplementedError(_NOT_BUILT)

    def diagnostics(self, source: str, line: int, column: int, path: str, modules: dict) -> Any:
        raise NotImplementedError(_NOT_BUILT)
