"""Generation routes and status: answers, the status machine and concurrent requests.

The media library and the pipeline are replaced at the module attributes that the routes
read at call time (`endpoints.media`, `endpoints.generate_short`).
"""

import threading
import time
from types import SimpleNamespace

import pytest
from fastapi import FastAPI, HTTPException
from fastapi.testclient import TestClient

from vestrel import brevano, endpoints
from route_table import ROUTE_TABLE

S = endpoints.BrevanoStatus


class FakeMedia:
    """Records the media library calls; `delay` slows every call down."""

    def __init__(self, delay=0.0):
        self.calls = []
        self.delay = delay
        self.lock = threading.Lock()
        self.fail = {}

    def _call(self, name, *args):
        with self.lock:
            self.calls.append((name, args))
        time.sleep(self.delay)
        if name in self.fail:
            raise self.fail[name]

    def resolve_background_video(self, *args, **kwargs):
        assert not kwargs
        self._call("resolve_background_video", *args)
        return f"/cache/{args[0]}.mp4"

    def resolve_background_music(self, *args, **kwargs):
        assert not kwargs
        self._call("resolve_background_music", *args)
        return f"/cache/{args[0]}.mp3"

    def generate_voice_output_path(self, *args, **kwargs):
        assert not args and not kwargs
        self._call("generate_voice_output_path")
        return "/cache/voice_1.mp3"

    def get_template(self, *args, **kwargs):
        assert not kwargs
        self._call("get_template", *args)
        return f"/templates/{args[0]}.drp"


class Pipeline:
    """Stands in for generate_short; `gate` (when set) holds the run until released."""

    def __init__(self):
        self.inputs = []
        self.gate = None
        self.error = None
        self.started = threading.Event()

    def __call__(self, *args, **kwargs):
        assert not kwargs and len(args) == 1
        self.inputs.append(args[0])
        self.started.set()
        if self.gate is not None:
            assert self.gate.wait(10)
        if self.error is not None:
            raise self.error


@pytest.fixture
def media(monkeypatch):
    m = FakeMedia()
    monkeypatch.setattr(endpoints, "media", m)
    return m


@pytest.fixture
def pipeline(monkeypatch):
    p = Pipeline()
    monkeypatch.setattr(endpoints, "generate_short", p)
    return p


@pytest.fixture
def client(media, pipeline):
    endpoints.set_status(S.IDLE)
    app = FastAPI()
    app.include_router(endpoints.router)
    yield TestClient(app)
    # No generation thread of a test outlives it.
    wait_until_settled()
    endpoints.set_status(S.IDLE)


def wait_until_settled(timeout=10):
    deadline = time.monotonic() + timeout
    while endpoints.get_status()["status"] == S.GENERATING:
        assert time.monotonic() < deadline, "generation did not end"
        time.sleep(0.01)
    # Only generation threads: other tests' daemon threads (loopback servers) live on.
    for t in threading.enumerate():
        if getattr(t, "_target", None) is endpoints._generation_worker:
            t.join(timeout)


def scene(caption="hi", bg="bg_00000001", **background):
    return {"caption": caption, "background": {"background_id": bg, **background}}


def body(n=1, **fields):
    return {"scenes": [scene(f" s{i}", f"bg_{i:08x}") for i in range(n)], **fields}


def status(client):
    r = client.get("/brevano/status")
    assert r.status_code == 200
    return r.json()["status"]


# ---------------------------------------------------------------- accepted requests


def test_fresh_process_status_is_idle():
    from conftest import run_python

    code = ("from fastapi import FastAPI\nfrom fastapi.testclient import TestClient\n"
            "from vestrel import endpoints\napp = FastAPI()\napp.include_router(endpoints.router)\n"
            "r = TestClient(app).get('/brevano/status')\nprint(r.status_code, r.text)\n"
            "print(endpoints._status is endpoints.BrevanoStatus.IDLE, endpoints._last_error)")
    p = run_python(code)
    assert p.returncode == 0, p.stderr
    assert p.stdout.splitlines() == [
        '200 {"status":{"status":"idle","error":null}}', "True None"]


