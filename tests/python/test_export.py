"""The edit taken out of the simulator: Timeline.Export (OTIO, FCPXML 1.8, FCP 7 XML, EDL),
subtitles, GET /studio/timeline and POST /studio/export.

One short is generated once for the module (fake voice and aligner from tests/fakes, media
made with ffmpeg, the built-in template on a fresh simulated Resolve). Every export is read
back with OpenTimelineIO and compared, item by item and in frames, with what the simulator
holds, read the way a Resolve script reads it.
"""

import json
import os
import re
import struct
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import pytest
from fastapi.testclient import TestClient

from sim_media import make_audio, make_video

otio = pytest.importorskip("opentimelineio")

from vestrel import __main__ as host  # noqa: E402
from vestrel import endpoints, lumora, media, resolve_sim, studio  # noqa: E402

FAKES = Path(__file__).resolve().parent.parent / "fakes"
SCENES = ["Hallo und willkommen<split> zu drei Tipps. ", "<counter>Zweitens. Trink genug Wasser. ",
          "Und mach genug Pausen."]
PROJECT = "export_short"


def _wait_for_end(client, timeout=300):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        body = client.get("/brevano/status").json()["status"]
        if body["status"] in ("done", "error"):
            return body
        time.sleep(0.1)
    raise AssertionError("generation did not end in time")


@pytest.fixture(scope="module")
def short(tmp_path_factory):
    """A generated short on its own simulated Resolve: (client, resolve, timeline)."""
    folder = tmp_path_factory.mktemp("export-media")
    videos = [make_video(folder / "wald.mp4", rate="25", seconds=12.0, size="108x192"),
              make_video(folder / "see.mp4", rate="30", seconds=12.0, size="108x192")]
    music = make_audio(folder / "musik.mp3", seconds=30.0)
    resolve = resolve_sim.Resolve()
    previous = lumora._resolve
    client = TestClient(host.create_app(resolve))
    ids = []
    for i, v in enumerate(videos):
        with open(v, "rb") as f:
            r = client.post("/media/background-videos/upload", data={"title": f"Export {i}"},
                            files={"file": (os.path.basename(v), f, "video/mp4")})
        assert r.status_code == 200, r.text
        ids.append(r.json()["id"])
    with open(music, "rb") as f:
        r = client.post("/media/background-music/upload", data={"title": "Musik"},
                        files={"file": ("musik.mp3", f, "audio/mpeg")})
    assert r.status_code == 200, r.text
    body = {
        "scenes": [{"caption": text, "background": {"background_id": ids[i % 2]}}
                   for i, text in enumerate(SCENES)],
        "bg_music_id": r.json()["id"],
        "tts_engine": "edge",
        "edge_voice_name": "de-DE-KatjaNeural",
        "whisper_model": "tiny",
        "language": "de",
        "davinci_project_name": PROJECT,
    }
    r = client.post("/brevano/generate", json=body)
    assert r.status_code == 200, r.text
    assert _wait_for_end(client) == {"status": "done", "error": None}
    timeline = resolve.GetProjectManager().GetCurrentProject().GetCurrentTimeline()
    yield client, resolve, timeline
    lumora.set_resolve(previous)
    endpoints.set_status(endpoints.BrevanoStatus.IDLE)


def _styled_text(item):
    comp = item.GetFusionCompByIndex(1)
    tool = comp.FindTool("Template") if comp else None
    return tool.GetInput("StyledText") if tool else None


def _sim_tracks(timeline):
    """{kind: [[(name, record start, duration, source start in timeline frames), ...], ...]}"""
    first = timeline.GetStartFrame()
    fps = float(timeline.GetSetting("timelineFrameRate"))
    out = {}
    for kind in ("video", "audio"):
        tracks = []
        for i in range(1, timeline.GetTrackCount(kind) + 1):
            track = []
            for item in timeline.GetItemListInTrack(kind, i):
                clip_fps = float(item.GetMediaPoolItem().GetClipProperty("FPS"))
                source = round(item.GetLeftOffset() * fps / clip_fps)
                track.append((item.GetName(), item.GetStart() - first, item.GetDuration(), source))
            tracks.append(track)
        out[kind] = tracks
    return out


