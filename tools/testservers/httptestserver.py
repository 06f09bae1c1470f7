#!/usr/bin/env python3
"""Loopback HTTP(S) server and authenticating proxy for the HTTP client tests (standard library only).

Prints "PORT n" on standard output once it listens on 127.0.0.1 (a port below 10000), then serves until killed or until
--lifetime seconds have passed.

Server routes (any method):
  /status/N         answers status N with a short text body
  /slow?ms=N        waits N ms, then answers like /echo
  /stall            sends a 200 header announcing 100 bytes, 10 of them, then goes quiet
  /redirect?to=URL  302 to that URL
  /gbk              200 with the CP936 bytes of "中文"
  /cookie           like /echo, plus "Set-Cookie: sid=abc123; Path=/"
  anything else     200 with a JSON echo of the request: method, path, version, headers in wire order,
                    body as hex, the client's port, and the client certificate's subject and issuer CN when there is one
With --client-ca the TLS handshake demands a client certificate verified against that file; with
--allowed-issuer, a verified certificate from another issuer is answered 403.

Canned mode (--canned FILE): FILE is JSON mapping a request name (the last part of the path, e.g.
"UploadData.do") to a list of answers {"status": 200, "body": "text"}; each request takes the next answer of its
name, the last one repeating. Bodies go out as GBK. Unknown names are answered 404. With --log FILE every request
is appended to FILE before it is answered, as "REQUEST method path", its header lines in wire order ("name: value",
duplicates kept), "BODY " and the body as Latin-1, and "END".

Proxy mode (--proxy USER:PASSWORD): answers 407 until a request carries those Basic credentials, then
forwards plain HTTP requests and tunnels CONNECT.
"""
import argparse
import base64
import http.client
import http.server
import json
import random
import select
import socket
import ssl
import sys
import threading
import time
import urllib.parse


def cn_of(name):
    for rdn in name or ():
        for key, value in rdn:
            if key == "commonName":
                return value
    return ""


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "BrindleTest/1"

    def log_message(self, *args):
        pass

    def _body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _send(self, status, body, content_type="text/plain", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _echo(self, body, extra=()):
        peer = {}
        if isinstance(self.connection, ssl.SSLSocket):
            cert = self.connection.getpeercert()
            if cert:
                peer = {"subject": cn_of(cert.get("subject")), "issuer": cn_of(cert.get("issuer"))}
        doc = {
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.hex(),
            "client": peer,
            "port": self.client_address[1],
        }
        self._send(200, json.dumps(doc).encode(), "application/json", extra)

    def _canned(self, body):
        if self.server.log_file:
            with self.server.lock, open(self.server.log_file, "a", encoding="utf-8") as log:
                log.write("REQUEST %s %s\n" % (self.command, self.path))
                for k, v in self.headers.items():
                    log.write("%s: %s\n" % (k, v))
                log.write("BODY " + body.decode("latin-1") + "\nEND\n")
        name = urllib.parse.urlsplit(self.path).path.rsplit("/", 1)[-1]
        with self.server.lock:
            answers = self.server.canned.get(name)
            if not answers:
                answer = {"status": 404, "body": "no canned answer"}
            else:
                answer = answers.pop(0) if len(answers) > 1 else answers[0]
        self._send(int(answer.get("status", 200)), answer.get("body", "").encode("gbk"), "text/xml")

    def _handle(self):
        body = self._body()
        if self.server.canned is not None:
            self._canned(body)
            return
        url = urllib.parse.urlsplit(self.path)
        allowed = self.server.allowed_issuer
        if allowed and isinstance(self.connection, ssl.SSLSocket):
            cert = self.connection.getpeercert()
            if not cert or cn_of(cert.get("issuer")) != allowed:
                self._send(403, b"forbidden")
                return
        if url.path.startswith("/status/"):
            self._send(int(url.path[8:]), b"status " + url.path[8:].encode())
        elif url.path == "/slow":
            ms = int(urllib.parse.parse_qs(url.query).get("ms", ["1000"])[0])
            time.sleep(ms / 1000.0)
            self._echo(body)
        elif url.path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"x" * 10)
            self.wfile.flush()
            time.sleep(30)
            self.close_connection = True
        elif url.path == "/redirect":
            target = urllib.parse.parse_qs(url.query)["to"][0]
            self._send(302, b"moved", extra=[("Location", target)])
        elif url.path == "/gbk":
            self._send(200, "中文".encode("gbk"))
        elif url.path == "/cookie":
            self._echo(body, [("Set-Cookie", "sid=abc123; Path=/")])
        else:
            self._echo(body)

    do_GET = do_POST = do_PUT = do_HEAD = _handle


class ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _authorised(self):
        expected = "Basic " + base64.b64encode(self.server.credentials.encode()).decode()
        if self.headers.get("Proxy-Authorization") == expected:
            return True
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        self.send_response(407)
        self.send_header("Proxy-Authenticate", 'Basic realm="brindle-test"')
        self.send_header("Content-Length", "0")
        self.end_headers()
        return False

    def do_CONNECT(self):
        if not self._authorised():
            return
        host, port = self.path.rsplit(":", 1)
        upstream = socket.create_connection((host, int(port)))
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()
        sockets = [self.connection, upstream]
        while True:
            ready, _, _ = select.select(sockets, [], [], 30)
            if not ready:
                break
            for s in ready:
                data = s.recv(65536)
                if not data:
                    upstream.close()
                    self.close_connection = True
                    return
                (upstream if s is self.connection else self.connection).sendall(data)

    def _forward(self):
        if not self._authorised():
            return
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        url = urllib.parse.urlsplit(self.path)
        conn = http.client.HTTPConnection(url.hostname, url.port or 80, timeout=30)
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ("proxy-authorization", "proxy-connection")}
        headers["Via"] = "1.1 brindle-test-proxy"
        target = url.path + ("?" + url.query if url.query else "")
        conn.request(self.command, target, body=body, headers=headers)
        answer = conn.getresponse()
        data = answer.read()
        self.send_response(answer.status, answer.reason)
        for k, v in answer.getheaders():
            if k.lower() not in ("content-length", "transfer-encoding", "connection"):
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
        conn.close()

    do_GET = do_POST = _forward


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None
    allowed_issuer = ""
    credentials = ""
    canned = None
    log_file = ""
    lock = threading.Lock()

    def finish_request(self, request, client_address):
        # The handshake runs in the request's thread, so a client that never speaks TLS holds up only itself.
        if self.tls is not None:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        try:
            super().finish_request(request, client_address)
        except (ssl.SSLError, OSError):
            pass


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--client-ca")
    p.add_argument("--allowed-issuer", default="")
    p.add_argument("--proxy", metavar="USER:PASSWORD")
    p.add_argument("--canned")
    p.add_argument("--log", default="")
    p.add_argument("--lifetime", type=float, default=120)
    a = p.parse_args()

    server = None
    # Server addresses allow at most four port digits, so the port comes from below 10000.
    for port in random.sample(range(2000, 10000), 200):
        try:
            server = Server(("127.0.0.1", port), ProxyHandler if a.proxy else Handler)
            break
        except OSError:
            continue
    if server is None:
        sys.exit("no free port below 10000")
    server.credentials = a.proxy or ""
    server.allowed_issuer = a.allowed_issuer
    if a.canned:
        with open(a.canned, encoding="utf-8") as f:
            server.canned = json.load(f)
    server.log_file = a.log
    if a.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(a.cert, a.key)
        if a.client_ca:
            ctx.verify_mode = ssl.CERT_REQUIRED
            ctx.load_verify_locations(a.client_ca)
        server.tls = ctx

    stop = threading.Timer(a.lifetime, lambda: threading.Thread(target=server.shutdown, daemon=True).start())
    stop.daemon = True
    stop.start()
    print("PORT", server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    sys.exit(0)


if __name__ == "__main__":
    main()
