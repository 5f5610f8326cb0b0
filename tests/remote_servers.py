"""Servers on 127.0.0.1 for the remote reads: plain HTTP that serves byte
ranges, and an S3-compatible server (moto's).  Both count the requests
they answer and the body bytes they send, wait `latency` seconds before
every answer (as a store some way off does), and answer the requests for
chosen names with a refusal (403) or, a given number of times, with a
transient failure (503)."""

import html
import io
import re
import sys
import threading
import time
from urllib.parse import unquote_to_bytes
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOOPBACK = "127.0.0.1"
_RANGE = re.compile(r"^bytes=(\d*)-(\d*)$")


class Counter:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = self.bytes = 0
        self.log = []
        self.busy = self.most_busy = 0  # requests being answered now, and at most at once

    def enter(self):
        with self.lock:
            self.busy += 1
            self.most_busy = max(self.most_busy, self.busy)

    def leave(self):
        with self.lock:
            self.busy -= 1

    def add(self, what, sent):
        with self.lock:
            self.requests += 1
            self.bytes += sent
            self.log.append((what, sent))

    def reset(self):
        with self.lock:
            self.requests = self.bytes = 0
            self.log = []
            self.most_busy = self.busy

    def take(self):
        """(requests, bytes) since the last take or reset, and reset."""
        with self.lock:
            got = self.requests, self.bytes
            self.requests = self.bytes = 0
            self.log = []
        return got


class Faults:
    """Names whose requests are refused, and names whose next requests fail."""

    def __init__(self):
        self.lock = threading.Lock()
        self.refused = set()
        self.failing = {}

    def answer(self, name):
        """403, 503 or None (serve it) for a request of `name`."""
        with self.lock:
            if name in self.refused:
                return 403
            left = self.failing.get(name, 0)
            if left:
                self.failing[name] = left - 1
                return 503
        return None

    def clear(self):
        with self.lock:
            self.refused.clear()
            self.failing.clear()


class _Listening(ThreadingHTTPServer):
    # Clients open many connections at once: the default backlog of 5 drops
    # the rest, and each dropped one waits a second to try again.
    request_queue_size = 1024
    daemon_threads = True


