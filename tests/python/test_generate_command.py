"""python -m vestrel generate, end to end in a fresh interpreter: fake voice and aligner
(tests/fakes), the Resolve simulator, a media library in a temporary XDG folder."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from sim_media import make_audio, make_video

FAKES = Path(__file__).resolve().parent.parent / "fakes"
SCENES = ["Hallo und willkommen<split> zu drei Tipps. ", "<counter>Zweitens. Trink Wasser. ",
          "Und mach Pausen."]


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    (folder / "clips").mkdir()
    return {
        "a": make_video(folder / "clips" / "wald.mp4", rate="30", seconds=8.0, size="108x192"),
        "b": make_video(folder / "clips" / "see.mp4", rate="25", seconds=8.0, size="108x192"),
        "music": make_audio(folder / "music.mp3", seconds=12.0),
        "dir": folder,
    }


@pytest.fixture
def home(tmp_path):
    return tmp_path / "home"


def run(request, home, *extra, name="request.json", folder=None):
    folder = Path(folder or request.pop("_dir"))
    path = folder / name
    path.write_text(json.dumps(request), encoding="utf-8")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(FAKES), env.get("PYTHONPATH", "")])
    env["XDG_DATA_HOME"] = str(home / "data")
    env["XDG_CACHE_HOME"] = str(home / "cache")
    out = home / "out" / "short.mp4"
    proc = subprocess.run([sys.executable, "-m", "vestrel", "generate", str(path), "-o", str(out),
                           "--resolve", "sim", *extra],
                          env=env, capture_output=True, text=True, timeout=300)
    return proc, out


def request(clips, **extra):
    body = {
        "scenes": [{"caption": text, "background": {"file": f"clips/{'wald' if i % 2 == 0 else 'see'}.mp4"}}
                   for i, text in enumerate(SCENES)],
        "bg_music_file": "music.mp3",
        "tts_engine": "edge",
        "whisper_model": "tiny",
        "davinci_project_name": "cli_short",
        "_dir": clips["dir"],
    }
    body.update(extra)
    return body


def catalogue(home):
    db = home / "data" / "Brevano" / "db.json"
    return json.loads(db.read_text()) if db.exists() else None


def check_rendered_or_refused_render(proc, out):
    """The generation is done; the render either wrote the video (exit 0, its path on
    standard output) or the simulator wrote no file, which the command must report (exit 1)
    rather than claim success."""
    for stage in ("media", "voice", "project", "transcription", "alignment", "captions",
                  "assembly"):
        assert any(line.split()[:1] == [stage] and " done " in line
                   for line in proc.stderr.splitlines()), (stage, proc.stderr)
    if proc.returncode == 0:
        assert proc.stdout == f"{out}\n"
        assert out.is_file() and out.stat().st_size > 0
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                                "-of", "csv=p=0", str(out)], capture_output=True, text=True)
        assert float(probe.stdout) > 1.0
    else:
        assert proc.returncode == 1, proc.stderr
        assert proc.stdout == ""
        last = proc.stderr.strip().splitlines()[-1]
        assert last.startswith("vestrel: failed at stage 'render': Resolve reported render job")
        assert last.endswith(f"complete, but it wrote no file at {out}")
        assert not out.exists()


@pytest.mark.slow
def test_generate_adds_files_once_and_renders(clips, home):
    proc, out = run(request(clips), home)
    assert "[Brevano]" not in proc.stdout  # the pipeline's log stays off standard output
    check_rendered_or_refused_render(proc, out)
    db = catalogue(home)
    assert [v["title"] for v in db["background_videos"]] == ["wald", "see"]
    assert [m["title"] for m in db["background_music"]] == ["music"]

    # The same files again (one under another name): nothing is added twice.
    copy = Path(clips["dir"]) / "clips" / "wald_copy.mp4"
    copy.write_bytes(Path(clips["a"]).read_bytes())
    again = request(clips)
    again["scenes"][2]["background"] = {"file": "clips/wald_copy.mp4", "brightness": 90}
    proc, out = run(again, home)
    check_rendered_or_refused_render(proc, out)
    assert catalogue(home) == db


@pytest.mark.parametrize("change, text", [
    ({"scenes": [{"caption": "x", "background": {"background_id": "bg_00000000"}}] * 7},
     "Maximum 6 scenes allowed"),
    ({"chars_per_line": "viele"}, "Invalid request: chars_per_line: "),
    ({"davinci_template_path": "nope"}, "Template not found: nope"),
    ({"bg_music_file": "missing.mp3"}, "File not found: "),
    ({"bg_music_id": "music_00000000"}, "Give bg_music_id or bg_music_file, not both"),
])
def test_refused_requests_exit_2_and_add_nothing(clips, home, change, text):
    proc, out = run(request(clips, **change), home)
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr.strip().splitlines()[-1].startswith(f"vestrel: refused: {text}")
    assert proc.stdout == "" and not out.exists()
    assert catalogue(home) is None


def test_unreadable_request_is_refused(tmp_path, home):
    (tmp_path / "bad.json").write_text("[1, 2]")
    proc, _ = run({}, home, name="request.json", folder=tmp_path)
    assert proc.returncode == 2  # an empty request has no scenes
    assert "scenes: Field required" in proc.stderr
    env = dict(os.environ, XDG_DATA_HOME=str(home / "d"), XDG_CACHE_HOME=str(home / "c"))
    proc = subprocess.run([sys.executable, "-m", "vestrel", "generate", str(tmp_path / "bad.json")],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2 and "must hold a JSON object" in proc.stderr


def test_failing_stage_exits_1_with_its_name(clips, home):
    proc, out = run(request(clips, tts_engine="Morse"), home)
    assert proc.returncode == 1
    assert proc.stderr.strip().splitlines()[-1] == (
        "vestrel: failed at stage 'voice': Unsupported TTS engine: morse")
    assert "Traceback" in proc.stderr  # the pipeline's own report comes along on failure
    assert proc.stdout == "" and not out.exists()


@pytest.mark.parametrize("stop", ["interrupt", "cancel"])
def test_a_stopped_wait_stops_the_render_job(tmp_path, monkeypatch, stop):
    # Left running, a real Resolve would finish the job after the command has gone.
    import io

    import vestrel
    from vestrel import __main__ as host
    from vestrel import lumora, progress, resolve_sim

    resolve = resolve_sim.Resolve()
    resolve.SetSimulatedRenderPolls(1000)  # queued only: the job stays "Rendering"
    previous = lumora._resolve
    lumora.set_resolve(resolve)
    try:
        lumora.import_project(
            os.path.join(os.path.dirname(vestrel.__file__), "templates", "tolvane.drp"), "stop")
        if stop == "interrupt":
            def interrupted(job_id):
                raise KeyboardInterrupt
            monkeypatch.setattr(lumora, "get_render_job_status", interrupted)
            expected = KeyboardInterrupt
        else:
            monkeypatch.setattr(progress, "cancel_requested", lambda: True)
            expected = host._StageFailed
        with pytest.raises(expected):
            host._render(tmp_path / "stop.mp4", lumora, progress, host._Progress(io.StringIO()))
        project = lumora.get_current_project()
        jobs = [j["JobId"] for j in project.GetRenderJobList()]
        assert [project.GetRenderJobStatus(j)["JobStatus"] for j in jobs] == ["Cancelled"]
    finally:
        lumora.set_resolve(previous)
