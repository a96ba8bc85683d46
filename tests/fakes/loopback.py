"""A small HTTP server on 127.0.0.1 for tests that stand in for outside services.

Handlers are registered per (method, path prefix) and receive the request; every request is
recorded so tests can check paths, headers and bodies.
"""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit, parse_qs


class Request:
    def __init__(self, method, path, query, headers, body):
        self.method = method
        self.path = path
        self.query = query
        self.headers = headers
        self.body = body

    def json(self):
        return json.loads(self.body.decode("utf-8"))


class Response:
    def __init__(self, status=200, body=b"", headers=None, chunks=None, delay=0.0, hang=False):
        self.status = status
        self.body = body if isinstance(body, bytes) else json.dumps(body).encode("utf-8")
        self.headers = headers or {}
        if not isinstance(body, bytes):
            self.headers.setdefault("Content-Type", "application/json")
        self.chunks = chunks
        self.delay = delay
        self.hang = hang


class LoopbackServer:
    """Use as a context manager; `url` is the base URL, `requests` the recorded requests."""

    def __init__(self):
        self.routes = []
        self.requests = []
        self._release = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _handle(self):
                parts = urlsplit(self.path)
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                req = Request(self.command, parts.path, parse_qs(parts.query),
                              dict(self.headers), body)
                server.requests.append(req)
                resp = server._dispatch(req)
                if resp.hang:
                    server._release.wait(60)
                    return
                if resp.delay:
                    server._release.wait(resp.delay)
                self.send_response(resp.status)
                for k, v in resp.headers.items():
                    self.send_header(k, v)
                if resp.chunks is not None:
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    for chunk in resp.chunks:
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                    self.wfile.write(b"0\r\n\r\n")
                else:
                    self.send_header("Content-Length", str(len(resp.body)))
                    self.end_headers()
                    self.wfile.write(resp.body)

            do_GET = do_POST = do_DELETE = do_PUT = _handle

        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self._httpd.server_address[1]}"

    def route(self, method, prefix, handler):
        """handler: a Response, or a callable taking the Request and returning one."""
        self.routes.append((method.upper(), prefix, handler))

    def _dispatch(self, req):
        for method, prefix, handler in reversed(self.routes):
            if method == req.method and req.path.startswith(prefix):
                return handler(req) if callable(handler) else handler
        return Response(404, {"error": "not found"})

    def __enter__(self):
        threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.02},
                         daemon=True).start()
        return self

    def __exit__(self, *exc):
        self._release.set()
        self._httpd.shutdown()
        self._httpd.server_close()
