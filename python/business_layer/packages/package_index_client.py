"""Package information from the package index's JSON interface.

Stands in for the hub's index client. ``get_package_info(name)`` answers
``{"name", "latest_version", "summary"}`` (all strings) from the first index, primary
then secondaries, that knows the package, honouring the settings' index URLs and URL
patterns; otherwise ``{"error": why}``. It never raises.
"""

from __future__ import annotations

from typing import Any, Dict

from business_layer.packages.index_json import IndexJson, is_valid_name
from quorvel_logging import get_logger

__all__ = ["PackageIndexClient"]

logger = get_logger(__name__)


def _text(value: Any) -> str:
    return value if isinstance(value, str) else ""


def _summary(document: Dict[str, Any], package_name: str) -> Dict[str, str]:
    info = document["info"]
    return {
        "name": _text(info.get("name")) or package_name,
        "latest_version": _text(info.get("version")),
        "summary": _text(info.get("summary")),
    }


class PackageIndexClient:
    def __init__(self, settings_manager: Any = None) -> None:
        self.settings_manager = settings_manager
        self.index = IndexJson(settings_manager)

    async def get_package_info(self, package_name: str) -> Dict[str, str]:
        if not is_valid_name(package_name):
            return {"error": f"Invalid package name: {package_name!r}"}
        try:
            info = await self.index.first_answer(
                package_name, None, lambda document: _summary(document, package_name))
        except Exception as error:  # the client answers an error dict rather than raise at the hub
            logger.error("Package information lookup failed for %s: %s", package_name, error)
            return {"error": f"Package index query failed: {error}"}
        if info is None:
            return {"error": f"Package {package_name} not found on any configured index"}
        return info
