"""The Resolve simulator's own rules, its templates, and the host's choice of Resolve."""

import json
import os
import zipfile

import pytest

import vestrel
from vestrel import resolve_sim
from vestrel import __main__ as host

TEMPLATES = os.path.join(os.path.dirname(vestrel.__file__), "templates")
FADES = ["FadeIn_200ms", "FadeIn_500ms", "FadeIn_1000ms",
         "FadeOut_200ms", "FadeOut_500ms", "FadeOut_1000ms"]


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    from sim_media import make_audio, make_video

    d = tmp_path_factory.mktemp("sim-media")
    return {"v25": make_video(d / "v25.mp4", rate="25", seconds=2.0),
            "ntsc": make_video(d / "ntsc.mov", rate="30000/1001", seconds=1.0, audio=False),
            "v24": make_video(d / "v24.mp4", rate="24", seconds=1.0, audio=False),
            "mp3": make_audio(d / "music.mp3", seconds=2.0)}


@pytest.fixture
def pm():
    return resolve_sim.Resolve().GetProjectManager()


@pytest.fixture
def project(pm):
    """The built-in template imported and opened."""
    assert pm.ImportProject(os.path.join(TEMPLATES, "tolvane.drp"), "short")
    return pm.LoadProject("short")


def names(items):
    return [i.GetName() for i in items]


# ---- projects ---------------------------------------------------------------------------------


def test_projects_by_name(pm):
    assert pm.GetCurrentProject() is None
    a = pm.CreateProject("a")
    assert a.GetName() == "a" and pm.GetCurrentProject() == a
    assert pm.CreateProject("a") is None  # an existing name is refused
    b = pm.CreateProject("b")
    assert pm.GetCurrentProject() == b
    assert pm.LoadProject("missing") is None and pm.GetCurrentProject() == b
    assert pm.LoadProject("a") == a
    assert not pm.DeleteProject("a")  # open: not deleted
    assert pm.CloseProject(a) and pm.GetCurrentProject() is None
    assert pm.DeleteProject("a") and not pm.DeleteProject("a")
    assert pm.GetProjectListInCurrentFolder() == ["b"]
    assert pm.CreateProject("a") is not None  # the name is free again


def test_import_project_only_of_template_files(pm, tmp_path):
    not_json = tmp_path / "export.drp"
    with zipfile.ZipFile(not_json, "w") as z:
        z.writestr("project.xml", "<project/>")
    other_json = tmp_path / "other.drp"
    other_json.write_text(json.dumps({"format": "something else", "version": 1}))
    bad_version = tmp_path / "v2.drp"
    bad_version.write_text(json.dumps({"format": resolve_sim.TEMPLATE_FORMAT, "version": 2}))
    bad_clip = tmp_path / "clip.drp"
    bad_clip.write_text(json.dumps({"format": resolve_sim.TEMPLATE_FORMAT, "version": 1,
                                    "mediaPool": [{"name": "x", "type": "video"}]}))
    for path in (not_json, other_json, bad_version, bad_clip, tmp_path / "missing.drp", tmp_path):
        assert pm.ImportProject(str(path), "p") is False
    minimal = tmp_path / "minimal.drp"
    minimal.write_text(json.dumps({"format": resolve_sim.TEMPLATE_FORMAT, "version": 1}))
    assert pm.ImportProject(str(minimal), "p") is True
    assert pm.ImportProject(str(minimal), "p") is False  # the name is taken now
    assert pm.GetCurrentProject() is None  # importing does not open
    assert pm.LoadProject("p").GetTimelineCount() == 0


@pytest.mark.parametrize("template, font", [("tolvane.drp", "Open Sans"),
                                            ("tolvane_modern_fonts.drp", "Roboto")])
