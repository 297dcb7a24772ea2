"""Diagnostics of one module's text: syntax errors from the compiler, then pyflakes' findings.

``diagnose(code)`` never executes the code and never writes to the standard streams (the
kernel forwards both to the IDE): warnings that compiling raises are silenced for the file
name used here and for nothing else.
"""

from __future__ import annotations

import ast
import re
import warnings
from typing import Any, Dict, List

__all__ = ["diagnose", "COMPILE_FILE_NAME", "MAX_DIAGNOSTICS"]

# Most findings reported for one text: the first ones in text order (an editor shows no more).
MAX_DIAGNOSTICS = 1000

# The file name the text is compiled under; a warning filter keyed on it keeps the compiler's
# syntax warnings ("is" with a literal, invalid escapes) off the kernel's stderr.
COMPILE_FILE_NAME = "<workbook module diagnostics>"
_QUIET = ("ignore", None, Warning, re.compile(re.escape(COMPILE_FILE_NAME) + r"\Z"), 0)
# Where the compiler starts a new line.
_LINE_BREAK = re.compile(r"\r\n|\r|\n")

# pyflakes findings that fail at run time; every other finding is a warning.
_ERRORS = frozenset({
    "UndefinedName", "UndefinedLocal", "UndefinedExport", "ReturnOutsideFunction",
    "YieldOutsideFunction", "ContinueOutsideLoop", "BreakOutsideLoop", "DuplicateArgument",
    "TwoStarredExpressions", "TooManyExpressionsInStarredAssignment", "DefaultExceptNotLast",
    "FutureFeatureNotDefined", "LateFutureImport", "ImportStarNotPermitted",
    "PercentFormatInvalidFormat", "StringDotFormatInvalidFormat", "ForwardAnnotationSyntaxError",
})


def _keep_compiler_quiet() -> None:
    # Kept at the head of the filter list even when user code rebuilt it; reads and one insert
    # of a shared list, each atomic under the GIL.
    if _QUIET not in warnings.filters:
        warnings.filterwarnings("ignore", module=re.escape(COMPILE_FILE_NAME) + r"\Z")


def _diagnostic(line: int, column: int, end_line: int, end_column: int, severity: str,
                message: str, source: str, code: str) -> Dict[str, Any]:
    return {"line": line, "column": column, "end_line": end_line, "end_column": end_column,
            "severity": severity, "message": message, "source": source, "code": code}


def _syntax_error(error: SyntaxError) -> Dict[str, Any]:
    # The compiler counts offsets from 1; the end is known from Python 3.10 on.
    line = error.lineno or 1
    column = max((error.offset or 1) - 1, 0)
    end_line = getattr(error, "end_lineno", None) or line
    end_offset = getattr(error, "end_offset", None)
    end_column = end_offset - 1 if end_offset and end_offset > 0 else column + 1
    if end_line == line and end_column <= column:
        end_column = column + 1
    return _diagnostic(line, column, end_line, end_column, "error",
                       error.msg or "invalid syntax", "syntax", type(error).__name__)


def _characters(lines: List[str], line: int, offset: int) -> int:
    """The column in characters of an offset the syntax tree gives in bytes of UTF-8."""
    text = lines[line - 1] if 0 < line <= len(lines) else ""
    if text.isascii():
        return offset
    return len(text.encode("utf-8")[:offset].decode("utf-8", "ignore"))


def _null_byte(code: str) -> Dict[str, Any]:
    # Python before 3.12 refuses NUL with a ValueError that has no position.
    offset = code.index("\0")
    line = code.count("\n", 0, offset) + 1
    column = offset - (code.rfind("\n", 0, offset) + 1)
    return _diagnostic(line, column, line, column + 1, "error",
                       "source code cannot contain null bytes", "syntax", "SyntaxError")


def diagnose(code: str) -> List[Dict[str, Any]]:
    """The text's findings in text order, at most MAX_DIAGNOSTICS: the first syntax error when
    it does not parse; else an error of the code generator, if any, and pyflakes' findings."""
    from pyflakes import checker

    _keep_compiler_quiet()
    if "\0" in code:
        return [_null_byte(code)]
    try:
        tree = compile(code, COMPILE_FILE_NAME, "exec", ast.PyCF_ONLY_AST, dont_inherit=True)
    except SyntaxError as error:
        return [_syntax_error(error)]
    found: List[Dict[str, Any]] = []
    try:
        # Errors only the code generator finds ("nonlocal" at module level and the like).
        compile(tree, COMPILE_FILE_NAME, "exec", dont_inherit=True)
    except SyntaxError as error:
        found.append(_syntax_error(error))
    reported = {(d["line"], d["message"]) for d in found}
    lines = _LINE_BREAK.split(code)
    for message in checker.Checker(tree, filename=COMPILE_FILE_NAME).messages:
        name = type(message).__name__
        column = _characters(lines, message.lineno, getattr(message, "col", 0) or 0)
        text = message.message % message.message_args
        if (message.lineno, text) in reported:
            continue  # pyflakes repeats some of the code generator's errors
        found.append(_diagnostic(message.lineno, column, message.lineno, column + 1,
                                 "error" if name in _ERRORS else "warning",
                                 text, "pyflakes", name))
    found.sort(key=lambda d: (d["line"], d["column"]))
    return found[:MAX_DIAGNOSTICS]
