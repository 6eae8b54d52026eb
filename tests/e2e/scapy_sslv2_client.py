#!/usr/bin/python3
"""Drives scapy's own SSL 2.0 client automaton against a secure port: it
offers SSL 2.0 cipher kinds among which the server's one (02 00 80) is
found, completes the handshake, sends one request and prints what it
received.

Usage: scapy_sslv2_client.py PORT PATH [as-shipped]

scapy marks "export" on the one key-exchange class all its SSL 2.0 kinds
share, so the last kind it defines (triple DES, not export) decides for all:
as shipped, it sends the export kind's 16-byte master key with no clear part,
which the server refuses (the export kind takes 11 clear and 5 secret bytes).
Unless "as-shipped" is given, the flag is set right for the kind in use.
"""

import sys
import warnings

warnings.simplefilter("ignore")

from scapy.config import conf  # noqa: E402
from scapy.layers.tls.automaton_cli import TLSClientAutomaton  # noqa: E402
from scapy.layers.tls.crypto.suites import _tls_cipher_suites_cls  # noqa: E402
from scapy.layers.tls.handshake_sslv2 import SSLv2ClientHello  # noqa: E402
from scapy.volatile import RandString  # noqa: E402

conf.verb = 0


def main():
    port, path = int(sys.argv[1]), sys.argv[2]
    if sys.argv[3:] != ["as-shipped"]:
        _tls_cipher_suites_cls[0x020080].kx_alg.export = True
    request = "GET %s HTTP/1.0\r\n\r\n" % path
    # With its list of data sent, the automaton reads more from standard
    # input; given none (/dev/null), it stops there.
    client = TLSClientAutomaton(server="127.0.0.1", dport=port, version="sslv2",
                                data=[request], verbose=True)
    # The automaton's own hello offers triple DES only, and it keeps a hello
    # handed to it only when it is a TLS one: set the SSL 2.0 hello here.
    client.client_hello = SSLv2ClientHello(
        challenge=bytes(RandString(16)),
        ciphers=[0x0700C0, 0x020080])
    try:
        client.run(wait=True)
    except EOFError:
        pass


if __name__ == "__main__":
    main()