def _otio_tracks(tl, keep_empty=True):
    out = {"video": [], "audio": []}
    for track in tl.tracks:
        kind = "video" if track.kind == otio.schema.TrackKind.Video else "audio"
        clips = [(c.name, c.range_in_parent().start_time.to_frames(),
                  c.range_in_parent().duration.to_frames(), c.source_range.start_time.to_frames())
                 for c in track if isinstance(c, otio.schema.Clip)]
        if clips or keep_empty:
            out[kind].append(clips)
    return out


def _png_size_and_alpha(path):
    head = Path(path).read_bytes()[:26]
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    width, height = struct.unpack(">II", head[16:24])
    return width, height, head[25] == 6  # colour type 6: RGBA


FORMATS = {
    "otio": ("EXPORT_OTIO", "otio_json", "otio"),
    "fcpxml": ("EXPORT_FCPXML_1_8", "fcpx_xml", "fcpxml"),
    "fcp7xml": ("EXPORT_FCP_7_XML", "fcp_xml", "xml"),
}


@pytest.mark.parametrize("fmt", list(FORMATS))
def test_export_reads_back_item_for_item(short, tmp_path, fmt):
    _, resolve, timeline = short
    constant, adapter, ext = FORMATS[fmt]
    path = tmp_path / f"short.{ext}"
    assert timeline.Export(str(path), getattr(resolve, constant), resolve.EXPORT_NONE) is True
    back = otio.adapters.read_from_file(str(path), adapter_name=adapter)

    sim = _sim_tracks(timeline)
    # FCPXML keeps lanes with something on them only; the others keep every track.
    got = _otio_tracks(back, keep_empty=fmt != "fcpxml")
    if fmt == "fcpxml":
        sim = {k: [t for t in v if t] for k, v in sim.items()}
    assert got == sim
    assert all(_sim_tracks(timeline)["video"][i] for i in range(5))  # nothing left out

    # Footage is referred to by its absolute path; titles and fades by files made for them.
    urls = {c.name: otio.url_utils.filepath_from_url(c.media_reference.target_url)
            for c in back.find_clips()}
    for item in timeline.GetItemListInTrack("video", 1) + timeline.GetItemListInTrack("audio", 1):
        assert os.path.isabs(urls[item.GetName()])
        assert os.path.samefile(urls[item.GetName()], item.GetMediaPoolItem().GetClipProperty(
            "File Path"))
    titles = Path(str(path)[:-len(ext) - 1] + "_titles")
    caption_png = urls["Caption"]
    assert Path(caption_png).parent == titles
    assert _png_size_and_alpha(caption_png) == (1080, 1920, True)
    fade = next(v for k, v in urls.items() if k.startswith("Fade"))
    assert fade.endswith(".mov") and os.path.getsize(fade) > 0


def test_otio_keeps_timeline_settings_and_title_texts(short, tmp_path):
    _, resolve, timeline = short
    path = tmp_path / "short.otio"
    assert timeline.Export(str(path), resolve.EXPORT_OTIO)  # the subtype is optional here
    tl = otio.adapters.read_from_file(str(path))
    assert tl.name == "Timeline 1"
    assert tl.global_start_time == otio.opentime.RationalTime(timeline.GetStartFrame(), 30)
    assert dict(tl.metadata["vestrel"]) == {"width": 1080, "height": 1920, "frame_rate": "30"}
    assert [t.name for t in tl.tracks] == [f"Video {i}" for i in range(1, 6)] + ["Audio 1",
                                                                                  "Audio 2"]
    # Gaps where nothing is placed: every track spans from the timeline's start.
    captions = tl.tracks[2]
    first_item = timeline.GetItemListInTrack("video", 3)[0]
    if first_item.GetStart() > timeline.GetStartFrame():
        assert isinstance(captions[0], otio.schema.Gap)
    for kind, index, template in (("video", 3, "Caption"), ("video", 4, "Counter"),
                                  ("video", 5, "Watermark")):
        items = timeline.GetItemListInTrack(kind, index)
        clips = [c for c in tl.tracks[index - 1] if isinstance(c, otio.schema.Clip)]
        assert [(c.metadata["vestrel"]["template"], c.metadata["vestrel"]["text"]) for c in clips] \
            == [(template, _styled_text(i)) for i in items]
    fades = [c for c in tl.tracks[1] if isinstance(c, otio.schema.Clip)]
    assert {c.metadata["vestrel"]["kind"] for c in fades} == {"fade"}
    assert [(c.metadata["vestrel"]["start_alpha"], c.metadata["vestrel"]["end_alpha"])
            for c in fades if c.name.startswith("FadeIn")][0] == (1.0, 0.0)