def test_accepted_request_resolves_media_and_builds_the_input(client, media, pipeline):
    req = {"scenes": [scene(" Eins.", "bg_aaaaaaaa", brightness=90, color_tone=[1, 2, 3]),
                      scene(" Zwei.", "bg_bbbbbbbb")],
           "bg_music_id": "music_cccccccc", "tts_engine": "eleven", "eleven_voice_id": "v",
           "eleven_api_key": "k", "edge_voice_name": "e", "whisper_model": "small",
           "language": "en", "chars_per_line": 30, "remove_silence": True,
           "min_silence_duration": 1, "davinci_project_name": "p",
           "davinci_template_path": "mine", "pexels_api_key": "px"}
    r = client.post("/brevano/generate", json=req)
    assert (r.status_code, r.json()) == (200, {"success": True, "status": "started"})
    wait_until_settled()
    assert status(client) == {"status": "done", "error": None}

    assert media.calls == [("resolve_background_video", ("bg_aaaaaaaa", "px")),
                           ("resolve_background_video", ("bg_bbbbbbbb", "px")),
                           ("resolve_background_music", ("music_cccccccc",)),
                           ("generate_voice_output_path", ()),
                           ("get_template", ("mine",))]
    (data,) = pipeline.inputs
    assert isinstance(data, brevano.BrevanoInput)
    assert [s.caption for s in data.scenes] == [" Eins.", " Zwei."]
    bg0, bg1 = (s.bg_video for s in data.scenes)
    assert isinstance(bg0, brevano.BrevanoBackgroundVideo)
    assert (bg0.filepath, bg0.filename) == ("/cache/bg_aaaaaaaa.mp4", "bg_aaaaaaaa.mp4")
    assert (bg0.brightness, bg0.contrast, bg0.color_tone) == (90.0, 100.0, (1, 2, 3))
    assert type(bg0.brightness) is float and bg1.color_tone == (100, 100, 100)
    assert vars(data) | {"scenes": None} == {
        "scenes": None, "bg_music_filepath": "/cache/music_cccccccc.mp3",
        "voice_output_filepath": "/cache/voice_1.mp3", "tts_engine": "eleven",
        "edge_voice_name": "e", "eleven_voice_id": "v", "eleven_api_key": "k",
        "davinci_project_name": "p", "davinci_template_path": "/templates/mine.drp",
        "pexels_api_key": "px", "whisper_model": "small", "language": "en",
        "chars_per_line": 30, "remove_silence": True, "min_silence_duration": 1.0}


@pytest.mark.parametrize("fields", [{}, {"bg_music_id": "", "davinci_template_path": ""},
                                    {"bg_music_id": None, "davinci_template_path": None}])
def test_no_music_and_no_template(client, media, pipeline, fields):
    r = client.post("/brevano/generate", json=body(1, **fields))
    assert r.status_code == 200
    wait_until_settled()
    assert [c[0] for c in media.calls] == ["resolve_background_video",
                                           "generate_voice_output_path"]
    data = pipeline.inputs[0]
    assert data.bg_music_filepath is None
    assert data.davinci_template_path == fields.get("davinci_template_path")
    # The request's defaults.
    assert (data.tts_engine, data.whisper_model, data.language, data.chars_per_line,
            data.remove_silence, data.min_silence_duration, data.davinci_project_name) == (
        "edge", "medium", "de", 25, False, 0.3, "tolvane_2026")


@pytest.mark.parametrize("n", [0, 6])
def test_up_to_six_scenes_are_accepted(client, media, n):
    assert client.post("/brevano/generate", json=body(n)).status_code == 200
    wait_until_settled()
    assert [c[0] for c in media.calls].count("resolve_background_video") == n


def test_worker_failure_is_recorded(client, pipeline, capsys):
    pipeline.error = ValueError("Unsupported TTS engine: x")
    assert client.post("/brevano/generate", json=body()).status_code == 200
    wait_until_settled()
    assert status(client) == {"status": "error", "error": "Unsupported TTS engine: x"}
    err = capsys.readouterr().err
    assert "Traceback (most recent call last)" in err
    assert "ValueError: Unsupported TTS engine: x" in err
    # The next successful generation clears the error.
    pipeline.error = None
    assert client.post("/brevano/generate", json=body()).status_code == 200
    wait_until_settled()
    assert status(client) == {"status": "done", "error": None}


