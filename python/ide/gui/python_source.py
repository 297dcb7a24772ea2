"""What the IDE reads from Python text without running it: module names, a module's top-level
functions, the arguments typed for a run, and the call the text cursor is in.

No Qt here: the dialogs and actions call these and show the messages they return or raise.

* ``module_name_problem(name, existing)`` is None for a usable new module name, else the reason
  (shown as is in the dialog).
* ``top_level_functions(source)`` lists the module's plain ``def`` functions with their lines;
  ``function_at(functions, line)`` is the one whose text holds a (1-based) line.
* ``parse_arguments(text, function)`` reads "1000, 0.05, 'x', years=15" as Python literals in
  call syntax into the positional list that can travel to the kernel (keywords are put in
  their parameter's place); it raises ``ArgumentError`` with a message a user can act on.
* ``enclosing_call(text)`` is where the innermost call still open at the end of `text` (the
  text before the cursor) opens its parenthesis: the editor keeps a signature shown while the
  cursor stays in that call.
"""

from __future__ import annotations

import ast
import keyword
import math
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Tuple

__all__ = ["ArgumentError", "FunctionInfo", "enclosing_call", "function_at",
           "module_name_problem", "parse_arguments", "top_level_functions"]


def module_name_problem(name: str, existing: Iterable[str]) -> Optional[str]:
    """Why `name` cannot name a new module next to `existing`, or None when it can."""
    if not name:
        return "Type a name for the module."
    if not name.isidentifier():
        return (f"'{name}' is not a valid Python module name: use letters, digits and "
                "underscores, and do not start with a digit.")
    if keyword.iskeyword(name):
        return f"'{name}' is a Python keyword and cannot name a module."
    if name in set(existing):
        return f"A module named '{name}' already exists in this workbook."
    return None


class FunctionInfo(NamedTuple):
    name: str
    first_line: int  # the first decorator's line, or the def line
    last_line: int
    parameters: str  # as written, e.g. "value, rate, years=3"
    doc: str = ""  # its docstring, cleaned of indentation
    arguments: Optional[ast.arguments] = None  # its parameters, parsed

    @property
    def signature(self) -> str:
        return f"{self.name}({self.parameters})"


