#!/usr/bin/python3
"""Drives headless Chromium through its DevTools protocol (over a pipe) into
a chat room: joins from the join form, posts a line from the dialog form,
checks that the dialog page shows it and saves a screenshot.

usage: chromium_chat.py ROOM_URL SCREENSHOT_PATH PROFILE_DIR
Exit 0 when the line was seen; every wait is bounded."""

import base64
import json
import os
import subprocess
import sys
import time

DEADLINE_SECS = 60


class DevTools:
    def __init__(self, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        # The protocol pipe is fds 3 (commands in) and 4 (replies out).
        def wire():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)
        args = ["/usr/bin/chromium", "--headless=new", "--remote-debugging-pipe", "--disable-gpu",
                "--no-first-run", "--no-default-browser-check", "--user-data-dir=" + profile,
                "--window-size=1000,800", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        self.process = subprocess.Popen(args, pass_fds=(3, 4), preexec_fn=wire,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        self.deadline = time.monotonic() + DEADLINE_SECS

    def _read_message(self):
        import select
        while b"\0" not in self.buffer:
            left = self.deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no answer from the browser")
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.from_browser, 65536)
            if not chunk:
                raise EOFError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=None):
        self.next_id += 1
        request = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            request["sessionId"] = session
        os.write(self.to_browser, json.dumps(request).encode() + b"\0")
        while True:
            message = self._read_message()
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(method + ": " + json.dumps(message["error"]))
                return message.get("result", {})
            self.events.append(message)

    def wait_event(self, method, session):
        while True:
            for i, event in enumerate(self.events):
                if event.get("method") == method and event.get("sessionId") == session:
                    del self.events[: i + 1]
                    return event
            self.events.append(self._read_message())

    def open_page(self):
        return Page(self)

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Page:
    """A tab of the browser: loads that wait for the page, scripts that
    return their value, and a screenshot."""

    def __init__(self, tools):
        self.tools = tools
        target = tools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = tools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        tools.call("Page.enable", session=self.session)

    def call(self, method, params=None):
        return self.tools.call(method, params, self.session)

    def load(self, action):
        self.tools.events.clear()
        action()
        self.tools.wait_event("Page.loadEventFired", self.session)

    def navigate(self, url):
        self.load(lambda: self.call("Page.navigate", {"url": url}))

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result.get("result", {}).get("value")

    def screenshot(self, path):
        shot = self.call("Page.captureScreenshot", {"format": "png"})
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(base64.b64decode(shot["data"]))


def main():
    room, screenshot, profile = sys.argv[1:4]
    tools = DevTools(profile)
    try:
        page = tools.open_page()
        load, evaluate = page.load, page.evaluate
        page.navigate(room + "/Join")
        load(lambda: evaluate("document.querySelector('input[name=name]').value = 'Chromey';"
                              "document.forms[0].submit(); true"))
        load(lambda: evaluate("document.querySelector('textarea[name=text]').value = 'hello from chromium';"
                              "document.forms[0].submit(); true"))
        text = evaluate("document.body.innerText") or ""
        page.screenshot(screenshot)
        print(text)
        return 0 if "Chromey: hello from chromium" in text else 1
    finally:
        tools.close()


if __name__ == "__main__":
    sys.exit(main())
