"""Host launcher: python -m vestrel serve [--host H] [--port P] [--resolve auto|sim|real]
[--allowed-host NAME]... [--token TOKEN]."""

import argparse
import hmac
import ipaddress
import os
import sys
from http.cookies import SimpleCookie
from urllib.parse import parse_qsl, urlencode, urlsplit


def _real_resolve():
    """The running DaVinci Resolve's scripting object, or None when none answers."""
    try:
        import DaVinciResolveScript  # Resolve's own scripting module
    except Exception:
        return None
    try:
        return DaVinciResolveScript.scriptapp("Resolve")
    except Exception:
        return None


def _simulated_resolve():
    try:
        from vestrel import resolve_sim
        return resolve_sim.scriptapp("Resolve")
    except (ImportError, AttributeError, NotImplementedError):
        return None


def pick_resolve(mode):
    """Returns (scripting object or None, line saying which Resolve is used)."""
    if mode in ("auto", "real"):
        resolve = _real_resolve()
        if resolve is not None:
            return resolve, "[vestrel] Using DaVinci Resolve (real)"
        if mode == "real":
            raise SystemExit("[vestrel] No DaVinci Resolve answers (--resolve real)")
    resolve = _simulated_resolve()
    if resolve is not None:
        return resolve, "[vestrel] Using the Resolve simulator"
    return None, "[vestrel] No Resolve available: Resolve operations will fail"


def create_app(resolve=None):
    from fastapi import FastAPI
    from vestrel import endpoints, lumora

    app = FastAPI(title="vestrel")
    app.include_router(endpoints.router)
    if resolve is not None and hasattr(lumora, "set_resolve"):
        lumora.set_resolve(resolve)
    return app


# ---------------------------------------------------------------- serving safely
#
# The served app answers only its own site: a Host check against DNS rebinding, a same-origin
# check on requests that change something, and off loopback a token on every request.

LOOPBACK_NAMES = ("127.0.0.1", "localhost")
TOKEN_COOKIE = "vestrel_token"
STATE_CHANGING = frozenset({"POST", "PUT", "PATCH", "DELETE"})


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


async def _answer(send, status, detail, headers=()):
    import json

    body = json.dumps({"detail": detail}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"),
                            (b"content-length", str(len(body)).encode()), *headers]})
    await send({"type": "http.response.body", "body": body})


def _header(scope, name):
    for key, value in scope.get("headers", ()):
        if key == name:
            return value.decode("latin-1")
    return None


def _host_port(netloc, scheme):
    """host:port in lower case with the scheme's default port made explicit."""
    netloc = netloc.strip().lower()
    parts = urlsplit(f"//{netloc}")
    try:
        port = parts.port
    except ValueError:
        return None
    if port is None:
        port = {"http": 80, "https": 443, "ws": 80, "wss": 443}.get(scheme)
    return parts.hostname, port