def test_builtin_templates(pm, template, font):
    assert pm.ImportProject(os.path.join(TEMPLATES, template), "t")
    p = pm.LoadProject("t")
    assert p.GetTimelineCount() == 1
    tl = p.GetTimelineByIndex(1)
    assert tl == p.GetCurrentTimeline() and tl.GetName() == "Timeline 1"
    assert tl.GetSetting("timelineFrameRate") == "30"
    assert (tl.GetSetting("timelineResolutionWidth"), tl.GetSetting("timelineResolutionHeight")) == ("1080", "1920")
    assert tl.GetStartFrame() == 108000 == tl.GetEndFrame()
    assert (tl.GetTrackCount("video"), tl.GetTrackCount("audio")) == (5, 2)
    clips = p.GetMediaPool().GetRootFolder().GetClipList()
    assert names(clips) == ["Caption", "Counter", "Watermark"] + FADES
    for c in clips:
        assert c.GetClipProperty("FPS") == "30"
    # each title carries a Fusion "Template" tool with its font and size
    tl_items = []
    for i, title in enumerate(["Caption", "Counter", "Watermark"]):
        tl_items += p.GetMediaPool().AppendToTimeline(
            [{"mediaPoolItem": clips[i], "startFrame": 0, "endFrame": 29,
              "recordFrame": 108000, "trackIndex": 3 + i, "mediaType": 0}])
    for item in tl_items:
        tool = item.GetFusionCompByIndex(1).FindTool("Template")
        assert tool.GetAttrs()["TOOLS_Name"] == "Template"
        assert tool.GetInput("Font") == font and tool.GetInput("Size") > 0


# ---- media pool ---------------------------------------------------------------------------


def test_import_media(project, media, tmp_path):
    pool = project.GetMediaPool()
    v25, ntsc = pool.ImportMedia([media["v25"], media["ntsc"]])
    (mp3,) = pool.ImportMedia([media["mp3"]])
    assert (v25.GetName(), v25.GetClipProperty("FPS")) == ("v25.mp4", "25")
    assert ntsc.GetClipProperty("FPS") == "29.97"
    assert mp3.GetClipProperty("FPS") == "30"  # audio counts in the project's timeline rate
    assert v25.GetClipProperty("Type") == "Video + Audio" and ntsc.GetClipProperty("Type") == "Video"
    assert v25.GetClipProperty("File Path") == media["v25"]
    assert v25.GetClipProperty()["Frames"] == "50"
    missing = tmp_path / "missing.mp4"
    text_file = tmp_path / "notes.txt"
    text_file.write_text("not media")
    assert pool.ImportMedia([str(missing)]) == [] and pool.ImportMedia([str(text_file)]) == []
    # the root folder lists clips in import order, after the template's own
    assert names(pool.GetRootFolder().GetClipList())[-3:] == ["v25.mp4", "ntsc.mov", "music.mp3"]
    # the same file imported again is a second clip
    assert len(pool.ImportMedia([media["v25"]])) == 1
    assert names(pool.GetRootFolder().GetClipList()).count("v25.mp4") == 2

    assert v25.SetClipProperty("Clip Name", "Intro") is True
    assert v25.GetName() == "Intro" == v25.GetClipProperty("Clip Name")
    assert v25.SetClipProperty("FPS", "50") is False and v25.GetClipProperty("FPS") == "25"


def place(project, clip, end, record, track=1, media_type=0, start=0):
    return project.GetMediaPool().AppendToTimeline(
        [{"mediaPoolItem": clip, "startFrame": start, "endFrame": end, "recordFrame": record,
          "trackIndex": track, "mediaType": media_type}])


@pytest.mark.parametrize("key, end, length", [
    ("v25", 99, 120),   # 100 frames at 25 are 4 s: 120 at 30; longer than the 2 s file
    ("v24", 22, 28),    # 23 frames at 24 are 28.75 at 30: rounded down, a frame short
    ("ntsc", 29, 30),   # 30 frames at 30000/1001 are 30.03 at 30
    ("ntsc", 0, 1),
])
def test_placement_length_is_exact_and_rounded_down(project, media, key, end, length):
    (clip,) = project.GetMediaPool().ImportMedia([media[key]])
    (item,) = place(project, clip, end, 108010, media_type=1)
    assert (item.GetStart(), item.GetDuration(), item.GetEnd()) == (108010, length, 108010 + length)
    assert item.GetLeftOffset() == 0 and item.GetMediaPoolItem() == clip
    # sub-frame precision, as a script may ask, answers the same positions as floats
    assert [type(v) for v in (item.GetStart(True), item.GetEnd(True), item.GetDuration(True))] == [float] * 3
    assert (item.GetStart(False), item.GetDuration(1)) == (108010, float(length))


