#!/usr/bin/python3
"""A scripted HTTP server on 127.0.0.1 for the tests: each path sends exact bytes.

Prints the port it listens on, then serves until killed. Every response is written raw, so
well-formed, odd and hostile replies are all equally easy to produce. With --tls CERT KEY it
speaks HTTPS with that certificate chain and key.
"""
import gzip
import socket
import socketserver
import ssl
import sys
import time

TLS = None


def big(n):
    """n bytes of a repeating pattern that includes NUL and every other byte value."""
    block = bytes(range(256))
    return (block * (n // 256 + 1))[:n]


def noise(n):
    """n bytes of deterministic binary noise."""
    out, x = bytearray(n), 2463534242
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def ok(body, extra=b""):
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" + extra +
            b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def chunked(parts, coding=b"chunked"):
    out = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: " + coding + b"\r\n\r\n"
    for p in parts:
        out += b"%x\r\n" % len(p) + p + b"\r\n"
    return out + b"0\r\n\r\n"


ROUTES = {
    "/hello": ok(b"hello, world\n"),
    "/big": ok(big(3 * 1024 * 1024 + 7)),
    "/nul": ok(b"\0a\0\0b\0"),
    "/empty": ok(b""),
    "/404": (b"HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 22\r\n\r\n"
             b"<h1>not found</h1>\r\n\r\n"),
    "/chunked": chunked([b"first ", b"second ", big(70000), b" last"]),
    "/http10": b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b"old style\n" * 1000,
    "/headers": (b"HTTP/1.1 200 OK\r\nX-Mixed-CASE: One\r\nset-cookie: a=1\r\nTransfer-Encoding: chunked\r\n"
                 b"Set-Cookie: b=2\r\n  folded\r\nX-Empty:\r\nX-Spaced:   padded value  \r\n\r\n"
                 b"2\r\nhi\r\n0\r\nX-Trailer: not a header\r\n\r\n"),
    "/oddhead": (b"http/1.1 200 OK\r\nX-A: v\r\n: no name\r\n  not for X-A\r\nHTTP/9: kept\r\n"
                 b"Content-Length: 2\r\n\r\nok"),
    "/cuthead": b"HTTP/1.1 200 OK\r\nX-A: 1\r\nX-B",
    "/cutfinal": b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nX-A: 1\r\n",
    # An empty value folded onto the next line; a line of blanks folded between two.
    # The same with lines that end in LF alone.
    "/foldlf": b"HTTP/1.1 200 OK\nX-Late:\n  late\nX-Empty:\nContent-Length: 2\n\nok",
    "/fold": b"HTTP/1.1 200 OK\r\nX-Late:\r\n  late\r\nX-Gap: a  \r\n   \r\n  b\r\nContent-Length: 2\r\n\r\nok",
    # Status lines with more than one blank or tab before the code; lines that begin with CR.
    "/spacedcontinue": (b"HTTP/1.1  100 Continue\r\nX-Interim: 1\r\n\r\n"
                        b"HTTP/1.1 200 OK\r\nX-Final: 1\r\nContent-Length: 2\r\n\r\nok"),
    "/tabcontinue": (b"HTTP/1.1 \t100 Continue\r\nX-Interim: 1\r\n\r\n"
                     b"HTTP/1.1 200 OK\r\nX-Final: 1\r\nContent-Length: 2\r\n\r\nok"),
    "/crblank": b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r \r\nbody",
    "/crtab": b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\t\r\nbody",
    "/hints": (b"HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
               b"HTTP/1.1 200 OK\r\nLink: </b>\r\nContent-Length: 2\r\n\r\nok"),
    # A head of more lines than brevin takes, and one of exactly as many.
    "/manyfields": b"HTTP/1.1 200 OK\r\n" + b"a: 1\r\n" * 1998 + b"X-Last: 1\r\nContent-Length: 2\r\n\r\nok",
    "/mostfields": b"HTTP/1.1 200 OK\r\n" + b"a: 1\r\n" * 1997 + b"Content-Length: 2\r\n\r\nok",
    "/bigchunked": chunked([big(33 * 1024 * 1024 + 5)]),
    "/continue": (b"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
                  b"HTTP/1.1 200 OK\r\nX-Final: yes\r\nContent-Length: 5\r\n\r\nfinal"),
    "/switch": b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nraw bytes",
    "/switchafter": (b"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
                     b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nraw bytes"),
    "/redirect": (b"HTTP/1.1 302 Found\r\nLocation: /hello\r\nContent-Length: 6\r\n\r\nmoved\n"),
    "/gzip": ok(b"\x1f\x8b\x08\x00not really inflated", b"Content-Encoding: gzip\r\n"),
    # gzip as a transfer coding: 3 MiB that cross the wire as a few kB.
    "/gzipchunked": chunked([gzip.compress(big(3 * 1024 * 1024 + 7), mtime=0)], b"gzip, chunked"),
    "/truncated": b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b",
    "/badchunk": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\nxx\r\n0\r\n\r\n",
    "/cutchunk": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100\r\nonly a little",
    "/garbage": b"SPROING 200 whatever\r\n\r\nbody",
    "/hugeheader": b"HTTP/1.1 200 OK\r\nX-Huge: " + b"h" * (1024 * 1024) + b"\r\nContent-Length: 2\r\n\r\nok",
    "/nocolon": b"HTTP/1.1 200 OK\r\nThis line has no colon\r\nContent-Length: 2\r\n\r\nok",
    "/noise": ok(noise(256 * 1024)),
    "/rawnoise": noise(4096),
}
# A large body cut 10 bytes before its announced end.
ROUTES["/cutlate"] = ok(big(33 * 1024 * 1024 + 5))[:-10]
# 1 MiB of the 64 MiB announced, then nothing more until the client goes (or 10 s have passed).
STALLS = {"/stall": b"HTTP/1.1 200 OK\r\nContent-Length: 67108864\r\n\r\n" + big(1024 * 1024)}
# Responses sent in 21 slices 0.1 s apart, a fetch of 2 s: 320 KiB, and the same 10 bytes short.
SLOW = {"/slow": ok(big(320 * 1024)), "/slowcut": ok(big(320 * 1024))[:-10]}


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        head = b""
        self.request.settimeout(10)
        if TLS:
            try:
                self.request = TLS.wrap_socket(self.request, server_side=True)
            except OSError:
                return
        while b"\r\n\r\n" not in head and len(head) < 65536:
            data = self.request.recv(4096)
            if not data:
                return
            head += data
        path = head.split(b" ", 2)[1].decode("latin-1") if head.count(b" ") >= 2 else "/"
        if path == "/echo":
            reply = ok(head.split(b"\r\n\r\n")[0] + b"\r\n")
        elif path in STALLS:
            try:
                self.request.sendall(STALLS[path])
                end = time.monotonic() + 10
                while time.monotonic() < end and self.request.recv(4096):
                    pass
            except OSError:
                pass
            return
        elif path in SLOW:
            reply = SLOW[path]
            try:
                for i in range(21):
                    if i:
                        time.sleep(0.1)
                    self.request.sendall(reply[len(reply) * i // 21:len(reply) * (i + 1) // 21])
                self.request.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            return
        else:
            reply = ROUTES.get(path, b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
        try:
            self.request.sendall(reply)
            self.request.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global TLS
    if sys.argv[1:2] == ["--tls"]:
        TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        TLS.load_cert_chain(sys.argv[2], sys.argv[3])
    with Server(("127.0.0.1", 0), Handler) as srv:
        print(srv.server_address[1], flush=True)
        srv.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
