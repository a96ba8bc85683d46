"""Renders of the Resolve simulator: the file, its frames and sound, and how renders fail.

Timelines are built with the simulator's own calls on the built-in template (1080x1920 at
30 fps) and rendered at a fifth of that size (same shape, so the titles scale with it).
Backgrounds are solid colours, so a frame tells which scene it shows; titles are found by
their colours in the rows where the template puts them.
"""

import json
import os
import signal
import subprocess
import time

import pytest

import vestrel
from vestrel import resolve_sim

TEMPLATES = os.path.join(os.path.dirname(vestrel.__file__), "templates")
W, H = 216, 384
CAPTION_ROWS = (205, 255)   # "Caption": centre 0.4 of the height from the bottom
COUNTER_ROWS = (75, 140)    # "Counter": centre 0.72
WATERMARK_ROWS = (345, 370)  # "Watermark": centre 0.07
PLAIN_ROWS = (150, 190)     # no title there


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True, capture_output=True,
                   timeout=120)


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    d = tmp_path_factory.mktemp("render-media")
    files = {"red": d / "red.mp4", "blue": d / "blue.mp4", "voice": d / "voice.mp3",
             "music": d / "music.mp3", "long": d / "long.mp4"}
    # a landscape red at 25 fps and a portrait blue at 30 fps: both cover the frame
    _ffmpeg("-f", "lavfi", "-i", "color=c=red:s=320x240:r=25:d=4", "-pix_fmt", "yuv420p",
            str(files["red"]))
    _ffmpeg("-f", "lavfi", "-i", "color=c=blue:s=240x320:r=30:d=4", "-pix_fmt", "yuv420p",
            str(files["blue"]))
    _ffmpeg("-f", "lavfi", "-i", "sine=frequency=220:duration=4", str(files["voice"]))
    _ffmpeg("-f", "lavfi", "-i", "sine=frequency=660:duration=6", str(files["music"]))
    _ffmpeg("-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=12", "-pix_fmt", "yuv420p",
            str(files["long"]))
    return {k: str(v) for k, v in files.items()}


def _project(template="tolvane.drp"):
    pm = resolve_sim.Resolve().GetProjectManager()
    assert pm.ImportProject(os.path.join(TEMPLATES, template), "short")
    return pm.LoadProject("short")


def _clip(project, name):
    for c in project.GetMediaPool().GetRootFolder().GetClipList():
        if c.GetName() == name:
            return c
    (c,) = project.GetMediaPool().ImportMedia([name])
    return c


def _place(project, name, record, frames, track, media_type=0):
    """`frames` counted in the clip's own rate, `record` from the timeline's first frame."""
    tl = project.GetCurrentTimeline()
    items = project.GetMediaPool().AppendToTimeline([{
        "mediaPoolItem": _clip(project, name), "startFrame": 0, "endFrame": frames - 1,
        "recordFrame": tl.GetStartFrame() + record, "trackIndex": track, "mediaType": media_type}])
    assert items, (name, record, frames, track)
    return items[0]


def _title(project, name, text, record, frames, track):
    item = _place(project, name, record, frames, track)
    item.GetFusionCompByIndex(1).FindTool("Template").SetInput("StyledText", text, 0)
    return item


def _short(project, media):
    """Two scenes (red 0-60, blue 60-90), fades, a caption, a counter, the watermark, voice
    and music."""
    _place(project, media["red"], 0, 50, 1, 1)    # 50 frames at 25 fps: 60 timeline frames
    _place(project, media["blue"], 60, 30, 1, 1)
    _place(project, "FadeIn_500ms", 0, 15, 2)
    _place(project, "FadeOut_500ms", 40, 15, 2)  # ends 5 frames before scene 2
    _title(project, "Caption", "Hallo Welt", 20, 15, 3)
    _title(project, "Counter", "2", 60, 30, 4)
    _title(project, "Watermark", "@YourChannel", 0, 90, 5)
    _place(project, media["voice"], 0, 90, 1, 2)
    _place(project, media["music"], 0, 90, 2, 2)


def _render(project, target, name="short", start=True, **settings):
    assert project.SetRenderSettings({"TargetDir": str(target), "CustomName": name,
                                      "FormatWidth": W, "FormatHeight": H, **settings})
    job = project.AddRenderJob()
    assert job
    if start:
        assert project.StartRendering(job)
        _wait(project)
    return job