def top_level_functions(source: str) -> List[FunctionInfo]:
    """The module's top-level ``def`` functions in source order; [] when it does not parse."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return []
    functions = []
    for node in tree.body:
        # Coroutine functions are left out: a run calls the function and sends back its value.
        if isinstance(node, ast.FunctionDef):
            first = min([node.lineno] + [d.lineno for d in node.decorator_list])
            last = node.end_lineno or node.lineno
            functions.append(FunctionInfo(node.name, first, last, ast.unparse(node.args),
                                          ast.get_docstring(node) or "", node.args))
    return functions


def function_at(functions: Iterable[FunctionInfo], line: int) -> Optional[FunctionInfo]:
    for info in functions:
        if info.first_line <= line <= info.last_line:
            return info
    return None


class ArgumentError(ValueError):
    """Arguments that cannot be read or cannot be sent; the text says which and why, and
    `span` is where the faulty argument lies in the text typed (start, end), when known."""

    def __init__(self, message: str, span: Optional[Tuple[int, int]] = None) -> None:
        super().__init__(message)
        self.span = span


_WIRE_HELP = ("arguments may be None, True, False, numbers, strings, and lists (or lists of "
              "lists) of these")


def parse_arguments(text: str, function: Optional[FunctionInfo] = None) -> List[Any]:
    """The values of the arguments typed as in a Python call ("1000, 0.05, years=15"), as the
    positional list that "run_module" carries. Keywords need `function`, whose parameters put
    each keyword's value in its place (a parameter skipped on the way takes its default,
    which must then be a literal)."""
    stripped = text.strip()
    offset = len(text) - len(text.lstrip())
    if not stripped:
        return []
    try:
        call = ast.parse(f"f({stripped})", mode="eval").body
    except SyntaxError as error:
        raise ArgumentError(f"Not valid Python: {error.msg} (type values separated by commas, "
                            "for example 1000, 0.05, 'text', [1, 2])") from None
    if not isinstance(call, ast.Call):
        raise ArgumentError("Type values separated by commas, for example 1000, 0.05, 'text'.")
    if any(isinstance(arg, ast.Starred) for arg in call.args) or \
            any(keyword.arg is None for keyword in call.keywords):
        raise ArgumentError("Values are passed one by one: drop '*' and '**'.")
    if call.keywords and (function is None or function.arguments is None):
        raise ArgumentError("Only positional values can be passed here: drop 'name='.")

    def value_of(node: ast.AST, label: str) -> Any:
        # Offsets count from the "f(" that wraps the text.
        span = (node.col_offset - 2 + offset, (node.end_col_offset or node.col_offset) - 2 + offset)
        try:
            value = ast.literal_eval(node)
        except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
            raise ArgumentError(
                f"{label} ({_shortened(text[span[0]:span[1]])}) is not a Python literal: write "
                "numbers, strings in quotes, True/False/None, or lists of them.", span) from None
        problem = _wire_problem(value)
        if problem:
            raise ArgumentError(f"{label} cannot be sent: {problem}; {_WIRE_HELP}.", span)
        return value

    values = [value_of(node, f"Argument {position}")
              for position, node in enumerate(call.args, 1)]
    if not call.keywords:
        return values
    keywords = {keyword.arg: value_of(keyword.value, keyword.arg) for keyword in call.keywords}
    return _placed(function, values, keywords)  # type: ignore[arg-type]


def _placed(function: FunctionInfo, values: List[Any], keywords: Dict[str, Any]) -> List[Any]:
    """The positional values `function` takes for these values and keywords."""
    arguments = function.arguments
    assert arguments is not None
    positional = [a.arg for a in arguments.posonlyargs + arguments.args]
    keyword_only = {a.arg for a in arguments.kwonlyargs}
    defaults = dict(zip(positional[len(positional) - len(arguments.defaults):],
                        arguments.defaults))
    name = function.name
    for key in keywords:
        if key in keyword_only:
            raise ArgumentError(f"{key} is a keyword-only parameter of {name}(): a run passes "
                                "values by position, so it keeps its default.")
        if key not in positional:
            raise ArgumentError(f"{name}() has no parameter {key}.")
        if key in {a.arg for a in arguments.posonlyargs}:
            raise ArgumentError(f"{key} is a positional-only parameter of {name}(): give it "
                                "without 'name='.")
        if positional.index(key) < len(values):
            raise ArgumentError(f"{name}() got {key} twice: by position and as {key}=.")
    last = max(positional.index(key) for key in keywords)
    placed = list(values)
    for index in range(len(values), last + 1):
        parameter = positional[index]
        if parameter in keywords:
            placed.append(keywords[parameter])
        elif parameter in defaults:
            try:
                placed.append(ast.literal_eval(defaults[parameter]))
            except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
                raise ArgumentError(f"{parameter} comes before {positional[last]} and its "
                                    f"default is not a literal: give {parameter} a value "
                                    "too.") from None
        else:
            raise ArgumentError(f"{name}() needs a value for {parameter}.")
    return placed


def _shortened(segment: str) -> str:
    return segment if len(segment) <= 40 else segment[:37] + "..."


def _wire_problem(value: Any, depth: int = 0) -> Optional[str]:
    if value is None or isinstance(value, (bool, int, str)):
        return None
    if isinstance(value, float):
        return None if math.isfinite(value) else f"{value!r} has no JSON form"
    if isinstance(value, (list, tuple)) and depth < 2:
        for item in value:
            problem = _wire_problem(item, depth + 1)
            if problem:
                return problem
        return None
    if isinstance(value, (list, tuple)):
        return "lists nest at most two deep"
    return f"a {type(value).__name__} value"


_OPENING = {")": "(", "]": "[", "}": "{"}
_TRIPLE_QUOTES = ("'''", '"""')


def enclosing_call(text: str) -> Optional[int]:
    """The offset of the "(" of the innermost call open at the end of `text`, or None.

    Brackets in strings and comments do not count, and None is the answer when `text` ends
    in one. `text` may begin inside a statement (the editor passes the last lines only): a
    closing bracket without its opening one is passed over. A "(" that follows neither a name
    nor a closing bracket opens a parenthesised expression, and the call around it counts.
    """
    opened: List[Tuple[str, int]] = []
    index, length = 0, len(text)
    while index < length:
        char = text[index]
        if char == "#":
            index = text.find("\n", index)
            if index < 0:
                return None
        elif char in "'\"":
            quote = text[index:index + 3] if text[index:index + 3] in _TRIPLE_QUOTES else char
            end = _string_end(text, index + len(quote), quote)
            if end < 0:
                return None
            index = end + len(quote) - 1
        elif char in "([{":
            opened.append((char, index))
        elif char in _OPENING and opened and opened[-1][0] == _OPENING[char]:
            opened.pop()
        index += 1
    for char, offset in reversed(opened):
        before = text[:offset].rstrip()
        if char == "(" and before and (before[-1].isalnum() or before[-1] in "_)]"):
            return offset
    return None


def _string_end(text: str, start: int, quote: str) -> int:
    """Where the string whose body starts at `start` closes, or -1 while it is open."""
    index = start
    while True:
        index = text.find(quote, index)
        newline = text.find("\n", start, index if index >= 0 else len(text))
        if len(quote) == 1 and newline >= 0:
            return newline  # a one-line string cannot go on: read on from the line's end
        if index < 0:
            return -1
        escapes = index - len(text[start:index].rstrip("\\")) - start
        if escapes % 2 == 0:
            return index
        index += 1
