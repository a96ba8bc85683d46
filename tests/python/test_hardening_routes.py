"""Refusals that keep a request from writing where it should not, or from taking the server's
memory or time: speech output names, pause lengths, script length, served files, template
size."""

import json
import math
import os
import threading
import time

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from media_library import lib  # noqa: F401 (fixture)

import vestrel.endpoints as endpoints
import vestrel.media as media

S = endpoints.BrevanoStatus


@pytest.fixture
def client():
    app = FastAPI()
    app.include_router(endpoints.router)
    return TestClient(app, raise_server_exceptions=False)


# ---------------------------------------------------------------- speech output names


@pytest.fixture
def spoken(monkeypatch):
    calls = []
    monkeypatch.setattr(endpoints, "generate_tts", lambda **kw: calls.append(kw))
    return calls


@pytest.mark.parametrize("name", ["victim.txt", "victim", "victim.mp3.txt", "victim.mp3/",
                                  ".bashrc", "victim.mp4"])
def test_speech_route_refuses_other_output_names_before_opening(client, spoken, tmp_path, name):
    target = tmp_path / name.rstrip("/")
    target.write_text("precious")
    r = client.post("/tts/generate",
                    json={"text": "x", "engine": "edge", "output_path": f"{tmp_path}/{name}"})
    assert r.status_code == 400
    assert r.json() == {"detail": "output_path must end in .mp3 or .wav"}
    assert spoken == [] and target.read_text() == "precious"


@pytest.mark.parametrize("name", ["a.mp3", "a.MP3", "b.wav", "b.WaV", "/x/y/z.Mp3"])
def test_speech_route_accepts_audio_names(client, spoken, name):
    r = client.post("/tts/generate", json={"text": "x", "engine": "edge", "output_path": name})
    assert r.status_code == 200 and r.json()["output_path"] == name
    assert spoken[0]["outputfile"] == name


def test_speech_route_refuses_before_a_real_engine_opens_the_file(client, tmp_path):
    # The Edge engine opens its output before audio arrives: an unchecked name empties it.
    target = tmp_path / "config.ini"
    target.write_text("keep me")
    r = client.post("/tts/generate",
                    json={"text": "Hallo", "engine": "edge", "output_path": str(target)})
    assert r.status_code == 400 and target.read_text() == "keep me"


# ---------------------------------------------------------------- generation refusals


class Media:
    def resolve_background_video(self, *a):
        return "/v.mp4"

    def resolve_background_music(self, *a):
        return "/m.mp3"

    def generate_voice_output_path(self, *a):
        return "/voice.mp3"

    def get_template(self, name):
        return "/t.drp"


@pytest.fixture
def gen(client, monkeypatch):
    started = []
    monkeypatch.setattr(endpoints, "media", Media())
    monkeypatch.setattr(endpoints, "generate_short", lambda data: started.append(data))
    endpoints.set_status(S.DONE)
    yield started
    deadline = time.monotonic() + 10
    while endpoints.get_status()["status"] == S.GENERATING and time.monotonic() < deadline:
        time.sleep(0.01)
    for t in threading.enumerate():
        if getattr(t, "_target", None) is endpoints._generation_worker:
            t.join(10)
    endpoints.set_status(S.IDLE)


def generate(client, captions=("Hallo",), **fields):
    body = {"scenes": [{"caption": c, "background": {"background_id": "bg_00000001"}}
                       for c in captions], **fields}
    # Raw JSON so that NaN and Infinity reach the route as the framework parses them.
    return client.post("/brevano/generate", content=json.dumps(body),
                       headers={"content-type": "application/json"})


PAUSE_TEXT = "min_silence_duration must be between 0 and 10 seconds"


@pytest.mark.parametrize("value", [-0.001, 10.0001, 1e6, math.inf, -math.inf, math.nan])
@pytest.mark.parametrize("remove", [True, False])
def test_pause_length_out_of_range_is_refused_and_status_kept(client, gen, value, remove):
    r = generate(client, min_silence_duration=value, remove_silence=remove)
    assert (r.status_code, r.json()) == (400, {"detail": PAUSE_TEXT})
    assert endpoints.get_status() == {"status": S.DONE, "error": None} and gen == []


@pytest.mark.parametrize("value", [0, 0.3, 10])
def test_pause_length_in_range_is_accepted(client, gen, value):
    r = generate(client, min_silence_duration=value, remove_silence=True)
    assert r.status_code == 200


def test_pause_length_is_checked_after_running_and_scene_count(client, gen):
    r = generate(client, captions=["a"] * 7, min_silence_duration=-1)
    assert r.json() == {"detail": "Maximum 6 scenes allowed"}
    endpoints.set_status(S.GENERATING)
    try:
        assert generate(client, min_silence_duration=-1).status_code == 409
    finally:
        endpoints.set_status(S.DONE)


LONG_TEXT = "Script too long (at most 20000 characters)"


@pytest.mark.parametrize("captions,ok", [
    (["a" * 20000], True),
    (["a" * 20001], False),
    (["ä" * 10000, "€" * 10000], True),           # code points, not bytes
    (["ä" * 10000, "€" * 10001], False),
    (["<split>" * 2857 + "a"], True),             # 20,000 with commands counted
    (["<split>" * 2857 + "ab"], False),
    (["x" * 3400] * 6, False),
])
def test_script_length_counts_all_captions_in_code_points(client, gen, captions, ok):
    r = generate(client, captions=captions)
    if ok:
        assert r.status_code == 200
    else:
        assert (r.status_code, r.json()) == (400, {"detail": LONG_TEXT})
        assert endpoints.get_status()["status"] == S.DONE and gen == []


