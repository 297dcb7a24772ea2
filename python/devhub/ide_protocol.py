"""The messages the IDE sends to the development hub, and what comes back: the one place they are
written down.

Every message is a JSON object with a `type`. A request that carries a `request_id` (a string)
gets exactly one final reply with that `request_id`, which the IDE matches to the request
(`IdeLink.send_and_wait_response`); stream messages of a run carry the same id on the way.
Without a `request_id`, the hub answers failures with a red "log_to_console" line instead.

Connecting
----------

The IDE connects to ``/ws/ide/main_ide`` and presents the hub's token (from ``hub.json`` in the
hub's data folder) as ``Authorization: Bearer <token>``, sending no ``Origin``; a handshake
without the token, with another one, or from a web page of another origin is refused with HTTP
403 and its reason as the body (see ``access``).

The hub serves one IDE at a time. An IDE that connects takes the place of the one connected
before, which gets no more messages: the hub closes it with the close code `IDE_REPLACED_CODE`
(4001) and the reason `IDE_REPLACED_REASON`. An IDE closed that way shows the reason and does
not reconnect on its own (it would take the place back, and the two would take turns); the
person reconnects it from its File menu.

Workbooks, modules and runs
---------------------------

Relayed to the workbook's kernel (`workbook_id` names it):

| type | fields | the hub | reply to the IDE |
|---|---|---|---|
| "update_module" | `workbook_id`, `module_name`, `code`, `request_id` | writes `code` into the workbook's file, relays | "module_updated" {`workbook_id`, `module_name`, `request_id`} once the kernel took it and the file on disk holds it, then "module_list" |
| "delete_module" | `workbook_id`, `module_name`, `request_id` | takes the module out of the file, relays | "module_deleted" {`workbook_id`, `module_name`, `success`: true, `request_id`} once the kernel and the file are done, then "module_list" |
| "execution_request" | `workbook_id`, `code`, `request_id`, `source` ("ide") | relays | "stdout", "stderr", "result_output" as the cell runs, then one "execution_result" |
| "run_module" | `workbook_id`, `module_name`, `function_name`, `args` (list), `debug` (false), `breakpoints` ([]), `request_id`, `source` ("ide") | relays | as "execution_request"; "execution_result" names `function_name` |
| "reset_namespace" | `workbook_id`, `request_id` | relays | "namespace_reset" {`workbook_id`, `request_id`} |
| "interrupt_execution" | `workbook_id`, `request_id` (the run's; without it, every run of the workbook) | relays | "interrupt_result" {`request_id`, `workbook_id`, `interrupted`: the ids of the runs it reached} |

"interrupt_execution" raises KeyboardInterrupt in the run at its next bytecode boundary; the
run then ends with its usual failure ("execution_result" with `success` false), and the
workbook's namespace stays. Its `request_id` is the run's own, so the IDE does not wait for
"interrupt_result" as for a reply: it comes beside the run's replies. An id that is not
running gets an empty `interrupted`; without a connected kernel the hub answers with an empty
`interrupted` and `error`. Code inside one C call (a long `time.sleep`, a blocking read)
finishes that call first: when the run has not ended soon after an interrupt reached it, only
"restart_kernel" stops it.

The editor's language requests are relayed too, and the kernel's answers come back as they are
(its language bridge documents what `completions`, `signatures`, `contents` and `diagnostics`
hold):

| type | fields | reply to the IDE |
|---|---|---|
| "completion_request" | `workbook_id`, `module_name`, `path`, `code`, `line` (1-based), `column` (0-based, in characters), `dirty_files` ({module name: unsaved text}), `request_id` | "completion_response" {`completions`, `error`, `request_id`, `workbook_id`, `module_name`} |
| "signature_help_request" | as "completion_request" | "signature_help_response" {`signatures`, `activeSignature`, `activeParameter`, `error`, `request_id`, `workbook_id`, `module_name`} |
| "hover_request" | as "completion_request" | "hover_response" {`contents`, `error`, `request_id`, `workbook_id`, `module_name`} |
| "diagnostic_request" | `workbook_id`, `module_name`, `code`, `request_id` | "diagnostic_response" {`diagnostics`, `error`, `request_id`, `workbook_id`, `module_name`} |

A kernel whose language bridge fails logs it and answers nothing: the IDE gives up on a language
request after a time-out of its own.

A kernel loads its language services (the analyser and its caches, tens of MiB) only when they
are first wanted: at its first language request, or when the hub sends it
"language_services_wanted" {`workbook_id`}. The IDE sends "editing_workbook" {`workbook_id`}
(no reply) when it opens one of the workbook's modules in an editor; the hub then sends
"language_services_wanted" to the workbook's kernel, and again to each kernel of the workbook
that connects later (a restart), so that the first completion finds them warm. A workbook
nobody edits pays nothing for them.

A module longer than `MAX_MODULE_CHARS` and a cell longer than `MAX_CELL_CHARS` (2 Mi
characters each) are refused before they are stored or relayed. A message longer than a kernel
reads in one frame travels to it as "chunk" messages, which it puts together again.

A module change for an open workbook whose kernel is not connected is written into the file and
answered once the file holds it (the kernel gets the module when it connects). A change the
file cannot take (a read-only file, a full disk) is answered with "request_refused" naming the
file and the reason: the IDE keeps the edit unsaved.

A kernel's "execution_error" reaches the IDE as "execution_result" with `success` false and the
error's text in `error`. A relayed request the hub cannot deliver (the workbook has no connected
kernel, the module name is not a module name, the code is not text), or whose kernel goes away
before answering, is answered by the hub: a cell or run with "execution_result" {`success`: false, `error`: the reason,
`function_name`, `request_id`, `workbook_id`, `source`}, any other request with
"request_refused" {`request_id`, `workbook_id`, `message`}.

Debugging
---------

A "run_module" with `debug` true runs the function under the kernel's debugger, with
`breakpoints` as records {`module_name`, `line` (1-based), `condition` (optional), `hit_count`
(optional)}. On the way the IDE gets, relayed from the kernel:

| type | fields | when |
|---|---|---|
| "debug_paused" | `workbook_id`, `module_name`, `line`, `file`, `reason` ("breakpoint", "step", "exception"), `function`, `call_stack` [{`module`, `function`, `line`, `file`}] (innermost first), `locals` and `globals` [{`name`, `type`, `value`}]; `requested_line` (a breakpoint moved to the next line with code), `exception` {`type`, `message`}, `condition_error` when they apply | the run stopped |
| "debug_resumed" | - | after "debug_continue" |
| "debug_exception" | `workbook_id`, `module`, `line`, `file`, `exception_type`, `exception_message`, `exception_traceback`, ... | the code raised (after its pause) |
| "debug_terminated" | `workbook_id`, and `request_id` at the run's end | the session ended; "debug_stop" is answered by one without `request_id`, then the run ends with its own |
| "debug_evaluate_result" | `workbook_id`, `request_id`, `expression`, then `result` and `value_type`, or `error` | answer to "debug_evaluate" |

After the run's own "debug_terminated" the hub sends the run's "execution_result": `success`
true when the function returned, false with `error` when it raised ("ExceptionType: message")
or was stopped. A run that failed before its session could report ends with the kernel's
"execution_error" as for any run.

Relayed to the workbook's kernel while its debug run is paused (or running, for the last two
and "debug_stop"); without a session the kernel ignores them, except "debug_evaluate", which is
answered with `error` "No active debug session":

| type | fields |
|---|---|
| "debug_continue", "debug_step_over", "debug_step_into", "debug_step_out" | `workbook_id` |
| "debug_stop" | `workbook_id` |
| "debug_evaluate" | `workbook_id`, `expression`, `request_id` (optional) |
| "debug_update_breakpoints" | `workbook_id`, `breakpoints` (the whole new list) |

Without a connected kernel for the workbook they are answered with a red "log_to_console" line.

Handled by the hub itself:

| type | fields | the hub | reply to the IDE |
|---|---|---|---|
| "new_workbook" | `path` (the file to create), or `workbook_id` alone (a name: the file of that name in the hub's folder of workbooks), `request_id` | creates the workbook file (one empty sheet, "Sheet1"; refused when the file exists) and launches its kernel | "workbook_opened" {`request_id`, `workbook_id`, `path`, `success`, `message`} once the kernel is connected, or why not |
| "open_workbook" | `path`, `request_id` | opens an existing workbook file (its id is the file's name; a second file of a name that is open is refused) and launches its kernel | "workbook_opened" as for "new_workbook" |
| "close_workbook" | `workbook_id`, `request_id` | stops the kernel, saves the file and lets go of the workbook; then sends "workbook_disconnected" {`workbook_id`} | "workbook_closed" {`request_id`, `workbook_id`, `success`, `message`} |
| "save_workbook_as" | `workbook_id`, `path`, `request_id` | writes everything the hub holds of the workbook to `path`, which becomes its file (the way out of a `problem`) | "workbook_saved" {`request_id`, `workbook_id`, `path`, `success`, `message`} |
| "reload_workbook" | `workbook_id`, `request_id` | reads the file again, dropping what the hub held that it lacks; the kernel gets the file's modules, the IDE "all_modules" and "module_list" | "workbook_reloaded" {`request_id`, `workbook_id`, `success`, `message`, `modules` (name to code, as the file has them)} |
| "restart_kernel" | `workbook_id`, `request_id` | asks the kernel to shut down (ends its process after `KERNEL_STOP_TIMEOUT`), launches a new one and sends it the workbook's modules: the namespace is lost, the modules are kept | "kernel_restarted" {`request_id`, `workbook_id`, `success`, `message`} |
| "watch_workbooks" | `version` (integer; -1 asks at once), `request_id` | answers when its workbook list differs from `version`; until then the watch waits, and a newer watch replaces it | "workbooks_state" {`request_id`, `version`, `workbooks`: [{`id`, `name`, `kernel`, `busy`, `path`, `problem`, `read_only`, `breakpoints`}]} |
| "save_breakpoints" | `workbook_id`, `breakpoints` (the workbook's whole list: [{`module_name`, `line` (1-based), `condition` (optional)}], at most `MAX_BREAKPOINTS`), `request_id` | keeps them in the workbook's file (they come back in "workbooks_state") | "breakpoints_saved" {`request_id`, `workbook_id`, `success`, `message`} |

`kernel` is "connected", "starting" (launched or restarting, not connected yet) or "stopped".
`busy` is true while the connected kernel runs something the hub gave it (a cell, a run, a
worksheet call, an event handler or a timer; not a stream), as the hub last looked (four times
a second): its changes are news to the watch.
`problem` is null, or why the hub no longer writes the file: another program changed or
removed it. The hub then keeps what it holds (changes still acknowledged, kept in the file's
journal) until "save_workbook_as" or "reload_workbook". A file that cannot be saved for another
reason (a full disk) is reported with a red "log_to_console" line, and saving is tried again
at the next change.

Besides the replies, the hub announces a workbook's kernel with "workbook_connected" (its name
and modules) each time one connects, after it has sent that kernel the workbook's modules. A
kernel that goes away leaves its workbook open, with its modules, in the "stopped" state.

Packages
--------

Each workbook has its own list of installed packages. The hub installs them with its package
manager into the cache under its data folder (one folder per package version, shared by the
workbooks that use it), keeps each workbook's list in the workbook's file, and
gives a workbook's kernel the folders of its packages as import paths, both when the list
changes and whenever the kernel connects.

``"install_package"`` {``workbook_id``, ``package_spec``}
    Installs a spec (``name``, ``name[extra,...]``, optionally ``==``, ``!=`` or ``~=`` and a
    version) with its dependencies for the workbook. The IDE receives, in order:
    ``"package_install_progress"`` (``status`` "installing"); pip's lines as ``"pip_output"``
    {``workbook_id``, ``package_name``, ``output_type`` ("stdout" or "stderr"), ``content``};
    ``"package_install_progress"`` ("installed", or "error" with ``error``); on success
    ``"package_installation_complete"`` {``workbook_id``, ``message``}, the kernel's
    ``"package_paths_updated"`` and ``"workbook_packages_update"``. A spec the package
    manager refuses is answered with one ``"package_install_progress"`` of status "error"
    whose ``error`` is the manager's message, and nothing runs. A failed installation leaves
    the workbook's earlier packages as they were.
``"remove_package"`` {``workbook_id``, ``package_name``}
    Takes the package off the workbook's list; its modules are unloaded from the kernel
    (``"package_paths_updated"``), then ``"workbook_packages_update"``. The cached folder
    stays for other workbooks.
``"get_workbook_packages"`` {``workbook_id``}
    Answered with ``"workbook_packages_update"`` {``workbook_id``, ``packages`` (a list of
    {``name``, ``version``, ``extras``, ``spec``, ``dependencies``}), ``package_errors`` (a
    map of package name to the error of its last failed installation), ``python_paths`` (the
    workbook's package folders)}.
``"get_package_versions"`` {``package_name``}
    Answered with ``"get_package_versions_response"`` {``package_name``, ``versions`` (newest
    first)}.
``"get_package_extras"`` {``package_name``, ``version`` (null: the latest)}
    Answered with ``"get_package_extras_response"`` {``package_name``, ``version``,
    ``extras``}.
``"get_package_info"`` {``package_name``}
    Answered with ``"get_package_info_response"`` {``package_name``, ``info`` (the index's
    description of the package, or null)}.

Every answer to a request carries the request's ``request_id``, so the IDE may wait for it.

Worksheet functions, event handlers and timers
----------------------------------------------

A workbook's automation lives in its file and comes back when it is opened. The hub tells the
IDE each workbook's state whenever it changes and when the IDE connects:

``"published_functions_state"`` {``workbook_id``, ``functions``}
    ``functions``: [{``name`` (as formulas call it, upper case), ``module_name``,
    ``function_name``, ``parameters`` (the names of its parameters), ``description``,
    ``streaming`` (a generator: its cells take each value it yields), ``volatile``,
    ``origin`` ("decorator": ``@quorvel.function`` in the module; "published": by hand)}].
``"event_manager_state"`` {``workbook_id``, ``events_enabled``, ``objects``, ``handlers``,
``running``, ``queued``, ``problems``}
    ``objects``: [{``object_id`` ("Workbook", or a sheet's name), ``object_type`` ("Workbook"
    or "Worksheet"), ``events`` (the names it raises)}]; ``handlers``: [{``object_id``,
    ``event_name``, ``module_name``, ``function_name``, ``origin`` ("decorator":
    ``@quorvel.on``; "bound": in the IDE)}]; ``running``: null, or the handler that runs now
    {``object_id``, ``event_name``, ``module_name``, ``function_name``, ``request_id``,
    ``seconds`` (how long it has run)}; ``queued``: how many events wait for it; ``problems``:
    texts (a binding whose module or function is gone).
``"ontime_event_manager_state"`` {``workbook_id``, ``ontime_events``}
    ``ontime_events``: [{``timer_id``, ``module_name``, ``function_name``,
    ``interval_seconds`` (a number, or null), ``time_of_day`` ("HH:MM" or "HH:MM:SS", or null;
    exactly one of the two is set), ``enabled``, ``next_run`` and ``last_run`` (local time,
    ISO 8601, or null), ``last_outcome`` (null, "success", "error" or "skipped"),
    ``last_error`` (text or null)}].

A sheet's events are "Change" (typing, paste, clear, undo, and writes by user code),
"SelectionChange" and "Calculate" (a recalculation changed values); the workbook's are "Open",
"SheetActivate" and "OnTime" (timers). A handler of "Change" or "SelectionChange" is called
with the address of its range ("Sheet1!A1:B2"), one of "Calculate" or "SheetActivate" with the
sheet's name, one of "Open" or of a timer with nothing. The hub runs one handler of a workbook at a time, in the order the
events came, as "event_execution" (source "addin": what it prints reaches the console so).
While a handler runs, what it writes raises no event of its own kind (no handler loops on its
own writes); ``quorvel.set_enable_events(False)`` stops the workbook's events until it is set
back. A handler that has run `SLOW_HANDLER_SECONDS` is reported in the console; the next
events wait, and "interrupt_execution" with ``running``'s ``request_id`` stops it.

The IDE's requests (each answered once, with its ``request_id``; a request the hub cannot
take is answered with "request_refused" and why, and the console shows why in red):

| type | fields | reply to the IDE |
|---|---|---|
| "publish_function" | `workbook_id`, `module_name`, `function_name`, `name` (optional: the function's name upper-cased), `description` (optional: its docstring's first line), `request_id` | "published_functions_state" with `request_id` |
| "unpublish_function" | `workbook_id`, `name`, `request_id` (a decorated function is refused: its decorator publishes it) | "published_functions_state" with `request_id` |
| "validate_handler" | `workbook_id`, `object_id`, `event_name`, `module_name`, `function_name`, `request_id` | "validate_handler_response" {`request_id`, `workbook_id`, `valid`, `message` (what is wrong, or that it is fine)} |
| "save_event_config" | `workbook_id`, `handlers` (the whole list of bound handlers: [{`object_id`, `event_name`, `module_name`, `function_name`}]), `request_id` | per handler removed "unregister_handler_result", per handler added or changed "register_handler_result" {`workbook_id`, `object_id`, `event_name`, `success`, `message`}, then "save_event_config_response" {`request_id`, `workbook_id`, `success` (every handler taken), `message`} |
| "save_ontime_events" | `workbook_id`, `ontime_events` (the whole list: [{`timer_id` (optional), `module_name`, `function_name`, `interval_seconds` or `time_of_day`, `enabled`}]), `request_id` | "ontime_event_manager_state" with `request_id`; the list is refused whole when one entry is wrong (an interval under `MIN_TIMER_SECONDS`, a function that does not exist) |
| "get_automation_state" | `workbook_id`, `request_id` | the three state messages, the last ("ontime_event_manager_state") with `request_id` |

"""

