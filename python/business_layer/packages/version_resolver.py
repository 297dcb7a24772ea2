"""Available versions of a package, from the package index's JSON interface.

Stands in for the hub's version resolver. ``get_available_versions(name)`` lists the
versions of the first index (primary, then secondaries) that has any, newest first, as
``packaging.version`` orders them. Releases without files, or whose files are all
yanked, cannot be installed by a plain request and are left out; so are version strings
that are not valid versions. Any failure gives ``[]``.
"""

from __future__ import annotations

from typing import Any, List

from packaging.version import InvalidVersion, Version

from business_layer.packages.index_json import IndexJson, is_valid_name
from quorvel_logging import get_logger

__all__ = ["VersionResolver"]

logger = get_logger(__name__)


def _installable(files: Any) -> bool:
    if not isinstance(files, list) or not files:
        return False
    return any(not (isinstance(f, dict) and f.get("yanked")) for f in files)


def versions_of(document: dict) -> List[str]:
    """The installable versions of a project document, newest first."""
    releases = document.get("releases")
    if not isinstance(releases, dict):
        return []
    parsed = []
    for text, files in releases.items():
        if not _installable(files):
            continue
        try:
            parsed.append((Version(text), text))
        except (InvalidVersion, TypeError):
            continue
    parsed.sort(key=lambda pair: pair[0], reverse=True)
    return [text for _, text in parsed]


class VersionResolver:
    def __init__(self, settings_manager: Any = None) -> None:
        self.settings_manager = settings_manager
        self.index = IndexJson(settings_manager)

    async def get_available_versions(self, package_name: str) -> List[str]:
        if not is_valid_name(package_name):
            logger.warning("Not a package name: %r", package_name)
            return []
        try:
            versions = await self.index.first_answer(
                package_name, None, lambda document: versions_of(document) or None)
        except Exception as error:  # a resolver answers [] rather than raise at the hub
            logger.error("Version lookup failed for %s: %s", package_name, error)
            return []
        return versions or []
