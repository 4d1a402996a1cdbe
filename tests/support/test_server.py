#!/usr/bin/env python3
"""The local HTTP/HTTPS test server shared by the setup's tests and demos.

Standard library only (http.server, ssl, threading). It listens on loopback
alone: 127.0.0.1, ::1, or "localhost" (which listens on 127.0.0.1 and, when
the machine has it, on ::1 with the same port). Every connection gets its own
thread, so two downloads can run at once.

Python API
----------

    from test_server import TestServer

    with TestServer(cert_dir=certs, cert_name="server", host="localhost") as server:
        server.route("/desktop/version.json", body=b'{"version":"1.2.3"}')
        server.route("/desktop/nimbrel.zip", file="/path/archive.zip", rate=2_000_000)
        ... server.origin ...        # "https://localhost:40123"
        ... server.requests ...      # what the clients asked for

TestServer(cert_dir=None, cert_name="server", host="127.0.0.1", port=0,
           docroot=None, rate=None, verbose=False, port_wait=600)
    cert_dir   None: plain HTTP. Otherwise HTTPS with <cert_dir>/<cert_name>.pem
               (certificate, chain allowed) and <cert_dir>/<cert_name>.key.
    host       "127.0.0.1", "::1" or "localhost". Nothing else is accepted.
    port       0 picks a free port; read it back from .port.
    port_wait  seconds to wait for a fixed port that another process holds
               (default 600): suites of other build folders, whose CTest
               resource locks do not reach this one, take turns on it.
    docroot    serve the files below this folder (GET and HEAD, with a
               Content-Length) for every path that has no route.
    rate       bytes per second for docroot files (None: unthrottled).
    The server listens from construction on (so .port is known at once) and
    serves until .stop() or the end of the with block.

.port        the bound port.
.host        the host given.
.scheme      "http" or "https".
.origin      scheme://host:port, e.g. "https://localhost:47443",
             "http://127.0.0.1:40123", "https://[::1]:40123".
.url(path)   origin + path.

.route(path, status=200, body=b"", file=None, length="auto",
       break_after=None, abort="reset", chunk_size=65536,
       delay_per_chunk=None, rate=None, hang=None, headers=None,
       chunked=False, after_reset=None)
    Scripts the answer to GET (and HEAD) of `path` (the request target up to
    any "?"). A later route() of the same path replaces the earlier one.
    status          the status code sent.
    body / file     the body: bytes, or the contents of a file (streamed).
    length          "auto": Content-Length is the body's size;
                    None: no Content-Length, the body ends when the
                    connection closes;
                    int: announce exactly this value (whatever is sent).
    break_after     send only this many body bytes, then drop the connection
                    without finishing the response (for TLS: no close_notify).
    abort           how break_after drops it: "reset" (TCP RST after the sent
                    bytes have left the server, as far as the system reports)
                    or "close" (plain FIN).
    chunk_size      bytes per write.
    delay_per_chunk seconds to wait between two writes. With chunk_size N
                    and a body shorter than 2 N this is one stall after the
                    first N bytes.
    rate            bytes per second over the whole body (throttle); without
                    an explicit chunk_size the writes shrink to ~1/10 s each.
    hang            seconds to wait before sending the response head (the
                    request is logged first). Bounded: stop() cuts it short.
    headers         extra response headers, {name: value}.
    chunked         Transfer-Encoding: chunked, no Content-Length (length
                    must stay "auto" or None): every write is one chunk, and
                    the zero-length last chunk ends the body. break_after
                    cuts the body before that last chunk; the chunk being
                    written announces its whole size (up to chunk_size), so
                    a cut that does not fall on a write's end lands inside
                    a chunk.
    after_reset     a callable run (on a server thread) once the connection
                    has been closed with its RST, for a client that must not
                    read on before the reset has reached it.
    Every response carries "Connection: close".

.routes_clear()      forget every route.
.requests            a copy of the request log, oldest first. Each entry is a
                     dict: method, path (full request target), headers (a
                     dict whose lookups ignore case, e.g.
                     r["headers"]["user-agent"]), user_agent, client
                     (address, port), tls (bool), version ("HTTP/1.1"),
                     sent (body bytes written so far), complete (True once
                     the whole scripted response went out).
.tls_failures        a copy of the list of failed TLS handshakes, each
                     {"client": ..., "error": "..."}. A client that refuses
                     the certificate during the handshake (curl, OpenSSL)
                     shows up here; WinHTTP under Wine finishes the handshake,
                     judges the certificate afterwards and hangs up, which
                     shows as a connection without a request.
.connections         how many connections were accepted (TLS or not).
.wait_for_requests(count, timeout=10.0) -> bool
                     waits until at least `count` requests are logged.
.wait_idle(timeout=10.0) -> bool
                     waits until no response is being sent.
.stop()              stops listening, ends every response in progress and
                     returns within a few seconds. Idempotent.

Command line
------------

    python3 tests/support/test_server.py --port 47443 [--host 127.0.0.1]
        [--cert-dir DIR [--cert-name server]] [--docroot DIR]
        [--rate BYTES_PER_S] [--max-seconds N] [--ready-file PATH]
        [--route PATH=FILE ...] [--port-wait SECONDS] [--verbose]

serves until killed (SIGTERM or SIGINT) or until --max-seconds have passed.
--route serves FILE at PATH (repeatable; the --rate throttle applies too).
Once listening it prints "listening on <origin>" on stdout and, with
--ready-file, writes the origin into that file.
"""