def _wait(project, timeout=120):
    deadline = time.monotonic() + timeout
    while project.IsRenderingInProgress():
        assert time.monotonic() < deadline, "render did not end"
        time.sleep(0.05)


def _probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of",
                          "json", str(path)], check=True, capture_output=True, timeout=60).stdout
    return json.loads(out)


def _frames(path, size=(W, H)):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, capture_output=True,
                         timeout=60).stdout
    n = size[0] * size[1] * 3
    assert len(raw) % n == 0
    return [raw[i:i + n] for i in range(0, len(raw), n)]


def _pixels(frame, rows):
    for y in range(*rows):
        row = frame[y * W * 3:(y + 1) * W * 3]
        for x in range(0, W * 3, 3):
            yield row[x], row[x + 1], row[x + 2]


def _count(frame, rows, test):
    return sum(1 for p in _pixels(frame, rows) if test(*p))


def _mean(frame, rows):
    pix = list(_pixels(frame, rows))
    return tuple(sum(p[i] for p in pix) / len(pix) for i in range(3))


def _white(r, g, b):
    return min(r, g, b) > 200


def _yellow(r, g, b):
    return r > 180 and g > 140 and b < 90


def _files(folder):
    return sorted(os.listdir(folder))


def test_render_of_a_short_is_the_timeline_frame_for_frame(media, tmp_path):
    project = _project()
    _short(project, media)
    job = _render(project, tmp_path)
    assert project.GetRenderJobStatus(job) == {"JobStatus": "Complete", "CompletionPercentage": 100}
    assert _files(tmp_path) == ["short.mp4"]
    out = tmp_path / "short.mp4"

    info = _probe(out)
    video = next(s for s in info["streams"] if s["codec_type"] == "video")
    audio = next(s for s in info["streams"] if s["codec_type"] == "audio")
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", W, H)
    assert video["r_frame_rate"] == "30/1" and int(video["nb_frames"]) == 90
    assert audio["codec_name"] == "aac"
    assert abs(float(info["format"]["duration"]) - 3.0) < 1 / 30
    with open(out, "rb") as f:  # faststart: the index comes before the media data
        head = f.read(4096)
    assert 0 <= head.find(b"moov") < max(head.find(b"mdat"), 4096)

    frames = _frames(out)
    assert len(frames) == 90
    # The caption is on screen exactly over its item's frames 20..34.
    shown = [i for i in range(10, 45) if _count(frames[i], CAPTION_ROWS, _white) > 20]
    assert shown == list(range(20, 35))
    assert all(_count(frames[i], CAPTION_ROWS, _white) == 0 for i in (19, 35))
    # The counter appears with scene 2, the watermark from the first frame (over the black).
    assert [i for i in range(50, 90) if _count(frames[i], COUNTER_ROWS, _yellow) > 20] == \
        list(range(60, 90))
    assert _count(frames[0], WATERMARK_ROWS, lambda r, g, b: min(r, g, b) > 100) > 5
    # Fades: black at the start clearing to red; darker again while fading out.
    red = [_mean(frames[i], PLAIN_ROWS)[0] for i in range(0, 60)]
    assert red[0] < 10 and red[20] > 200
    assert all(a < b for a, b in zip(red[:15], red[1:15]))  # clearing, frame by frame
    assert red[47] < red[39] - 60 and red[54] < 40 and red[55] > 200
    # Scene 2's background appears at its record frame.
    r59, _, b59 = _mean(frames[59], PLAIN_ROWS)
    r60, _, b60 = _mean(frames[60], PLAIN_ROWS)
    assert r59 > 200 and b59 < 40 and b60 > 200 and r60 < 40

    # Voice and music are heard.
    level = subprocess.run(["ffmpeg", "-i", str(out), "-af", "volumedetect", "-vn", "-f", "null",
                            "-"], capture_output=True, text=True, timeout=60).stderr
    mean_db = float(level.split("mean_volume:")[1].split("dB")[0])
    assert mean_db > -30


def test_a_render_keeps_the_timeline_it_started_with(media, tmp_path):
    project = _project()
    _place(project, media["red"], 0, 25, 1, 1)  # 30 frames
    job = _render(project, tmp_path, start=False)
    assert project.StartRendering(job)
    # A new generation fills the timeline meanwhile: the running render does not see it.
    _title(project, "Caption", "Später", 0, 30, 3)
    _place(project, media["blue"], 30, 30, 1, 1)
    _wait(project)
    assert project.GetRenderJobStatus(job)["JobStatus"] == "Complete"
    frames = _frames(tmp_path / "short.mp4")
    assert len(frames) == 30
    assert _count(frames[10], CAPTION_ROWS, _white) == 0


