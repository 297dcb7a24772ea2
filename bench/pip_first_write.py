"""Runs pip as `python -m pip` would, noting when pip first flushes a line to its standard output.

The time (time.monotonic(), the system-wide clock on Linux) goes to the file named by
QUORVEL_BENCH_FIRST_WRITE. Used by bench/install.py to measure how long a line takes from pip's
pipe to the consumer of the installation.
"""
import os
import runpy
import sys
import time


class FlushClock:
    def __init__(self, stream, path):
        self._stream, self._path, self._noted = stream, path, False

    def flush(self):
        # Noted just before the bytes go into the pipe: the consumer cannot have them earlier.
        now = time.monotonic()
        self._stream.flush()
        if not self._noted:
            self._noted = True
            with open(self._path, "w") as out:
                out.write(repr(now))

    def __getattr__(self, name):
        return getattr(self._stream, name)


sys.stdout = FlushClock(sys.stdout, os.environ["QUORVEL_BENCH_FIRST_WRITE"])
sys.argv[0] = "pip"
runpy.run_module("pip", run_name="__main__", alter_sys=True)
