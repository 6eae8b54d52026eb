"""The worked pages of the KAV reference, tried as a reader tries them.

    kav_pages.py REFERENCE

Run from the repository's top folder with `make run` serving and HOME set
to a folder of the caller's. Saves every page of the reference's "Worked
pages" (a ```kav NAME block) in ~/kav-pages, runs the section's setup block
as written, then each page's command, and compares what it prints with the
page's ```text block. The path the setup adds is removed again at the end.
"""

import os
import re
import subprocess
import sys

KEY = r"HKLM\Software\Tessaline\Velmora\HTTP\Paths\kav"


def blocks(text):
    """The fenced blocks after the "Worked pages" heading: (info, body)."""
    section = text.split("\n## Worked pages\n", 1)
    if len(section) != 2:
        sys.exit("FAIL: no section \"Worked pages\" in the reference")
    return re.findall(r"^```([^\n]*)\n(.*?)^```$", section[1], re.S | re.M)


def run(command):
    return subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=120)


def main():
    found = blocks(open(sys.argv[1]).read())
    setup = None
    pages = []  # [name, text, command, expected]
    for info, body in found:
        kind, _, name = info.partition(" ")
        if kind == "sh" and not pages:
            setup = body
        elif kind == "kav":
            pages.append([name.strip(), body, None, None])
        elif kind == "sh" and pages and pages[-1][2] is None:
            pages[-1][2] = body
        elif kind == "text" and pages and pages[-1][3] is None:
            pages[-1][3] = body
    if setup is None or len(pages) < 5:
        sys.exit("FAIL: the reference shows %d worked pages and %s setup"
                 % (len(pages), "a" if setup else "no"))
    folder = os.path.join(os.environ["HOME"], "kav-pages")
    os.makedirs(folder, exist_ok=True)
    for name, body, command, expected in pages:
        if command is None or expected is None:
            sys.exit("FAIL: the page %s has no command or no output shown" % name)
        with open(os.path.join(folder, name), "w") as page:
            page.write(body)
    failed = 0
    try:
        done = run(setup)
        if done.returncode != 0:
            sys.exit("FAIL: the worked pages' setup ended with %d:\n%s" % (done.returncode, done.stderr))
        for name, _, command, expected in pages:
            done = run(command)
            if done.returncode != 0 or done.stdout != expected:
                failed += 1
                print("FAIL: %s gave (status %d):\n%s\ninstead of:\n%s\n%s"
                      % (name, done.returncode, done.stdout, expected, done.stderr))
    finally:
        run("VELMORA_REGISTRY=$PWD/run/registry.db build/tools/velmora-reg delete '%s'" % KEY)
    if failed:
        sys.exit(1)
    print("PASS: %d worked pages give what the reference shows" % len(pages))


main()
