"""A screenshot of a page once it has settled, through the DevTools protocol
of a headless chromium: unlike --screenshot, it waits in real time (Perfetto's
UI loads its trace processor and the trace after the page's load event).

    python tools/cdp_screenshot.py URL OUT.png [--width W] [--height H] [--wait SECONDS] [--ready TEXT]

Waits until the page's text holds TEXT (or --wait seconds pass), then a
second more for drawing. Needs chromium and websocket-client (requirements-viewer.txt).
"""

import argparse
import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request

import websocket


class Page:
    def __init__(self, ws_url):
        self.ws = websocket.create_connection(ws_url, timeout=60)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == self.next_id:
                if "error" in msg:
                    raise RuntimeError(f"{method}: {msg['error']}")
                return msg.get("result", {})

    def text(self):
        r = self.call("Runtime.evaluate", expression="document.body ? document.body.innerText : ''", returnByValue=True)
        return r.get("result", {}).get("value", "")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("url")
    ap.add_argument("out")
    ap.add_argument("--width", type=int, default=1600)
    ap.add_argument("--height", type=int, default=720)
    ap.add_argument("--wait", type=float, default=60)
    ap.add_argument("--ready", default="")
    ap.add_argument("--port", type=int, default=9229)
    args = ap.parse_args()
    profile = tempfile.mkdtemp(prefix="cdp-")
    browser = subprocess.Popen([shutil.which("chromium") or "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                "--hide-scrollbars", f"--remote-debugging-port={args.port}",
                                f"--user-data-dir={profile}", f"--window-size={args.width},{args.height}",
                                "about:blank"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{args.port}/json/list") as r:
                    pages = [p for p in json.load(r) if p.get("type") == "page"]
                if pages:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise SystemExit("chromium did not start")
            time.sleep(0.2)
        page = Page(pages[0]["webSocketDebuggerUrl"])
        page.call("Emulation.setDeviceMetricsOverride", width=args.width, height=args.height, deviceScaleFactor=1,
                  mobile=False)
        page.call("Page.navigate", url=args.url)
        deadline = time.monotonic() + args.wait
        while time.monotonic() < deadline:
            if args.ready and args.ready in page.text():
                break
            time.sleep(0.5)
        time.sleep(1.0)
        shot = page.call("Page.captureScreenshot", format="png")
        with open(args.out, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
    finally:
        browser.terminate()
        browser.wait()
        shutil.rmtree(profile, ignore_errors=True)
    print(os.path.abspath(args.out))


if __name__ == "__main__":
    main()
