"""WorkbookTimers: a workbook's timers, which run a module function every N seconds or at a
time of day, as the workbook's "OnTime" event.

The list is kept in the workbook's file (the setting `TIMERS_SETTING`) and runs whenever the
workbook is open, whether or not a page shows it. A timer's run waits its turn among the
workbook's events (``workbook_events``); one whose earlier run has not ended yet skips this
one ("skipped"), so that a slow function does not pile up runs. Each timer's next run and last
outcome are part of "ontime_event_manager_state".

All methods run on the hub's loop.
"""

from __future__ import annotations

import asyncio
import datetime
import math
import re
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple

from python_server.quorvel.workbook_events import ONTIME

from .ide_protocol import MIN_TIMER_SECONDS
from .workbook_events import WorkbookEvents, function_problem
from .workbook_file import WorkbookFile

__all__ = ["MAX_TIMERS", "MAX_TIMER_SECONDS", "TIMERS_SETTING", "WorkbookTimers"]

TIMERS_SETTING = "ontime_events"
MAX_TIMERS = 100
MAX_TIMER_SECONDS = 7 * 24 * 3600.0
_TIME_OF_DAY = re.compile(r"([01][0-9]|2[0-3]):([0-5][0-9])(?::([0-5][0-9]))?")


@dataclass
class _Timer:
    timer_id: str
    module_name: str
    function_name: str
    interval_seconds: Optional[float]
    time_of_day: Optional[str]
    enabled: bool
    next_run: Optional[datetime.datetime] = None
    last_run: Optional[datetime.datetime] = None
    last_outcome: Optional[str] = None
    last_error: Optional[str] = None
    busy: bool = False
    handle: Optional[asyncio.TimerHandle] = None

    def kept(self) -> Dict[str, Any]:
        return {"timer_id": self.timer_id, "module_name": self.module_name,
                "function_name": self.function_name, "interval_seconds": self.interval_seconds,
                "time_of_day": self.time_of_day, "enabled": self.enabled}

    def state(self) -> Dict[str, Any]:
        return {**self.kept(), "next_run": _iso(self.next_run), "last_run": _iso(self.last_run),
                "last_outcome": self.last_outcome, "last_error": self.last_error}


class WorkbookTimers:
    def __init__(self, workbook_id: str, file: WorkbookFile, events: WorkbookEvents,
                 publish: Callable[[Dict[str, Any]], Any]) -> None:
        self.workbook_id = workbook_id
        self.file = file
        self._events = events
        self._publish = publish  # sends the IDE a state message
        self.timers: List[_Timer] = []
        self._closed = False

    def start(self) -> None:
        """Takes the file's timers (an entry that is no longer valid is kept, disabled in
        effect: its problem is its last error) and schedules them."""
        entries = self.file.settings.get(TIMERS_SETTING)
        timers, _ = parse_timers(entries if isinstance(entries, list) else [], None)
        for timer in timers:
            problem = function_problem(self.file.modules, timer.module_name,
                                       timer.function_name, ONTIME)
            if problem is not None:
                timer.last_outcome, timer.last_error = "error", problem
        self._replace(timers)

    async def save(self, entries: Any) -> Optional[str]:
        """Takes the IDE's whole list, or refuses it whole: the problem, or None once the file
        holds it."""
        if not isinstance(entries, list):
            return "ontime_events must be a list of timers"
        timers, problem = parse_timers(entries, self.file.modules)
        if problem is not None:
            return problem
        old = {t.timer_id: t for t in self.timers}
        for timer in timers:  # what is known of a timer that stays
            before = old.get(timer.timer_id)
            if before is not None:
                timer.last_run, timer.last_outcome = before.last_run, before.last_outcome
                timer.last_error, timer.busy = before.last_error, before.busy
        await self.file.set_setting(TIMERS_SETTING, [t.kept() for t in timers])
        self._replace(timers)
        return None

    def _replace(self, timers: List[_Timer]) -> None:
        for timer in self.timers:
            if timer.handle is not None:
                timer.handle.cancel()
        self.timers = timers
        for timer in timers:
            self._schedule(timer)
        self._publish(self.state())

    def _schedule(self, timer: _Timer) -> None:
        timer.handle, timer.next_run = None, None
        if not timer.enabled or self._closed:
            return
        now = datetime.datetime.now()
        if timer.interval_seconds is not None:
            wait = timer.interval_seconds
        else:
            wait = _seconds_until(timer.time_of_day or "00:00", now)
        timer.next_run = now + datetime.timedelta(seconds=wait)
        timer.handle = asyncio.get_running_loop().call_later(wait, self._fire, timer)

    def _fire(self, timer: _Timer) -> None:
        if self._closed or timer not in self.timers:
            return
        self._schedule(timer)
        if timer.busy:
            timer.last_outcome = "skipped"
            timer.last_error = "Its earlier run had not ended"
            self._publish(self.state())
            return
        timer.busy = True
        timer.last_run = datetime.datetime.now()

        def ended(error: Optional[str]) -> None:
            timer.busy = False
            timer.last_outcome = "success" if error is None else "error"
            timer.last_error = error
            if not self._closed:
                self._publish(self.state())

        self._events.run_timer(timer.module_name, timer.function_name, ended)
        self._publish(self.state())

    def state(self) -> Dict[str, Any]:
        return {"type": "ontime_event_manager_state", "workbook_id": self.workbook_id,
                "ontime_events": [t.state() for t in self.timers]}

    def close(self) -> None:
        self._closed = True
        for timer in self.timers:
            if timer.handle is not None:
                timer.handle.cancel()


