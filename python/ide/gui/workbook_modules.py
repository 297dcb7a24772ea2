"""``WorkbookModules``: the saved code of each workbook's modules, as the window shows them.

``sources`` maps a workbook id to its modules (name -> source as the workbook holds it, not as
a tab may show it with unsaved edits); ``synced_hashes`` is kept by workbook id too. The
connection client fills and empties both as the hub reports workbooks and modules (through
the window's ``_module_cache`` and ``_synced_module_hashes``, which are these very maps), and
the actions keep ``sources`` up to date as they save, rename and delete modules.
"""

from __future__ import annotations

from typing import Any, Dict, Optional

__all__ = ["WorkbookModules"]


class WorkbookModules:
    def __init__(self) -> None:
        self.sources: Dict[str, Dict[str, str]] = {}
        self.synced_hashes: Dict[str, Any] = {}

    def modules(self, workbook_id: str) -> Dict[str, str]:
        """The workbook's modules (empty when none are known); not to be changed."""
        return self.sources.get(workbook_id, {})

    def source(self, workbook_id: str, module: str) -> Optional[str]:
        return self.modules(workbook_id).get(module)

    def put(self, workbook_id: str, module: str, code: str) -> None:
        """The workbook holds `code` as the module now."""
        self.sources.setdefault(workbook_id, {})[module] = code

    def remove(self, workbook_id: str, module: str) -> None:
        self.sources.get(workbook_id, {}).pop(module, None)

    def rename(self, workbook_id: str, old: str, new: str, code: str) -> None:
        modules = self.sources.setdefault(workbook_id, {})
        modules.pop(old, None)
        modules[new] = code

    def replace(self, workbook_id: str, modules: Dict[str, str]) -> Dict[str, str]:
        """Takes `modules` as all of the workbook's (a copy is kept, and returned)."""
        kept = self.sources[workbook_id] = dict(modules)
        return kept
