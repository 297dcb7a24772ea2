"""Builds examples/Forecast.xlsx: a year of monthly sales, a few ordinary formulas, and cells
that call the workbook's Python functions (``@quorvel.function``) to measure the growth and
forecast the months ahead. Three rows are live: a clock a streaming function feeds, the last
edit of the sales (written by a Change handler) and a count a timer keeps.

    .venv/bin/python examples/make_forecast.py [OUTPUT.xlsx]

openpyxl writes the cells; the hub's own ``WorkbookFile`` then stores the modules in the file,
exactly as the hub does when a module is saved from the IDE.
"""

from __future__ import annotations

import asyncio
import os
import sys
from pathlib import Path

import openpyxl
from openpyxl.styles import Font

from devhub.workbook_file import WorkbookFile

SHEET = "Forecast"
MONTHS = [f"2027-{month:02d}" for month in range(1, 13)]
SALES = [12400, 11900, 13100, 13600, 14200, 14900, 14500, 15100, 15800, 16400, 19400, 18900]

# Labels in D, the formulas beside them in E; the forecast spills from D9 down to E15.
# The labels are kept short enough to fit a cell of the default width.
SUMMARY = [
    ("Total", "=SUM(B2:B13)"),
    ("Average", "=ROUND(AVERAGE(B2:B13), 0)"),
    ("Growth/mo", "=MONTHLY_GROWTH(B2:B13)"),
    ("Best month", "=BEST_MONTH(A2:A13, B2:B13)"),
    ("Jan doubled", "=DOUBLE(B2)"),
    ("Dec 2028", "=ROUND(B13*(1+E3)^12, 0)"),
]
TABLE_TITLE = ("D8", "Outlook")
TABLE = ("D9", "=FORECAST_TABLE(B2:B13, 6, A13)")
TABLE_TOTAL = ("D16", "Total", "E16", "=SUM(E10:E15)")
# The live cells, written by the module "live": its clock ticks in E18, its Change handler
# writes E19:F19 when a sales cell changes, its timer E20:F20.
LIVE_TITLE = ("D17", "Live")
LIVE_LABELS = [("D18", "Now"), ("D19", "Last edit"), ("D20", "Refreshed")]
CLOCK = ("E18", "=CLOCK()")
TIMER = {"timer_id": "refresh", "module_name": "live", "function_name": "refresh",
         "interval_seconds": 5, "enabled": True}

FORECAST_MODULE = '''\
"""The forecast's worksheet functions: how fast sales grow, and the months ahead."""

import datetime

import quorvel

try:
    import pandas
except ImportError:  # without pandas the table is a 2-D list, which spills the same way
    pandas = None


def numbers(values):
    """The numbers of a cell or a range (a range arrives as a list of rows), blanks and
    text left out."""
    items = values if isinstance(values, list) else [values]
    flat = [item for row in items for item in (row if isinstance(row, list) else [row])]
    return [float(item) for item in flat
            if isinstance(item, (int, float)) and not isinstance(item, bool)]


def rate_of(sales):
    found = numbers(sales)
    if len(found) < 2 or found[0] <= 0:
        raise ValueError("needs two months of sales or more, the first above zero")
    return (found[-1] / found[0]) ** (1 / (len(found) - 1)) - 1, found[-1]


def months_after(last, count):
    """The labels of the `count` months after `last` ("2027-12", or a date); "+1", "+2", ...
    when there is no month to count from."""
    if isinstance(last, (datetime.date, datetime.datetime)):
        year, month = last.year, last.month
    elif isinstance(last, str) and len(last) == 7 and last[4] == "-":
        year, month = int(last[:4]), int(last[5:])
    else:
        return [f"+{ahead}" for ahead in range(1, count + 1)]
    labels = []
    for _ in range(count):
        year, month = (year + 1, 1) if month == 12 else (year, month + 1)
        labels.append(f"{year}-{month:02d}")
    return labels


@quorvel.function(name="MONTHLY_GROWTH",
                  description="The average growth from one month to the next, as a fraction")
def monthly_growth(sales):
    return round(rate_of(sales)[0], 4)


@quorvel.function(description="The coming months' sales at the average monthly growth")
def forecast_table(sales, months=6, last_month=None):
    """A header row, then one row per month: its label and its forecast sales."""
    rate, latest = rate_of(sales)
    count = int(months)
    if not 1 <= count <= 120:
        raise ValueError("forecasts 1 to 120 months")
    labels = months_after(last_month, count)
    values = [round(latest * (1 + rate) ** ahead) for ahead in range(1, count + 1)]
    if pandas is not None:
        return pandas.DataFrame({"Month": labels, "Forecast": values})
    return [["Month", "Forecast"]] + [[label, value] for label, value in zip(labels, values)]


@quorvel.function
def double(x):
    """Twice the number."""
    return x * 2
'''