class SameOriginMiddleware:
    """A request that changes something and carries an Origin must come from a page of this
    very host:port; a page of another site cannot make the user's browser upload, delete or
    start work here."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http" and scope["method"] in STATE_CHANGING:
            origin = _header(scope, b"origin")
            if origin is not None:
                scheme = scope.get("scheme", "http")
                parsed = urlsplit(origin)
                mine = _host_port(_header(scope, b"host") or "", scheme)
                theirs = _host_port(parsed.netloc, parsed.scheme) if parsed.netloc else None
                if theirs is None or mine is None or theirs != mine:
                    await _answer(send, 403, "Cross-site request refused")
                    return
        await self.app(scope, receive, send)


class TokenMiddleware:
    """Every request needs the token, as `Authorization: Bearer <token>` or as the cookie that
    opening any page with `?token=<token>` sets (so a browser's page, its video and its
    download links carry it)."""

    def __init__(self, app, token):
        self.app = app
        self.token = token.encode()

    def _matches(self, value):
        return value is not None and hmac.compare_digest(value.encode(), self.token)

    async def __call__(self, scope, receive, send):
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        query = parse_qsl(scope.get("query_string", b"").decode("latin-1"),
                          keep_blank_values=True)
        given = [v for k, v in query if k == "token"]
        if scope["type"] == "http" and scope["method"] == "GET" and given:
            if not self._matches(given[-1]):
                await _answer(send, 401, "Not authenticated")
                return
            rest = urlencode([(k, v) for k, v in query if k != "token"])
            location = scope.get("root_path", "") + scope["path"] + (f"?{rest}" if rest else "")
            cookie = (f"{TOKEN_COOKIE}={self.token.decode()}; Path=/; HttpOnly; "
                      "SameSite=Strict")
            await send({"type": "http.response.start", "status": 303,
                        "headers": [(b"location", location.encode()),
                                    (b"set-cookie", cookie.encode()),
                                    (b"content-length", b"0")]})
            await send({"type": "http.response.body", "body": b""})
            return
        auth = _header(scope, b"authorization") or ""
        bearer = auth[7:].strip() if auth[:7].lower() == "bearer " else None
        cookies = SimpleCookie()
        try:
            cookies.load(_header(scope, b"cookie") or "")
        except Exception:  # a malformed cookie header counts as none
            cookies = SimpleCookie()
        cookie = cookies[TOKEN_COOKIE].value if TOKEN_COOKIE in cookies else None
        if self._matches(bearer) or self._matches(cookie):
            await self.app(scope, receive, send)
            return
        if scope["type"] == "websocket":
            await send({"type": "websocket.close", "code": 1008})
            return
        await _answer(send, 401, "Not authenticated", [(b"www-authenticate", b"Bearer")])


def add_serve_options(serve):
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000)
    serve.add_argument("--resolve", choices=("auto", "sim", "real"), default="auto")
    serve.add_argument("--allowed-host", action="append", default=[], metavar="NAME",
                       help="another name this server may be reached by (repeatable)")
    serve.add_argument("--token", default=None,
                       help="token every request must carry (default: $VESTREL_TOKEN); "
                            "required when serving on an address other than loopback")
    serve.add_argument("--keep-alive", type=int, default=5, metavar="SECONDS",
                       help="seconds an idle connection is kept open")
    serve.add_argument("--limit-concurrency", type=int, default=100, metavar="N",
                       help="connections and tasks at once before answering 503")


def served_token(args):
    return args.token or os.environ.get("VESTREL_TOKEN") or None


def allowed_hosts(args):
    hosts = list(LOOPBACK_NAMES)
    for name in [args.host, *args.allowed_host]:
        if name and name not in hosts:
            hosts.append(name)
    return hosts


def build_served_app(args, resolve=None):
    """The app as `serve` runs it: create_app's app behind the Host, same-origin and token
    checks. Refuses (SystemExit) to serve off loopback without a token."""
    from starlette.middleware.trustedhost import TrustedHostMiddleware

    token = served_token(args)
    if token is None and not is_loopback(args.host):
        raise SystemExit(f"[vestrel] Serving on {args.host} needs a token: "
                         "pass --token or set VESTREL_TOKEN")
    app = create_app(resolve)
    # The last added runs first: Host, then origin, then token.
    if token is not None:
        app.add_middleware(TokenMiddleware, token=token)
    app.add_middleware(SameOriginMiddleware)
    app.add_middleware(TrustedHostMiddleware, allowed_hosts=allowed_hosts(args))
    return app


def uvicorn_settings(args):
    """Keep-alive time-out and concurrency limit: slow or idle connections cannot pile up
    until the process runs out of files."""
    return {"host": args.host, "port": args.port, "timeout_keep_alive": args.keep_alive,
            "limit_concurrency": args.limit_concurrency}


def serve(args):
    resolve, line = pick_resolve(args.resolve)
    app = build_served_app(args, resolve)
    print(line, flush=True)

    import uvicorn
    uvicorn.run(app, **uvicorn_settings(args))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m vestrel")
    sub = parser.add_subparsers(dest="command", required=True)
    add_serve_options(sub.add_parser("serve", help="serve the HTTP interface"))
    args = parser.parse_args(argv)

    if args.command == "serve":
        return serve(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
