"""The studio page's routes on the served app: per-stage progress through generations that
succeed, fail at a named stage or are cancelled; cancelling a render; the voice list; the
earlier renders and exports in the cache; the page's files; /docs without a network."""

import json
import os
import threading
import time

import pytest
from fastapi.testclient import TestClient

import vestrel
from vestrel import __main__ as host
from vestrel import endpoints, lumora, media, progress, resolve_sim, studio
from test_brevano import stages  # noqa: F401  (the pipeline stages, faked)
from test_progress import Media

TEMPLATE = os.path.join(os.path.dirname(vestrel.__file__), "templates", "tolvane.drp")
GENERATION = ["voice", "project", "silence", "transcription", "alignment", "captions",
              "assembly"]


@pytest.fixture(scope="module")
def app():
    return host.create_app(None)


@pytest.fixture
def client(app, monkeypatch):
    monkeypatch.setattr(endpoints, "media", Media())
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.IDLE)
    return TestClient(app)


def body(**extra):
    scenes = [{"caption": " Hallo schöne Welt. ", "background": {"background_id": "bg_00000001"}},
              {"caption": "Ja Tschüss !", "background": {"background_id": "bg_00000002"}}]
    return {"scenes": scenes, "tts_engine": "edge", "remove_silence": True, **extra}


def wait_for_end(client):
    deadline = time.monotonic() + 10
    while True:
        p = client.get("/studio/progress").json()
        if p["status"] != "generating":
            return p
        assert time.monotonic() < deadline, p
        time.sleep(0.01)


def states(p):
    return {s["name"]: s["state"] for s in p["stages"]}


# ---------------------------------------------------------------- progress


def test_progress_of_a_successful_generation(client, stages):
    assert client.post("/brevano/generate", json=body()).status_code == 200
    p = wait_for_end(client)
    assert list(p) == ["status", "stage", "stages", "error", "failed_stage"]
    assert (p["status"], p["stage"], p["error"], p["failed_stage"]) == ("done", None, None, None)
    assert [s["name"] for s in p["stages"]] == list(progress.STAGES)
    assert states(p) == {"media": "done", **{n: "done" for n in GENERATION},
                         "render": "pending"}
    for s in p["stages"]:
        assert list(s) == ["name", "state", "seconds"]
        assert (s["seconds"] is None) == (s["state"] == "pending")
        assert s["seconds"] is None or s["seconds"] >= 0.0
    # The status route keeps its own body.
    assert client.get("/brevano/status").content == b'{"status":{"status":"done","error":null}}'


@pytest.mark.parametrize("target, stage", [
    ("tts.generate_tts", "voice"),
    ("montra.setup_davinci", "project"),
    ("montra.remove_silence_from_audio", "silence"),
    ("lexor.generate_transcription", "transcription"),
    ("lexor.split_by_scenes", "alignment"),
    ("montra.render", "assembly"),
])
def test_progress_names_the_failing_stage(client, stages, target, stage):
    ns, name = target.split(".")

    def boom(*args, **kwargs):
        raise RuntimeError(f"{name} went wrong")
    setattr(getattr(stages, ns), name, boom)
    assert client.post("/brevano/generate", json=body()).status_code == 200
    p = wait_for_end(client)
    text = f"{name} went wrong"
    assert (p["status"], p["stage"], p["failed_stage"], p["error"]) == (
        "error", stage, stage, text)
    order = list(progress.STAGES)
    at = order.index(stage)
    st = states(p)
    assert [st[n] for n in order[:at]] == ["done"] * at
    assert st[stage] == "failed" and all(st[n] == "pending" for n in order[at + 1:])
    assert client.get("/brevano/status").json() == {"status": {"status": "error",
                                                               "error": text}}


def test_progress_of_a_media_failure(client, stages):
    bad = body()
    bad["scenes"][0]["background"]["background_id"] = "bg_missing"
    assert client.post("/brevano/generate", json=bad).status_code == 500
    p = client.get("/studio/progress").json()
    assert (p["status"], p["failed_stage"], p["error"]) == (
        "error", "media", "'Background video not found: bg_missing'")


