# An SMTP peer for the mail tests: records every message's raw DATA and
# every reply it sends, and refuses the commands named on its command line.
# Usage: smtp_peer.py PORT FOLDER [VERB=REPLY ...], e.g. DATA="554 no",
# RCPT2="550 no such user" (the second RCPT only).
import asyncio
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP

port = int(sys.argv[1])
folder = sys.argv[2]
refusals = dict(arg.split("=", 1) for arg in sys.argv[3:])
counts = {}


class Recorder:
    async def handle_DATA(self, server, session, envelope):
        n = len([name for name in __import__("os").listdir(folder) if name.startswith("msg")])
        with open(f"{folder}/msg{n}.eml", "wb") as f:
            f.write(envelope.original_content)
        with open(f"{folder}/msg{n}.rcpt", "w") as f:
            f.write("\n".join(envelope.rcpt_tos))
        return "250 OK"


class RefusingSMTP(SMTP):
    async def push(self, status):
        with open(f"{folder}/replies.log", "a") as f:
            f.write(status + "\n")
        return await super().push(status)

    async def refuse(self, verb):
        counts[verb] = counts.get(verb, 0) + 1
        reply = refusals.get(verb) or refusals.get(f"{verb}{counts[verb]}")
        if reply:
            await self.push(reply)
            return True
        return False

    async def smtp_RCPT(self, arg):
        if not await self.refuse("RCPT"):
            await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        if not await self.refuse("DATA"):
            await super().smtp_DATA(arg)


class RefusingController(Controller):
    def factory(self):
        return RefusingSMTP(self.handler, enable_SMTPUTF8=False)


controller = RefusingController(Recorder(), hostname="127.0.0.1", port=port)
controller.start()
try:
    asyncio.get_event_loop().run_forever()
except KeyboardInterrupt:
    pass