from __future__ import annotations

import re
from typing import Any, Dict, Optional

__all__ = ["AUTOMATION_REQUESTS", "BREAKPOINTS_SETTING", "EDITING_WORKBOOK", "HUB_REQUESTS",
           "IDE_REPLACED_CODE", "IDE_REPLACED_REASON", "KERNEL_CONNECTED", "KERNEL_STARTING",
           "KERNEL_STOPPED", "LANGUAGE_ANSWERS", "LANGUAGE_REQUESTS", "MAX_BREAKPOINTS",
           "MAX_CELL_CHARS", "MAX_MODULE_CHARS", "MIN_TIMER_SECONDS", "PACKAGE_REQUESTS",
           "RELAYED", "RUNS", "SLOW_HANDLER_SECONDS", "breakpoints_problem", "refusal",
           "workbook_name_problem"]

IDE_REPLACED_CODE = 4001
IDE_REPLACED_REASON = "Another IDE connected to this hub"

KERNEL_CONNECTED = "connected"
KERNEL_STARTING = "starting"
KERNEL_STOPPED = "stopped"

# The editor's requests to a kernel, and the kernel's answers, which go back to the IDE.
LANGUAGE_REQUESTS = frozenset({"completion_request", "signature_help_request", "hover_request",
                               "diagnostic_request"})
