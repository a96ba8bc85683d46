"""The stage reporter: stages marked by the pipeline and the generation route, failures named
by stage, and a cancel request honoured at the next stage boundary."""

import threading
import time
from types import SimpleNamespace

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from vestrel import brevano, endpoints, progress
from test_brevano import W, Stages, make_input

GENERATION = ["voice", "project", "silence", "transcription", "alignment", "captions",
              "assembly"]


def states():
    return {s["name"]: s["state"] for s in progress.snapshot()["stages"]}


@pytest.fixture
def stages(monkeypatch):
    """Fake stages that also note which stage the reporter shows as running at each call."""
    s = Stages([W[:4], W[4:]])
    seen = s.seen = []

    def watch(ns, name, label):
        inner = getattr(ns, name)

        def call(*args, **kwargs):
            seen.append((label, progress.snapshot()["stage"]))
            return inner(*args, **kwargs)
        setattr(ns, name, call)

    watch(s.tts, "generate_tts", "tts")
    watch(s.montra, "setup_davinci", "setup_davinci")
    watch(s.montra, "remove_silence_from_audio", "remove_silence")
    watch(s.lexor, "generate_transcription", "transcribe")
    watch(s.lexor, "split_by_scenes", "split")
    watch(s.montra, "render", "assemble")
    monkeypatch.setattr(brevano, "tts", s.tts)
    monkeypatch.setattr(brevano, "lexor", s.lexor)
    monkeypatch.setattr(brevano, "montra", s.montra)
    return s


def test_before_any_run_every_stage_is_pending():
    snap = progress.snapshot()
    assert progress.STAGES == ("media", "voice", "project", "silence", "transcription",
                               "alignment", "captions", "assembly", "render")
    assert [s["name"] for s in snap["stages"]] == list(progress.STAGES)
    with pytest.raises(ValueError, match="^Unknown stage: upload$"):
        progress.start_stage("upload")


@pytest.mark.parametrize("remove_silence, engine", [(True, "edge"), (False, "edge"),
                                                    (False, None)])
def test_successful_generation_passes_every_stage(stages, remove_silence, engine):
    brevano.generate_short(make_input(remove_silence=remove_silence, tts_engine=engine))
    snap = progress.snapshot()
    expected = {name: "done" for name in GENERATION}
    expected.update(media="skipped", render="pending")  # a direct call resolved no media
    if not remove_silence:
        expected["silence"] = "skipped"
    if not engine:
        expected["voice"] = "skipped"
    assert states() == expected
    assert snap["stage"] is None and snap["error"] is None and snap["failed_stage"] is None
    assert not snap["active"]
    for s in snap["stages"]:
        assert (s["seconds"] is None) == (s["state"] in ("pending", "skipped"))
        assert s["seconds"] is None or s["seconds"] >= 0.0
    # Each stage showed as running while its work was done.
    want = [("tts", "voice"), ("setup_davinci", "project"), ("remove_silence", "silence"),
            ("transcribe", "transcription"), ("split", "alignment"), ("assemble", "assembly")]
    assert stages.seen == [w for w in want if (w[0] != "remove_silence" or remove_silence)
                           and (w[0] != "tts" or engine)]


@pytest.mark.parametrize("target, stage, error", [
    ("montra.setup_davinci", "project", RuntimeError("Could not import project")),
    ("lexor.generate_transcription", "transcription", Exception("no model")),
    ("lexor.split_by_scenes", "alignment", IndexError("list index out of range")),
    ("montra.render", "assembly", RuntimeError("Resolve is gone")),
])
def test_a_failure_names_its_stage(stages, target, stage, error):
    ns, name = target.split(".")

    def boom(*args, **kwargs):
        raise error
    setattr(getattr(stages, ns), name, boom)
    with pytest.raises(type(error)):
        brevano.generate_short(make_input(remove_silence=True))
    snap = progress.snapshot()
    assert (snap["failed_stage"], snap["stage"], snap["error"]) == (stage, stage, str(error))
    st = states()
    order = list(progress.STAGES)
    at = order.index(stage)
    assert st[stage] == "failed"
    assert all(st[n] == "done" for n in order[1:at])
    assert all(st[n] == "pending" for n in order[at + 1:])
    assert not snap["active"]


