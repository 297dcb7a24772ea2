"""Kernel process launcher: ``python -m python_server WORKBOOK_ID PORT [CONNECTION_ARGS_JSON]``.

Runs the kernel for one workbook until its connection to the hub on 127.0.0.1:PORT ends.
``QUORVEL_SECURED=0`` selects plain ``ws``; anything else (or unset) selects ``wss``.
"""

import argparse
import asyncio
import json
import logging
import os
import sys
import threading
import time

from python_server import kernel, lsp_modules


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m python_server", description=__doc__)
    parser.add_argument("workbook_id")
    parser.add_argument("port")
    parser.add_argument("connection_args", nargs="?", default=None, type=json.loads)
    args = parser.parse_args()
    asyncio.run(kernel.main(args.workbook_id, args.port, args.connection_args))
    # The kernel leaves workers that still run user code behind as daemon threads, and threads
    # that user code started may still run. Waiting for them could take for ever, and the
    # interpreter's tear-down stops daemon threads by unwinding their stacks, which native frames
    # do not survive: the connection is over, so the process ends here.
    others = [t for t in threading.enumerate() if t is not threading.main_thread()]
    # Idle pool workers end as soon as they see the pool's shutdown: a moment for them, so that
    # only threads that are really still at work are named.
    deadline = time.monotonic() + 0.25
    for thread in others:
        if not thread.daemon:
            thread.join(max(0.0, deadline - time.monotonic()))
    running = [t for t in others if t.is_alive()]
    if running:
        # Daemon threads are the kernel's abandoned workers (named when they were left behind)
        # or libraries' helpers; a thread of user code that is not a daemon is worth a warning.
        working = [t.name for t in running if not t.daemon]
        if working:
            kernel.logger.warning("Kernel process exits without waiting for threads: %s",
                                  ", ".join(working))
        lsp_modules.remove_all()  # its exit handler would not run
        logging.shutdown()
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)


if __name__ == "__main__":
    main()