def test_script_length_is_checked_after_pause_length(client, gen):
    r = generate(client, captions=["a" * 30000], min_silence_duration=99)
    assert r.json() == {"detail": PAUSE_TEXT}


# ---------------------------------------------------------------- served files


def test_served_file_is_the_checked_one_while_a_link_is_swapped(lib, client, tmp_path):
    """A name that flips between a cache file and a link out of the cache is either served
    from the cache or refused; the outside file never leaks."""
    (lib.cache / "good.jpg").write_bytes(b"inside")
    secret = tmp_path / "secret.jpg"
    secret.write_bytes(b"SECRET")
    name = lib.cache / "flip.jpg"
    name.write_bytes(b"inside")
    stop = threading.Event()

    def flipper():
        tmp_link = lib.cache / "flip.tmp"
        while not stop.is_set():
            try:
                tmp_link.unlink(missing_ok=True)
                os.symlink(secret, tmp_link)
                os.replace(tmp_link, name)
                (lib.cache / "flip.new").write_bytes(b"inside")
                os.replace(lib.cache / "flip.new", name)
            except OSError:
                pass

    t = threading.Thread(target=flipper, daemon=True)
    t.start()
    try:
        seen = set()
        for _ in range(600):
            r = client.get("/media/flip.jpg")
            seen.add((r.status_code, r.content))
    finally:
        stop.set()
        t.join()
    assert (200, b"SECRET") not in seen
    assert seen <= {(200, b"inside"), (404, b'{"detail":"File not found"}')}


@pytest.mark.parametrize("kind", ["link_out", "link_dir", "fifo", "dir"])
def test_links_out_and_special_files_are_not_found(lib, client, tmp_path, kind):
    outside = tmp_path / "outside.jpg"
    outside.write_bytes(b"x")
    target = lib.cache / "thing.jpg"
    if kind == "link_out":
        os.symlink(outside, target)
    elif kind == "link_dir":
        os.symlink(tmp_path, target)
    elif kind == "fifo":
        os.mkfifo(target)
    else:
        target.mkdir()
    r = client.get("/media/thing.jpg")
    assert (r.status_code, r.json()) == (404, {"detail": "File not found"})


def test_links_inside_the_cache_and_plain_files_are_served(lib, client):
    (lib.cache / "real.mp4").write_bytes(b"v" * 100_000)
    os.symlink(lib.cache / "real.mp4", lib.cache / "alias.mp4")
    for name in ("real.mp4", "alias.mp4"):
        r = client.get(f"/media/{name}")
        assert r.status_code == 200 and r.content == b"v" * 100_000
        assert r.headers["content-type"] == "video/mp4"
        assert r.headers["content-length"] == "100000"
    r = client.get("/media/real.mp4", headers={"range": "bytes=10-19"})
    assert r.status_code in (200, 206) and (r.status_code == 200 or r.content == b"v" * 10)


def test_serving_leaves_no_descriptor_open(lib, client):
    (lib.cache / "f.png").write_bytes(b"p" * 1000)
    client.get("/media/f.png")
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(50):
        assert client.get("/media/f.png").status_code == 200
    assert len(os.listdir("/proc/self/fd")) <= before + 2


# ---------------------------------------------------------------- template size

LIMIT = 209_715_200


class Counting:
    """An upload body that counts how much of it was read."""

    def __init__(self, size, chunk=1 << 20):
        self.size, self.chunk, self.sent = size, chunk, 0

    def __iter__(self):
        head = b'--B\r\nContent-Disposition: form-data; name="file"; filename="big.drp"\r\n\r\n'
        yield head
        while self.sent < self.size:
            n = min(self.chunk, self.size - self.sent)
            self.sent += n
            yield b"\0" * n
        yield b"\r\n--B--\r\n"


def test_template_over_the_limit_is_refused_while_reading(lib, client, monkeypatch):
    stored = []
    monkeypatch.setattr(media, "upload_template", lambda *a: stored.append(a) or "/p")
    r = client.post("/templates/upload", content=iter(Counting(LIMIT + 1)),
                    headers={"content-type": "multipart/form-data; boundary=B"})
    assert (r.status_code, r.json()) == (413, {"detail": "Template too large (at most 200 MB)"})
    assert stored == [] and list(lib.templates.iterdir()) == []


def test_template_of_exactly_the_limit_is_stored(lib, client):
    r = client.post("/templates/upload", content=iter(Counting(LIMIT)),
                    headers={"content-type": "multipart/form-data; boundary=B"})
    assert r.status_code == 200, r.text
    assert (lib.templates / "big.drp").stat().st_size == LIMIT


def test_small_template_still_stored_with_its_answer(lib, client):
    r = client.post("/templates/upload", files={"file": ("t.DRP", b"drp-bytes")})
    assert r.json() == {"success": True, "filename": "t.DRP", "path": str(lib.templates / "t.DRP")}
    assert (lib.templates / "t.DRP").read_bytes() == b"drp-bytes"
