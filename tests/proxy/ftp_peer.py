# An FTP server for the proxy's tests that misbehaves on request.
# usage: ftp_peer.py MODES PORT ROOT   (MODES: comma-separated, or "plain")
#   dos        LIST answers in the MS-DOS layout, hostile names included
#   onefolder  CWD refuses a path of more than one folder
#   abort      RETR sends part of the file, then 426
#   full       STOR takes the data, then 552
#   silent     CWD is never answered
#   foreign    the data connection comes from another address
import socket
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.log import logger
from pyftpdlib.servers import FTPServer

modes = set(sys.argv[1].split(","))
port = int(sys.argv[2])
root = sys.argv[3]
strangers = []


class DTP(DTPHandler):
    def close(self):
        if not self._closed:
            if "abort" in modes and not self.receive:
                self._resp = ("426 Connection closed; transfer aborted.", logger.debug)
            if "full" in modes and self.receive:
                self._resp = ("552 Requested file action aborted. Exceeded storage allocation.", logger.debug)
        DTPHandler.close(self)


class Handler(FTPHandler):
    dtp_handler = DTP

    def pre_process_command(self, line, cmd, arg):
        if cmd == "CWD" and "silent" in modes:
            return
        if cmd == "CWD" and "onefolder" in modes and arg and arg.strip("/").count("/") > 0:
            self.respond("550 One folder at a time.")
            return
        return FTPHandler.pre_process_command(self, line, cmd, arg)

    def ftp_PORT(self, line):
        if "foreign" not in modes:
            return FTPHandler.ftp_PORT(self, line)
        parts = [int(x) for x in line.split(",")]
        stranger = socket.socket()
        stranger.bind(("127.0.0.2", 0))
        stranger.connect((".".join(str(x) for x in parts[:4]), parts[4] * 256 + parts[5]))
        stranger.sendall(b"FOREIGN DATA")
        strangers.append(stranger)
        self.respond("200 PORT command successful.")

    def ftp_RETR(self, file):
        if "foreign" in modes:
            self.respond("150 Opening data connection.")
            return
        if "abort" in modes:
            with open(file, "rb") as f:
                data = f.read()
            self.push_dtp_data(data[: len(data) // 2], cmd="RETR")
            return
        return FTPHandler.ftp_RETR(self, file)

    def ftp_LIST(self, path):
        if "dos" not in modes:
            return FTPHandler.ftp_LIST(self, path)
        lines = [
            "01-05-97  10:30AM       <DIR>          docs",
            "12-24-26  08:15PM               1234 Read Me.TXT",
            "12-24-26  08:15PM                 12 <script>alert(1)</script>.txt",
            "12-24-26  08:15PM                 12 <img src=x onerror=alert(1)>.txt",
        ]
        self.push_dtp_data(("\r\n".join(lines) + "\r\n").encode(), cmd="LIST")


authorizer = DummyAuthorizer()
authorizer.add_anonymous(root, perm="elradfmw")
Handler.authorizer = authorizer
server = FTPServer(("127.0.0.1", port), Handler)
server.serve_forever()
