"""Project, clip and speech routes: the one call each makes, its answer and the 500 mapping."""

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from vestrel import endpoints, lumora, resolve_sim


@pytest.fixture
def client():
    app = FastAPI()
    app.include_router(endpoints.router)
    return TestClient(app)


@pytest.fixture
def record(monkeypatch):
    """Replaces lumora's functions and endpoints.generate_tts with recorders."""
    calls = []

    def recorder(name):
        def fn(*args, **kwargs):
            calls.append((name, args, kwargs))
            return "ignored result"
        return fn

    for name in ("create_project", "open_project", "delete_current_project", "import_clip",
                 "add_clip_to_timeline"):
        monkeypatch.setattr(lumora, name, recorder(name))
    monkeypatch.setattr(endpoints, "generate_tts", recorder("generate_tts"))
    return calls


def test_the_six_routes_come_first_in_the_router():
    routes = [(sorted(r.methods), r.path, r.name) for r in endpoints.router.routes][:6]
    assert routes == [
        (["POST"], "/project/create", "create_project"),
        (["POST"], "/project/open", "open_project"),
        (["POST"], "/project/delete_current", "delete_current_project"),
        (["POST"], "/media/import_clip", "import_clip"),
        (["POST"], "/timeline/add_clip", "timeline_add_clip"),
        (["POST"], "/tts/generate", "tts_generate"),
    ]


@pytest.mark.parametrize("path, body, call", [
    ("/project/create", {"project_name": "Short 1"}, ("create_project", ("Short 1",), {})),
    ("/project/open", {"project_name": "Short 1"}, ("open_project", ("Short 1",), {})),
    ("/project/delete_current", None, ("delete_current_project", (), {})),
    ("/media/import_clip", {"clip_path": "/m/a.mp4"}, ("import_clip", ("/m/a.mp4", None), {})),
    ("/media/import_clip", {"clip_path": "/m/a.mp4", "clip_name": "A"},
     ("import_clip", ("/m/a.mp4", "A"), {})),
    ("/timeline/add_clip", {"clip_name": "A", "start_time": 1, "duration": 2.5},
     ("add_clip_to_timeline", (), {"clip_name": "A", "start_time": 1.0, "duration": 2.5,
                                   "track_index": 1, "video": True, "audio": True})),
    ("/timeline/add_clip", {"clip_name": "A", "start_time": 0.5, "duration": 1, "track_index": 3,
                            "video": False, "audio": False},
     ("add_clip_to_timeline", (), {"clip_name": "A", "start_time": 0.5, "duration": 1.0,
                                   "track_index": 3, "video": False, "audio": False})),
])
def test_resolve_routes(client, record, path, body, call):
    r = client.post(path, json=body) if body is not None else client.post(path)
    assert (r.status_code, r.json()) == (200, {"success": True})
    assert record == [call]
    if call[0] == "add_clip_to_timeline":
        assert type(record[0][2]["start_time"]) is float and type(record[0][2]["duration"]) is float


def test_delete_current_accepts_an_empty_body(client, record):
    assert client.post("/project/delete_current", content=b"").json() == {"success": True}
    assert client.post("/project/delete_current", json={}).status_code == 200
    assert len(record) == 2


@pytest.mark.parametrize("text", ["Hallo Welt!!", "Grüße, Jürg!", "日本語のテキスト😀あいう"])
def test_tts_answer(client, record, text):
    r = client.post("/tts/generate", json={"text": text, "engine": "edge", "output_path": "/o.mp3"})
    assert r.status_code == 200
    assert list(r.json()) == ["success", "engine", "characters", "output_path"]
    assert r.json() == {"success": True, "engine": "edge", "characters": 12, "output_path": "/o.mp3"}
    assert record == [("generate_tts", (), {
        "text": text, "outputfile": "/o.mp3", "engine": "edge", "voice_name": None,
        "voice_id": None, "api_key": None, "check_credits": False})]


def test_tts_passes_every_field(client, record):
    body = {"text": "x", "engine": "eleven", "output_path": "/o.mp3", "voice_name": "v",
            "voice_id": "id", "api_key": "k", "check_credits": True}
    assert client.post("/tts/generate", json=body).status_code == 200
    assert record[0][2] == {"text": "x", "outputfile": "/o.mp3", "engine": "eleven",
                            "voice_name": "v", "voice_id": "id", "api_key": "k",
                            "check_credits": True}