import argparse
import email.utils
import errno
import http.server
import os
import posixpath
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

__all__ = ["TestServer"]

_LOOPBACK_HOSTS = ("127.0.0.1", "::1", "localhost")
_SIOCOUTQ = 0x5411  # Linux: bytes not yet acknowledged by the peer


class _Headers(dict):
    """Request headers; lookups ignore the case of the name."""

    def __init__(self, pairs):
        super().__init__()
        for name, value in pairs:
            super().__setitem__(name, value)
        self._lower = {name.lower(): name for name in self}

    def __getitem__(self, name):
        return super().__getitem__(self._lower.get(name.lower(), name))

    def get(self, name, default=None):
        key = self._lower.get(name.lower())
        return default if key is None else super().__getitem__(key)

    def __contains__(self, name):
        return isinstance(name, str) and name.lower() in self._lower


class _Route:
    __slots__ = ("status", "body", "file", "length", "break_after", "abort", "chunk_size",
                 "delay_per_chunk", "rate", "hang", "headers", "chunked", "after_reset")

    def __init__(self, status=200, body=b"", file=None, length="auto", break_after=None,
                 abort="reset", chunk_size=None, delay_per_chunk=None, rate=None, hang=None,
                 headers=None, chunked=False, after_reset=None):
        if body is not None and not isinstance(body, (bytes, bytearray, memoryview)):
            raise TypeError("body must be bytes")
        if file is not None and body:
            raise ValueError("give body or file, not both")
        if not (length == "auto" or length is None or
                (isinstance(length, int) and not isinstance(length, bool) and length >= 0)):
            raise ValueError('length must be "auto", None or an int >= 0')
        if abort not in ("reset", "close"):
            raise ValueError('abort must be "reset" or "close"')
        if chunk_size is not None and chunk_size < 1:
            raise ValueError("chunk_size must be at least 1")
        if rate is not None and rate <= 0:
            raise ValueError("rate must be positive")
        if chunked and length not in ("auto", None):
            raise ValueError("a chunked body announces no length")
        self.status = int(status)
        self.body = bytes(body or b"")
        self.file = os.fspath(file) if file is not None else None
        self.length = length
        self.break_after = break_after
        self.abort = abort
        self.chunk_size = chunk_size
        self.delay_per_chunk = delay_per_chunk
        self.rate = rate
        self.hang = hang
        self.headers = dict(headers or {})
        self.chunked = bool(chunked)
        self.after_reset = after_reset

    def size(self):
        return os.path.getsize(self.file) if self.file is not None else len(self.body)

    def pieces(self, chunk):
        """The body in writes of at most `chunk` bytes."""
        if self.file is None:
            view = memoryview(self.body)
            for at in range(0, len(view), chunk):
                yield view[at:at + chunk]
            return
        with open(self.file, "rb") as source:
            while True:
                piece = source.read(chunk)
                if not piece:
                    return
                yield piece


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NimbrelTestServer/1"
    sys_version = ""

    def setup(self):
        super().setup()
        self.connection.settimeout(30)

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        if self.server.owner.verbose:
            sys.stderr.write("test_server: %s\n" % (format % args))

    def do_GET(self):
        self._answer(send_body=True)

    def do_HEAD(self):
        self._answer(send_body=False)

    def _answer(self, send_body):
        owner = self.server.owner
        entry = owner._log_request(self)
        route = owner._route_for(self.path)
        if route is None:
            route = owner._docroot_route(self.path)
        if route is None:
            route = _Route(status=404, body=b"not found\n")
        owner._busy(+1)
        try:
            self._send(route, entry, send_body)
        except (ConnectionError, TimeoutError, ssl.SSLError, OSError):
            self.close_connection = True
        finally:
            owner._busy(-1)

    def _send(self, route, entry, send_body):
        owner = self.server.owner
        self._after_reset = route.after_reset
        stop = owner._stopping
        if route.hang:
            if stop.wait(route.hang):
                self._drop("reset")
                return
        size = route.size()
        self.send_response_only(route.status)
        self.send_header("Date", email.utils.formatdate(usegmt=True))
        self.send_header("Server", self.server_version)
        if route.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif route.length == "auto":
            self.send_header("Content-Length", str(size))
        elif route.length is not None:
            self.send_header("Content-Length", str(route.length))
        for name, value in route.headers.items():
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True
        if not send_body:
            owner._finish_entry(entry, 0, True)
            return

        limit = size if route.break_after is None else min(size, route.break_after)
        rate = route.rate
        chunk = route.chunk_size or 65536
        if rate and route.chunk_size is None:
            chunk = max(1, min(65536, int(rate / 10)))
        sent = 0
        started = time.monotonic()
        first = True
        for whole in route.pieces(chunk):
            if sent >= limit:
                break
            piece = whole[:limit - sent]
            if not first and route.delay_per_chunk:
                if stop.wait(route.delay_per_chunk):
                    self._drop("reset")
                    return
            if rate:
                due = started + sent / rate
                wait = due - time.monotonic()
                if wait > 0 and stop.wait(wait):
                    self._drop("reset")
                    return
            if stop.is_set():
                self._drop("reset")
                return
            if route.chunked:
                self.wfile.write(b"%x\r\n" % len(whole))
            self.wfile.write(piece)
            if route.chunked and len(piece) == len(whole):
                self.wfile.write(b"\r\n")
            sent += len(piece)
            first = False
            owner._finish_entry(entry, sent, False)
        if route.break_after is not None:
            self._drop(route.abort)
            return
        if route.chunked:
            self.wfile.write(b"0\r\n\r\n")
        owner._finish_entry(entry, sent, True)

    def _drop(self, how):
        """Ends the connection without finishing the response."""
        self.close_connection = True
        self.server.owner._mark_aborted(self.request, how, getattr(self, "_after_reset", None))
        if how == "reset":
            # Let the bytes already written reach the client before the RST,
            # which would otherwise discard them; bounded to two seconds.
            deadline = time.monotonic() + 2.0
            raw = self.request
            while time.monotonic() < deadline:
                try:
                    import fcntl
                    pending = struct.unpack(
                        "i", fcntl.ioctl(raw.fileno(), _SIOCOUTQ, b"\0\0\0\0"))[0]
                except (OSError, ValueError, ImportError):
                    time.sleep(0.2)
                    break
                if pending == 0:
                    break
                time.sleep(0.01)
            try:
                raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass


class _Listener(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 32

    def __init__(self, owner, address, family):
        self.address_family = family
        self.owner = owner
        super().__init__(address, _Handler, bind_and_activate=False)
        if family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        try:
            self.server_bind()
            self.server_activate()
        except BaseException:
            self.server_close()
            raise

    def server_bind(self):
        # HTTPServer.server_bind would look up the host's name; not needed.
        socketserver_bind = http.server.socketserver.TCPServer.server_bind
        socketserver_bind(self)
        self.server_name = self.server_address[0]
        self.server_port = self.server_address[1]

    def finish_request(self, request, client_address):
        self.owner._count_connection()
        conn = request
        context = self.owner._ssl_context
        if context is not None:
            try:
                request.settimeout(15)
                conn = context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as error:
                self.owner._note_tls_failure(client_address, error)
                try:
                    request.close()
                except OSError:
                    pass
                return
        try:
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            if conn is not request:
                self.owner._close_connection(conn)

    def shutdown_request(self, request):
        # Plain connections end here; TLS ones were closed in finish_request.
        if self.owner._ssl_context is not None:
            return
        self.owner._close_connection(request)

    def handle_error(self, request, client_address):
        if self.owner.verbose:
            super().handle_error(request, client_address)


def compiled_in_port():
    """The port of the download server origin compiled into the setup under
    test: NIMBREL_SERVER (scheme://host[:port]), which CTest passes from the
    build's cache variable of that name."""
    origin = urllib.parse.urlsplit(os.environ["NIMBREL_SERVER"])
    return origin.port or (443 if origin.scheme == "https" else 80)


class TestServer:
    """A scripted loopback HTTP(S) server; see the module's documentation."""

    __test__ = False  # not a unittest/pytest test class

    def __init__(self, cert_dir=None, cert_name="server", host="127.0.0.1", port=0,
                 docroot=None, rate=None, verbose=False, port_wait=600):
        if host not in _LOOPBACK_HOSTS:
            raise ValueError("the test server listens on loopback only: %r" % (host,))
        self.host = host
        self.verbose = verbose
        self.docroot = os.path.realpath(docroot) if docroot else None
        self.docroot_rate = rate
        self.scheme = "https" if cert_dir else "http"
        self._ssl_context = None
        if cert_dir:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(cert_dir, cert_name + ".pem"),
                                    os.path.join(cert_dir, cert_name + ".key"))
            self._ssl_context = context
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._stopping = threading.Event()
        self._routes = {}
        self._requests = []
        self._tls_failures = []
        self._aborted = {}
        self._connections = 0
        self._in_flight = 0
        self._listeners = self._bind(host, port, port_wait)
        self.port = self._listeners[0].server_address[1]
        self._threads = []
        for listener in self._listeners:
            thread = threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.1},
                                      name="test-server-%s" % listener.server_address[0],
                                      daemon=True)
            thread.start()
            self._threads.append(thread)
        self._stopped = False

    # --- set-up -------------------------------------------------------------

    def _bind(self, host, port, port_wait):
        """The listeners; a fixed port that is taken is waited for (polled)."""
        deadline = time.monotonic() + (port_wait if port else 0)
        while True:
            try:
                return self._bind_once(host, port)
            except OSError as error:
                if error.errno != errno.EADDRINUSE or time.monotonic() >= deadline:
                    raise
                time.sleep(0.5)

    def _bind_once(self, host, port):
        if host == "127.0.0.1":
            return [_Listener(self, ("127.0.0.1", port), socket.AF_INET)]
        if host == "::1":
            return [_Listener(self, ("::1", port), socket.AF_INET6)]
        # localhost: IPv4 always, IPv6 on the same port when the machine has it.
        ipv6 = _has_ipv6_loopback()
        for _ in range(20):
            first = _Listener(self, ("127.0.0.1", port), socket.AF_INET)
            if not ipv6:
                return [first]
            try:
                second = _Listener(self, ("::1", first.server_address[1]), socket.AF_INET6)
            except OSError:
                first.server_close()
                if port == 0:
                    continue  # the port is taken for IPv6: try another one
                raise
            return [first, second]
        raise OSError(errno.EADDRINUSE, "no port free on both 127.0.0.1 and ::1")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def origin(self):
        host = "[::1]" if self.host == "::1" else self.host
        return "%s://%s:%d" % (self.scheme, host, self.port)

    def url(self, path):
        return self.origin + path

    def route(self, path, **behaviour):
        if not path.startswith("/"):
            raise ValueError("a route's path starts with /")
        scripted = _Route(**behaviour)
        with self._lock:
            self._routes[path] = scripted
        return self

    def routes_clear(self):
        with self._lock:
            self._routes.clear()

    # --- what the server saw ------------------------------------------------

    @property
    def requests(self):
        with self._lock:
            return [dict(entry) for entry in self._requests]

    @property
    def tls_failures(self):
        with self._lock:
            return [dict(entry) for entry in self._tls_failures]

    @property
    def connections(self):
        with self._lock:
            return self._connections

    def wait_for_requests(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(self._requests) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
            return True

    def wait_idle(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self._changed:
            while self._in_flight:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
            return True

    def stop(self):
        if self._stopped:
            return
        self._stopped = True
        self._stopping.set()
        for listener in self._listeners:
            listener.shutdown()
        for listener in self._listeners:
            listener.server_close()
        for thread in self._threads:
            thread.join(5)
        self.wait_idle(5)

    # --- called by the handlers ---------------------------------------------

    def _route_for(self, target):
        path = target.split("?", 1)[0]
        with self._lock:
            return self._routes.get(path)

    def _docroot_route(self, target):
        if not self.docroot:
            return None
        path = urllib.parse.unquote(target.split("?", 1)[0])
        path = posixpath.normpath(path)
        candidate = os.path.realpath(os.path.join(self.docroot, path.lstrip("/")))
        if not (candidate == self.docroot or candidate.startswith(self.docroot + os.sep)):
            return None
        if not os.path.isfile(candidate):
            return None
        return _Route(file=candidate, rate=self.docroot_rate)

    def _log_request(self, handler):
        entry = {
            "method": handler.command,
            "path": handler.path,
            "headers": _Headers(handler.headers.items()),
            "user_agent": handler.headers.get("User-Agent"),
            "client": handler.client_address[:2],
            "tls": isinstance(handler.connection, ssl.SSLSocket),
            "version": handler.request_version,
            "sent": 0,
            "complete": False,
        }
        with self._changed:
            self._requests.append(entry)
            self._changed.notify_all()
        return entry

    def _finish_entry(self, entry, sent, complete):
        with self._lock:
            entry["sent"] = sent
            entry["complete"] = complete

    def _busy(self, delta):
        with self._changed:
            self._in_flight += delta
            self._changed.notify_all()

    def _count_connection(self):
        with self._lock:
            self._connections += 1

    def _note_tls_failure(self, client, error):
        with self._changed:
            self._tls_failures.append({"client": client[:2], "error": str(error)})
            self._changed.notify_all()

    def _mark_aborted(self, conn, how, after_reset=None):
        with self._lock:
            self._aborted[id(conn)] = (how, after_reset)

    def _close_connection(self, conn):
        with self._lock:
            how, after_reset = self._aborted.pop(id(conn), (None, None))
        try:
            if how is None:
                if isinstance(conn, ssl.SSLSocket):
                    conn.settimeout(2)
                    try:
                        conn = conn.unwrap()  # close_notify
                    except (ssl.SSLError, OSError, ValueError):
                        pass
                try:
                    conn.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
            elif how == "close" and not isinstance(conn, ssl.SSLSocket):
                try:
                    conn.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
            # "reset": SO_LINGER 0 is set, close() sends the RST.
        finally:
            try:
                conn.close()
            except OSError:
                pass
            if how == "reset" and after_reset is not None:
                after_reset()


def _has_ipv6_loopback():
    try:
        probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    except OSError:
        return False
    try:
        probe.bind(("::1", 0))
        return True
    except OSError:
        return False
    finally:
        probe.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Loopback HTTP(S) test server")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--host", default="127.0.0.1", choices=_LOOPBACK_HOSTS)
    parser.add_argument("--cert-dir")
    parser.add_argument("--cert-name", default="server")
    parser.add_argument("--docroot")
    parser.add_argument("--rate", type=float, help="bytes per second for every body")
    parser.add_argument("--route", action="append", default=[], metavar="PATH=FILE")
    parser.add_argument("--max-seconds", type=float)
    parser.add_argument("--ready-file")
    parser.add_argument("--port-wait", type=float, default=600,
                        help="seconds to wait for a fixed port held by another process")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)

    server = TestServer(cert_dir=args.cert_dir, cert_name=args.cert_name, host=args.host,
                        port=args.port, docroot=args.docroot, rate=args.rate,
                        verbose=args.verbose, port_wait=args.port_wait)
    for item in args.route:
        path, sep, file = item.partition("=")
        if not sep:
            parser.error("--route takes PATH=FILE")
        server.route(path, file=file, rate=args.rate)

    done = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: done.set())
    print("listening on %s" % server.origin, flush=True)
    if args.ready_file:
        with open(args.ready_file + ".tmp", "w") as ready:
            ready.write(server.origin + "\n")
        os.replace(args.ready_file + ".tmp", args.ready_file)
    try:
        done.wait(args.max_seconds)
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