@pytest.mark.slow
def test_fcp_formats_carry_the_vertical_frame(short, tmp_path):
    _, resolve, timeline = short
    fcpxml, fcp7 = tmp_path / "a.fcpxml", tmp_path / "b.xml"
    assert timeline.Export(str(fcpxml), resolve.EXPORT_FCPXML_1_8, resolve.EXPORT_NONE)
    assert timeline.Export(str(fcp7), resolve.EXPORT_FCP_7_XML, resolve.EXPORT_NONE)
    text = fcpxml.read_text()
    assert '<fcpxml version="1.8">' in text
    assert re.search(r'<format [^>]*width="1080" height="1920"', text)
    sequence = re.search(r"<sequence.*?</sequence>", fcp7.read_text(), re.S).group(0)
    assert "<width>1080</width>" in sequence and "<height>1920</height>" in sequence


def test_edl_holds_the_backgrounds_and_the_voice(short, tmp_path):
    _, resolve, timeline = short
    path = tmp_path / "short.edl"
    assert timeline.Export(str(path), resolve.EXPORT_EDL, resolve.EXPORT_NONE) is True
    back = otio.adapters.read_from_file(str(path), adapter_name="cmx_3600", rate=30)
    sim = _sim_tracks(timeline)
    got = _otio_tracks(back)
    assert got["video"] == [sim["video"][0]]
    assert got["audio"] == [sim["audio"][0]]
    numbers = [int(line[:3]) for line in path.read_text().splitlines() if line[:3].isdigit()]
    assert numbers == list(range(1, len(numbers) + 1)) == [1, 2, 3, 4]


@pytest.mark.parametrize("constant,subtype", [
    ("EXPORT_FCPXML_1_10", "EXPORT_NONE"),
    ("EXPORT_FCPXML_1_9", "EXPORT_NONE"),
    ("EXPORT_AAF", "EXPORT_AAF_NEW"),
    ("EXPORT_EDL", None),            # an EDL needs its subtype
    ("EXPORT_EDL", "EXPORT_CDL"),
    ("EXPORT_TEXT_CSV", "EXPORT_NONE"),
])
def test_exports_the_simulator_does_not_write_answer_false(short, tmp_path, constant, subtype):
    _, resolve, timeline = short
    path = tmp_path / "out.file"
    args = [str(path), getattr(resolve, constant)]
    if subtype:
        args.append(getattr(resolve, subtype))
    assert timeline.Export(*args) is False
    assert not path.exists()


def test_export_into_a_missing_folder_answers_false(short, tmp_path):
    _, resolve, timeline = short
    target = tmp_path / "missing" / "short.otio"
    assert timeline.Export(str(target), resolve.EXPORT_OTIO, resolve.EXPORT_NONE) is False
    assert not (tmp_path / "missing").exists()
    assert timeline.Export(12, resolve.EXPORT_OTIO, resolve.EXPORT_NONE) is False


def test_constants_are_distinct_and_on_the_scripting_object(short):
    _, resolve, _ = short
    types = [n for n in dir(resolve) if n.startswith("EXPORT_") and n not in (
        "EXPORT_NONE", "EXPORT_AAF_NEW", "EXPORT_AAF_EXISTING", "EXPORT_CDL", "EXPORT_SDL",
        "EXPORT_MISSING_CLIPS")]
    assert {"EXPORT_OTIO", "EXPORT_FCPXML_1_8", "EXPORT_FCPXML_1_10", "EXPORT_FCP_7_XML",
            "EXPORT_EDL", "EXPORT_DRT"} <= set(types)
    assert len({getattr(resolve, n) for n in types}) == len(types)
    assert resolve_sim.scriptapp("Resolve").EXPORT_OTIO == resolve.EXPORT_OTIO


def _srt_cues(text, fps):
    cues = []
    for block in text.strip().split("\n\n"):
        lines = block.split("\n")
        start, end = lines[1].split(" --> ")

        def frame(t):
            h, m, rest = t.split(":")
            s, ms = rest.split(",")
            return round(((int(h) * 60 + int(m)) * 60 + int(s) + int(ms) / 1000) * fps)

        cues.append((int(lines[0]), frame(start), frame(end), "\n".join(lines[2:])))
    return cues