def test_media_type_places_the_parts_a_clip_has(project, media):
    pool = project.GetMediaPool()
    (v25,) = pool.ImportMedia([media["v25"]])
    (mp3,) = pool.ImportMedia([media["mp3"]])
    caption = pool.GetRootFolder().GetClipList()[0]
    tl = project.GetCurrentTimeline()

    both = place(project, v25, 24, 108000, media_type=0)
    assert [i.GetTrackTypeAndIndex() for i in both] == [("video", 1), ("audio", 1)]
    assert [i.GetTrackTypeAndIndex() for i in place(project, v25, 24, 108100, media_type=1)] == [("video", 1)]
    assert [i.GetTrackTypeAndIndex() for i in place(project, v25, 24, 108200, media_type=2)] == [("audio", 1)]
    assert [i.GetTrackTypeAndIndex() for i in place(project, caption, 29, 108000, track=2)] == [("video", 2)]
    assert place(project, caption, 29, 108100, track=2, media_type=2) == []  # a title has no sound
    assert place(project, mp3, 29, 108000, track=2, media_type=1) == []  # music has no picture
    assert [i.GetTrackTypeAndIndex() for i in place(project, mp3, 29, 108000, track=2)] == [("audio", 2)]
    assert tl.GetItemListInTrack("audio", 2)[0].GetFusionCompByIndex(1) is None


def test_overlap_is_refused_and_items_come_in_time_order(project):
    title = project.GetMediaPool().GetRootFolder().GetClipList()[0]
    tl = project.GetCurrentTimeline()
    assert len(place(project, title, 29, 108060, track=3)) == 1
    assert place(project, title, 29, 108089, track=3) == []   # overlaps the last frame
    assert place(project, title, 0, 108059, track=3) != []    # ends right where it starts
    assert place(project, title, 29, 108090, track=3) != []   # starts right after it ends
    assert place(project, title, 29, 108040, track=3) == []   # covers 108059 and more
    assert place(project, title, 29, 108000, track=4) != []   # another track is free
    assert [(i.GetStart(), i.GetEnd()) for i in tl.GetItemListInTrack("video", 3)] == [
        (108059, 108060), (108060, 108090), (108090, 108120)]
    assert tl.GetEndFrame() == 108120


def test_track_lists_follow_every_placement_and_are_fresh_copies(project):
    """Placements in any order, among hundreds of items: each list is the track in time
    order, a list of its own (changing it changes nothing), refusals checked exactly."""
    import random

    title = project.GetMediaPool().GetRootFolder().GetClipList()[0]
    tl = project.GetCurrentTimeline()
    starts = list(range(108000, 108000 + 30 * 400, 30))
    random.Random(7).shuffle(starts)
    for k, start in enumerate(starts):
        assert len(place(project, title, 29, start, track=3)) == 1
        if k % 37 == 0:
            got = tl.GetItemListInTrack("video", 3)
            assert [i.GetStart() for i in got] == sorted(starts[:k + 1])
            got.clear()
            assert len(tl.GetItemListInTrack("video", 3)) == k + 1
        # A placement reaching one frame into the item just placed is refused.
        assert place(project, title, 29, start + 29, track=3) == []
        assert place(project, title, 29, start - 29, track=3) == []
    assert place(project, title, 0, 108000 + 30 * 400, track=3) != []
    assert place(project, title, 29, 108015, track=3) == []
    items = tl.GetItemListInTrack("video", 3)
    assert len(items) == 401 and items[-1].GetStart() == 108000 + 30 * 400
    assert tl.GetEndFrame() == 108000 + 30 * 400 + 1


def test_refused_placements(project):
    pool = project.GetMediaPool()
    title = pool.GetRootFolder().GetClipList()[0]
    assert place(project, title, 29, 108000, track=6) == []  # no sixth video track
    assert place(project, title, -1, 108000) == []            # reversed source range
    assert place(project, title, 29, 108000, start=-1) == []
    assert pool.AppendToTimeline([{"startFrame": 0}]) == []    # no clip
    tl = project.GetCurrentTimeline()
    assert tl.AddTrack("video") and tl.GetTrackCount("video") == 6
    assert place(project, title, 29, 108000, track=6) != []
    # several records in one call: each on its own; the refused one is left out
    out = pool.AppendToTimeline([
        {"mediaPoolItem": title, "endFrame": 9, "recordFrame": 108000, "trackIndex": 1},
        {"mediaPoolItem": title, "endFrame": 9, "recordFrame": 108005, "trackIndex": 1},
        {"mediaPoolItem": title, "endFrame": 9, "recordFrame": 108010, "trackIndex": 1}])
    assert [i.GetStart() for i in out] == [108000, 108010]


