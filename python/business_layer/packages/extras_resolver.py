"""The extras a package release declares, from the package index's JSON interface.

Stands in for the hub's extras resolver. ``get_package_extras(name, version=None)`` reads
the release's metadata from the first index (primary, then secondaries) that has the
release; ``None`` means the latest release. Extras come from ``provides_extra`` when the
index gives it, else from the ``extra == "..."`` markers of ``requires_dist``, in the
order they appear, without repeats. No extras, or any failure, gives ``[]``.
"""

from __future__ import annotations

import re
from typing import Any, List, Optional

from packaging.markers import Marker
from packaging.requirements import InvalidRequirement, Requirement

from business_layer.packages.index_json import IndexJson, is_valid_name, is_valid_version
from quorvel_logging import get_logger

__all__ = ["ExtrasResolver"]

logger = get_logger(__name__)


# A marker's text as packaging writes it back: `extra == "name"`, double quotes.
_EXTRA_COMPARISON = re.compile(r'\bextra == "([^"]+)"')


def _marker_extras(marker: Optional[Marker]) -> List[str]:
    """Extras named in `extra == "x"` comparisons of a marker, in order."""
    return _EXTRA_COMPARISON.findall(str(marker)) if marker is not None else []


def extras_of(info: dict) -> List[str]:
    """The extras of a release's `info` block."""
    declared = info.get("provides_extra")
    names: List[str] = []
    if isinstance(declared, list) and declared:
        names = [name for name in declared if isinstance(name, str)]
    else:
        for line in info.get("requires_dist") or []:
            if not isinstance(line, str):
                continue
            try:
                names += _marker_extras(Requirement(line).marker)
            except InvalidRequirement:
                continue
    return list(dict.fromkeys(names))


class ExtrasResolver:
    def __init__(self, settings_manager: Any = None) -> None:
        self.settings_manager = settings_manager
        self.index = IndexJson(settings_manager)

    async def get_package_extras(self, package_name: str,
                                 version: Optional[str] = None) -> List[str]:
        if not is_valid_name(package_name) or (version is not None
                                               and not is_valid_version(version)):
            logger.warning("Not a package name and version: %r %r", package_name, version)
            return []
        try:
            extras = await self.index.first_answer(
                package_name, version, lambda document: extras_of(document["info"]))
        except Exception as error:  # a resolver answers [] rather than raise at the hub
            logger.error("Extras lookup failed for %s %s: %s", package_name, version, error)
            return []
        return extras or []
