"""Servers on 127.0.0.1 for the remote reads: plain HTTP that serves byte
ranges, and an S3-compatible server (moto's).  Both count the requests
they answer and the body bytes they send."""

import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOOPBACK = "127.0.0.1"
_RANGE = re.compile(r"^bytes=(\d*)-(\d*)$")


class Counter:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = self.bytes = 0
        self.log = []

    def add(self, what, sent):
        with self.lock:
            self.requests += 1
            self.bytes += sent
            self.log.append((what, sent))

    def reset(self):
        with self.lock:
            self.requests = self.bytes = 0
            self.log = []

    def take(self):
        """(requests, bytes) since the last take or reset, and reset."""
        with self.lock:
            got = self.requests, self.bytes
            self.requests = self.bytes = 0
            self.log = []
        return got


class HttpServer:
    """Files in memory, served by GET (whole or one byte range) and HEAD."""

    def __init__(self):
        self.files = {}
        self.counter = Counter()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_HEAD(self):
                self._answer(body=False)

            def do_GET(self):
                self._answer(body=True)

            def _answer(self, body):
                data = server.files.get(self.path.split("?")[0])
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
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Accept-Ranges", "bytes")
                if status == 206:
                    self.send_header("Content-Range", f"bytes {start}-{end - 1}/{len(data)}")
                self.send_header("Content-Length", str(end - start if body else len(data)))
                self.end_headers()
                if body:
                    self.wfile.write(part)

        self.httpd = ThreadingHTTPServer((LOOPBACK, 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://{LOOPBACK}:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def put(self, name, data):
        """Serves `data` as /name; returns its URL."""
        self.files["/" + name] = bytes(data)
        return f"{self.url}/{name}"

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


class S3Server:
    """moto's S3 in server mode, behind a middleware that counts what it sends."""

    def __init__(self):
        from moto.moto_server.werkzeug_app import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
        from werkzeug.serving import make_server

        self.counter = Counter()
        app = DomainDispatcherApplication(create_backend_app)
        counter = self.counter

        def counting(environ, start_response):
            def respond(status, headers, *exc_info):
                # The server says who it is itself: a second Server header is
                # refused by strict HTTP parsers (aiohttp's, in development mode).
                return start_response(status, [(k, v) for k, v in headers if k.lower() != "server"], *exc_info)

            # Counted before it is sent, so that a client that has its answer finds it counted.
            body = b"".join(app(environ, respond))
            counter.add(f"{environ['REQUEST_METHOD']} {environ.get('PATH_INFO')} {environ.get('HTTP_RANGE', '')}",
                        len(body))
            return [body]

        class Quiet(MotoRequestHandler):
            def log_request(self, *args, **kwargs):
                pass

        self.server = make_server(LOOPBACK, 0, counting, threaded=True, request_handler=Quiet)
        self.endpoint = f"http://{LOOPBACK}:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()
