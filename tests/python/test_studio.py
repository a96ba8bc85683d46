"""lumora's job-level render calls and the studio's render routes, on the Resolve simulator.

The simulator is told to answer with queued jobs only (SetSimulatedRenderPolls), so no file is
rendered here: a job is "Complete" after that many IsRenderingInProgress questions, and the
routes must then find no output file. A test that writes the file itself stands in for a
Resolve that rendered it.
"""

import os

import pytest
from fastapi.testclient import TestClient

import vestrel
from vestrel import __main__ as host
from vestrel import endpoints, lumora, media, progress, resolve_sim, studio

TEMPLATE = os.path.join(os.path.dirname(vestrel.__file__), "templates", "tolvane.drp")


@pytest.fixture
def sim(monkeypatch):
    """A fresh simulated Resolve with the built-in template open as project "studio_short"."""
    resolve = resolve_sim.Resolve()
    resolve.SetSimulatedRenderPolls(3)
    previous = lumora._resolve
    lumora.set_resolve(resolve)
    lumora.import_project(TEMPLATE, "studio_short")
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.DONE)
    monkeypatch.setattr(studio, "_jobs", {})  # job ids start again with every Resolve
    yield resolve
    lumora.set_resolve(previous)


def project():
    return lumora.get_current_project()


def finish_queue():
    while project().IsRenderingInProgress():
        pass


# ---------------------------------------------------------------- lumora


def test_start_render_job_and_its_status(sim, capsys):
    job = lumora.start_render_job()
    assert isinstance(job, str) and job
    assert capsys.readouterr().out == f"[lumora] Render job '{job}' started\n"
    status = lumora.get_render_job_status(job)
    assert type(status) is dict
    assert (status["JobStatus"], status["CompletionPercentage"]) == ("Rendering", 0)
    assert lumora.is_rendering() is True
    finish_queue()
    assert lumora.get_render_job_status(job_id=job)["JobStatus"] == "Complete"
    assert lumora.get_render_job_status(job)["CompletionPercentage"] == 100
    assert lumora.is_rendering() is False
    with pytest.raises(RuntimeError, match="^Render job 'sim-job-99' not found$"):
        lumora.get_render_job_status("sim-job-99")


def test_render_job_failures_and_argument_checks(sim):
    with pytest.raises(TypeError, match=r"^Argument 'job_id' has incorrect type "
                                        r"\(expected str, got int\)$"):
        lumora.get_render_job_status(5)
    with pytest.raises(TypeError, match=r"^start_render_job\(\) takes exactly 0 positional "
                                        r"arguments \(1 given\)$"):
        lumora.start_render_job("x")
    lumora.create_project("bare")  # a new project has no timeline
    with pytest.raises(RuntimeError, match="^No current timeline$"):
        lumora.start_render_job()
    lumora.delete_current_project()
    with pytest.raises(RuntimeError, match="^No current project loaded$"):
        lumora.start_render_job()
    lumora.set_resolve(None)
    with pytest.raises(RuntimeError, match="^Resolve context not set"):
        lumora.get_render_job_status("x")


# ---------------------------------------------------------------- routes


@pytest.fixture
def client():
    return TestClient(host.create_app(None))


def test_host_mounts_studio_beside_the_router(client):
    paths = client.get("/openapi.json").json()["paths"]
    assert {"/studio/render", "/studio/render/{job_id}", "/brevano/generate"} <= set(paths)
    assert len(endpoints.router.routes) == 18
    assert paths["/studio/render"]["post"]["description"].startswith("Render the current")


def test_render_answers_and_follows_the_job(sim, client):
    r = client.post("/studio/render", json={"preset": "H.264 Master"})
    assert r.status_code == 200, r.text
    body = r.json()
    assert body == {"job_id": body["job_id"], "output": "/media/studio_short.mp4"}
    job, = [j for j in project().GetRenderJobList() if j["JobId"] == body["job_id"]]
    assert (job["TargetDir"], job["OutputFilename"], job["PresetName"]) == (
        str(media.CACHE_DIR), "studio_short", "H.264 Master")
    assert progress.snapshot()["stage"] == "render"

    status = client.get(f"/studio/render/{body['job_id']}")
    assert status.json() == {"status": "rendering", "percent": 0,
                             "output": "/media/studio_short.mp4", "error": None}
    # A second render while this one runs is refused.
    r = client.post("/studio/render", json={"filename": "other.mp4"})
    assert (r.status_code, r.json()) == (409, {"detail": "A render is running"})

    # Resolve writes the file; the job is done and the media route serves it.
    out = media.CACHE_DIR / "studio_short.mp4"
    out.write_bytes(b"rendered")
    try:
        finish_queue()
        assert client.get(f"/studio/render/{body['job_id']}").json() == {
            "status": "done", "percent": 100, "output": "/media/studio_short.mp4",
            "error": None}
        assert client.get("/media/studio_short.mp4").content == b"rendered"
        assert {s["name"]: s["state"] for s in progress.snapshot()["stages"]}["render"] == "done"
    finally:
        out.unlink()


