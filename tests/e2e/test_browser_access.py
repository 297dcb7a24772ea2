"""A web page of another origin, open in a real browser, cannot reach the hub: whatever token it
guesses (or knows), no connection opens and no code runs."""
import asyncio
import functools
import http.server
import json
import threading

import pytest
from selenium.webdriver.support.ui import WebDriverWait
from websockets.asyncio.server import serve

from ..conftest import scaled

WB = "Book1.xlsx"

# The attacker's page: it tries each WebSocket URL of its fragment; one that opens is sent a cell
# that would write the marker file, and whatever arrives is kept. The results go to data-done.
PAGE = """<!doctype html><html><body><script>
const plan = JSON.parse(decodeURIComponent(location.hash.slice(1)));
const results = {};
function attempt(url) {
  return new Promise(resolve => {
    const result = results[url] = {opened: false, received: []};
    let socket;
    try { socket = new WebSocket(url); } catch (e) { result.error = String(e); resolve(); return; }
    socket.onopen = () => {
      result.opened = true;
      socket.send(JSON.stringify({type: "execution_request", workbook_id: plan.workbook,
                                  request_id: "evil", code: plan.code}));
      setTimeout(() => socket.close(), 1500);
    };
    socket.onmessage = event => result.received.push(String(event.data).slice(0, 200));
    socket.onclose = event => { result.code = event.code; resolve(); };
  });
}
Promise.all(plan.urls.map(attempt)).then(() => {
  document.body.dataset.done = JSON.stringify(results);
});
</script></body></html>"""


class _PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = PAGE.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def attacker_site():
    """A web server on 127.0.0.1 of its own port: another origin than the hub's."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _PageHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


def results_of(browser, url):
    browser.get(url)
    WebDriverWait(browser, scaled(30)).until(
        lambda driver: driver.find_element("tag name", "body").get_attribute("data-done"))
    return json.loads(browser.find_element("tag name", "body").get_attribute("data-done"))


async def test_a_foreign_page_reaches_no_endpoint_and_runs_nothing(hub, browser, attacker_site,
                                                                   tmp_path):
    marker = tmp_path / "pwned"
    process = await hub.launch_kernel(WB)
    try:
        await hub.wait_for_kernel(WB, timeout=scaled(60))

        async def echo(connection):
            async for frame in connection:
                await connection.send(frame)

        # The control: a server that lets anyone in, so that a refusal below means the hub's.
        async with serve(echo, "127.0.0.1", 0) as open_server:
            control = f"ws://127.0.0.1:{open_server.sockets[0].getsockname()[1]}/"
            hub_urls = [f"{host}:{hub.port}{path}"
                        for host in ("ws://127.0.0.1", "ws://localhost")
                        for path in ("/ws/ide/main_ide", "/ws/ide/main_ide?token=guessed",
                                     f"/ws/ide/main_ide?token={hub.token}",
                                     f"/ws/kernel/{WB}?token=guessed",
                                     f"/ws/kernel/Evil.xlsx?token={hub.token}",
                                     f"/ws/sheet/{WB}", f"/ws/sheet/{WB}?token={hub.token}")]
            plan = {"urls": hub_urls + [control], "workbook": WB,
                    "code": f"open({str(marker)!r}, 'w').write('ran')"}
            page = attacker_site + "#" + json.dumps(plan)
            results = await asyncio.to_thread(functools.partial(results_of, browser, page))
    finally:
        await process.kill()

    assert results[control]["opened"] and results[control]["received"], results[control]
    for url in hub_urls:
        assert results[url] == {"opened": False, "received": [], "code": 1006}, url
    assert not marker.exists()
    assert hub.workbook_ids() == [WB]
