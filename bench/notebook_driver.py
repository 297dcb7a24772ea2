"""Drives one ipykernel with jupyter_client for bench/vs_notebook_kernel.py.

Runs inside the benchmark's own virtual environment (ipykernel and jupyter_client are no
dependency of the project). Reads one command per line on stdin and answers one JSON line on
stdout:

    trivial CODE_JSON   -> {"seconds": s}                 execute_request until execute_reply
    first CODE_JSON     -> {"seconds": s}                 until the first "stream" message
    flood CODE_JSON     -> {"seconds": s, "lines": n}     until the reply and the idle status,
                                                          every line of stream output counted
    complete CODE_JSON  -> {"seconds": s, "matches": n}   complete_request at the code's end
                                                          until complete_reply
    pid null            -> {"pid": p}                     the kernel's process
    quit
"""
from __future__ import annotations

import json
import sys
import time

from jupyter_client.manager import start_new_kernel

TIMEOUT = 120


def until_idle(client, msg_id, on_message=None):
    """Reads iopub until the kernel reports idle for `msg_id`."""
    while True:
        message = client.get_iopub_msg(timeout=TIMEOUT)
        if message["parent_header"].get("msg_id") != msg_id:
            continue
        if on_message is not None:
            on_message(message)
        if message["msg_type"] == "status" and message["content"]["execution_state"] == "idle":
            return


def reply_of(client, msg_id):
    while True:
        message = client.get_shell_msg(timeout=TIMEOUT)
        if message["parent_header"].get("msg_id") == msg_id:
            assert message["content"]["status"] == "ok", message["content"]
            return message


def trivial(client, code):
    start = time.perf_counter()
    msg_id = client.execute(code)
    reply_of(client, msg_id)
    elapsed = time.perf_counter() - start
    until_idle(client, msg_id)
    return {"seconds": elapsed}


def first_output(client, code):
    start = time.perf_counter()
    msg_id = client.execute(code)
    first = []

    def note(message):
        if message["msg_type"] == "stream" and not first:
            first.append(time.perf_counter() - start)

    until_idle(client, msg_id, note)
    reply_of(client, msg_id)
    return {"seconds": first[0]}


def flood(client, code):
    start = time.perf_counter()
    msg_id = client.execute(code)
    lines = [0]

    def count(message):
        if message["msg_type"] == "stream":
            lines[0] += message["content"]["text"].count("\n")

    until_idle(client, msg_id, count)
    reply_of(client, msg_id)
    return {"seconds": time.perf_counter() - start, "lines": lines[0]}


def complete(client, code):
    start = time.perf_counter()
    msg_id = client.complete(code, len(code))
    reply = reply_of(client, msg_id)
    return {"seconds": time.perf_counter() - start, "matches": len(reply["content"]["matches"])}


def main():
    manager, client = start_new_kernel(kernel_name="python3")
    commands = {"trivial": trivial, "first": first_output, "flood": flood, "complete": complete,
                "pid": lambda _client, _code: {"pid": manager.provisioner.process.pid}}
    print(json.dumps({"ready": True}), flush=True)
    try:
        for line in sys.stdin:
            name, _, argument = line.strip().partition(" ")
            if name == "quit":
                break
            print(json.dumps(commands[name](client, json.loads(argument))), flush=True)
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)


if __name__ == "__main__":
    main()
