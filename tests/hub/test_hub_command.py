"""`python -m devhub` as `make run` starts it: the page addresses it prints let a browser in,
and with a display it opens them and runs the IDE window for as long as the hub runs."""
import json
import os
import signal
import subprocess
import sys
import time

import httpx

from ..conftest import scaled


def start(tmp_path, environment, *arguments):
    process = subprocess.Popen(
        [sys.executable, "-m", "devhub", "--port", "0", "--data-dir", str(tmp_path / "data"),
         str(tmp_path / "Book.xlsx"), *arguments],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=environment)
    return process


def lines_until(process, ending):
    """The hub's printed lines up to the first that starts with `ending`."""
    lines = []
    while not lines or not lines[-1].startswith(ending):
        line = process.stdout.readline()
        assert line, f"the hub ended after printing {lines}"
        lines.append(line.rstrip("\n"))
    return lines


def browse(address):
    """GET as a browser does: the redirect followed with the cookie it set. The hub answers
    one request per connection, so none is reused."""
    with httpx.Client(follow_redirects=True, timeout=scaled(10),
                      limits=httpx.Limits(max_keepalive_connections=0)) as client:
        return client.get(address)


def stop(process):
    process.send_signal(signal.SIGTERM)
    process.communicate(timeout=scaled(30))


def gone(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.1)
    return False


class TestTheCommand:
    def test_without_a_display_it_prints_addresses_that_open_the_page(self, tmp_path):
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("DISPLAY", "WAYLAND_DISPLAY")}
        process = start(tmp_path, environment, "--open-browser", "--open-ide")
        try:
            lines = lines_until(process, "no display (DISPLAY and WAYLAND_DISPLAY are unset): "
                                         "the IDE")
            token = json.loads((tmp_path / "data" / "hub.json").read_text())["token"]
            page = next(line.split(": ", 1)[1] for line in lines
                        if line.startswith("  its page: "))
            listing = next(line.split(": ", 1)[1] for line in lines
                           if line.startswith("the open workbooks: "))
            assert page.endswith(f"/workbook/Book.xlsx?token={token}")
            assert any("no browser opened" in line for line in lines)
            for address in (page, listing):
                assert browse(address).status_code == 200, address
            # Without the token the same page is refused.
            assert browse(page.split("?")[0]).status_code == 403
        finally:
            stop(process)

    def test_with_a_display_it_opens_the_pages_and_the_ide_ends_with_the_hub(self, tmp_path):
        opened = tmp_path / "opened.txt"
        browser = tmp_path / "browser.sh"
        browser.write_text(f'#!/bin/sh\necho "$1" >> {opened}\n')
        browser.chmod(0o755)
        environment = dict(os.environ, DISPLAY=":99", BROWSER=str(browser),
                           QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=str(tmp_path / "config"))
        process = start(tmp_path, environment, "--open-browser", "--open-ide")
        try:
            lines = lines_until(process, "started the IDE window (pid ")
            ide = int(lines[-1].rsplit(" ", 1)[1].rstrip(")"))
            page = next(line.split(": ", 1)[1] for line in lines
                        if line.startswith("  its page: "))
            assert opened.read_text().split() == [page]
            assert not gone(ide, 1.0)  # it runs beside the hub
        finally:
            stop(process)
        left = not gone(ide, scaled(10))
        if left:
            os.kill(ide, signal.SIGKILL)
        assert not left, "the IDE window outlived the hub"