def test_thread_is_a_daemon_running_the_worker_looked_up_at_call_time(client, monkeypatch):
    seen = []
    monkeypatch.setattr(endpoints, "_generation_worker",
                        lambda data: seen.append((threading.current_thread().daemon, data)))
    assert client.post("/brevano/generate", json=body()).status_code == 200
    deadline = time.monotonic() + 5
    while not seen and time.monotonic() < deadline:
        time.sleep(0.01)
    (daemon, data), = seen
    assert daemon is True and isinstance(data, brevano.BrevanoInput)
    endpoints.set_status(S.IDLE)


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3)])
def test_worker_never_leaves_generating_behind(client, pipeline, exc):
    pipeline.error = exc
    endpoints.set_status(S.GENERATING)
    with pytest.raises(type(exc)):
        endpoints._generation_worker(object())
    assert endpoints.get_status() == {"status": S.ERROR, "error": str(exc)}


# ---------------------------------------------------------------- refusals


def test_running_generation_refuses_with_409_before_counting_scenes(client, media):
    endpoints.set_status(S.GENERATING)
    r = client.post("/brevano/generate", json=body(7))
    assert (r.status_code, r.json()) == (409, {"detail": "Generation already running"})
    assert media.calls == []
    assert status(client) == {"status": "generating", "error": None}
    endpoints.set_status(S.DONE)


@pytest.mark.parametrize("before", [(S.IDLE, None), (S.DONE, None), (S.ERROR, "old failure")])
@pytest.mark.parametrize("case", ["seven scenes", "template", "invalid body"])
def test_a_refused_request_changes_nothing(client, media, pipeline, before, case):
    endpoints.set_status(*before)
    if case == "seven scenes":
        r = client.post("/brevano/generate", json=body(7))
        expected = (400, {"detail": "Maximum 6 scenes allowed"})
    elif case == "template":
        media.fail["get_template"] = FileNotFoundError("Template not found: nope")
        r = client.post("/brevano/generate", json=body(2, davinci_template_path="nope"))
        expected = (400, {"detail": "Template not found: nope"})
    else:
        r = client.post("/brevano/generate", json={"scenes": [{"caption": "x"}]})
        assert r.status_code == 422
        expected = (422, r.json())
    assert (r.status_code, r.json()) == expected
    assert endpoints.get_status() == {"status": before[0], "error": before[1]}
    assert endpoints._status is before[0]
    assert pipeline.inputs == []


@pytest.mark.parametrize("payload", [
    {}, {"scenes": "x"}, {"scenes": [scene()], "chars_per_line": "many"},
    {"scenes": [scene(None)]}, {"scenes": [scene(color_tone=[1, 2])]},
])
def test_body_validation_answers_422(client, payload):
    r = client.post("/brevano/generate", json=payload)
    assert r.status_code == 422
    assert isinstance(r.json()["detail"], list)
    assert status(client) == {"status": "idle", "error": None}


@pytest.mark.parametrize("where, exc, detail", [
    ("resolve_background_video", KeyError("Background video not found: bg_1"),
     "'Background video not found: bg_1'"),
    ("resolve_background_music", KeyError("Background music not found: m"),
     "'Background music not found: m'"),
    ("generate_voice_output_path", RuntimeError("disk full"), "disk full"),
    ("get_template", PermissionError("no access"), "no access"),
])
def test_failures_while_preparing_answer_500_and_set_error(client, media, pipeline, capsys,
                                                           where, exc, detail):
    media.fail[where] = exc
    r = client.post("/brevano/generate", json=body(2, bg_music_id="m",
                                                   davinci_template_path="t"))
    assert (r.status_code, r.json()) == (500, {"detail": detail})
    assert status(client) == {"status": "error", "error": detail}
    assert pipeline.inputs == []
    err = capsys.readouterr().err
    # The caught exception's own traceback, not "NoneType: None".
    assert "Traceback (most recent call last)" in err and type(exc).__name__ in err
    assert f"in {where}" in err


