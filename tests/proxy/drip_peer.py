# A gopher or FTP server that sends its document a line at a time, slowly,
# and notes in its log whether the proxy let the connection go early.
# usage: drip_peer.py gopher|ftp|ftp-greeting|ftp-login PORT LOG
#   gopher selectors: /drip (slow text), /dot (a text with its closing ".")
#   ftp: CWD / and pub succeed; RETR drip.txt is slow; other files are refused
#   ftp-greeting: the greeting never ends: a "220-" line every half second
#   ftp-login: the same with "230-" lines in answer to PASS
import socket
import sys
import threading
import time

kind, port, log = sys.argv[1], int(sys.argv[2]), sys.argv[3]
lock = threading.Lock()


def note(text):
    with lock:
        with open(log, "a") as f:
            f.write(text + "\n")


def drip(c):
    try:
        for i in range(400):
            c.sendall(b"line %d\r\n" % i)
            time.sleep(0.1)
        note("finished")
    except OSError:
        note("closed")


def gopher(c):
    selector = c.recv(1000).decode().strip()
    if selector == "/drip":
        drip(c)
    elif selector == "/dot":
        c.sendall(b"first\r\n.second keeps its dot\r\n.\r\n")
    c.close()


def endless(c, code):
    try:
        for i in range(400):
            c.sendall(b"%s-notice %d\r\n" % (code, i))
            time.sleep(0.5)
        note("finished")
    except OSError:
        note("closed")


def ftp(c):
    if kind == "ftp-greeting":
        endless(c, b"220")
        c.close()
        return
    f = c.makefile("rb")
    c.sendall(b"220 drip\r\n")
    address = None
    for raw in f:
        line = raw.decode().strip()
        verb, _, arg = line.partition(" ")
        verb = verb.upper()
        if verb == "USER":
            c.sendall(b"331 password\r\n")
        elif verb == "PASS" and kind == "ftp-login":
            endless(c, b"230")
            break
        elif verb == "PASS":
            c.sendall(b"230 in\r\n")
        elif verb == "CWD":
            c.sendall(b"250 ok\r\n" if arg in ("/", "pub") else b"550 no such folder\r\n")
        elif verb == "PORT":
            p = [int(x) for x in arg.split(",")]
            address = (".".join(str(x) for x in p[:4]), p[4] * 256 + p[5])
            c.sendall(b"200 ok\r\n")
        elif verb == "TYPE":
            c.sendall(b"200 ok\r\n")
        elif verb == "RETR" and arg == "drip.txt":
            c.sendall(b"150 here it comes\r\n")
            d = socket.create_connection(address)
            drip(d)
            d.close()
            try:
                c.sendall(b"226 done\r\n")
            except OSError:
                pass
        elif verb == "QUIT":
            c.sendall(b"221 bye\r\n")
            break
        else:
            c.sendall(b"550 no\r\n")
    c.close()


s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port))
s.listen(16)
serve = gopher if kind == "gopher" else ftp
while True:
    threading.Thread(target=serve, args=(s.accept()[0],), daemon=True).start()
