"""A small TLS server on 127.0.0.1:443 that misbehaves on purpose, path by path.

A test sets what each path answers (a `Response`: status, headers, body, framing, a cut or a
stall part-way) and afterwards reads what the client sent (`requests`). Unknown paths get 404.
"""

import dataclasses
import socket
import socketserver
import ssl
import struct
import threading
import time

LOOPBACK = "127.0.0.1"
HTTPS_PORT = 443
REASONS = {200: "OK", 204: "No Content", 301: "Moved Permanently", 302: "Found", 304: "Not Modified",
           307: "Temporary Redirect", 308: "Permanent Redirect", 404: "Not Found",
           500: "Internal Server Error"}
MAX_HEAD = 64 * 1024


@dataclasses.dataclass
class Response:
    status: int = 200
    body: bytes = b""
    headers: list = dataclasses.field(default_factory=list)  # extra (name, value) pairs, e.g. Location
    framing: str = "length"  # "length": Content-Length; "chunked"; "close": ends when the connection does
    content_length: int = None  # announce this instead of the body's true length
    chunk_size: int = 16384  # bytes per write, and per chunk when chunked
    cut_after: int = None  # body bytes sent before the connection is dropped
    cut: str = "close"  # how: "close" (no TLS close alert), "reset" (TCP reset), "garbage" (bytes that are no TLS record)
    stall_before_headers: bool = False  # wait for `release()` (or the server's end) before answering
    stall_after: int = None  # body bytes sent before waiting for `release()`, then the rest
    pause: float = 0  # seconds between two writes of the body (a server that drips its answer)


@dataclasses.dataclass(frozen=True)
class Request:
    method: str
    path: str
    version: str
    headers: tuple  # (name, value) pairs in the order received

    def header(self, name):
        """The first value of the header `name` (any case), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    @property
    def user_agent(self):
        return self.header("User-Agent")


class _Cut(Exception):
    pass


class FaultServer:
    """The server: `route` sets answers, `requests` lists what arrived, `close` (or leaving the
    `with` block) stops it and releases every stalled answer."""

    def __init__(self, cert, key, host=LOOPBACK, port=HTTPS_PORT):
        self._lock = threading.Lock()
        self._routes = {}
        self._requests = []
        self._connection_count = 0
        self._released = threading.Event()
        self._connections = set()
        self.use_certificate(cert, key)
        owner = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                owner._serve_connection(self.request)

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True
            block_on_close = False

        self._server = Server((host, port), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, name="fault-server", daemon=True)
        self._thread.start()

    # What the test sets and reads.

    def use_certificate(self, cert, key):
        """Presents this certificate to connections accepted from now on."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(str(cert), str(key))
        with self._lock:
            self._context = context

    def route(self, path, response):
        with self._lock:
            self._routes[path] = response

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    def requests_for(self, path):
        return [request for request in self.requests if request.path == path]

    @property
    def connection_count(self):
        """TCP connections accepted, whether or not their TLS handshake succeeded."""
        with self._lock:
            return self._connection_count

    def release(self):
        """Lets every stalled answer go on."""
        self._released.set()

    def close(self):
        self._released.set()
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # The connection's side.

    def _serve_connection(self, raw):
        with self._lock:
            context = self._context
            self._connections.add(raw)
            self._connection_count += 1
        try:
            try:
                tls = context.wrap_socket(raw, server_side=True)
            except (ssl.SSLError, OSError):
                return
            buffered = b""
            while True:
                head, buffered = self._read_head(tls, buffered)
                if head is None:
                    return
                request = self._parse(head)
                with self._lock:
                    self._requests.append(request)
                    response = self._routes.get(request.path, Response(status=404, body=b"not found\n"))
                if not self._answer(tls, raw, response):
                    return
        except (_Cut, ssl.SSLError, OSError):
            return
        finally:
            with self._lock:
                self._connections.discard(raw)
            try:
                raw.close()
            except OSError:
                pass

    @staticmethod
    def _read_head(tls, buffered):
        while b"\r\n\r\n" not in buffered:
            if len(buffered) > MAX_HEAD:
                return None, b""
            data = tls.recv(4096)
            if not data:
                return None, b""
            buffered += data
        head, rest = buffered.split(b"\r\n\r\n", 1)
        return head.decode("iso-8859-1"), rest

    @staticmethod
    def _parse(head):
        lines = head.split("\r\n")
        method, path, version = (lines[0].split(" ", 2) + ["", ""])[:3]
        headers = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.append((name.strip(), value.strip()))
        return Request(method=method, path=path, version=version, headers=tuple(headers))

    def _answer(self, tls, raw, response):
        """Sends one answer; False when the connection must end after it."""
        if response.stall_before_headers:
            self._released.wait()
        reason = REASONS.get(response.status, "Status")
        head = [f"HTTP/1.1 {response.status} {reason}"]
        bodiless = response.status in (204, 304) or 100 <= response.status < 200
        if not bodiless:
            if response.framing == "chunked":
                head.append("Transfer-Encoding: chunked")
            elif response.framing == "length":
                length = len(response.body) if response.content_length is None else response.content_length
                head.append(f"Content-Length: {length}")
            else:
                head.append("Connection: close")
        head += [f"{name}: {value}" for name, value in response.headers]
        tls.sendall(("\r\n".join(head) + "\r\n\r\n").encode("iso-8859-1"))
        if not bodiless:
            self._send_body(tls, raw, response)
        if response.framing == "close":
            raw.shutdown(socket.SHUT_RDWR)  # the end of the body: no TLS close alert, whose answer would be awaited
            return False
        return True

    def _send_body(self, tls, raw, response):
        body, step = response.body, max(1, response.chunk_size)
        segments = []  # (wire bytes, whether they are body bytes)
        for offset in range(0, len(body), step):
            piece = body[offset:offset + step]
            if response.framing == "chunked":
                segments += [(f"{len(piece):x}\r\n".encode(), False), (piece, True), (b"\r\n", False)]
            else:
                segments.append((piece, True))
        if response.framing == "chunked":
            segments.append((b"0\r\n\r\n", False))

        actions = {}  # body offset -> what happens once that many body bytes are out
        if response.stall_after is not None:
            actions.setdefault(response.stall_after, []).append(self._released.wait)
        if response.cut_after is not None:
            actions.setdefault(response.cut_after, []).append(lambda: self._cut(raw, response.cut))

        sent = 0

        def act():
            for action in actions.pop(sent, []):
                action()

        act()
        for wire, is_body in segments:
            if not is_body:
                tls.sendall(wire)
                continue
            position = 0
            if response.pause and sent:
                time.sleep(response.pause)
            while position < len(wire):
                stop = min([offset for offset in actions if offset > sent] + [sent + len(wire) - position])
                tls.sendall(wire[position:position + stop - sent])
                position += stop - sent
                sent = stop
                act()
        for offset in sorted(actions):  # a cut announced past the body's end happens at its end
            for action in actions.pop(offset):
                action()

    @staticmethod
    def _cut(raw, how):
        if how == "reset":
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            if how == "garbage":
                raw.sendall(b"\x17\x03\x03\x00\x20" + bytes(range(32)))  # an application-data record that fails to decrypt
            raw.shutdown(socket.SHUT_RDWR)
        raw.close()
        raise _Cut()