@pytest.mark.parametrize("where, exc, code", [
    ("get_template", FileNotFoundError("Template not found: nope"), 400),
    ("resolve_background_video", KeyError("Background video not found: bg_1"), 500),
    ("generate_voice_output_path", RuntimeError("disk full"), 500),
])
def test_http_error_raised_while_handling_keeps_the_failure_as_context(client, media, where,
                                                                       exc, code):
    media.fail[where] = exc
    req = endpoints.BrevanoRequest(**body(1, davinci_template_path="nope"))
    with pytest.raises(HTTPException) as e:
        endpoints.brevano_generate(req)
    assert (e.value.status_code, e.value.detail) == (code, str(exc))
    assert e.value.__context__ is exc and e.value.__cause__ is None
    # Refusals decided before anything was handled carry no context.
    req = endpoints.BrevanoRequest(**body(7))
    with pytest.raises(HTTPException) as e:
        endpoints.brevano_generate(req)
    assert e.value.status_code == 400 and e.value.__context__ is None


def test_constructor_and_thread_failures_answer_500(client, monkeypatch, pipeline):
    def refuse(**kwargs):
        raise TypeError("Argument 'voice_output_filepath' has incorrect type "
                        "(expected str, got NoneType)")

    monkeypatch.setattr(endpoints, "BrevanoInput", refuse)
    r = client.post("/brevano/generate", json=body())
    assert r.status_code == 500 and "voice_output_filepath" in r.json()["detail"]
    monkeypatch.undo()
    monkeypatch.setattr(endpoints, "media", FakeMedia())
    monkeypatch.setattr(endpoints, "generate_short", pipeline)

    class NoThreads:
        def __init__(self, **kwargs):
            assert kwargs["daemon"] is True and kwargs["target"] is endpoints._generation_worker
            assert isinstance(kwargs["args"][0], brevano.BrevanoInput)

        def start(self):
            raise RuntimeError("can't start new thread")

    monkeypatch.setattr(threading, "Thread", NoThreads)
    r = client.post("/brevano/generate", json=body())
    assert (r.status_code, r.json()) == (500, {"detail": "can't start new thread"})
    assert endpoints.get_status() == {"status": S.ERROR, "error": "can't start new thread"}


# ---------------------------------------------------------------- concurrency