@pytest.mark.parametrize("extra, status, detail", [
    ({"voice_name": "de-DE-ConradNeural"}, 200, None),
    # Absent optional fields go on as None: the Edge engine refuses a None voice name.
    ({}, 500, "Argument 'voice_name' has incorrect type (expected str, got NoneType)"),
    ({"engine": "Azure"}, 500, "Unsupported TTS engine: azure"),
    ({"engine": "eleven"}, 500, "api_key is required for ElevenLabs TTS"),
])
def test_tts_route_through_the_speech_module(client, tmp_path, extra, status, detail):
    import edge_tts

    out = str(tmp_path / "speech.mp3")
    body = {"text": "Hallo Welt", "engine": "edge", "output_path": out, **extra}
    r = client.post("/tts/generate", json=body)
    assert r.status_code == status
    if status == 200:
        assert r.json() == {"success": True, "engine": "edge", "characters": 10, "output_path": out}
        assert open(out, "rb").read() == edge_tts.audio_for("Hallo Welt")
    else:
        assert r.json() == {"detail": detail}
        assert not (tmp_path / "speech.mp3").exists()


@pytest.mark.parametrize("path, body", [
    ("/project/create", {}),
    ("/media/import_clip", {"clip_name": "A"}),
    ("/timeline/add_clip", {"clip_name": "A", "start_time": 1}),
    ("/timeline/add_clip", {"clip_name": "A", "start_time": "soon", "duration": 1}),
    ("/tts/generate", {"text": "x", "engine": "edge"}),
])
def test_bodies_that_do_not_fit_are_refused_before_the_call(client, record, path, body):
    assert client.post(path, json=body).status_code == 422
    assert record == []


@pytest.mark.parametrize("path, body, name, error, detail", [
    ("/project/create", {"project_name": "p"}, "create_project",
     RuntimeError("Could not create project 'p'"), "Could not create project 'p'"),
    ("/project/delete_current", None, "delete_current_project",
     RuntimeError("Resolve context not set. Call set_resolve(resolve) first."),
     "Resolve context not set. Call set_resolve(resolve) first."),
    ("/media/import_clip", {"clip_path": "/x"}, "import_clip", KeyError("clip"), "'clip'"),
    ("/timeline/add_clip", {"clip_name": "A", "start_time": 0, "duration": 1},
     "add_clip_to_timeline", ValueError("bad"), "bad"),
    ("/tts/generate", {"text": "x", "engine": "nope", "output_path": "/o.mp3"}, "generate_tts",
     ValueError("Unsupported TTS engine: nope"), "Unsupported TTS engine: nope"),
])
def test_failures_answer_500_with_the_text(client, monkeypatch, capsys, path, body, name, error, detail):
    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(endpoints if name == "generate_tts" else lumora, name, fail)
    r = client.post(path, json=body) if body is not None else client.post(path)
    assert (r.status_code, r.json()) == (500, {"detail": detail})
    err = capsys.readouterr().err
    assert "Traceback (most recent call last)" in err and type(error).__name__ in err


@pytest.mark.parametrize("call, name", [
    (lambda: endpoints.create_project(endpoints.ProjectRequest(project_name="p")), "create_project"),
    (lambda: endpoints.delete_current_project(), "delete_current_project"),
    (lambda: endpoints.timeline_add_clip(
        endpoints.AddClipRequest(clip_name="a", start_time=0, duration=1)), "add_clip_to_timeline"),
])
def test_the_500_is_raised_while_the_failure_is_handled(monkeypatch, capsys, call, name):
    from fastapi import HTTPException

    error = RuntimeError("No current project loaded")

    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(lumora, name, fail)
    with pytest.raises(HTTPException) as e:
        try:
            raise KeyError("outer")  # a caller's own handled exception does not take its place
        except KeyError:
            call()
    assert (e.value.status_code, e.value.detail) == (500, "No current project loaded")
    assert e.value.__context__ is error and e.value.__cause__ is None


def test_routes_on_the_simulator(client, monkeypatch):
    monkeypatch.setattr(lumora, "_resolve", resolve_sim.Resolve())
    assert client.post("/project/create", json={"project_name": "p"}).json() == {"success": True}
    r = client.post("/project/create", json={"project_name": "p"})
    assert (r.status_code, r.json()) == (500, {"detail": "Could not create project 'p'"})
    r = client.post("/timeline/add_clip", json={"clip_name": "none", "start_time": 0, "duration": 1})
    assert r.json() == {"detail": "Clip 'none' not found in Media Pool"}
    assert client.post("/project/delete_current").json() == {"success": True}
    r = client.post("/project/open", json={"project_name": "p"})
    assert (r.status_code, r.json()) == (500, {"detail": "Could not open project 'p'"})
    r = client.post("/media/import_clip", json={"clip_path": "/x.mp4"})
    assert r.json() == {"detail": "No current project loaded"}


def test_route_functions_can_be_called_directly(record):
    req = endpoints.ProjectRequest(project_name="p")
    assert endpoints.create_project(req) == {"success": True}
    assert endpoints.delete_current_project() == {"success": True}
    with pytest.raises(TypeError):
        endpoints.delete_current_project(req)
    assert [c[0] for c in record] == ["create_project", "delete_current_project"]
    assert endpoints.AddClipRequest(clip_name="a", start_time=1, duration=2).model_dump() == {
        "clip_name": "a", "start_time": 1.0, "duration": 2.0, "track_index": 1,
        "video": True, "audio": True}