def test_cancel_a_running_generation(client, stages):
    gate, entered = threading.Event(), threading.Event()

    def slow_tts(**kwargs):
        entered.set()
        assert gate.wait(10)
    stages.tts.generate_tts = slow_tts
    assert client.post("/brevano/generate", json=body()).status_code == 200
    assert entered.wait(10)
    running = client.get("/studio/progress").json()
    assert (running["status"], running["stage"]) == ("generating", "voice")
    assert states(running)["voice"] == "running"

    r = client.post("/studio/cancel")
    assert (r.status_code, r.json()) == (200, {"cancelled": True})
    gate.set()
    p = wait_for_end(client)
    # The voice stage ran to its end; the next stage did not begin.
    assert (p["status"], p["error"], p["stage"], p["failed_stage"]) == (
        "error", "Cancelled", "project", "project")
    assert states(p)["voice"] == "done" and states(p)["transcription"] == "pending"
    assert "montra.setup_davinci" not in stages.names()
    assert client.get("/brevano/status").json() == {"status": {"status": "error",
                                                               "error": "Cancelled"}}
    r = client.post("/studio/cancel")
    assert (r.status_code, r.json()) == (409, {"detail": "Nothing to cancel"})
    # The next generation is accepted and runs through.
    stages.tts.generate_tts = lambda **kwargs: None
    assert client.post("/brevano/generate", json=body()).status_code == 200
    assert wait_for_end(client)["status"] == "done"


def test_fresh_process_progress_and_cancel():
    from conftest import run_python

    proc = run_python(
        "import json\n"
        "from fastapi.testclient import TestClient\n"
        "from vestrel.__main__ import create_app\n"
        "c = TestClient(create_app(None))\n"
        "p = c.get('/studio/progress')\n"
        "r = c.post('/studio/cancel')\n"
        "print(json.dumps([p.json(), r.status_code, r.json()]))\n")
    assert proc.returncode == 0, proc.stderr
    p, code, answer = json.loads(proc.stdout)
    assert (p["status"], p["stage"], p["error"], p["failed_stage"]) == ("idle", None, None, None)
    assert {(s["state"], s["seconds"]) for s in p["stages"]} == {("pending", None)}
    assert (code, answer) == (409, {"detail": "Nothing to cancel"})


# ---------------------------------------------------------------- render stage


@pytest.fixture
def sim(monkeypatch):
    resolve = resolve_sim.Resolve()
    resolve.SetSimulatedRenderPolls(1000)  # jobs stay queued until stopped
    previous = lumora._resolve
    lumora.set_resolve(resolve)
    lumora.import_project(TEMPLATE, "page_short")
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.DONE)
    monkeypatch.setattr(studio, "_jobs", {})
    yield resolve
    lumora.set_resolve(previous)


def test_cancel_a_running_render(client, sim, monkeypatch):
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.DONE)
    job = client.post("/studio/render", json={"filename": "page_cancel.mp4"}).json()["job_id"]
    p = client.get("/studio/progress").json()
    assert (p["stage"], states(p)["render"]) == ("render", "running")
    r = client.post("/studio/cancel")
    assert (r.status_code, r.json()) == (200, {"cancelled": True})
    # Resolve stopped the job, and the progress says so without anyone reading the job.
    p = client.get("/studio/progress").json()
    assert (p["failed_stage"], p["error"], states(p)["render"]) == ("render", "Cancelled",
                                                                   "failed")
    assert p["status"] == "done"  # the generation itself is not touched
    assert client.get(f"/studio/render/{job}").json()["status"] == "cancelled"
    assert client.post("/studio/cancel").status_code == 409


def test_a_finished_render_shows_done_without_reading_the_job(client, sim):
    sim.SetSimulatedRenderPolls(1)
    out = media.CACHE_DIR / "page_done.mp4"
    client.post("/studio/render", json={"filename": "page_done.mp4"})
    out.write_bytes(b"rendered")
    try:
        while lumora.is_rendering():
            pass
        p = client.get("/studio/progress").json()
        assert (states(p)["render"], p["stage"], p["error"]) == ("done", None, None)
        assert client.post("/studio/cancel").status_code == 409
    finally:
        out.unlink()


# ---------------------------------------------------------------- voices, outputs


def test_voices_of_the_offline_engine(client):
    answer = client.get("/studio/voices").json()
    assert answer["engine"] == "espeak"
    voices = answer["voices"]
    assert voices and all(set(v) == {"name", "identifier", "languages"} for v in voices)
    assert any("de" in v["languages"] for v in voices)


@pytest.fixture
def cache_files():
    cache = media.CACHE_DIR
    cache.mkdir(parents=True, exist_ok=True)
    made = []

    def make(name, data=b"x", age=0):
        path = cache / name
        path.write_bytes(data)
        if age:
            t = time.time() - age
            os.utime(path, (t, t))
        made.append(path)
        return path
    yield make
    for p in made:
        if p.exists() or p.is_symlink():
            p.unlink()