def test_of_two_requests_that_arrive_together_exactly_one_is_accepted(client, media,
                                                                      pipeline):
    media.delay = 0.2  # the accepted request is slow to resolve its media
    pipeline.gate = threading.Event()
    barrier = threading.Barrier(2)
    answers = []

    def send(caption):
        barrier.wait()
        r = client.post("/brevano/generate", json={"scenes": [scene(caption)]})
        answers.append((r.status_code, r.json()))

    threads = [threading.Thread(target=send, args=(c,)) for c in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert sorted(answers, key=lambda a: a[0]) == [
        (200, {"success": True, "status": "started"}),
        (409, {"detail": "Generation already running"})]
    assert [c[0] for c in media.calls] == ["resolve_background_video",
                                           "generate_voice_output_path"]

    # A request while the generation runs is refused and leaves the running status alone.
    assert pipeline.started.wait(5)
    r = client.post("/brevano/generate", json=body(7))
    assert r.status_code == 409
    assert status(client) == {"status": "generating", "error": None}
    pipeline.gate.set()
    wait_until_settled()
    assert status(client) == {"status": "done", "error": None}
    assert len(pipeline.inputs) == 1


def test_many_concurrent_requests_start_one_generation(client, media, pipeline):
    pipeline.gate = threading.Event()
    barrier = threading.Barrier(6)
    codes = []

    def send():
        barrier.wait()
        try:
            endpoints.brevano_generate(req=endpoints.BrevanoRequest(scenes=[]))
            codes.append(200)
        except HTTPException as e:
            codes.append(e.status_code)

    threads = [threading.Thread(target=send) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert sorted(codes) == [200] + [409] * 5
    pipeline.gate.set()
    wait_until_settled()
    assert len(pipeline.inputs) == 1


# ---------------------------------------------------------------- status and shape


def test_set_status_and_get_status(client):
    endpoints.set_status(S.ERROR, "boom")
    snapshot = endpoints.get_status()
    assert snapshot == {"status": "error", "error": "boom"}
    assert snapshot is not endpoints.get_status()
    endpoints.set_status(S.DONE)
    assert endpoints.get_status() == {"status": S.DONE, "error": None}
    with pytest.raises(TypeError) as e:
        endpoints.set_status(S.IDLE, 5)
    assert str(e.value) == "Argument 'error' has incorrect type (expected str, got int)"
    assert endpoints.get_status() == {"status": S.DONE, "error": None}
    with pytest.raises(TypeError, match=r"^set_status\(\) takes at least 1 positional "
                                        r"argument \(0 given\)$"):
        endpoints.set_status()
    with pytest.raises(TypeError, match=r"^set_status\(\) got an unexpected keyword "
                                        r"argument 'err'$"):
        endpoints.set_status(S.DONE, err="x")


def test_status_enum_and_request_models():
    import enum

    assert S.__bases__ == (str, enum.Enum)
    assert [(m.name, m.value) for m in S] == [
        ("IDLE", "idle"), ("GENERATING", "generating"), ("DONE", "done"), ("ERROR", "error")]
    assert S.GENERATING == "generating" and S.__module__ == "vestrel.endpoints"
    assert type(endpoints._status_lock) is type(threading.Lock())

    req = endpoints.BrevanoRequest(scenes=[{"caption": "c", "background": {"background_id": "b"}}])
    assert list(type(req).model_fields) == [
        "scenes", "bg_music_id", "tts_engine", "edge_voice_name", "eleven_voice_id",
        "eleven_api_key", "whisper_model", "language", "chars_per_line", "remove_silence",
        "min_silence_duration", "davinci_project_name", "davinci_template_path",
        "pexels_api_key"]
    assert req.model_dump() == {
        "scenes": [{"caption": "c", "background": {
            "background_id": "b", "brightness": 100, "contrast": 100, "saturation": 100,
            "color_tone": (100, 100, 100)}}],
        "bg_music_id": None, "tts_engine": "edge", "edge_voice_name": None,
        "eleven_voice_id": None, "eleven_api_key": None, "whisper_model": "medium",
        "language": "de", "chars_per_line": 25, "remove_silence": False,
        "min_silence_duration": 0.3, "davinci_project_name": "tolvane_2026",
        "davinci_template_path": None, "pexels_api_key": None}
    for model in (endpoints.BrevanoRequest, endpoints.BrevanoSceneDTO,
                  endpoints.BrevanoBackgroundVideoDTO):
        assert model.__module__ == "vestrel.endpoints"
    assert isinstance(req.scenes[0], endpoints.BrevanoSceneDTO)
    assert isinstance(req.scenes[0].background, endpoints.BrevanoBackgroundVideoDTO)


def test_request_and_input_declare_the_shared_settings_alike():
    """The settings that go from the request to the input unchanged carry the same name,
    annotation (str | None and Optional[str] alike) and default in both classes; only the
    engine differs: the request asks for "edge" by default, the input needs one given."""
    import inspect
    import typing

    params = inspect.signature(brevano.BrevanoInput).parameters
    fields = endpoints.BrevanoRequest.model_fields
    shared = [n for n in params if n in fields and n != "scenes"]
    assert shared == ["tts_engine", "edge_voice_name", "eleven_voice_id", "eleven_api_key",
                      "davinci_project_name", "davinci_template_path", "pexels_api_key",
                      "whisper_model", "language", "chars_per_line", "remove_silence",
                      "min_silence_duration"]
    assert [n for n in fields if n not in params] == ["bg_music_id"]

    def types(annotation):
        return set(typing.get_args(annotation)) or {annotation}

    for name in shared[1:]:
        assert types(fields[name].annotation) == types(params[name].annotation), name
        assert fields[name].default == params[name].default, name
    assert fields["tts_engine"].default == "edge"
    assert params["tts_engine"].default is inspect.Parameter.empty




def test_route_table_in_registration_order_with_names_and_docs():
    routes = endpoints.router.routes
    assert [(m, r.path, r.name) for r in routes for m in r.methods] == ROUTE_TABLE
    # Registered with the path alone.
    assert all(r.response_model is None and r.status_code is None and r.tags == []
               for r in routes)
    assert endpoints.router.prefix == "" and endpoints.router.tags == []
    app = FastAPI()
    app.include_router(endpoints.router)
    openapi = TestClient(app).get("/openapi.json").json()
    assert openapi["paths"]["/brevano/status"]["get"]["description"] == \
        "Returns current Brevano generation status."
    # The generation route has no docstring, so no description.
    assert "description" not in openapi["paths"]["/brevano/generate"]["post"]
    ref = openapi["paths"]["/brevano/generate"]["post"]["requestBody"]["content"][
        "application/json"]["schema"]["$ref"]
    assert ref.endswith("/BrevanoRequest")
