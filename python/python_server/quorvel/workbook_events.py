"""Event handlers: functions of a workbook module that run when the workbook raises an event.

User code binds one with the ``on`` decorator (``quorvel.on``); the hub finds it by reading
the module's source, as it finds worksheet functions (nothing runs in the hub), so the
decorator is written literally with literal arguments: ``@quorvel.on("Change",
sheet="Sheet1")``. Handlers can also be bound in the IDE's Events panel.

A sheet's events are "Change" (its cells were given new inputs: typed, pasted, cleared,
undone, or written by user code), "SelectionChange" and "Calculate" (a recalculation changed
its values); the workbook's are "Open" and "SheetActivate". A handler of a sheet event is
called with one argument, the address of the range ("Sheet1!A1:B2"; for "Calculate" the sheet's
name); one of "SheetActivate" with the sheet's name; one of "Open" with none.
"""

from __future__ import annotations

import ast
import inspect
from typing import Any, Callable, Dict, List, Optional

from .worksheet_functions import _decorator_names, _top_level

__all__ = ["ATTRIBUTE", "EVENT_ARGUMENTS", "ONTIME", "SHEET_EVENTS", "WORKBOOK", "WORKBOOK_EVENTS",
           "arity_problem", "find_handlers", "on"]

ATTRIBUTE = "__quorvel_events__"
WORKBOOK = "Workbook"  # the object id of the workbook's own events
SHEET_EVENTS = ("Change", "SelectionChange", "Calculate")
WORKBOOK_EVENTS = ("Open", "SheetActivate")
ONTIME = "OnTime"  # a timer's run, raised by the hub
# How many arguments each event gives its handler.
EVENT_ARGUMENTS = {"Change": 1, "SelectionChange": 1, "Calculate": 1, "SheetActivate": 1,
                   "Open": 0, ONTIME: 0}


def event_problem(event: Any, sheet: Any) -> Optional[str]:
    """What is wrong with binding `event` of `sheet` (None: the workbook), or None."""
    if sheet is not None and not isinstance(sheet, str):
        return f"A sheet is named by a text, not {type(sheet).__name__!r}"
    if event in SHEET_EVENTS:
        if not sheet:
            return f"{event} is an event of a sheet: name it with sheet=..."
        return None
    if event in WORKBOOK_EVENTS:
        if sheet:
            return f"{event} is an event of the workbook, not of a sheet"
        return None
    return (f"{event!r} is not an event: a sheet raises {', '.join(SHEET_EVENTS)}; the "
            f"workbook {', '.join(WORKBOOK_EVENTS)}")


def arity_problem(event: str, signature: Dict[str, Any]) -> Optional[str]:
    """Whether a function described by ``signature_of`` can take `event`'s arguments."""
    given = EVENT_ARGUMENTS[event]
    low, high = signature["min_args"], signature["max_args"]
    if low <= given and (high is None or given <= high):
        return None
    wanted = "no argument" if given == 0 else "one argument (the range's address)" \
        if event in SHEET_EVENTS else "one argument"
    takes = f"{low}" if high == low else f"{low} to {high}" if high is not None else \
        f"at least {low}"
    return f"A handler of {event} is called with {wanted}; it takes {takes}"


def on(event: str, sheet: Optional[str] = None) -> Callable[[Callable], Callable]:
    """Bind a module-level function of a workbook module to an event of the workbook:
    ``@quorvel.on("Change", sheet="Sheet1")``, ``@quorvel.on("Open")``.

    The function is returned unchanged, its bindings kept in its ``__quorvel_events__``
    attribute. While a handler runs, its own writes raise no event of the kind that runs it,
    so that a Change handler writing cells does not call itself without end;
    ``quorvel.set_enable_events(False)`` stops every event until it is set back.
    """
    problem = event_problem(event, sheet)
    if problem is not None:
        raise ValueError(problem)

    def mark(target: Callable) -> Callable:
        if not inspect.isfunction(target):
            raise TypeError(f"quorvel.on binds Python functions, not a "
                            f"{type(target).__name__!r}")
        bindings = list(getattr(target, ATTRIBUTE, []))
        bindings.append({"event": event, "sheet": sheet})
        setattr(target, ATTRIBUTE, bindings)
        return target

    return mark


def find_handlers(source: str) -> List[Dict[str, Any]]:
    """The bindings a module's source declares with ``on``, found without running it: one
    ``{"object_id", "event_name", "function", "line"}`` per decorator whose arguments are
    literals naming a real event. Source that does not parse declares none."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return []
    statements = list(_top_level(tree.body))
    packages, decorators = _decorator_names(statements, "on")
    found: List[Dict[str, Any]] = []
    for node in statements:
        if not isinstance(node, ast.FunctionDef):
            continue
        for decorator in node.decorator_list:
            binding = _binding(decorator, packages, decorators)
            if binding is not None:
                found.append({**binding, "function": node.name, "line": node.lineno})
    return found


def _binding(decorator: ast.expr, packages: set, decorators: set) -> Optional[Dict[str, Any]]:
    if not isinstance(decorator, ast.Call):
        return None
    target = decorator.func
    if isinstance(target, ast.Attribute):
        ours = (target.attr == "on" and isinstance(target.value, ast.Name)
                and target.value.id in packages)
    else:
        ours = isinstance(target, ast.Name) and target.id in decorators
    if not ours:
        return None
    values = [a.value if isinstance(a, ast.Constant) else ... for a in decorator.args]
    options = {k.arg: k.value.value if isinstance(k.value, ast.Constant) else ...
               for k in decorator.keywords}
    if len(values) > 2 or ... in values or ... in options.values() \
            or not set(options) <= {"event", "sheet"}:
        return None
    event = values[0] if values else options.get("event")
    sheet = values[1] if len(values) > 1 else options.get("sheet")
    if not isinstance(event, str) or event_problem(event, sheet) is not None:
        return None
    return {"object_id": sheet or WORKBOOK, "event_name": event}