LANGUAGE_ANSWERS = frozenset({"completion_response", "signature_help_response",
                              "hover_response", "diagnostic_response"})
# Requests the hub relays to a kernel, and those among them that stream output and end with
# one "execution_result".
RELAYED = {"update_module", "delete_module", "execution_request", "run_module",
           "reset_namespace", "interrupt_execution", *LANGUAGE_REQUESTS}
RUNS = {"execution_request", "run_module"}
# The longest module and cell the hub takes, in characters (well within what a kernel reads in
# chunks, whatever the characters); a longer one is refused before it is stored or relayed.
MAX_MODULE_CHARS = 2 * 1024 * 1024
MAX_CELL_CHARS = 2 * 1024 * 1024
# A workbook's worksheet functions, event handlers and timers, which the hub keeps itself.
AUTOMATION_REQUESTS = frozenset({"publish_function", "unpublish_function", "validate_handler",
                                 "save_event_config", "save_ontime_events",
                                 "get_automation_state"})
# The shortest interval of a timer, in seconds, and how long a handler runs before the console
# hears that the workbook's next events wait for it.
MIN_TIMER_SECONDS = 1.0
SLOW_HANDLER_SECONDS = 5.0
# The IDE's word that it edits a workbook's modules (see above).
EDITING_WORKBOOK = "editing_workbook"
HUB_REQUESTS = {"new_workbook", "open_workbook", "close_workbook", "save_workbook_as",
                "reload_workbook", "restart_kernel", "watch_workbooks", "save_breakpoints"}
