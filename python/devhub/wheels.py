"""Small pure-Python wheels written directly, for demos and tests that install offline.

``build_wheel(folder, name, version, modules)`` writes ``<name>-<version>-py3-none-any.whl``
into ``folder``: the given modules (file name to source) inside the package folder ``name``,
the metadata pip reads (with ``Requires-Dist`` lines for ``requires``) and a RECORD with the
files' hashes. No build backend runs, so it takes milliseconds.
"""

from __future__ import annotations

import base64
import hashlib
import os
import zipfile
from typing import Dict, Iterable, List, Tuple

__all__ = ["build_wheel"]


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def build_wheel(folder: "str | os.PathLike[str]", name: str, version: str,
                modules: Dict[str, str], requires: Iterable[str] = ()) -> str:
    """Writes the wheel and returns its path. `name` must be a valid import name."""
    dist_info = f"{name}-{version}.dist-info"
    metadata = "".join([f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n",
                        *(f"Requires-Dist: {requirement}\n" for requirement in requires)])
    files: List[Tuple[str, bytes]] = [
        (f"{name}/{module}", source.encode()) for module, source in modules.items()]
    files += [(f"{dist_info}/METADATA", metadata.encode()),
              (f"{dist_info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: devhub\n"
                                     b"Root-Is-Purelib: true\nTag: py3-none-any\n")]
    record = "".join(_record_line(path, data) + "\n" for path, data in files)
    record += f"{dist_info}/RECORD,,\n"
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(os.fspath(folder), f"{name}-{version}-py3-none-any.whl")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for member, data in files:
            wheel.writestr(member, data)
        wheel.writestr(f"{dist_info}/RECORD", record)
    return path