def test_cancel_stops_at_the_next_stage_boundary(stages):
    answers = []

    def speak(**kwargs):  # the voice stage runs to its end; the project stage never begins
        answers.append(progress.request_cancel())
    stages.tts.generate_tts = speak
    with pytest.raises(progress.Cancelled) as info:
        brevano.generate_short(make_input())
    assert str(info.value) == "Cancelled" and isinstance(info.value, Exception)
    assert answers == [True]
    assert "montra.setup_davinci" not in stages.names()
    snap = progress.snapshot()
    assert states()["voice"] == "done"
    assert (snap["failed_stage"], snap["error"]) == ("project", "Cancelled")
    assert states()["transcription"] == "pending"
    # Nothing runs now: a further request has nothing to stop.
    assert progress.request_cancel() is False
    assert progress.cancel_requested() is False


# ---------------------------------------------------------------- through the route


class Media:
    def resolve_background_video(self, bg_id, key):
        if bg_id == "bg_missing":
            raise KeyError("Background video not found: bg_missing")
        return f"/cache/{bg_id}.mp4"

    def resolve_background_music(self, music_id):
        return f"/cache/{music_id}.mp3"

    def generate_voice_output_path(self):
        return "/cache/voice_1.mp3"

    def get_template(self, name):
        raise FileNotFoundError(f"Template not found: {name}")


@pytest.fixture
def client(monkeypatch):
    monkeypatch.setattr(endpoints, "media", Media())
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.IDLE)
    app = FastAPI()
    app.include_router(endpoints.router)
    return TestClient(app)


def body(bg="bg_00000001", **extra):
    return {"scenes": [{"caption": " Hallo.", "background": {"background_id": bg}}], **extra}


def wait_for_end():
    deadline = time.monotonic() + 10
    while endpoints.get_status()["status"] == endpoints.BrevanoStatus.GENERATING:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    return endpoints.get_status()


def test_route_marks_media_and_the_worker_runs_the_rest(client, stages, monkeypatch):
    seen = []
    real = brevano.generate_short

    def pipeline(data):
        seen.append(states()["media"])
        return real(data)
    monkeypatch.setattr(endpoints, "generate_short", pipeline)
    assert client.post("/brevano/generate", json=body()).status_code == 200
    assert wait_for_end() == {"status": "done", "error": None}
    assert seen == ["done"]
    st = states()
    assert st["media"] == "done" and st["assembly"] == "done" and st["render"] == "pending"


def test_route_failures_and_refusals(client, stages):
    # A refusal (400) leaves the last run's progress as it was.
    assert client.post("/brevano/generate", json=body()).status_code == 200
    wait_for_end()
    before = progress.snapshot()
    r = client.post("/brevano/generate", json=body(davinci_template_path="nope"))
    assert r.status_code == 400
    after = progress.snapshot()
    assert [s["state"] for s in after["stages"]] == [s["state"] for s in before["stages"]]
    # A media failure (500) is the media stage's failure.
    r = client.post("/brevano/generate", json=body("bg_missing"))
    assert r.status_code == 500
    snap = progress.snapshot()
    assert (snap["failed_stage"], snap["error"]) == (
        "media", "'Background video not found: bg_missing'")
    assert states()["voice"] == "pending"


def test_cancelled_generation_ends_in_error_cancelled(client, stages):
    gate, entered = threading.Event(), threading.Event()

    def slow_tts(**kwargs):
        entered.set()
        assert gate.wait(10)
    stages.tts.generate_tts = slow_tts
    assert client.post("/brevano/generate", json=body()).status_code == 200
    assert entered.wait(10)
    assert progress.snapshot()["stage"] == "voice"
    assert progress.request_cancel() is True
    gate.set()
    assert wait_for_end() == {"status": "error", "error": "Cancelled"}
    assert (progress.snapshot()["failed_stage"], states()["voice"]) == ("project", "done")


def test_a_fresh_process_shows_every_stage_pending():
    from conftest import run_python

    proc = run_python("from vestrel import progress; s = progress.snapshot(); "
                      "print({(x['state'], x['seconds']) for x in s['stages']}, s['stage'], "
                      "s['error'], s['failed_stage'], progress.request_cancel())")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "{('pending', None)} None None None False\n"


def test_route_continues_a_media_stage_its_caller_began(client, stages):
    """The command line adds local files to the library inside the media stage, then calls the
    route: the stage's seconds cover both parts."""
    progress.begin_run()
    progress.start_stage("media")
    time.sleep(0.05)
    assert client.post("/brevano/generate", json=body()).status_code == 200
    assert wait_for_end()["status"] == "done"
    media = progress.snapshot()["stages"][0]
    assert media["state"] == "done" and media["seconds"] >= 0.05
    # Without such a caller, a run begins with the route.
    assert client.post("/brevano/generate", json=body()).status_code == 200
    wait_for_end()
    assert progress.snapshot()["stages"][0]["seconds"] < 0.05