def test_timelines(pm, tmp_path):
    p = pm.CreateProject("p")
    pool = p.GetMediaPool()
    assert p.GetCurrentTimeline() is None and p.GetTimelineByIndex(1) is None
    tl = pool.CreateEmptyTimeline("Timeline 1")
    assert p.GetCurrentTimeline() == tl and p.GetTimelineCount() == 1
    assert tl.GetSetting("timelineFrameRate") == "24" and tl.GetStartFrame() == 86400
    assert pool.CreateEmptyTimeline("Timeline 1") is None
    assert p.SetSetting("timelineFrameRate", "29.97 DF")
    second = pool.CreateEmptyTimeline("DF")
    assert second.GetSetting("timelineFrameRate") == "29.97 DF" and second.GetStartFrame() == 108000
    assert p.GetCurrentTimeline() == second and p.SetCurrentTimeline(tl) and p.GetCurrentTimeline() == tl
    other = pm.CreateProject("q").GetMediaPool().CreateEmptyTimeline("x")
    assert p.SetCurrentTimeline(other) is False

    edl = tmp_path / "cut.edl"
    edl.write_text("TITLE: cut\n")
    imported = pool.ImportTimelineFromFile(str(edl), {"timelineName": "Imported"})
    assert imported.GetName() == "Imported" and imported.GetItemListInTrack("video", 1) == []
    assert p.GetTimelineByIndex(3) == imported
    assert pool.ImportTimelineFromFile(str(tmp_path / "none.edl"), {"timelineName": "N"}) is None


def test_fusion_of_items(project, media, tmp_path):
    pool = project.GetMediaPool()
    (v25,) = pool.ImportMedia([media["v25"]])
    caption = pool.GetRootFolder().GetClipList()[0]
    (video_item,) = place(project, v25, 24, 108000, media_type=1)
    comp = video_item.GetFusionCompByIndex(1)
    tools = comp.GetToolList()
    assert list(tools) == [1, 2, 3, 4]
    assert [t.GetAttrs()["TOOLS_Name"] for t in tools.values()] == [
        "MediaIn1", "BrightnessContrast1", "ColorGain1", "MediaOut1"]
    bc = comp.FindTool("BrightnessContrast1")
    assert (bc.GetInput("Gain"), bc.GetInput("Contrast")) == (1.0, 0.0)
    bc.SetInput("Gain", 2)
    assert bc.GetInput("Gain") == 2.0 and comp.FindTool("Nope") is None

    # every title item has its own comp: a text set on one stays on it
    a = place(project, caption, 29, 108000, track=3)[0]
    b = place(project, caption, 29, 108030, track=3)[0]
    a.GetFusionCompByIndex(1).FindTool("Template").SetInput("StyledText", "eins", 0)
    assert b.GetFusionCompByIndex(1).FindTool("Template").GetInput("StyledText") == "Caption"
    assert a.GetFusionCompByIndex(1).FindTool("Template").GetInput("StyledText") == "eins"
    assert a.GetFusionCompByIndex(2) is None

    comp_file = tmp_path / "look.comp"
    comp_file.write_text("{}")
    new = a.ImportFusionComp(str(comp_file))
    assert new is not None and a.GetFusionCompCount() == 2 and a.GetFusionCompByIndex(2) == new
    assert a.ImportFusionComp(str(tmp_path / "missing.comp")) is None


def test_render_queue(tmp_path):
    app = resolve_sim.Resolve()
    app.SetSimulatedRenderPolls(0)  # queued renders only: no file is written
    pm = app.GetProjectManager()
    p = pm.CreateProject("r")
    assert p.AddRenderJob() == ""  # nothing to render without a timeline
    assert p.StartRendering() is False and p.IsRenderingInProgress() is False

    assert pm.ImportProject(os.path.join(TEMPLATES, "tolvane.drp"), "short")
    project = pm.LoadProject("short")
    assert project.LoadRenderPreset("H.264 Master") and not project.LoadRenderPreset("Nope")
    assert project.SetRenderSettings({"CustomName": "short", "TargetDir": str(tmp_path)})
    job = project.AddRenderJob()
    assert job and project.GetRenderJobStatus(job)["JobStatus"] == "Ready"
    assert project.StartRendering(job)
    assert project.IsRenderingInProgress() is False  # no polls configured: done at once
    assert project.GetRenderJobStatus(job) == {"JobStatus": "Complete", "CompletionPercentage": 100}
    assert project.StartRendering(job) is False  # a finished job does not start again
    assert project.StartRendering("") is False
    assert os.listdir(tmp_path) == []