def test_outputs_list_only_renders_and_exports(client, cache_files, tmp_path):
    cache_files("page_old.mp4", b"12345", age=100)
    cache_files("page_new.otioz", b"123", age=10)
    cache_files("page.srt")
    for asset in ("bg_0a0b0c0d.mp4", "bg_0a0b0c0d_thumb.jpg", "music_0a0b0c0d.mp3",
                  "voice_0a0b0c0d.mp3", "voice_0a0b0c0d.srt", "page.mp3", ".page.mp4"):
        cache_files(asset)
    outside = tmp_path / "outside.mp4"
    outside.write_bytes(b"keep")
    link = media.CACHE_DIR / "page_link.mp4"
    link.symlink_to(outside)
    try:
        listed = client.get("/studio/outputs").json()["outputs"]
        mine = [o for o in listed if o["name"].startswith("page")]
        assert [o["name"] for o in mine] == ["page.srt", "page_new.otioz", "page_old.mp4"]
        old = mine[2]
        assert (old["kind"], old["url"], old["size"]) == ("mp4", "/media/page_old.mp4", 5)
        assert abs(old["modified"] - (time.time() - 100)) < 5
        assert not any(o["name"].startswith(("bg_", "music_", "voice_")) for o in listed)

        r = client.delete("/studio/outputs/page_old.mp4")
        assert (r.status_code, r.json()) == (200, {"deleted": "page_old.mp4"})
        assert not (media.CACHE_DIR / "page_old.mp4").exists()
        r = client.delete("/studio/outputs/page_old.mp4")
        assert (r.status_code, r.json()) == (404, {"detail": "Output not found: page_old.mp4"})
        # A link is not the cache's own file: neither it nor its target is removed.
        assert client.delete("/studio/outputs/page_link.mp4").status_code == 404
        assert outside.read_bytes() == b"keep"
    finally:
        link.unlink()


@pytest.mark.parametrize("name", ["bg_0a0b0c0d.mp4", "voice_0a0b0c0d.mp3", "db.json",
                                  "page.mp3", ".page.mp4", "tolvane.drp"])
def test_library_files_are_never_deleted_as_outputs(client, cache_files, name):
    path = cache_files(name)
    r = client.delete(f"/studio/outputs/{name}")
    assert (r.status_code, r.json()) == (400, {"detail": f"Not a render or export: {name}"})
    assert path.exists()


def test_paths_out_of_the_cache_are_refused(client, tmp_path):
    for name in ("..%2Fx.mp4", "%2E%2E", "a%5Cb.mp4"):
        assert client.delete(f"/studio/outputs/{name}").status_code in (400, 404)


# ---------------------------------------------------------------- page and docs


def test_page_and_its_files_are_served(client):
    page = client.get("/")
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    assert '<script src="/studio-files/studio.js">' in page.text
    for name, kind in (("studio.js", "javascript"), ("studio.css", "text/css")):
        r = client.get(f"/studio-files/{name}")
        assert r.status_code == 200 and kind in r.headers["content-type"]
    assert "/" not in {r.path for r in endpoints.router.routes}
    assert "/" not in client.get("/openapi.json").json()["paths"]


@pytest.mark.parametrize("page", ["/docs", "/redoc"])
def test_docs_load_their_assets_from_the_app(client, page):
    html = client.get(page).text
    assets = [part.split('"')[0] for part in html.split('src="')[1:]]
    assets += [part.split('"')[0] for part in html.split('href="')[1:]]
    assert assets and all(a.startswith("/") for a in assets), assets
    for a in assets:
        assert client.get(a).status_code == 200, a
    assert "cdn" not in html.lower() and "https://" not in html


def test_openapi_is_described_but_routes_stay_as_they_are(client):
    doc = client.get("/openapi.json").json()
    gen = doc["paths"]["/brevano/generate"]["post"]
    assert gen["tags"] == ["generation"] and gen["summary"].startswith("Start a generation")
    assert gen["requestBody"]["content"]["application/json"]["example"]["tts_engine"] == "espeak"
    assert "description" not in gen  # the route has no docstring; none is made up for it
    assert doc["paths"]["/brevano/status"]["get"]["description"] == \
        "Returns current Brevano generation status."
    fields = doc["components"]["schemas"]["BrevanoRequest"]["properties"]
    assert all(f.get("description") for f in fields.values())
    assert fields["whisper_model"]["examples"] == ["builtin"]
    assert fields["whisper_model"]["default"] == "medium"  # the model's own default stays
    assert "<counter>" in doc["components"]["schemas"]["BrevanoSceneDTO"]["properties"][
        "caption"]["description"]
    assert [t["name"] for t in doc["tags"]][0] == "generation"
    # Every route of the document has a group.
    assert all(op.get("tags") for ops in doc["paths"].values() for op in ops.values())
    # The bare router's own document is untouched by the host.
    from fastapi import FastAPI

    bare = FastAPI()
    bare.include_router(endpoints.router)
    plain = TestClient(bare).get("/openapi.json").json()
    assert "tags" not in plain["paths"]["/brevano/generate"]["post"]
    assert "description" not in plain["components"]["schemas"]["BrevanoRequest"]["properties"][
        "scenes"]
