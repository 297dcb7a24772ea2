"""Kernel process launcher: ``python -m python_server WORKBOOK_ID PORT [CONNECTION_ARGS_JSON]``.

Runs the kernel for one workbook until its connection to the hub on 127.0.0.1:PORT ends.
``QUORVEL_SECURED=0`` selects plain ``ws``; anything else (or unset) selects ``wss``.
"""

import argparse
import asyncio
import json

from python_server import kernel


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m python_server", description=__doc__)
    parser.add_argument("workbook_id")
    parser.add_argument("port")
    parser.add_argument("connection_args", nargs="?", default=None, type=json.loads)
    args = parser.parse_args()
    asyncio.run(kernel.main(args.workbook_id, args.port, args.connection_args))


if __name__ == "__main__":
    main()
