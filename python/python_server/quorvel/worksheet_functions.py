"""Worksheet functions: functions of a workbook module that formulas can call by name.

User code marks them with the ``function`` decorator (``quorvel.function``). The hub does
not run a module to learn its functions: ``find_functions`` reads the module's source with
``ast`` and recognises the decorator by how it is written, so this module imports nothing
beyond the standard library and has no side effects.
"""

from __future__ import annotations

import ast
import inspect
import re
from typing import Any, Callable, Dict, List, Optional

__all__ = ["ATTRIBUTE", "find_functions", "function", "module_functions", "signature_of",
           "valid_function_name"]

# The attribute the decorator sets on a function: its options as a dict.
ATTRIBUTE = "__quorvel_function__"

MAX_NAME_LENGTH = 255
_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_.]*")
_CELL_REFERENCE = re.compile(r"([A-Z]{1,3})([0-9]+)")
_LAST_COLUMN = 16384  # XFD
_LAST_ROW = 1048576


def _is_cell_reference(name: str) -> bool:
    match = _CELL_REFERENCE.fullmatch(name.upper())
    if match is None:
        return False
    column = 0
    for letter in match.group(1):
        column = column * 26 + ord(letter) - ord("A") + 1
    return column <= _LAST_COLUMN and 1 <= int(match.group(2)) <= _LAST_ROW


def valid_function_name(name: Any) -> bool:
    """Whether ``name`` can name a worksheet function: letters, digits, ``_`` and ``.``,
    starting with a letter, at most 255 characters, and not a cell reference (``A1``)."""
    return (isinstance(name, str) and len(name) <= MAX_NAME_LENGTH
            and _NAME.fullmatch(name) is not None and not _is_cell_reference(name))


def _first_line(doc: Optional[str]) -> str:
    lines = (doc or "").strip().splitlines()
    return lines[0].strip() if lines else ""


def function(func: Optional[Callable] = None, /, *, name: Optional[str] = None,
             description: Optional[str] = None, volatile: bool = False) -> Any:
    """Mark a module-level function of a workbook module as a worksheet function.

    Use it bare, ``@quorvel.function``, or with options, ``@quorvel.function(name="TWICE",
    description="Doubles a number", volatile=True)``. ``name`` defaults to the function's
    name upper-cased, ``description`` to the first line of its docstring; a volatile
    function is recalculated on every recalculation of the workbook. The function itself is
    returned unchanged, its options kept as its ``__quorvel_function__`` attribute.

    The hub finds worksheet functions by reading the module's source, without running it,
    so write the decorator literally: ``@quorvel.function`` (or through ``import quorvel
    as q``, ``@q.function``), or after ``from quorvel import function``, ``@function``; put
    it on a plain ``def`` at the top of the module, and give the options as literals
    (strings, ``True``/``False``). Formulas pass arguments by position, so every
    keyword-only parameter needs a default.
    """
    if name is not None and not isinstance(name, str):
        raise TypeError(f"A worksheet function name must be a string, got {type(name).__name__!r}")
    if description is not None and not isinstance(description, str):
        raise TypeError(f"A worksheet function description must be a string, got "
                        f"{type(description).__name__!r}")
    if not isinstance(volatile, bool):
        raise TypeError(f"'volatile' must be True or False, got {volatile!r}")
    if name is not None and not valid_function_name(name.upper()):
        raise ValueError(_bad_name(name))

    def mark(target: Callable) -> Callable:
        if not inspect.isfunction(target):
            raise TypeError(f"quorvel.function marks Python functions, not a "
                            f"{type(target).__name__!r} (give options by keyword: name=...)")
        if inspect.iscoroutinefunction(target):
            raise TypeError(f"Worksheet function {target.__name__!r} cannot be async")
        final = (name if name is not None else target.__name__).upper()
        if not valid_function_name(final):
            raise ValueError(_bad_name(final) + "; give another with name=...")
        required = [parameter.name for parameter in inspect.signature(target).parameters.values()
                    if parameter.kind is inspect.Parameter.KEYWORD_ONLY
                    and parameter.default is inspect.Parameter.empty]
        if required:
            raise ValueError(f"Worksheet function {target.__name__!r} has keyword-only parameters "
                             f"without defaults ({', '.join(required)}): formulas pass arguments "
                             f"by position")
        setattr(target, ATTRIBUTE, {
            "name": final,
            "description": _first_line(target.__doc__) if description is None else description,
            "volatile": volatile,
        })
        return target

    return mark if func is None else mark(func)


def _bad_name(name: str) -> str:
    return (f"{name!r} is not a valid worksheet function name: letters, digits, '_' and '.', "
            f"starting with a letter, at most {MAX_NAME_LENGTH} characters, and not a cell "
            f"reference such as A1")


def _top_level(body: List[ast.stmt]):
    """The module's top-level statements, including those inside top-level if/try blocks."""
    for statement in body:
        yield statement
        if isinstance(statement, ast.If):
            yield from _top_level(statement.body)
            yield from _top_level(statement.orelse)
        elif isinstance(statement, ast.Try):
            for block in (statement.body, statement.orelse, statement.finalbody):
                yield from _top_level(block)
            for handler in statement.handlers:
                yield from _top_level(handler.body)