# The IDE's breakpoints of a workbook, kept in its file as a setting; at most this many.
BREAKPOINTS_SETTING = "breakpoints"
MAX_BREAKPOINTS = 10_000


def breakpoints_problem(breakpoints: Any) -> Optional[str]:
    """Why `breakpoints` cannot be kept as a workbook's breakpoints, or None."""
    if not isinstance(breakpoints, list):
        return "breakpoints must be a list of {module_name, line, condition} records."
    if len(breakpoints) > MAX_BREAKPOINTS:
        return f"A workbook keeps at most {MAX_BREAKPOINTS:,} breakpoints."
    for record in breakpoints:
        if not isinstance(record, dict) or set(record) - {"module_name", "line", "condition"}:
            return "Each breakpoint is a {module_name, line, condition} record."
        line, condition = record.get("line"), record.get("condition")
        if not isinstance(record.get("module_name"), str) or not record["module_name"]:
            return "A breakpoint's module_name must be a module's name."
        if not isinstance(line, int) or isinstance(line, bool) or not 1 <= line <= 10_000_000:
            return "A breakpoint's line must be a line number (1 or more)."
        if condition is not None and (not isinstance(condition, str) or len(condition) > 10_000):
            return "A breakpoint's condition must be a text (of at most 10,000 characters)."
    return None


