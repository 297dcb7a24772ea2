"""The development hub: a local stand-in for the hub server that sits between the spreadsheet
add-in, the workbook kernels and the IDE.

It serves the two WebSocket endpoints the real hub serves (``/ws/kernel/<workbook id>`` and
``/ws/ide/main_ide``), launches kernel processes, and lets a script or a test speak to each
kernel as the hub would. ``make demo`` and the end-to-end tests run against it.
"""

from .hub import DevHub
from .kernel_session import KernelSession
from .launcher import KernelProcess, launch_kernel
from .sheet_requests import SimulatedWorkbook

__all__ = ["DevHub", "KernelSession", "KernelProcess", "SimulatedWorkbook", "launch_kernel"]