REPORT_MODULE = '''\
"""Reading the sales back: which month did best."""

import quorvel


@quorvel.function(description="The month whose sales are highest")
def best_month(months, sales):
    labels = [row[0] if isinstance(row, list) else row for row in months]
    values = [row[0] if isinstance(row, list) else row for row in sales]
    if len(labels) != len(values):
        raise ValueError("give as many months as sales")
    pairs = [(value, label) for label, value in zip(labels, values)
             if isinstance(value, (int, float)) and not isinstance(value, bool)]
    if not pairs:
        raise ValueError("no sales to compare")
    return max(pairs, key=lambda pair: pair[0])[1]
'''

LIVE_MODULE = '''\
"""The live cells: a clock that ticks in its cell, the last edit of the sales, and how often
a timer has refreshed the sheet."""

import re
import time

import quorvel
from quorvel import excel

SALES_COLUMN, SALES_ROWS = 2, range(2, 14)  # B2:B13
_RANGE = re.compile(r"\\$?([A-Z]+)\\$?([0-9]+)(?::\\$?([A-Z]+)\\$?([0-9]+))?")


@quorvel.function(description="The time of day, HH:MM:SS, every `interval` seconds")
def clock(interval=1):
    pause = max(float(interval), 0.1)
    while True:
        yield time.strftime("%H:%M:%S")
        time.sleep(pause)


def column_number(letters):
    number = 0
    for letter in letters:
        number = number * 26 + ord(letter) - ord("A") + 1
    return number


def holds_sales(address):
    """Whether a range ("Forecast!B5", "Forecast!A3:C4") holds one of the sales cells."""
    match = _RANGE.fullmatch(address.rpartition("!")[2].upper())
    if match is None:
        return False
    left, top, right, bottom = match.groups()
    left, right = column_number(left), column_number(right or left)
    top, bottom = int(top), int(bottom or top)
    return (left <= SALES_COLUMN <= right and top <= SALES_ROWS[-1]
            and bottom >= SALES_ROWS[0])


@quorvel.on("Change", sheet="Forecast")
def sales_edited(address):
    """Notes which cells were edited last, and when; other cells' changes are let be."""
    if holds_sales(address):
        where = address.rpartition("!")[2]
        excel.range("Forecast!E19:F19").value = [[where, time.strftime("%H:%M:%S")]]


def refresh():
    """Run by the workbook's timer: counts its runs, and says when the last one was."""
    count = excel.range("Forecast!E20").value
    count = count if isinstance(count, int) and not isinstance(count, bool) else 0
    excel.range("Forecast!E20:F20").value = [[count + 1, time.strftime("%H:%M:%S")]]
'''

MODULES = {"forecast": FORECAST_MODULE, "report": REPORT_MODULE, "live": LIVE_MODULE}
SETTINGS = {"ontime_events": [TIMER]}


def write_cells(path: Path) -> None:
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = SHEET
    bold = Font(bold=True)
    sheet.append(["Month", "Sales"])
    for month, sales in zip(MONTHS, SALES):
        sheet.append([month, sales])
    for row, (label, formula) in enumerate(SUMMARY, 1):
        sheet.cell(row, 4, label)
        sheet.cell(row, 5, formula)
    sheet[TABLE_TITLE[0]] = TABLE_TITLE[1]
    sheet[TABLE[0]] = TABLE[1]
    label_cell, label, total_cell, total = TABLE_TOTAL
    sheet[label_cell], sheet[total_cell] = label, total
    sheet[LIVE_TITLE[0]] = LIVE_TITLE[1]
    for live_cell, text in LIVE_LABELS:
        sheet[live_cell] = text
    sheet[CLOCK[0]] = CLOCK[1]
    for cell in ("A1", "B1", TABLE_TITLE[0], label_cell, LIVE_TITLE[0]):
        sheet[cell].font = bold
    for column, width in (("A", 10), ("B", 10), ("D", 20), ("E", 12)):
        sheet.column_dimensions[column].width = width
    book.save(path)


async def write_modules(path: Path) -> None:
    workbook = await WorkbookFile.open(str(path), create=False)
    try:
        for name, code in MODULES.items():
            await workbook.set_module(name, code)
        for name, value in SETTINGS.items():
            await workbook.set_setting(name, value)
    finally:
        await workbook.close()


def main() -> None:
    path = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).with_name("Forecast.xlsx"))
    # Written beside the target first, so that a failure leaves the old file in place.
    draft = path.with_name(f".{path.stem}.draft.xlsx")
    try:
        write_cells(draft)
        asyncio.run(write_modules(draft))
        os.replace(draft, path)
    finally:
        if draft.exists():
            draft.unlink()
    print(f"wrote {path}: sheet {SHEET!r}, modules {', '.join(MODULES)}, "
          f"settings {', '.join(SETTINGS)}")


if __name__ == "__main__":
    main()