def _decorator_names(statements: List[ast.stmt], decorator: str = "function") -> tuple:
    """The names the module binds to the quorvel package and to its `decorator`."""
    packages = {"quorvel"}
    decorators = set()
    for statement in statements:
        if isinstance(statement, ast.Import):
            for alias in statement.names:
                if alias.name == "quorvel" and alias.asname:
                    packages.add(alias.asname)
        elif (isinstance(statement, ast.ImportFrom) and statement.module == "quorvel"
              and not statement.level):
            for alias in statement.names:
                if alias.name in (decorator, "*"):
                    decorators.add(alias.asname or decorator)
    return packages, decorators


_OPTION_TYPES = {"name": str, "description": str, "volatile": bool}
_UNREADABLE: Dict[str, Any] = {}


def _options(decorator: ast.expr, packages: set, decorators: set) -> Optional[Dict[str, Any]]:
    """The literal options of a worksheet function decorator: None for any other decorator,
    ``_UNREADABLE`` for one with positional arguments or options that are not literals
    of the right type."""
    call = decorator if isinstance(decorator, ast.Call) else None
    target = call.func if call is not None else decorator
    if isinstance(target, ast.Attribute):
        ours = (target.attr == "function" and isinstance(target.value, ast.Name)
                and target.value.id in packages)
    else:
        ours = isinstance(target, ast.Name) and target.id in decorators
    if not ours:
        return None
    if call is None:
        return {}
    if call.args:
        return _UNREADABLE
    options: Dict[str, Any] = {}
    for keyword in call.keywords:
        expected = _OPTION_TYPES.get(keyword.arg) if keyword.arg else None
        if expected is None or not isinstance(keyword.value, ast.Constant):
            return _UNREADABLE
        value = keyword.value.value
        if value is None and expected is str:
            continue
        if type(value) is not expected:
            return _UNREADABLE
        options[keyword.arg] = value
    return options


def _entry(node: ast.FunctionDef, options: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    arguments = node.args
    if any(default is None for default in arguments.kw_defaults):
        return None  # a keyword-only parameter without a default: no formula can call it
    name = options.get("name", node.name).upper()
    if not valid_function_name(name):
        return None
    description = options.get("description")
    return {
        "name": name,
        "function": node.name,
        "description": _first_line(ast.get_docstring(node)) if description is None else description,
        "volatile": options.get("volatile", False),
        **signature_of(node),
    }


def signature_of(node: ast.FunctionDef) -> Dict[str, Any]:
    """What a caller needs to know of a ``def``: ``min_args`` and ``max_args`` (positional;
    ``None`` with ``*args``), ``parameters`` (their names), ``streaming`` (a generator
    function: its calls give each value it yields) and ``line``."""
    arguments = node.args
    positional = len(arguments.posonlyargs) + len(arguments.args)
    names = [a.arg for a in (*arguments.posonlyargs, *arguments.args)]
    if arguments.vararg:
        names.append("*" + arguments.vararg.arg)
    return {
        "min_args": positional - len(arguments.defaults),
        "max_args": None if arguments.vararg else positional,
        "parameters": names,
        "streaming": _yields(node),
        "line": node.lineno,
    }


def _yields(node: ast.FunctionDef) -> bool:
    """Whether the function's own body (not a nested function's) holds a ``yield``."""
    pending: List[ast.AST] = list(node.body)
    while pending:
        item = pending.pop()
        if isinstance(item, (ast.Yield, ast.YieldFrom)):
            return True
        if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)):
            continue
        pending.extend(ast.iter_child_nodes(item))
    return False


def module_functions(source: str) -> Dict[str, Dict[str, Any]]:
    """The module's top-level functions by name, each described as ``signature_of`` does
    (source that does not parse has none)."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return {}
    return {node.name: signature_of(node) for node in _top_level(tree.body)
            if isinstance(node, ast.FunctionDef)}


def find_functions(source: str) -> List[Dict[str, Any]]:
    """The worksheet functions a module's source declares, found without running it.

    One entry per top-level ``def`` marked with the decorator as ``function`` describes:
    ``{"name", "function", "description", "volatile"}`` and what ``signature_of`` gives. Functions
    whose decorator options are not literals, whose name is not valid or that have a
    keyword-only parameter without a default are left out; when two claim one name the
    later wins. Source that does not parse declares none.
    """
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return []
    statements = list(_top_level(tree.body))
    packages, decorators = _decorator_names(statements)
    found: Dict[str, Dict[str, Any]] = {}
    for node in statements:
        if not isinstance(node, ast.FunctionDef):
            continue
        for decorator in node.decorator_list:
            options = _options(decorator, packages, decorators)
            if options is not None:
                break
        else:
            continue
        entry = None if options is _UNREADABLE else _entry(node, options)
        if entry is not None:
            found.pop(entry["name"], None)
            found[entry["name"]] = entry
    return list(found.values())