def test_relative_names_are_taken_from_where_the_render_started(media, tmp_path, monkeypatch):
    (tmp_path / "src").mkdir()
    (tmp_path / "out").mkdir()
    with open(media["red"], "rb") as f:
        (tmp_path / "src" / "red.mp4").write_bytes(f.read())
    monkeypatch.chdir(tmp_path)
    project = _project()
    _place(project, os.path.join("src", "red.mp4"), 0, 25, 1, 1)
    job = _render(project, "out")
    assert project.GetRenderJobStatus(job)["JobStatus"] == "Complete"
    assert _files(tmp_path / "out") == ["short.mp4"]


def _garbage(path):
    with open(path, "wb") as f:
        f.write(b"\x00not a video any more" * 100)


@pytest.mark.parametrize("case, error", [
    ("empty", "Nothing to render: timeline 'Timeline 1' is empty"),
    ("preset", "Unknown render preset: H.264 Mastr"),
    ("target", "Render target folder does not exist: {target}"),
    ("unset", "No render target folder is set (TargetDir)"),
    ("source", "Source file not found: {source}"),
    ("font", "Title font not installed: Montserrat ExtraBold"),
    ("ffmpeg", "ffmpeg failed (exit status "),
])
def test_failed_renders_say_why_and_leave_no_file(media, tmp_path, case, error):
    project = _project()
    source = tmp_path / "clip.mp4"
    target = tmp_path / "out"
    target.mkdir()
    if case != "empty":
        with open(media["red"], "rb") as f:
            source.write_bytes(f.read())
        _place(project, str(source), 0, 25, 1, 1)
        caption = _title(project, "Caption", "Hallo", 0, 30, 3)
    if case == "preset":
        assert project.LoadRenderPreset("H.264 Master")
        assert project.LoadRenderPreset("H.264 Mastr") is False
    if case == "font":
        caption.GetFusionCompByIndex(1).FindTool("Template").SetInput("Font", "Montserrat")
    if case == "source":
        source.unlink()
    if case == "ffmpeg":
        _garbage(source)
    folder = {"target": tmp_path / "missing", "unset": ""}.get(case, target)
    job = _render(project, folder)
    status = project.GetRenderJobStatus(job)
    assert status["JobStatus"] == "Failed"
    assert status["Error"].startswith(error.format(target=folder, source=source)), status
    assert _files(target) == []
    assert not project.IsRenderingInProgress()


def _ffmpeg_children():
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)
            if fields[0].endswith("(ffmpeg") and int(fields[1].split()[1]) == os.getpid():
                pids.append(int(entry))
        except OSError:
            continue
    return pids


@pytest.mark.parametrize("how", ["stop", "kill"])
def test_a_stopped_or_killed_render_leaves_no_file(media, tmp_path, how):
    project = _project()
    _place(project, media["long"], 0, 360, 1, 1)  # 12 s at full size: a few seconds' work
    assert project.SetRenderSettings({"TargetDir": str(tmp_path), "CustomName": "long"})
    job = project.AddRenderJob()
    assert project.StartRendering(job)
    assert project.IsRenderingInProgress()
    assert project.StartRendering() is False  # one render at a time
    assert project.DeleteRenderJob(job) is False  # not while it renders
    seen = []
    deadline = time.monotonic() + 60
    while len(set(seen)) < 3 or seen[-1] == 0:
        status = project.GetRenderJobStatus(job)
        assert status["JobStatus"] == "Rendering" and time.monotonic() < deadline, status
        seen.append(status["CompletionPercentage"])
        time.sleep(0.02)
    assert seen == sorted(seen) and 0 < seen[-1] < 100  # it moves, and only forwards
    if how == "stop":
        project.StopRendering()
        assert project.GetRenderJobStatus(job)["JobStatus"] == "Cancelled"
        assert not project.IsRenderingInProgress()
    else:
        (pid,) = _ffmpeg_children()
        os.kill(pid, signal.SIGKILL)
        _wait(project)
        status = project.GetRenderJobStatus(job)
        assert (status["JobStatus"], status["Error"]) == ("Failed", "ffmpeg was killed by signal 9")
    assert _files(tmp_path) == []
    assert project.DeleteRenderJob(job) is True
    assert project.GetRenderJobStatus(job) == {} and project.GetRenderJobList() == []