class HttpServer:
    """Files in memory, served by GET (whole or one byte range) and HEAD; a
    path ending in "/" is a folder, served as a page of links to what it holds."""

    def __init__(self, latency=0.0):
        self.files = {}
        self.counter = Counter()
        self.latency = latency
        self.faults = Faults()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            # The headers and the body go in two writes: with Nagle's
            # algorithm a small body waits for the client's delayed ACK.
            disable_nagle_algorithm = True

            def log_message(self, *args):
                pass

            def do_HEAD(self):
                self._answer(body=False)

            def do_GET(self):
                self._answer(body=True)

            def _answer(self, body):
                server.counter.enter()
                try:
                    self._serve(body)
                finally:
                    server.counter.leave()

            def _serve(self, body):
                if server.latency:
                    time.sleep(server.latency)
                name = self.path.split("?")[0]
                fault = server.faults.answer(name)
                if fault:
                    server.counter.add(f"{self.command} {self.path} {fault}", 0)
                    self.send_response(fault)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                data = server.files.get(name)
                html_page = data is None and name.endswith("/")
                if html_page:
                    data = server.index(name)
                if data is None:
                    server.counter.add(f"{self.command} {self.path} 404", 0)
                    self.send_response(404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                start, end, status = 0, len(data), 200
                wanted = self.headers.get("Range")
                if wanted and body:
                    m = _RANGE.match(wanted.strip())
                    if m is None or (not m[1] and not m[2]):
                        server.counter.add(f"GET {self.path} 416", 0)
                        self.send_response(416)
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    if m[1]:
                        start = int(m[1])
                        end = min(len(data), int(m[2]) + 1) if m[2] else len(data)
                    else:
                        start = max(0, len(data) - int(m[2]))
                    status = 206
                part = data[start:end] if body else b""
                # Counted before it is sent, so that a client that has its answer finds it counted.
                server.counter.add(f"{self.command} {self.path} {start}-{end}", len(part))
                self.send_response(status)
                self.send_header("Content-Type", "text/html" if html_page else "application/octet-stream")
                self.send_header("Accept-Ranges", "bytes")
                if status == 206:
                    self.send_header("Content-Range", f"bytes {start}-{end - 1}/{len(data)}")
                self.send_header("Content-Length", str(end - start if body else len(data)))
                self.end_headers()
                if body:
                    self.wfile.write(part)

        self.httpd = _Listening((LOOPBACK, 0), Handler)
        self.url = f"http://{LOOPBACK}:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def put(self, name, data):
        """Serves `data` as /name; returns its URL."""
        self.files["/" + name] = bytes(data)
        return f"{self.url}/{name}"

    def index(self, folder):
        """A page of links to the files and folders right under `folder`, or None where it holds nothing."""
        names = set()
        for path in self.files:
            if path.startswith(folder) and len(path) > len(folder):
                rest = path[len(folder):]
                names.add(rest.split("/", 1)[0] + "/" if "/" in rest else rest)
        if not names:
            return None
        links = "".join(f'<a href="{html.escape(n)}">{html.escape(n)}</a>\n' for n in sorted(names))
        return f"<html><body>\n{links}</body></html>\n".encode()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


def dead_endpoint():
    """A loopback URL where nothing listens: where the AWS endpoints point
    while the S3 tests run, so that a request without the test server's
    address fails at once, here."""
    import socket

    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        port = s.getsockname()[1]
    return f"http://{LOOPBACK}:{port}"


def aws_environment(endpoint):
    """Dummy credentials, every AWS endpoint at `endpoint`, no instance metadata,
    no user configuration: set in this process and inherited by every child."""
    return {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing", "AWS_SESSION_TOKEN": "testing",
            "AWS_DEFAULT_REGION": "us-east-1", "AWS_REGION": "us-east-1", "AWS_ENDPOINT_URL": endpoint,
            "AWS_ENDPOINT_URL_S3": endpoint, "AWS_ENDPOINT_URL_STS": endpoint, "AWS_EC2_METADATA_DISABLED": "true",
            "AWS_CONFIG_FILE": "/nonexistent/aws/config", "AWS_SHARED_CREDENTIALS_FILE": "/nonexistent/aws/credentials",
            "AWS_MAX_ATTEMPTS": "1", "AWS_RETRY_MODE": "standard"}


_S3_FAULTS = {
    403: ("403 Forbidden", "AccessDenied", "Access Denied"),
    503: ("503 Slow Down", "SlowDown", "Please reduce your request rate."),
}


def _wsgi_handler(app):
    """A request handler that answers by a WSGI application and keeps the
    connection open, as a store does: werkzeug's server closes it after
    every answer, and a client that reads thousands of files then opens
    thousands of connections, which a loaded machine accepts too slowly."""

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True

        def log_message(self, *args):
            pass

        def _answer(self):
            path, _, query = self.path.partition("?")
            length = int(self.headers.get("Content-Length") or 0)
            environ = {
                "REQUEST_METHOD": self.command, "SCRIPT_NAME": "", "PATH_INFO": unquote_to_bytes(path).decode("latin-1"),
                "QUERY_STRING": query, "SERVER_NAME": LOOPBACK, "SERVER_PORT": str(self.server.server_address[1]),
                "SERVER_PROTOCOL": self.request_version, "REMOTE_ADDR": self.client_address[0],
                "CONTENT_TYPE": self.headers.get("Content-Type", ""), "CONTENT_LENGTH": str(length),
                "wsgi.version": (1, 0), "wsgi.url_scheme": "http", "wsgi.input": io.BytesIO(self.rfile.read(length)),
                "wsgi.errors": sys.stderr, "wsgi.multithread": True, "wsgi.multiprocess": False, "wsgi.run_once": False,
            }
            for name, value in self.headers.items():
                key = "HTTP_" + name.upper().replace("-", "_")
                if key not in ("HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH"):
                    environ[key] = f"{environ[key]},{value}" if key in environ else value
            answer = []

            def start_response(status, headers, exc_info=None):
                answer[:] = [status, headers]

            body = b"".join(app(environ, start_response))
            status, headers = answer
            code, _, reason = status.partition(" ")
            self.send_response(int(code), reason)
            head = self.command == "HEAD"  # its Content-Length is the object's, as the application says
            for name, value in headers:
                if name.lower() not in ("connection", "transfer-encoding") and (head or name.lower() != "content-length"):
                    self.send_header(name, value)
            if not head:
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = _answer

    return Handler


class S3Server:
    """moto's S3 in server mode, behind a middleware that counts what it
    sends, waits, and refuses or fails the requests of chosen keys
    ("/bucket/key")."""

    def __init__(self, latency=0.0):
        from moto.moto_server.werkzeug_app import DomainDispatcherApplication, create_backend_app

        self.counter = Counter()
        self.latency = latency
        self.faults = Faults()
        app = DomainDispatcherApplication(create_backend_app)
        counter = self.counter
        server = self

        def counting(environ, start_response):
            counter.enter()
            try:
                return serve(environ, start_response)
            finally:
                counter.leave()

        def serve(environ, start_response):
            if server.latency:
                time.sleep(server.latency)
            what = f"{environ['REQUEST_METHOD']} {environ.get('PATH_INFO')} {environ.get('HTTP_RANGE', '')}"
            fault = server.faults.answer(environ.get("PATH_INFO"))
            if fault:
                status, code, message = _S3_FAULTS[fault]
                body = (f'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>{code}</Code>'
                        f"<Message>{message}</Message></Error>").encode()
                counter.add(f"{what} {fault}", 0)
                start_response(status, [("Content-Type", "application/xml"), ("Content-Length", str(len(body)))])
                return [body]

            def respond(status, headers, *exc_info):
                # The server says who it is itself: a second Server header is
                # refused by strict HTTP parsers (aiohttp's, in development mode).
                return start_response(status, [(k, v) for k, v in headers if k.lower() != "server"], *exc_info)

            # Counted before it is sent, so that a client that has its answer finds it counted.
            body = b"".join(app(environ, respond))
            counter.add(what, len(body))
            return [body]

        self.server = _Listening((LOOPBACK, 0), _wsgi_handler(counting))
        self.endpoint = f"http://{LOOPBACK}:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()