def test_subtitles_hold_one_cue_per_caption_to_the_frame(short, tmp_path):
    _, _, timeline = short
    first = timeline.GetStartFrame()
    captions = [(i.GetStart() - first, i.GetEnd() - first, _styled_text(i))
                for i in timeline.GetItemListInTrack("video", 3)]
    assert len(captions) >= 3
    srt = studio.export_timeline("srt", str(tmp_path), "untertitel")
    assert srt == str(tmp_path / "untertitel.srt")
    cues = _srt_cues(Path(srt).read_text(encoding="utf-8"), 30)
    assert cues == [(n, s, e, t) for n, (s, e, t) in enumerate(captions, 1)]

    ass = Path(studio.export_timeline("ass", str(tmp_path), "untertitel")).read_text()
    dialogue = [line for line in ass.splitlines() if line.startswith("Dialogue:")]
    assert [line.split("}", 1)[1] for line in dialogue] == [c[2] for c in captions]
    assert "PlayResX: 1080\nPlayResY: 1920" in ass and ",Open Sans," in ass


def test_timeline_route_lists_exactly_the_simulators_items(short):
    client, _, timeline = short
    r = client.get("/studio/timeline")
    assert r.status_code == 200, r.text
    body = r.json()
    assert {k: body[k] for k in ("project", "timeline", "fps", "start_frame", "width", "height")} \
        == {"project": PROJECT, "timeline": "Timeline 1", "fps": 30.0,
            "start_frame": timeline.GetStartFrame(), "width": 1080, "height": 1920}
    expected = {}
    for kind in ("video", "audio"):
        expected[kind] = []
        for i in range(1, timeline.GetTrackCount(kind) + 1):
            track = []
            for item in timeline.GetItemListInTrack(kind, i):
                d = {"name": item.GetName(), "start": item.GetStart(), "end": item.GetEnd(),
                     "source_start": item.GetLeftOffset()}
                if kind == "video" and i >= 3:
                    d["text"] = _styled_text(item)
                track.append(d)
            expected[kind].append(track)
    assert body["tracks"] == expected
    assert [len(t) for t in expected["audio"]] == [1, 1]


@pytest.mark.parametrize("fmt,name", [
    ("otio", "export_short.otioz"),
    ("fcpxml", "export_short.fcpxml.zip"),
    ("fcp7xml", "export_short.xml.zip"),
    ("edl", "export_short.edl"),
    ("srt", "export_short.srt"),
    ("ass", "export_short.ass"),
])
def test_export_route_writes_the_download(short, tmp_path, fmt, name):
    client, _, timeline = short
    r = client.post("/studio/export", json={"format": fmt})
    assert r.status_code == 200, r.text
    assert r.json() == {"path": f"/media/{name}", "format": fmt}
    download = tmp_path / name
    download.write_bytes(client.get(f"/media/{name}").content)
    assert download.stat().st_size > 0
    captions = len(timeline.GetItemListInTrack("video", 3))
    if fmt == "otio":
        with zipfile.ZipFile(download) as z:
            names = set(z.namelist())
            assert {"content.otio", "version.txt"} <= names
            pictures = {n for n in names if n.startswith("media/")}
            # Title pictures (one per caption text at most) and fade clips, nothing else.
            assert pictures and all(n.endswith((".png", ".mov")) for n in pictures)
        tl = otio.adapters.read_from_file(str(download))
        for clip in tl.find_clips():
            url = clip.media_reference.target_url
            kind = clip.metadata["vestrel"]["kind"]
            if kind in ("title", "fade"):
                assert url.startswith("media/") and url in names
            else:
                assert os.path.isfile(otio.url_utils.filepath_from_url(url))
    elif fmt in ("fcpxml", "fcp7xml"):
        with zipfile.ZipFile(download) as z:
            names = z.namelist()
        xml = "export_short.fcpxml" if fmt == "fcpxml" else "export_short.xml"
        assert names[0] == xml
        assert sum(n.endswith(".png") for n in names) >= 3
        assert all(n.startswith("export_short_titles/") for n in names[1:])
    elif fmt == "srt":
        assert len(_srt_cues(download.read_text(encoding="utf-8"), 30)) == captions