def test_render_polls(tmp_path):
    app = resolve_sim.Resolve()
    app.SetSimulatedRenderPolls(2)
    p = app.GetProjectManager().CreateProject("r")
    p.GetMediaPool().CreateEmptyTimeline("t")
    job = p.AddRenderJob()
    assert p.IsRenderingInProgress() is False  # queued, not started
    p.StartRendering(job)
    assert [p.IsRenderingInProgress() for _ in range(4)] == [True, True, False, False]


def test_objects_keep_their_identity(project):
    pool = project.GetMediaPool()
    assert pool == project.GetMediaPool()
    assert project.GetCurrentTimeline() == project.GetTimelineByIndex(1)
    assert len({project.GetCurrentTimeline(), project.GetTimelineByIndex(1)}) == 1
    clips = pool.GetRootFolder().GetClipList()
    assert clips[0] == pool.GetRootFolder().GetClipList()[0] and clips[0] != clips[1]


# ---- the scripting object and the host ----------------------------------------------------


def test_scriptapp_is_one_application():
    app = resolve_sim.scriptapp("Resolve")
    assert isinstance(app, resolve_sim.Resolve) and resolve_sim.scriptapp("Resolve") is app
    assert resolve_sim.scriptapp("Fusion") is None
    assert resolve_sim.Resolve().GetProjectManager() != app.GetProjectManager()


def test_host_picks_the_simulator_when_no_resolve_answers(monkeypatch):
    monkeypatch.setattr(host, "_real_resolve", lambda: None)
    for mode in ("auto", "sim"):
        resolve, line = host.pick_resolve(mode)
        assert isinstance(resolve, resolve_sim.Resolve)
        assert line == "[vestrel] Using the Resolve simulator"


def test_serve_runs_on_the_simulator_by_default():
    import subprocess
    import sys

    # The start-up line of `python -m vestrel serve`, with the server itself left out.
    code = ("import sys, uvicorn\n"
            "uvicorn.run = lambda *a, **k: None\n"
            "from vestrel.__main__ import main\n"
            "sys.exit(main(['serve', '--port', '0']))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[vestrel] Using the Resolve simulator"


@pytest.mark.parametrize("field, value, imported", [
    ("version", 10**30, False),                                   # no version number
    ("timelines", [{"name": "t", "width": 10**30}], False),       # out of range
    ("settings", {"big": 10**30}, True),                          # a setting keeps its digits
    ("timelines", [{"name": "t", "frameRate": 25, "videoTracks": 2}], True),
])
def test_template_integers_of_any_size(pm, tmp_path, field, value, imported):
    doc = {"format": resolve_sim.TEMPLATE_FORMAT, "version": 1, field: value}
    path = tmp_path / "t.drp"
    path.write_text(json.dumps(doc))
    assert pm.ImportProject(str(path), "p") is imported
    if field == "settings":
        assert pm.LoadProject("p").GetSetting("big") == str(10**30)
    elif imported:
        timeline = pm.LoadProject("p").GetTimelineByIndex(1)
        assert timeline.GetSetting("timelineFrameRate") == "25"
        assert timeline.GetTrackCount("video") == 2


def test_export_types_beyond_the_int_range_are_refused(project, tmp_path):
    resolve = resolve_sim.Resolve()
    timeline = project.GetCurrentTimeline() or project.GetTimelineByIndex(1)
    path = str(tmp_path / "t.otio")
    # 2**32 + EXPORT_OTIO would wrap around to EXPORT_OTIO in a 32-bit number.
    assert timeline.Export(path, 2**32 + resolve.EXPORT_OTIO) is False
    assert timeline.Export(path, True) is False
    assert not os.path.exists(path)
