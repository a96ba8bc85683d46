"""The served app answers its own site only: Host check, same-origin check on changes, token
off loopback, and uvicorn's connection limits."""

import os
import socket
import subprocess
import sys
import time

import httpx
import pytest
from fastapi.testclient import TestClient

from conftest import FAKES
from vestrel import __main__ as host


def args(*argv):
    parser = host.argparse.ArgumentParser()
    host.add_serve_options(parser)
    return parser.parse_args(list(argv))


def client(*argv, base="http://127.0.0.1:8000", monkeypatch=None):
    app = host.build_served_app(args(*argv))
    return TestClient(app, base_url=base, raise_server_exceptions=False, follow_redirects=False)


@pytest.fixture(autouse=True)
def no_env_token(monkeypatch):
    monkeypatch.delenv("VESTREL_TOKEN", raising=False)


# ---------------------------------------------------------------- Host header


@pytest.mark.parametrize("argv,hostname,ok", [
    ((), "127.0.0.1:8000", True),
    ((), "localhost:8000", True),
    ((), "LOCALHOST", True),
    ((), "evil.example:8000", False),
    ((), "127.0.0.1.evil.example", False),
    (("--allowed-host", "studio.lan", "--allowed-host", "box"), "studio.lan:8000", True),
    (("--allowed-host", "studio.lan", "--allowed-host", "box"), "box", True),
    (("--host", "10.1.2.3", "--token", "t"), "10.1.2.3:8000", True),
])
def test_host_header_is_checked(argv, hostname, ok):
    c = client(*argv)
    r = c.get("/brevano/status", headers={"host": hostname, "authorization": "Bearer t"})
    assert (r.status_code == 200) == ok, r.text
    if not ok:
        assert r.status_code == 400


def test_create_app_stays_unguarded():
    r = TestClient(host.create_app(None)).get("/brevano/status",
                                              headers={"host": "evil.example"})
    assert r.status_code == 200


# ---------------------------------------------------------------- same origin


@pytest.mark.parametrize("method,path,origin,status", [
    ("POST", "/project/delete_current", "http://evil.example", 403),
    ("POST", "/project/delete_current", "http://127.0.0.1:9999", 403),
    ("POST", "/project/delete_current", "null", 403),
    ("DELETE", "/media/background-music/music_00000000", "http://evil.example", 403),
    ("POST", "/brevano/generate", "http://evil.example", 403),
    ("DELETE", "/media/background-music/music_00000000", "http://127.0.0.1:8000", 404),
    ("DELETE", "/media/background-music/music_00000000", "http://LOCALHOST:8000", 403),
    ("DELETE", "/media/background-music/music_00000000", None, 404),
    ("GET", "/brevano/status", "http://evil.example", 200),
])
def test_changes_from_other_origins_are_refused(method, path, origin, status):
    headers = {"origin": origin} if origin else {}
    r = client().request(method, path, headers=headers)
    assert r.status_code == status, r.text
    if status == 403:
        assert r.json() == {"detail": "Cross-site request refused"}


def test_same_origin_on_the_default_port():
    c = client(base="http://localhost")
    r = c.delete("/media/background-music/music_00000000", headers={"origin": "http://localhost"})
    assert r.status_code == 404


# ---------------------------------------------------------------- token


@pytest.mark.parametrize("bind", ["0.0.0.0", "192.168.1.5", "::"])
def test_serving_off_loopback_needs_a_token(bind):
    with pytest.raises(SystemExit, match="needs a token"):
        host.build_served_app(args("--host", bind))


@pytest.mark.parametrize("bind", ["127.0.0.1", "localhost", "::1", "127.0.0.2"])
def test_loopback_needs_no_token(bind):
    host.build_served_app(args("--host", bind))


def test_token_from_environment(monkeypatch):
    monkeypatch.setenv("VESTREL_TOKEN", "envtok")
    c = client("--host", "0.0.0.0", "--allowed-host", "127.0.0.1")
    assert c.get("/brevano/status").status_code == 401
    assert c.get("/brevano/status", headers={"authorization": "Bearer envtok"}).status_code == 200


@pytest.mark.parametrize("headers,status", [
    ({}, 401),
    ({"authorization": "Bearer wrong"}, 401),
    ({"authorization": "Bearer s3cret"}, 200),
    ({"authorization": "bearer s3cret"}, 200),
    ({"authorization": "Basic s3cret"}, 401),
    ({"cookie": "vestrel_token=s3cret"}, 200),
    ({"cookie": "vestrel_token=nope"}, 401),
    ({"cookie": "other=s3cret"}, 401),
])
def test_every_request_needs_the_token(headers, status):
    c = client("--host", "0.0.0.0", "--token", "s3cret", "--allowed-host", "127.0.0.1")
    r = c.get("/brevano/status", headers=headers)
    assert r.status_code == status
    if status == 401:
        assert r.json() == {"detail": "Not authenticated"}


def test_opening_a_page_with_the_token_sets_the_cookie_and_redirects():
    c = client("--host", "0.0.0.0", "--token", "s3cret", "--allowed-host", "127.0.0.1")
    r = c.get("/media/background-videos?token=s3cret&x=1")
    assert r.status_code == 303 and r.headers["location"] == "/media/background-videos?x=1"
    cookie = r.headers["set-cookie"]
    assert cookie.startswith("vestrel_token=s3cret;") and "HttpOnly" in cookie
    assert c.get("/?token=s3cret").headers["location"] == "/"
    # The client now holds the cookie: pages, media and downloads work without a header.
    r = c.get("/media/background-videos")
    assert r.status_code == 200 and "items" in r.json()
    assert c.get("/?token=bad").status_code == 401


# ---------------------------------------------------------------- uvicorn settings


def test_uvicorn_limits_connections():
    s = host.uvicorn_settings(args("--port", "8123"))
    assert s["port"] == 8123 and s["host"] == "127.0.0.1"
    assert 0 < s["timeout_keep_alive"] <= 30 and 0 < s["limit_concurrency"] <= 1000


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_real_server_on_loopback(tmp_path):
    port = free_port()
    env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "d"), XDG_CACHE_HOME=str(tmp_path / "c"),
               PYTHONPATH=os.pathsep.join([str(FAKES), os.environ.get("PYTHONPATH", "")]))
    env.pop("VESTREL_TOKEN", None)
    proc = subprocess.Popen([sys.executable, "-m", "vestrel", "serve", "--port", str(port),
                             "--resolve", "sim", "--keep-alive", "2"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                r = httpx.get(base + "/brevano/status")
                break
            except httpx.TransportError:
                assert proc.poll() is None and time.monotonic() < deadline
                time.sleep(0.2)
        assert r.status_code == 200
        assert httpx.get(base + "/brevano/status", headers={"host": "evil.example"}).status_code == 400
        r = httpx.post(base + "/project/delete_current", headers={"origin": "http://evil.example"})
        assert r.status_code == 403
        # An idle connection is closed by the server after the keep-alive time-out.
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(f"GET /brevano/status HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
            s.settimeout(10)
            t0 = time.monotonic()
            data = b""
            while chunk := s.recv(4096):
                data += chunk
            assert data.startswith(b"HTTP/1.1 200") and time.monotonic() - t0 < 8
    finally:
        proc.terminate()
        proc.wait(10)
