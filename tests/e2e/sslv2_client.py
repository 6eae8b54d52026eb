#!/usr/bin/python3
"""An SSL 2.0 client over python3-cryptography, for the secure-port tests.

It speaks the one cipher kind the server offers (02 00 80: RC4, 128-bit key
with 40 secret bits, MD5 MAC), checks the server's certificate parses as
X.509, and can break the protocol in the ways the tests name.

Usage: sslv2_client.py PORT CASE [PATH ...] [--session FILE]
CASE is "fetch" (handshake, then GET each PATH on its own connection,
resuming the session saved in FILE when it exists) or a malformed case.
Output: one JSON object on standard output.
"""

import hashlib
import json
import os
import socket
import struct
import sys
import warnings

warnings.simplefilter("ignore")  # ARC4 is deprecated, and that is the point

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import padding  # noqa: E402
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms  # noqa: E402

CIPHER_KIND = b"\x02\x00\x80"
TIMEOUT = 10


class Closed(Exception):
    pass


def rc4(key):
    return Cipher(algorithms.ARC4(key), mode=None).encryptor()


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.write_seq = 0
        self.read_seq = 0
        self.keys = None
        self.pending = b""
        self.record_lengths = []

    # Records ---------------------------------------------------------------

    def send_raw(self, data):
        self.sock.sendall(data)

    def record(self, data, seq_offset=0, bad_mac=False, padding=0, escape=False):
        """One record of data: protected once keys exist."""
        if self.keys:
            seq = struct.pack(">I", (self.write_seq + seq_offset) & 0xFFFFFFFF)
            pad = b"\0" * padding
            mac = hashlib.md5(self.keys["write_secret"] + data + pad + seq).digest()
            if bad_mac:
                mac = bytes([mac[0] ^ 1]) + mac[1:]
            body = self.keys["write"].update(mac + data + pad)
        else:
            body = data + b"\0" * padding
        self.write_seq += 1
        n = len(body)
        if padding or escape:
            return bytes([(n >> 8) & 0x3F | (0x40 if escape else 0), n & 0xFF, padding]) + body
        return bytes([0x80 | n >> 8, n & 0xFF]) + body

    def send(self, data, **kw):
        self.send_raw(self.record(data, **kw))

    def recv_exact_raw(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise Closed()
            out += chunk
        return out

    def recv_record(self, check=True):
        head = self.recv_exact_raw(2)
        if head[0] & 0x80:
            n, pad = (head[0] & 0x7F) << 8 | head[1], 0
        else:
            n = (head[0] & 0x3F) << 8 | head[1]
            pad = self.recv_exact_raw(1)[0]
        body = self.recv_exact_raw(n)
        self.record_lengths.append(n)
        if self.keys:
            body = self.keys["read"].update(body)
            mac, body = body[:16], body[16:]
            seq = struct.pack(">I", self.read_seq)
            if check and hashlib.md5(self.keys["read_secret"] + body + seq).digest() != mac:
                raise ValueError("bad MAC from the server")
        self.read_seq += 1
        return body[: len(body) - pad]

    def recv(self, n, check=True):
        while len(self.pending) < n:
            self.pending += self.recv_record(check)
        out, self.pending = self.pending[:n], self.pending[n:]
        return out

    def recv_all(self):
        out = self.pending
        self.pending = b""
        try:
            while True:
                out += self.recv_record()
        except Closed:
            return out

    def closed_by_server(self):
        """True when the server ends the connection (EOF or reset) in time;
        what it sent before that is counted in self.received."""
        self.received = 0
        try:
            self.sock.settimeout(TIMEOUT)
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    return True
                self.received += len(chunk)
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    # Handshake -------------------------------------------------------------

    def client_hello(self, session_id=b"", challenge=None, specs_len=9, version=2, specs=None):
        self.challenge = challenge if challenge is not None else os.urandom(16)
        if specs is None:
            specs = b"\x07\x00\xc0" + CIPHER_KIND + b"\x01\x00\x80" + b"\x07\x00\x40" * ((specs_len - 9) // 3)
        body = b"\x01" + struct.pack(">HHHH", version, len(specs), len(session_id), len(self.challenge))
        self.send(body + specs + session_id + self.challenge)

    def server_hello(self):
        if self.recv(1) != b"\x04":
            raise ValueError("not a SERVER-HELLO")
        hit, cert_type, version, cert_len, specs_len, id_len = struct.unpack(">BBHHHH", self.recv(10))
        self.hit = hit
        self.certificate = self.recv(cert_len)
        self.specs = self.recv(specs_len)
        self.connection_id = self.recv(id_len)
        if not hit:
            if cert_type != 1 or version != 2 or self.specs != CIPHER_KIND:
                raise ValueError("unexpected SERVER-HELLO fields")
            self.public_key = x509.load_der_x509_certificate(self.certificate).public_key()

    def client_master_key(self, clear_len=11, secret_len=5, bad_padding=False, key_len_change=0):
        master = os.urandom(clear_len + secret_len)
        clear, secret = master[:clear_len], master[clear_len:]
        if key_len_change:
            # A well-formed key, one byte short of the modulus or one over.
            encrypted = self.public_key.encrypt(secret, padding.PKCS1v15())
            encrypted = encrypted[1:] if key_len_change < 0 else b"\0" + encrypted
        elif bad_padding:
            # Block type 1 where 2 belongs: the padding check must fail.
            numbers = self.public_key.public_numbers()
            k = (numbers.n.bit_length() + 7) // 8
            block = b"\x00\x01" + b"\xff" * (k - 3 - len(secret)) + b"\x00" + secret
            encrypted = pow(int.from_bytes(block, "big"), numbers.e, numbers.n).to_bytes(k, "big")
        else:
            encrypted = self.public_key.encrypt(secret, padding.PKCS1v15())
        self.send(b"\x02" + CIPHER_KIND + struct.pack(">HHH", len(clear), len(encrypted), 0) + clear + encrypted)
        self.master = master

    def derive(self):
        tail = self.challenge + self.connection_id
        server_write = hashlib.md5(self.master + b"0" + tail).digest()
        server_read = hashlib.md5(self.master + b"1" + tail).digest()
        self.keys = {"write": rc4(server_read), "write_secret": server_read,
                     "read": rc4(server_write), "read_secret": server_write}

    def finish(self, **kw):
        self.send(b"\x03" + self.connection_id, **kw)
        if self.recv(1) != b"\x05" or self.recv(len(self.challenge)) != self.challenge:
            raise ValueError("SERVER-VERIFY does not return the challenge")
        if self.recv(1) != b"\x06":
            raise ValueError("not a SERVER-FINISHED")
        self.session_id = self.recv(16)

    def handshake(self, session=None, challenge=None):
        self.client_hello(session["id"] if session else b"", challenge)
        self.server_hello()
        if self.hit:
            self.master = session["master"]
        else:
            self.client_master_key()
        self.derive()
        self.finish()

    def get(self, path, one_byte_records=False):
        request = ("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode()
        if one_byte_records:
            for b in request:
                self.send(bytes([b]))
        else:
            self.send(request)
        return self.recv_all()


def body_of(reply):
    head, _, body = reply.partition(b"\r\n\r\n")
    return head.split(b"\r\n")[0].decode(), body


def fetch(port, paths, session_file, challenge_len=16, one_byte=False):
    session = None
    if session_file and os.path.exists(session_file):
        with open(session_file) as f:
            saved = json.load(f)
        session = {"id": bytes.fromhex(saved["id"]), "master": bytes.fromhex(saved["master"])}
    results = []
    for path in paths:
        c = Client(port)
        c.handshake(session, os.urandom(challenge_len) if challenge_len != 16 else None)
        status, body = body_of(c.get(path, one_byte))
        results.append({"path": path, "resumed": bool(c.hit), "status": status,
                        "md5": hashlib.md5(body).hexdigest(), "length": len(body),
                        "session_counter": struct.unpack("<I", c.session_id[:4])[0]})
        session = {"id": c.session_id, "master": c.master}
    if session_file:
        with open(session_file, "w") as f:
            json.dump({"id": session["id"].hex(), "master": session["master"].hex()}, f)
    return {"results": results}


def hello_answered_then_fetch(c, out):
    """SERVER-HELLO and the rest of the handshake, or what a refusal left."""
    try:
        c.server_hello()
    except (Closed, ConnectionResetError):
        # A reset: the server closed with the rest of the hello unread.
        out["closed"], out["received"] = True, sum(c.record_lengths)
        return out
    return master_key_and_fetch(c, out)


def master_key_and_fetch(c, out):
    """The rest of a full handshake after SERVER-HELLO, then /index.txt."""
    c.client_master_key()
    c.derive()
    c.finish()
    out["status"], body = body_of(c.get("/index.txt"))
    out["md5"] = hashlib.md5(body).hexdigest()
    return out


def malformed(port, case):
    c = Client(port)
    out = {"case": case}
    if case == "escape-bit":
        c.send(b"\x01\x00\x02\x00\x03\x00\x00\x00\x10" + CIPHER_KIND + os.urandom(16), escape=True)
    elif case == "truncated-record":
        c.send_raw(b"\x80\x64" + b"\x01" * 50)
        c.sock.shutdown(socket.SHUT_WR)
    elif case.startswith("challenge-"):
        c.client_hello(b"", os.urandom(int(case[len("challenge-"):])))
        return hello_answered_then_fetch(c, out)
    elif case in ("tls-hello-in-v2-record", "dual-hello-in-v2-record"):
        # Version 3.1 in SSL 2.0 form: with TLS kinds only (AES-128 and
        # AES-256 with SHA), or with the SSL 2.0 kind among them.
        tls = b"\x00\x00\x2f\x00\x00\x35"
        c.client_hello(b"", os.urandom(32), version=0x0301,
                       specs=tls if case == "tls-hello-in-v2-record" else tls + CIPHER_KIND)
        return hello_answered_then_fetch(c, out)
    elif case == "largest-clear-record":
        # CLIENT-HELLO in one record of 32,767 bytes: cipher kinds the server
        # does not know fill it.
        c.client_hello(b"", None, 32767 - 9 - 16)
        out["first_record"] = 32767
        c.server_hello()
        return master_key_and_fetch(c, out)
    else:
        c.client_hello()
        c.server_hello()
        if case == "clear-10-secret-6":
            c.client_master_key(10, 6)
        elif case in ("encrypted-key-short", "encrypted-key-long"):
            c.client_master_key(key_len_change=-1 if case.endswith("short") else 1)
        elif case == "oversized-clear-key":
            c.client_master_key(300, 5)
        elif case in ("bad-padding", "good-padding", "clear-11-secret-6"):
            if case == "clear-11-secret-6":
                c.client_master_key(11, 6)
            else:
                c.client_master_key(bad_padding=case == "bad-padding")
            c.derive()
            # What the server sends before CLIENT-FINISHED: the same records
            # whether the secret it decrypted was good or not.
            c.recv_record(check=False)
            c.recv_record(check=False)
            out["records"] = list(c.record_lengths)
            c.send(b"\x03" + c.connection_id)
            if case == "good-padding":
                out["status"], body = body_of(c.get("/index.txt"))
                return out
        elif case == "bad-mac":
            c.client_master_key()
            c.derive()
            c.finish(bad_mac=True)
        elif case == "wrong-sequence":
            c.client_master_key()
            c.derive()
            c.finish(seq_offset=1)
        elif case == "largest-protected-record":
            c.client_master_key()
            c.derive()
            c.finish()
            # Header lines stay below the server's 8 KiB line limit.
            request = b"GET /index.txt HTTP/1.0\r\n"
            while 32767 - 16 - len(request) - 4 > 7000:
                request += b"X-Fill: " + b"f" * 6990 + b"\r\n"
            request += b"X-Last: " + b"l" * (32767 - 16 - len(request) - 12) + b"\r\n\r\n"
            assert len(request) == 32767 - 16
            c.send(request)
            out["status"], body = body_of(c.recv_all())
            out["md5"] = hashlib.md5(body).hexdigest()
            return out
        else:
            raise SystemExit("unknown case " + case)
    out["closed"] = c.closed_by_server()
    out["received"] = c.received
    return out


def main():
    args = sys.argv[1:]
    session_file = None
    if "--session" in args:
        i = args.index("--session")
        session_file = args[i + 1]
        del args[i:i + 2]
    port, case, paths = int(args[0]), args[1], args[2:]
    try:
        if case == "fetch":
            result = fetch(port, paths, session_file)
        elif case == "fetch-one-byte-records":
            result = fetch(port, paths, session_file, one_byte=True)
        else:
            result = malformed(port, case)
    except (Closed, OSError, ValueError) as e:
        result = {"error": type(e).__name__ + ": " + str(e)}
    print(json.dumps(result))


if __name__ == "__main__":
    main()
