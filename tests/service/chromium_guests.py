#!/usr/bin/python3
"""Adds a guest through the guest book's form in headless Chromium, as a
user types it, and prints the page the browser then shows; saves a
screenshot of it.

usage: chromium_guests.py BOOK_URL NAME SCREENSHOT_PATH PROFILE_DIR
Every wait is bounded."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "chat"))
from chromium_chat import DevTools  # noqa: E402


def main():
    book, name, screenshot, profile = sys.argv[1:5]
    tools = DevTools(profile)
    try:
        page = tools.open_page()
        load, evaluate = page.load, page.evaluate
        page.navigate(book)
        # Typed into the field, as keys, then the form's own button.
        evaluate("document.querySelector('input[name=name]').focus(); true")
        page.call("Input.insertText", {"text": name})
        load(lambda: evaluate("document.querySelector('input[type=submit]').click(); true"))
        print("charset: " + (evaluate("document.characterSet") or ""))
        print(evaluate("document.body.innerText") or "")
        page.screenshot(screenshot)
        return 0
    finally:
        tools.close()


if __name__ == "__main__":
    sys.exit(main())