def test_render_settings_and_formats():
    project = _project()
    assert project.SetCurrentRenderFormatAndCodec("mp4", "H264")
    assert project.GetCurrentRenderFormatAndCodec() == {"format": "mp4", "codec": "H264"}
    assert project.SetCurrentRenderFormatAndCodec("mov", "ProRes422") is False
    for bad in ({"FormatWidth": 215}, {"FormatWidth": "216"}, {"FormatHeight": 0},
                {"VideoQuality": "great"}, {"VideoQuality": -1}):
        assert project.SetRenderSettings(bad) is False, bad
    assert project.SetRenderSettings({"VideoQuality": "High", "FormatWidth": 540,
                                      "FormatHeight": 960, "TargetDir": "/tmp"})
    assert project.LoadRenderPreset("TikTok - 1080p")
    job = project.AddRenderJob()
    (entry,) = project.GetRenderJobList()
    assert entry["JobId"] == job and entry["PresetName"] == "TikTok - 1080p"
    assert (entry["FormatWidth"], entry["FormatHeight"]) == (1080, 1920)
    assert (entry["VideoFormat"], entry["VideoCodec"]) == ("mp4", "H264")


@pytest.mark.parametrize("template, font", [("tolvane.drp", "Open Sans"),
                                            ("tolvane_modern_fonts.drp", "Roboto")])
def test_one_title_drawn_to_a_transparent_png(tmp_path, template, font):
    project = _project(template)
    item = _title(project, "Caption", "Hallo Welt", 0, 30, 3)
    assert item.GetFusionCompByIndex(1).FindTool("Template").GetInput("Font") == font
    png = tmp_path / "caption.png"
    resolve_sim.render_title_png(project.GetCurrentTimeline(), item, str(png))
    stream = _probe(png)["streams"][0]
    assert (stream["width"], stream["height"]) == (1080, 1920)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(png), "-f", "rawvideo", "-pix_fmt",
                          "rgba", "-"], check=True, capture_output=True, timeout=60).stdout
    alpha = raw[3::4]
    rows = [alpha[y * 1080:(y + 1) * 1080] for y in range(1920)]
    opaque = [y for y, row in enumerate(rows) if max(row) == 255]
    assert alpha[0] == 0 and opaque  # transparent around opaque letters
    # the text sits where the template centres it (0.4 of the height from the bottom)
    assert abs((opaque[0] + opaque[-1]) / 2 - 0.6 * 1920) < 40
    # 90-110 px caption text: its letters with their outline span about that height
    assert 80 < opaque[-1] - opaque[0] < 160

    item.GetFusionCompByIndex(1).FindTool("Template").SetInput("Font", "Montserrat")
    with pytest.raises(RuntimeError, match="Title font not installed: Montserrat"):
        resolve_sim.render_title_png(project.GetCurrentTimeline(), item, str(tmp_path / "x.png"))


def test_fonts_config_puts_noto_first_for_missing_characters():
    conf = os.path.join(os.path.dirname(vestrel.__file__), "fonts", "fonts.conf")
    family = subprocess.run(["fc-match", "-f", "%{family[0]}", "sans-serif"], check=True,
                            capture_output=True, text=True, timeout=60,
                            env={**os.environ, "FONTCONFIG_FILE": conf}).stdout
    assert family == "Noto Sans"


def test_leaving_the_process_mid_render_leaves_no_file(media, tmp_path):
    from conftest import run_python

    code = f"""
import os, sys, time
sys.path.insert(0, {os.path.dirname(__file__)!r})
import test_render as t
project = t._project()
t._place(project, {media["long"]!r}, 0, 360, 1, 1)
project.SetRenderSettings({{"TargetDir": {str(tmp_path)!r}, "CustomName": "long"}})
job = project.AddRenderJob()
project.StartRendering(job)
while project.GetRenderJobStatus(job)["CompletionPercentage"] == 0:
    time.sleep(0.02)
print(len(os.listdir({str(tmp_path)!r})))
"""
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "1"  # the temporary file, while it rendered
    time.sleep(0.2)
    assert _files(tmp_path) == []
    assert not _processes_mentioning(str(tmp_path))  # its encoder went with it


def _processes_mentioning(text):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(entry)
        except OSError:
            continue
    return found