# Requests the hub answers with its package manager.
INSTALL_PACKAGE = "install_package"
REMOVE_PACKAGE = "remove_package"
GET_WORKBOOK_PACKAGES = "get_workbook_packages"
GET_PACKAGE_VERSIONS = "get_package_versions"
GET_PACKAGE_EXTRAS = "get_package_extras"
GET_PACKAGE_INFO = "get_package_info"

PACKAGE_REQUESTS = frozenset({INSTALL_PACKAGE, REMOVE_PACKAGE, GET_WORKBOOK_PACKAGES,
                              GET_PACKAGE_VERSIONS, GET_PACKAGE_EXTRAS, GET_PACKAGE_INFO})

# A workbook's name is its file's name: it becomes a path segment of its kernel's endpoint
# (percent-encoded there) and a command-line argument.
MAX_WORKBOOK_NAME = 100
_NOT_IN_NAMES = re.compile(r"[/\\\x00-\x1f\x7f]")


def workbook_name_problem(name: Any) -> Optional[str]:
    if (not isinstance(name, str) or not 0 < len(name) <= MAX_WORKBOOK_NAME
            or _NOT_IN_NAMES.search(name) or name[0] in ".-" or name != name.strip()):
        return (f"A workbook name is a file name of 1 to {MAX_WORKBOOK_NAME} characters, without "
                "slashes or control characters, not starting with '.' or '-'.")
    return None


def refusal(request: Dict[str, Any], reason: str) -> Dict[str, Any]:
    """The hub's final reply to a relayed request it could not see through."""
    if request.get("type") in RUNS:
        return {"type": "execution_result", "success": False, "error": reason,
                "function_name": request.get("function_name") or "",
                "request_id": request.get("request_id"),
                "workbook_id": request.get("workbook_id"),
                "source": request.get("source", "ide")}
    return {"type": "request_refused", "request_id": request.get("request_id"),
            "workbook_id": request.get("workbook_id"), "message": reason}