def test_export_route_refusals(short, monkeypatch):
    client, _, _ = short
    r = client.post("/studio/export", json={"format": "aaf"})
    assert r.status_code == 400
    assert r.json()["detail"] == ("Unknown export format 'aaf': known formats are otio, fcpxml, "
                                  "fcp7xml, edl, srt, ass")
    for bad in ("../x", ".hidden", "bg_0123abcd", "a/b"):
        r = client.post("/studio/export", json={"format": "srt", "filename": bad})
        assert r.status_code == 400 and r.json()["detail"].startswith(f"Invalid file name '{bad}'")
    r = client.post("/studio/export", json={"format": "srt", "filename": "mein_short"})
    assert r.json() == {"path": "/media/mein_short.srt", "format": "srt"}
    assert client.post("/studio/export", json={}).status_code == 422

    monkeypatch.setattr(endpoints, "_status", endpoints.BrevanoStatus.GENERATING)
    r = client.post("/studio/export", json={"format": "srt"})
    assert (r.status_code, r.json()) == (409, {"detail": "A generation is running"})


def test_routes_without_project_or_timeline_answer_400(short):
    client, resolve, _ = short
    empty = resolve_sim.Resolve()
    lumora.set_resolve(empty)
    try:
        for call in (lambda: client.get("/studio/timeline"),
                     lambda: client.post("/studio/export", json={"format": "otio"})):
            r = call()
            assert (r.status_code, r.json()) == (400, {"detail": "No current project loaded"})
        empty.GetProjectManager().CreateProject("leer")
        r = client.get("/studio/timeline")
        assert (r.status_code, r.json()) == (
            400, {"detail": "No timeline is open in project 'leer'"})
    finally:
        lumora.set_resolve(resolve)


def test_generate_command_refuses_an_unknown_export_format(tmp_path):
    request = tmp_path / "request.json"
    request.write_text(json.dumps({"scenes": [{"caption": "Hallo.", "background": {
        "file": "x.mp4"}}]}))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(FAKES), env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, "-m", "vestrel", "generate", str(request), "-o",
                           str(tmp_path / "s.mp4"), "--export", "otio,pdf"],
                          env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2
    assert "Unknown export format 'pdf': known formats are otio, fcpxml" in proc.stderr


@pytest.mark.slow
def test_generate_command_writes_the_exports_beside_the_video(tmp_path):
    folder = tmp_path / "req"
    folder.mkdir()
    make_video(folder / "wald.mp4", rate="25", seconds=6.0, size="108x192")
    request = folder / "request.json"
    request.write_text(json.dumps({
        "scenes": [{"caption": "Hallo und willkommen. ", "background": {"file": "wald.mp4"}},
                   {"caption": "Bis bald.", "background": {"file": "wald.mp4"}}],
        "tts_engine": "edge", "whisper_model": "tiny", "davinci_project_name": "cli_export"}))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(FAKES), env.get("PYTHONPATH", "")])
    env["XDG_DATA_HOME"] = str(tmp_path / "data")
    env["XDG_CACHE_HOME"] = str(tmp_path / "cache")
    out = tmp_path / "out" / "clip.mp4"
    proc = subprocess.run([sys.executable, "-m", "vestrel", "generate", str(request), "-o",
                           str(out), "--resolve", "sim", "--export", "otio,fcpxml,srt"],
                          env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{out}\n"
    for name in ("clip.otio", "clip.fcpxml", "clip.srt"):
        assert f"Exported {name.split('.')[1]}: {out.parent / name}" in proc.stderr
    tl = otio.adapters.read_from_file(str(out.parent / "clip.otio"))
    captions = [c for c in tl.tracks[2] if isinstance(c, otio.schema.Clip)]
    cues = _srt_cues((out.parent / "clip.srt").read_text(encoding="utf-8"), 30)
    assert [c.metadata["vestrel"]["text"] for c in captions] == [c[3] for c in cues]
    assert [(c.range_in_parent().start_time.to_frames(),
             c.range_in_parent().end_time_exclusive().to_frames()) for c in captions] \
        == [(c[1], c[2]) for c in cues]
    for clip in captions:
        assert (out.parent / "clip_titles").samefile(
            Path(otio.url_utils.filepath_from_url(clip.media_reference.target_url)).parent)