def test_complete_without_a_new_file_is_an_error(sim, client):
    stale = media.CACHE_DIR / "old.mp4"
    stale.write_bytes(b"from an earlier render")
    try:
        job = client.post("/studio/render", json={"filename": "old.mp4"}).json()["job_id"]
        finish_queue()
        body = client.get(f"/studio/render/{job}").json()
        assert body["status"] == "error"
        assert body["error"] == "The render ended without writing its output file"
        snap = progress.snapshot()
        assert (snap["failed_stage"], snap["error"]) == ("render", body["error"])
    finally:
        stale.unlink()


def test_stopped_render_reads_cancelled(sim, client):
    job = client.post("/studio/render", json={}).json()["job_id"]
    project().StopRendering()
    assert client.get(f"/studio/render/{job}").json()["status"] == "cancelled"


def test_render_without_body_uses_the_project_name(sim, client):
    r = client.post("/studio/render")
    assert r.status_code == 200 and r.json()["output"] == "/media/studio_short.mp4"


@pytest.mark.parametrize("preset, codec", [(None, "H264"), ("H.265 Master", "H265")])
def test_render_asks_for_mp4_unless_a_preset_decides(sim, client, preset, codec):
    # A project left on another codec (a real Resolve keeps the last one) still gives an MP4
    # in H.264; a preset that is named keeps its own format.
    project().SetCurrentRenderFormatAndCodec("mp4", "H265")
    r = client.post("/studio/render", json={"preset": preset} if preset else {})
    assert r.status_code == 200
    assert project().GetCurrentRenderFormatAndCodec() == {"format": "mp4", "codec": codec}


@pytest.mark.parametrize("name", [
    "a/b.mp4", "../x.mp4", "x.MP4", "x.mov", "x", ".mp4", ".hidden.mp4", "tab\t.mp4",
    "bg_1234abcd.mp4", "music_deadbeef_x.mp4", "voice_0123ABCD.mp4", "BG_00000000.mp4",
])
def test_refused_file_names(sim, client, name):
    r = client.post("/studio/render", json={"filename": name})
    assert r.status_code == 400
    assert r.json()["detail"].startswith(f"Invalid file name '{name}': ")
    assert project().GetRenderJobList() == []


@pytest.mark.parametrize("name", ["short.mp4", "bg_123.mp4", "music_video.mp4", "Mein Film.mp4"])
def test_accepted_file_names(sim, client, name):
    r = client.post("/studio/render", json={"filename": name})
    assert r.status_code == 200 and r.json()["output"] == f"/media/{name}"


def test_refusals_of_the_render_route(sim, client, monkeypatch):
    r = client.post("/studio/render", json={"preset": "Nope"})
    assert (r.status_code, r.json()) == (400, {"detail": "Unknown render preset: Nope"})
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.GENERATING)
    r = client.post("/studio/render", json={})
    assert (r.status_code, r.json()) == (409, {"detail": "A generation is running"})
    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.ERROR)
    lumora.create_project("bare")
    r = client.post("/studio/render", json={})
    assert (r.status_code, r.json()) == (400, {"detail": "No current timeline"})
    lumora.delete_current_project()
    r = client.post("/studio/render", json={})
    assert (r.status_code, r.json()) == (400, {"detail": "No current project loaded"})
    r = client.post("/studio/render", json={"filename": 5})
    assert r.status_code == 422




def test_unknown_job_is_404(sim, client):
    job = lumora.start_render_job()  # Resolve knows it; the studio did not start it
    r = client.get(f"/studio/render/{job}")
    assert (r.status_code, r.json()) == (404, {"detail": f"Unknown render job: {job}"})


def test_a_job_whose_project_is_gone_reads_as_error(sim, client):
    job = client.post("/studio/render", json={"filename": "gone.mp4"}).json()["job_id"]
    lumora.create_project("next")  # a new generation replaced the project
    lumora.import_project(TEMPLATE, "next2")
    body = client.get(f"/studio/render/{job}").json()
    assert (body["status"], body["error"]) == ("error", f"Render job '{job}' not found")


def test_a_cancel_left_from_an_earlier_render_lapses(sim, client):
    client.post("/studio/render", json={"filename": "first.mp4"})
    assert progress.request_cancel() is True  # the render stage runs
    project().StopRendering()
    r = client.post("/studio/render", json={"filename": "second.mp4"})
    assert r.status_code == 200, r.text
    assert progress.snapshot()["stage"] == "render" and not progress.cancel_requested()
