"""How the studio routes answer failures of the Resolve layer: a refusal (RuntimeError of
lumora, a missing timeline) is the client's 400 with its own text and no traceback, a failed
export the server's 500, and any other exception goes on to the server unchanged."""

import types

import pytest
from fastapi.testclient import TestClient

from vestrel import __main__ as host
from vestrel import endpoints, media, studio


class Timeline:
    def __init__(self, exports):
        self.exports = exports

    def GetName(self):
        return "T"

    def Export(self, path, kind, subtype):
        return self.exports


def fake_lumora(timeline=None, error=None):
    def get_current_project():
        if error is not None:
            raise error
        return types.SimpleNamespace(GetName=lambda: "p", GetCurrentTimeline=lambda: timeline)

    resolve = types.SimpleNamespace(EXPORT_OTIO=20, EXPORT_NONE=0)
    return types.SimpleNamespace(get_current_project=get_current_project, _resolve=resolve,
                                 is_rendering=lambda: False)


@pytest.fixture
def client(monkeypatch, tmp_path):
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.DONE)
    monkeypatch.setattr(media, "CACHE_DIR", tmp_path)
    return TestClient(host.create_app(None))


@pytest.mark.parametrize("lumora, status, detail", [
    (fake_lumora(Timeline(exports=False)), 500, "Resolve could not export timeline 'T' as otio"),
    (fake_lumora(None), 400, "No timeline is open in project 'p'"),
    (fake_lumora(error=RuntimeError("No current project loaded")), 400,
     "No current project loaded"),
])
def test_export_answers(client, monkeypatch, capsys, lumora, status, detail):
    monkeypatch.setattr(studio, "lumora", lumora)
    r = client.post("/studio/export", json={"format": "otio", "filename": "cut"})
    assert (r.status_code, r.json()) == (status, {"detail": detail})
    assert "Traceback" not in capsys.readouterr().err


@pytest.mark.parametrize("method, path, body", [
    ("post", "/studio/render", {}), ("get", "/studio/timeline", None),
    ("post", "/studio/export", {"format": "otio"}),
])
def test_refusals_and_other_failures(client, monkeypatch, capsys, method, path, body):
    kwargs = {} if body is None else {"json": body}
    monkeypatch.setattr(studio, "lumora", fake_lumora(error=RuntimeError("Resolve is gone")))
    r = getattr(client, method)(path, **kwargs)
    assert (r.status_code, r.json()) == (400, {"detail": "Resolve is gone"})
    assert "Traceback" not in capsys.readouterr().err
    monkeypatch.setattr(studio, "lumora", fake_lumora(error=KeyError("gone")))
    with pytest.raises(KeyError):
        getattr(client, method)(path, **kwargs)