def parse_timers(entries: List[Any],
                 modules: Optional[Dict[str, str]]) -> Tuple[List[_Timer], Optional[str]]:
    """Timers from their entries, and the first problem (with `modules`, a function that does
    not exist or takes arguments is one). Without `modules`, unreadable entries are left out."""
    if len(entries) > MAX_TIMERS:
        return [], f"A workbook has at most {MAX_TIMERS} timers"
    timers: List[_Timer] = []
    taken = set()
    for number, entry in enumerate(entries, 1):
        timer, problem = _timer_of(entry)
        if problem is None and modules is not None:
            assert timer is not None
            problem = function_problem(modules, timer.module_name, timer.function_name, ONTIME)
        if problem is not None:
            if modules is None:
                continue
            return [], f"Timer {number}: {problem}"
        assert timer is not None
        if not timer.timer_id or timer.timer_id in taken:
            timer.timer_id = _new_id(taken | {str(e.get("timer_id")) for e in entries
                                              if isinstance(e, dict)})
        taken.add(timer.timer_id)
        timers.append(timer)
    return timers, None


def _timer_of(entry: Any) -> Tuple[Optional[_Timer], Optional[str]]:
    if not isinstance(entry, dict):
        return None, "a timer is an object"
    module, function = entry.get("module_name"), entry.get("function_name")
    if not (isinstance(module, str) and module and isinstance(function, str) and function):
        return None, "a timer names module_name and function_name"
    interval, time_of_day = entry.get("interval_seconds"), entry.get("time_of_day")
    if (interval is None) == (time_of_day is None):
        return None, "a timer has either interval_seconds or time_of_day"
    if interval is not None:
        if isinstance(interval, bool) or not isinstance(interval, (int, float)) \
                or not math.isfinite(interval):
            return None, "interval_seconds is a number of seconds"
        if interval < MIN_TIMER_SECONDS:
            return None, (f"a timer runs at most every {MIN_TIMER_SECONDS:g} s; "
                          f"{interval:g} s is too often")
        if interval > MAX_TIMER_SECONDS:
            return None, f"a timer runs at least once a week ({MAX_TIMER_SECONDS:g} s)"
        interval = float(interval)
    elif not isinstance(time_of_day, str) or _TIME_OF_DAY.fullmatch(time_of_day) is None:
        return None, "time_of_day is a time of the day, HH:MM or HH:MM:SS"
    enabled = entry.get("enabled", True)
    if not isinstance(enabled, bool):
        return None, "enabled is true or false"
    timer_id = entry.get("timer_id")
    return _Timer(timer_id if isinstance(timer_id, str) else "", module, function, interval,
                  time_of_day, enabled), None


def _new_id(taken: set) -> str:
    number = 1
    while f"timer-{number}" in taken:
        number += 1
    return f"timer-{number}"


def _seconds_until(time_of_day: str, now: datetime.datetime) -> float:
    match = _TIME_OF_DAY.fullmatch(time_of_day)
    assert match is not None
    at = now.replace(hour=int(match.group(1)), minute=int(match.group(2)),
                     second=int(match.group(3) or 0), microsecond=0)
    if at <= now:
        at += datetime.timedelta(days=1)
    return (at - now).total_seconds()


def _iso(moment: Optional[datetime.datetime]) -> Optional[str]:
    return None if moment is None else moment.isoformat(timespec="seconds")
