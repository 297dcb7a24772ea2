"""Launching a kernel process for a workbook, as the hub does when a workbook opens."""

from __future__ import annotations

import asyncio
import json
import os
import sys
from typing import Any, Dict, Optional


class KernelProcess:
    """A running kernel process and its output."""

    def __init__(self, workbook_id: str, process: asyncio.subprocess.Process) -> None:
        self.workbook_id = workbook_id
        self.process = process

    @property
    def pid(self) -> int:
        return self.process.pid

    async def wait(self, timeout: float = 10.0) -> int:
        """Waits for the process to end and returns its exit code."""
        return await asyncio.wait_for(self.process.wait(), timeout)

    async def kill(self) -> None:
        if self.process.returncode is None:
            self.process.kill()
            await self.process.wait()


async def launch_kernel(
    workbook_id: str,
    port: int,
    connection_args: Optional[Dict[str, Any]] = None,
    secured: bool = False,
    env: Optional[Dict[str, str]] = None,
) -> KernelProcess:
    """Starts `python -m python_server WORKBOOK_ID PORT [ARGS_JSON]` with this interpreter.

    The kernel's standard output and error go to this process's (they carry only log lines:
    what user code prints travels over the socket).
    """
    child_env = dict(os.environ)
    child_env["QUORVEL_SECURED"] = "1" if secured else "0"
    child_env.update(env or {})
    args = [sys.executable, "-m", "python_server", workbook_id, str(port)]
    if connection_args:
        args.append(json.dumps(connection_args))
    process = await asyncio.create_subprocess_exec(*args, env=child_env)
    return KernelProcess(workbook_id, process)
