#!/usr/bin/python3
"""Adds a guest through the guest book's form in headless Chromium, as a
user types it, and prints the page the browser then shows; saves a
screenshot of it.

usage: chromium_guests.py BOOK_URL NAME SCREENSHOT_PATH PROFILE_DIR
Every wait is bounded."""

import base64
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "chat"))
from chromium_chat import DevTools  # noqa: E402


def main():
    book, name, screenshot, profile = sys.argv[1:5]
    tools = DevTools(profile)
    try:
        target = tools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = tools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        tools.call("Page.enable", session=session)

        def load(action):
            tools.events.clear()
            action()
            tools.wait_event("Page.loadEventFired", session)

        def evaluate(expression):
            result = tools.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, session)
            return result.get("result", {}).get("value")

        load(lambda: tools.call("Page.navigate", {"url": book}, session))
        # Typed into the field, as keys, then the form's own button.
        evaluate("document.querySelector('input[name=name]').focus(); true")
        tools.call("Input.insertText", {"text": name}, session)
        load(lambda: evaluate("document.querySelector('input[type=submit]').click(); true"))
        print("charset: " + (evaluate("document.characterSet") or ""))
        print(evaluate("document.body.innerText") or "")
        shot = tools.call("Page.captureScreenshot", {"format": "png"}, session)
        os.makedirs(os.path.dirname(screenshot), exist_ok=True)
        with open(screenshot, "wb") as out:
            out.write(base64.b64decode(shot["data"]))
        return 0
    finally:
        tools.close()


if __name__ == "__main__":
    sys.exit(main())
