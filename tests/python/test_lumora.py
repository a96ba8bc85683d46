"""Resolve control: the exact Resolve calls against a recorder, behaviour against the simulator."""

import os

import pytest

import vestrel
from vestrel import lumora, resolve_sim

NOT_SET = "Resolve context not set. Call set_resolve(resolve) first."
TEMPLATES = os.path.join(os.path.dirname(vestrel.__file__), "templates")


@pytest.fixture(autouse=True)
def no_resolve(monkeypatch):
    """Every test starts without a Resolve context and leaves none behind."""
    monkeypatch.setattr(lumora, "_resolve", None)


# ---- a recording Resolve -----------------------------------------------------------------


class Rec:
    """A Resolve object that records (object, method, args) and answers from a table.

    An answer may be a value or a callable taking the call's arguments."""

    def __init__(self, calls, name, **answers):
        self._calls, self._name, self._answers = calls, name, answers

    def __getattr__(self, method):
        if method.startswith("_"):
            raise AttributeError(method)

        def call(*args):
            self._calls.append((self._name, method, args))
            answer = self._answers.get(method)
            return answer(*args) if callable(answer) else answer

        return call

    def __repr__(self):
        return self._name


def sequence(*values):
    it = iter(values)
    return lambda *args: next(it)


class World:
    """resolve -> pm -> project -> pool -> folder -> clips; project -> timeline."""

    def __init__(self, calls=None, *, clips=(), timeline=None, project=True, pm=None, pool=None):
        self.calls = c = calls if calls is not None else []
        self.folder = Rec(c, "folder", GetClipList=list(clips))
        self.pool = pool or Rec(c, "pool", GetRootFolder=self.folder, AppendToTimeline=[])
        self.timeline = timeline
        self.project = (Rec(c, "project", GetMediaPool=self.pool, GetCurrentTimeline=timeline,
                            GetName="proj") if project else None)
        self.pm = pm or Rec(c, "pm", GetCurrentProject=self.project)
        self.resolve = Rec(c, "resolve", GetProjectManager=self.pm)
        lumora.set_resolve(self.resolve)

    def methods(self):
        return [(obj, method) for obj, method, _ in self.calls]


def clip(calls, name, fps="25", clip_name=None):
    props = {"Clip Name": clip_name if clip_name is not None else name, "FPS": fps}
    return Rec(calls, name, GetName=name, GetClipProperty=lambda key: props[key])


def timeline(calls, fps="24", start=1000, items=()):
    return Rec(calls, "timeline", GetSetting=fps, GetStartFrame=start,
               GetItemListInTrack=lambda *a: list(items))


# ---- context and projects ------------------------------------------------------------------


@pytest.mark.parametrize("call", [
    lambda: lumora.get_resolve(),
    lambda: lumora.get_project_manager(),
    lambda: lumora.get_current_project(),
    lambda: lumora.get_media_pool(),
    lambda: lumora.create_project("a"),
    lambda: lumora.open_project("a"),
    lambda: lumora.get_current_project_name(),
    lambda: lumora.delete_current_project(),
    lambda: lumora.import_project("/t.drp", "a"),
    lambda: lumora.import_clip("/x.mp4"),
    lambda: lumora.set_current_timeline("Timeline 1"),
    lambda: lumora.add_clip_to_timeline("c", 0, 1),
    lambda: lumora.generate_text_on_timeline("Caption", "t", 0, 1),
    lambda: lumora.load_render_preset("p"),
    lambda: lumora.wait_until_render_finished(),
])
def test_every_operation_needs_the_context(call):
    with pytest.raises(RuntimeError) as e:
        call()
    assert str(e.value) == NOT_SET


def test_set_resolve_none_unsets_and_the_module_attribute_is_the_state():
    w = World()
    assert lumora.get_resolve() is w.resolve and lumora._resolve is w.resolve
    assert lumora.set_resolve(None) is None
    with pytest.raises(RuntimeError, match="Resolve context not set"):
        lumora.get_resolve()
    lumora._resolve = w.resolve  # a replaced attribute is what the next call sees
    assert lumora.get_project_manager() is w.pm


def test_no_project_is_an_error_for_the_accessors():
    World(project=False)
    for call in (lumora.get_current_project, lumora.get_media_pool, lumora.get_current_project_name):
        with pytest.raises(RuntimeError, match="^No current project loaded$"):
            call()


def test_create_and_open_project(capsys):
    calls = []
    created = object()
    pm = Rec(calls, "pm", CreateProject=lambda n: created if n == "ok" else None,
             LoadProject=lambda n: n == "ok")
    World(calls, pm=pm)
    assert lumora.create_project("ok") is created
    assert lumora.open_project("ok") is None
    with pytest.raises(RuntimeError) as e:
        lumora.create_project("taken")
    assert str(e.value) == "Could not create project 'taken'"
    with pytest.raises(RuntimeError) as e:
        lumora.open_project("gone")
    assert str(e.value) == "Could not open project 'gone'"
    assert capsys.readouterr().out == ("[lumora] Created project 'ok'\n"
                                      "[lumora] Opened project 'ok'\n")
    assert [(m, a) for _, m, a in calls] == [
        ("GetProjectManager", ()), ("CreateProject", ("ok",)),
        ("GetProjectManager", ()), ("LoadProject", ("ok",)),
        ("GetProjectManager", ()), ("CreateProject", ("taken",)),
        ("GetProjectManager", ()), ("LoadProject", ("gone",))]


def test_current_project_name_asks_twice_and_prints_the_first(capsys):
    w = World()
    w.project._answers["GetName"] = sequence("first", "second")
    assert lumora.get_current_project_name() == "second"
    assert capsys.readouterr().out == "[lumora] Currentproject 'first'\n"
    assert w.methods()[-2:] == [("project", "GetName"), ("project", "GetName")]


def test_delete_current_project_closes_then_deletes(capsys):
    w = World()
    assert lumora.delete_current_project() is None
    assert [(o, m, a) for o, m, a in w.calls if o == "pm"] == [
        ("pm", "GetCurrentProject", ()), ("pm", "CloseProject", (w.project,)),
        ("pm", "DeleteProject", ("proj",))]
    assert capsys.readouterr().out == "[lumora] Deleted project 'proj'\n"

    w = World(project=False)
    assert lumora.delete_current_project() is None
    assert capsys.readouterr().out == "[lumora] No project to delete\n"
    assert w.methods() == [("resolve", "GetProjectManager"), ("pm", "GetCurrentProject")]


@pytest.mark.parametrize("imported, loaded, message", [
    (False, True, "Could not import project"),
    (True, None, "Could not load imported project"),
    (True, True, None),
])
def test_import_project(imported, loaded, message, capsys):
    calls = []
    pm = Rec(calls, "pm", ImportProject=imported, LoadProject=loaded)
    World(calls, pm=pm)
    if message:
        with pytest.raises(RuntimeError) as e:
            lumora.import_project("/t.drp", "p")
        assert str(e.value) == message
        assert capsys.readouterr().out == ""
    else:
        assert lumora.import_project("/t.drp", "p") is None
        assert capsys.readouterr().out == "[lumora] Imported project 'p'\n"
    expected = [("ImportProject", ("/t.drp", "p"))] + ([("LoadProject", ("p",))] if imported else [])
    assert [(m, a) for _, m, a in calls if m != "GetProjectManager"] == expected


@pytest.mark.parametrize("call, message", [
    (lambda: lumora.open_project(5), "Argument 'name' has incorrect type (expected str, got int)"),
    (lambda: lumora.import_project("/t", None),
     "Argument 'project_name' has incorrect type (expected str, got NoneType)"),
    (lambda: lumora.import_clip("/x", 3), "Argument 'clip_name' has incorrect type (expected str, got int)"),
    (lambda: lumora.add_clip_to_timeline("c", 0, 1, track_index=True),
     "Argument 'track_index' has incorrect type (expected int, got bool)"),
    (lambda: lumora.add_clip_to_timeline("c", "0", 1), "must be real number, not str"),
    (lambda: lumora.add_clip_to_timeline("c", 0), "add_clip_to_timeline() takes exactly 3 positional arguments (2 given)"),
    (lambda: lumora.add_clip_to_timeline("c", 0, 1, 2), "add_clip_to_timeline() takes exactly 3 positional arguments (4 given)"),
    (lambda: lumora.adjust_clip_color("c", color_tone=[1, 2, 3]),
     "Argument 'color_tone' has incorrect type (expected tuple, got list)"),
    (lambda: lumora.import_fusion_comp("c", "/f.comp", track_type=None),
     "Argument 'track_type' has incorrect type (expected str, got NoneType)"),
    (lambda: lumora.set_render_output("f", 1), "Argument 'folder' has incorrect type (expected str, got int)"),
])
def test_arguments_are_checked_before_any_resolve_call(call, message):
    w = World()
    with pytest.raises(TypeError) as e:
        call()
    assert message in str(e.value)
    assert w.calls == []


# ---- placement arithmetic and the placement record ---------------------------------------


@pytest.mark.parametrize("tl_fps, start, clip_fps, start_time, duration, record, end_frame", [
    ("24", 1000, "25", 2.5, 4.0, 1060, 99),        # 96 timeline frames = source 0..99
    ("25", 0, "25", 0.5, 1.0, 12, 25),             # R(12.5)=12, R(37.5)=38: 26 frames
    (30, 108000, 25.0, 1.0, 2.0, 108030, 49),      # numbers as well as texts
    ("29.97 DF", 107892, "29.97", 1.0, 1.0, 107922, 29),  # a rate with a suffix
    ("30", 108000, "23.976", 0.0, 1.0, 108000, 23),
])
def test_placement_record(tl_fps, start, clip_fps, start_time, duration, record, end_frame):
    calls = []
    c = clip(calls, "bg.mp4", fps=clip_fps)
    w = World(calls, clips=[c], timeline=timeline(calls, fps=tl_fps, start=start))
    lumora.add_clip_to_timeline("bg.mp4", start_time, duration, track_index=4)
    name, method, (records,) = calls[-1]
    assert (name, method) == ("pool", "AppendToTimeline")
    assert len(records) == 1 and list(records[0]) == [
        "mediaPoolItem", "startFrame", "endFrame", "recordFrame", "trackIndex", "mediaType"]
    assert records[0] == {"mediaPoolItem": c, "startFrame": 0, "endFrame": end_frame,
                          "recordFrame": record, "trackIndex": 4, "mediaType": 0}
    assert w.methods() == [
        ("resolve", "GetProjectManager"), ("pm", "GetCurrentProject"), ("project", "GetMediaPool"),
        ("pool", "GetRootFolder"), ("folder", "GetClipList"), ("bg.mp4", "GetName"),
        ("project", "GetCurrentTimeline"), ("timeline", "GetSetting"), ("bg.mp4", "GetClipProperty"),
        ("timeline", "GetStartFrame"), ("pool", "AppendToTimeline")]


def test_ends_are_rounded_from_absolute_times():
    # Consecutive clips: each starts exactly at the previous one's wanted end (rounding each
    # duration instead would drift to 108030 and 108074).
    calls = []
    w = World(calls, clips=[clip(calls, "c", fps="25")], timeline=timeline(calls, fps="30", start=108000))
    times = [0.0, 0.35, 1.017, 2.5, 2.983]
    for a, b in zip(times, times[1:]):
        lumora.add_clip_to_timeline("c", a, b - a)
    records = [args[0][0] for _, m, args in w.calls if m == "AppendToTimeline"]
    assert [r["recordFrame"] for r in records] == [108000, 108010, 108031, 108075]
    assert [r["endFrame"] for r in records][0::3] == [7, 11]


@pytest.mark.parametrize("video, audio, media_type", [
    (True, True, 0), (True, False, 1), (False, True, 2), (False, False, 2), (0, 1, 2), ("", "", 2),
])
def test_media_type(video, audio, media_type):
    calls = []
    w = World(calls, clips=[clip(calls, "c")], timeline=timeline(calls))
    lumora.add_clip_to_timeline("c", 0, 1, video=video, audio=audio)
    assert w.calls[-1][2][0][0]["mediaType"] == media_type


def test_without_current_timeline_timeline_1_is_created():
    calls = []
    tl = timeline(calls, fps="25", start=90000)
    pool = Rec(calls, "pool", CreateEmptyTimeline=tl, AppendToTimeline=[])
    w = World(calls, clips=[clip(calls, "c")], pool=pool)
    pool._answers["GetRootFolder"] = w.folder
    lumora.add_clip_to_timeline("c", 1.0, 1.0)
    assert ("pool", "CreateEmptyTimeline", ("Timeline 1",)) in calls
    assert calls[-1][2][0][0]["recordFrame"] == 90025


def test_add_clip_log_line_and_missing_clip(capsys):
    calls = []
    World(calls, clips=[clip(calls, "c")], timeline=timeline(calls))
    lumora.add_clip_to_timeline("c", 3, 1)
    lumora.add_clip_to_timeline("c", 2.5, 1)
    assert capsys.readouterr().out == ("[lumora] Added clip 'c' @ 3.0s\n"
                                      "[lumora] Added clip 'c' @ 2.5s\n")
    with pytest.raises(RuntimeError) as e:
        lumora.add_clip_to_timeline("nope", 0, 1)
    assert str(e.value) == "Clip 'nope' not found in Media Pool"


def host_error(fn):
    try:
        fn()
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize("tl_fps, start_time, expected", [
    ("0", 1.0, host_error(lambda: 0 / 0.0)),
    ("25", float("nan"), host_error(lambda: round(float("nan")))),
    ("25", float("inf"), host_error(lambda: round(float("inf")))),
])
def test_impossible_placements_raise_the_hosts_errors(tl_fps, start_time, expected):
    calls = []
    World(calls, clips=[clip(calls, "c")], timeline=timeline(calls, fps=tl_fps))
    with pytest.raises(expected[0]) as e:
        lumora.add_clip_to_timeline("c", start_time, 1)
    assert str(e.value) == expected[1]
    assert not any(m == "AppendToTimeline" for _, m, _ in calls)


def test_rate_without_a_leading_number_is_the_hosts_error():
    calls = []
    World(calls, clips=[clip(calls, "c", fps="fps 25")], timeline=timeline(calls))
    with pytest.raises(ValueError, match="could not convert string to float: 'fps 25'"):
        lumora.add_clip_to_timeline("c", 0, 1)


def test_clip_lookup_by_name_then_clip_name_first_wins():
    calls = []
    a = clip(calls, "a.mp4", clip_name="Shared")
    b = clip(calls, "Shared")
    c = clip(calls, "c.mp4")
    folder = Rec(calls, "folder", GetClipList=[a, b, c])
    pool = Rec(calls, "pool", GetRootFolder=folder)
    assert lumora._get_clip_by_name(pool, "Shared") is a
    assert lumora._get_clip_by_name(pool, "c.mp4") is c
    assert lumora._get_clip_by_name(pool, "none") is None
    # the property is asked only when the name differs
    first = [(o, m) for o, m, _ in calls][:5]
    assert first == [("pool", "GetRootFolder"), ("folder", "GetClipList"), ("a.mp4", "GetName"),
                     ("a.mp4", "GetClipProperty"), ("pool", "GetRootFolder")]


# ---- import, timelines, titles, colour ----------------------------------------------------


@pytest.mark.parametrize("clip_name, renamed, logged", [
    (None, False, "v.mp4"), ("", False, "v.mp4"), ("Intro", True, "Intro")])
def test_import_clip(clip_name, renamed, logged, capsys):
    calls = []
    new = Rec(calls, "new")
    pool = Rec(calls, "pool", ImportMedia=[new])
    World(calls, pool=pool)
    assert lumora.import_clip("/media/v.mp4", clip_name) is new
    assert ("pool", "ImportMedia", (["/media/v.mp4"],)) in calls
    assert (("new", "SetClipProperty", ("Clip Name", clip_name)) in calls) == renamed
    assert capsys.readouterr().out == f"[lumora] Imported clip '{logged}'\n"


def test_import_clip_refused():
    calls = []
    World(calls, pool=Rec(calls, "pool", ImportMedia=[]))
    with pytest.raises(RuntimeError) as e:
        lumora.import_clip("/media/x.mp4")
    assert str(e.value) == "Could not import clip '/media/x.mp4'"


def test_set_current_timeline(capsys):
    w = World()
    tls = [Rec(w.calls, "tl1", GetName="Other"), Rec(w.calls, "tl2", GetName="Timeline 1")]
    w.project._answers.update(GetTimelineCount=2, GetTimelineByIndex=lambda i: tls[i - 1])
    lumora.set_current_timeline("Timeline 1")
    assert [c for c in w.calls if c[0] in ("project", "tl1", "tl2")] == [
        ("project", "GetTimelineCount", ()), ("project", "GetTimelineByIndex", (1,)),
        ("tl1", "GetName", ()), ("project", "GetTimelineByIndex", (2,)), ("tl2", "GetName", ()),
        ("project", "SetCurrentTimeline", (tls[1],))]
    assert capsys.readouterr().out == "[lumora] Active timeline: Timeline 1\n"

    w.project._answers["GetTimelineCount"] = 0
    w.calls.clear()
    with pytest.raises(RuntimeError) as e:
        lumora.set_current_timeline("Timeline 1")
    assert str(e.value) == "Timeline 'Timeline 1' not found"
    assert w.methods()[-1] == ("project", "GetTimelineCount")


def test_import_timeline(capsys):
    w = World()
    lumora.import_timeline("/t.xml", "Cut")
    assert w.calls[-1] == ("pool", "ImportTimelineFromFile", ("/t.xml", {"timelineName": "Cut"}))
    assert capsys.readouterr().out == "[lumora] Imported timeline 'Cut'\n"


def test_import_fusion_comp_uses_the_last_item_of_that_name(capsys):
    calls = []
    items = [Rec(calls, "first", GetName="bg", ImportFusionComp=True),
             Rec(calls, "other", GetName="x"),
             Rec(calls, "last", GetName="bg", ImportFusionComp=True)]
    tl = timeline(calls, items=items)
    World(calls, timeline=tl)
    lumora.import_fusion_comp("bg", "/c.comp", track_index=2, track_type="audio")
    assert ("timeline", "GetItemListInTrack", ("audio", 2)) in calls
    assert [c for c in calls if c[1] == "ImportFusionComp"] == [("last", "ImportFusionComp", ("/c.comp",))]
    assert capsys.readouterr().out == "[lumora] Imported fusion comp into 'bg'\n"

    items[2]._answers["ImportFusionComp"] = None
    with pytest.raises(RuntimeError, match="^Fusion comp import failed$"):
        lumora.import_fusion_comp("bg", "/c.comp")
    with pytest.raises(RuntimeError) as e:
        lumora.import_fusion_comp("none", "/c.comp")
    assert str(e.value) == "Clip 'none' not found on timeline"


def test_generate_text_writes_into_the_last_item_of_the_track(capsys):
    calls = []
    tool = Rec(calls, "tool")
    comp = Rec(calls, "comp", FindTool=lambda name: tool if name == "Template" else None)
    items = [Rec(calls, "earlier"), Rec(calls, "latest", GetFusionCompByIndex=lambda i: comp)]
    World(calls, clips=[clip(calls, "Caption", fps="30")], timeline=timeline(calls, fps="30", items=items))
    lumora.generate_text_on_timeline("Caption", "Hallo Welt", 1.5, 2)
    tail = [c for c in calls if c[0] in ("timeline", "latest", "comp", "tool")][-5:]
    assert tail == [("timeline", "GetStartFrame", ()),
                    ("timeline", "GetItemListInTrack", ("video", 3)),
                    ("latest", "GetFusionCompByIndex", (1,)),
                    ("comp", "FindTool", ("Template",)),
                    ("tool", "SetInput", ("StyledText", "Hallo Welt", 0))]
    record = [c for c in calls if c[1] == "AppendToTimeline"][0][2][0][0]
    assert record["trackIndex"] == 3 and record["mediaType"] == 0
    assert capsys.readouterr().out == ("[lumora] Added clip 'Caption' @ 1.5s\n"
                                      "[lumora] Generated text 'Hallo Welt'\n")


def test_generate_text_on_an_empty_track_is_an_index_error():
    calls = []
    World(calls, clips=[clip(calls, "Caption")], timeline=timeline(calls, items=[]))
    with pytest.raises(IndexError):
        lumora.generate_text_on_timeline("Caption", "t", 0, 1, track_index=4)


def test_generate_text_calls_add_clip_through_the_module(monkeypatch):
    seen = []
    monkeypatch.setattr(lumora, "add_clip_to_timeline", lambda *a, **k: seen.append((a, k)))
    calls = []
    comp = Rec(calls, "comp", FindTool=Rec(calls, "tool"))
    World(calls, timeline=timeline(calls, items=[Rec(calls, "i", GetFusionCompByIndex=comp)]))
    lumora.generate_text_on_timeline("Counter", "3", 2, 1, track_index=4)
    assert seen == [(("Counter", 2.0, 1.0), {"track_index": 4})]


def test_import_and_add_finds_the_clip_by_its_base_name(monkeypatch):
    seen = []
    monkeypatch.setattr(lumora, "import_clip", lambda *a, **k: seen.append(("import", a, k)))
    monkeypatch.setattr(lumora, "add_clip_to_timeline", lambda *a, **k: seen.append(("add", a, k)))
    lumora.import_and_add_to_timeline("/m/voice.mp3", 0, 12.5, video=False, track_index=2)
    assert seen == [("import", ("/m/voice.mp3",), {}),
                    ("add", ("voice.mp3", 0.0, 12.5),
                     {"video": False, "audio": True, "track_index": 2})]


def color_world(calls, tool_names):
    tools = {i + 1: Rec(calls, n, GetAttrs={"TOOLS_Name": n}) for i, n in enumerate(tool_names)}
    comp = Rec(calls, "comp", GetToolList=tools)
    items = [Rec(calls, "other", GetName="x"),
             Rec(calls, "item", GetName="bg.mp4", GetFusionCompByIndex=lambda i: comp),
             Rec(calls, "second", GetName="bg.mp4")]
    World(calls, timeline=timeline(calls, items=items))
    return tools


@pytest.mark.parametrize("kwargs, bc, cg", [
    ({}, [("Gain", 1.0), ("Contrast", 0.0), ("Saturation", 1.0)],
     [("GainRed", 1.0), ("GainGreen", 1.0), ("GainBlue", 1.0)]),
    ({"brightness": 150, "contrast": 150, "saturation": 50, "color_tone": (110, 90, 100.0)},
     [("Gain", 1.5), ("Contrast", 0.5), ("Saturation", 0.5)],
     [("GainRed", 1.1), ("GainGreen", 0.9), ("GainBlue", 1.0)]),
])
def test_adjust_clip_color(kwargs, bc, cg, capsys):
    calls = []
    color_world(calls, ["MediaIn1", "BrightnessContrast1", "ColorGain1"])
    lumora.adjust_clip_color("bg.mp4", **kwargs)
    assert [a for o, m, a in calls if o == "BrightnessContrast1" and m == "SetInput"] == bc
    assert [a for o, m, a in calls if o == "ColorGain1" and m == "SetInput"] == cg
    assert not any(o == "second" for o, _, _ in calls)  # the first item of that name is used
    assert capsys.readouterr().out == "[lumora] Adjusted color for 'bg.mp4'\n"


def test_adjust_clip_color_failures():
    calls = []
    color_world(calls, ["MediaIn1", "BrightnessContrast1"])
    with pytest.raises(StopIteration):
        lumora.adjust_clip_color("bg.mp4")
    assert not any(m == "SetInput" for _, m, _ in calls)  # nothing set before both are found
    with pytest.raises(RuntimeError) as e:
        lumora.adjust_clip_color("missing")
    assert str(e.value) == "Clip 'missing' not found"


# ---- render ---------------------------------------------------------------------------------


def test_render_calls(capsys):
    w = World()
    w.project._answers.update(AddRenderJob="job-7")
    lumora.load_render_preset("H.264 Master")
    lumora.set_render_output("short", "")
    lumora.start_render()
    project_calls = [(m, a) for o, m, a in w.calls if o == "project"]
    assert project_calls == [("LoadRenderPreset", ("H.264 Master",)),
                             ("SetRenderSettings", ({"CustomName": "short", "TargetDir": ""},)),
                             ("AddRenderJob", ()), ("StartRendering", ("job-7",))]
    assert list(project_calls[1][1][0]) == ["CustomName", "TargetDir"]
    assert capsys.readouterr().out == ("[lumora] Loaded render preset 'H.264 Master'\n"
                                      "[lumora] Render output set\n"
                                      "[lumora] Rendering started\n")


@pytest.mark.parametrize("answers, sleeps", [((False,), []), ((True, 1, False), [1, 1])])
def test_wait_until_render_finished_polls_once_a_second(answers, sleeps, monkeypatch, capsys):
    import time

    slept = []
    monkeypatch.setattr(time, "sleep", slept.append)
    w = World()
    w.project._answers["IsRenderingInProgress"] = sequence(*answers)
    assert lumora.wait_until_render_finished() is None
    assert slept == sleeps
    assert [m for o, m in w.methods() if o == "project"] == ["IsRenderingInProgress"] * len(answers)
    assert w.methods().count(("pm", "GetCurrentProject")) == 1  # the project is fetched once
    assert capsys.readouterr().out == ("[lumora] Waiting for render to finish...\n"
                                      "[lumora] Rendering finished\n")


# ---- against the simulator ------------------------------------------------------------------


@pytest.fixture
def sim(tmp_path):
    """A fresh simulated Resolve with the built-in template imported and opened."""
    resolve = resolve_sim.Resolve()
    lumora.set_resolve(resolve)
    lumora.import_project(os.path.join(TEMPLATES, "tolvane.drp"), "short")
    lumora.set_current_timeline("Timeline 1")
    return resolve


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    from sim_media import make_audio, make_video

    d = tmp_path_factory.mktemp("media")
    return {"bg25": make_video(d / "bg25.mp4", rate="25", seconds=2.0),
            "voice": make_audio(d / "voice.wav", seconds=3.0)}


def track(kind, index):
    tl = lumora.get_current_project().GetCurrentTimeline()
    return [(i.GetName(), i.GetStart(), i.GetDuration()) for i in tl.GetItemListInTrack(kind, index)]


def test_project_life_cycle_on_the_simulator(sim, capsys):
    assert lumora.get_current_project_name() == "short"
    lumora.delete_current_project()
    with pytest.raises(RuntimeError, match="No current project loaded"):
        lumora.get_current_project()
    # deleted: the name is free again for a create and for an import
    lumora.create_project("short")
    lumora.delete_current_project()
    lumora.import_project(os.path.join(TEMPLATES, "tolvane_modern_fonts.drp"), "short")
    with pytest.raises(RuntimeError, match="^Could not create project 'short'$"):
        lumora.create_project("short")
    with pytest.raises(RuntimeError, match="^Could not import project$"):
        lumora.import_project(os.path.join(TEMPLATES, "tolvane.drp"), "short")
    assert lumora.open_project("short") is None


def test_edit_on_the_simulator(sim, media, capsys):
    lumora.import_and_add_to_timeline(media["bg25"], 0, 1.5, video=True, audio=False)
    lumora.import_and_add_to_timeline(media["bg25"], 1.5, 2.5, video=True, audio=False)
    lumora.add_clip_to_timeline("FadeIn_500ms", 0, 0.5, track_index=2)
    lumora.generate_text_on_timeline("Caption", "Hallo", 0.25, 1.0)
    lumora.generate_text_on_timeline("Caption", "Welt", 1.25, 1.0)
    lumora.import_and_add_to_timeline(media["voice"], 0, 4.0, video=False, track_index=1)
    lumora.generate_text_on_timeline("Watermark", "@YourChannel", 0, 4.0, track_index=5)

    # tiles without gaps on absolute frames; the media's own 2 s do not limit the 2.5 s clip
    # 75 frames ask for 62 source frames at 25 fps, which land as 74.4: a frame short, never long
    assert track("video", 1) == [("bg25.mp4", 108000, 45), ("bg25.mp4", 108045, 74)]
    assert track("audio", 1) == [("voice.wav", 108000, 120)]
    assert track("audio", 2) == []  # the fade clip has no sound
    assert track("video", 2) == [("FadeIn_500ms", 108000, 15)]
    assert track("video", 3) == [("Caption", 108008, 30), ("Caption", 108038, 30)]
    tl = lumora.get_current_project().GetCurrentTimeline()
    texts = [i.GetFusionCompByIndex(1).FindTool("Template").GetInput("StyledText")
             for i in tl.GetItemListInTrack("video", 3)]
    assert texts == ["Hallo", "Welt"]
    wm = tl.GetItemListInTrack("video", 5)[0].GetFusionCompByIndex(1).FindTool("Template")
    assert wm.GetInput("StyledText") == "@YourChannel" and wm.GetInput("Font") == "Open Sans"

    lumora.adjust_clip_color("bg25.mp4", brightness=120, color_tone=(100, 80, 100))
    tools = tl.GetItemListInTrack("video", 1)[0].GetFusionCompByIndex(1)
    assert tools.FindTool("BrightnessContrast1").GetInput("Gain") == 1.2
    assert tools.FindTool("ColorGain1").GetInput("GainGreen") == 0.8
    assert tl.GetItemListInTrack("video", 1)[1].GetFusionCompByIndex(1).FindTool(
        "BrightnessContrast1").GetInput("Gain") == 1.0


def test_refused_placement_sends_the_text_to_the_last_item(sim):
    lumora.generate_text_on_timeline("Caption", "first", 0, 2.0)
    # overlaps the first title: Resolve drops it, and the text lands in the item that is last
    lumora.generate_text_on_timeline("Caption", "second", 1.0, 2.0)
    tl = lumora.get_current_project().GetCurrentTimeline()
    items = tl.GetItemListInTrack("video", 3)
    assert len(items) == 1
    assert items[0].GetFusionCompByIndex(1).FindTool("Template").GetInput("StyledText") == "second"


def test_timeline_fallback_on_a_project_without_timelines(media):
    lumora.set_resolve(resolve_sim.Resolve())
    lumora.create_project("empty")
    with pytest.raises(RuntimeError, match="^Timeline 'Timeline 1' not found$"):
        lumora.set_current_timeline("Timeline 1")
    lumora.import_and_add_to_timeline(media["bg25"], 1.0, 1.0)
    tl = lumora.get_current_project().GetCurrentTimeline()
    assert tl.GetName() == "Timeline 1"
    # a new project's timeline runs at 24 fps from one hour in; the clip brings its sound
    assert track("video", 1) == [("bg25.mp4", 86424, 24)]
    assert track("audio", 1) == [("bg25.mp4", 86424, 24)]


def test_fusion_comp_import_and_render_on_the_simulator(sim, tmp_path, monkeypatch, capsys):
    comp_file = tmp_path / "look.comp"
    comp_file.write_text("{}")
    lumora.generate_text_on_timeline("Counter", "1", 0, 1.0, track_index=4)
    lumora.import_fusion_comp("Counter", str(comp_file), track_index=4)
    with pytest.raises(RuntimeError, match="^Fusion comp import failed$"):
        lumora.import_fusion_comp("Counter", str(tmp_path / "missing.comp"), track_index=4)

    import time

    slept = []
    monkeypatch.setattr(time, "sleep", slept.append)
    sim.SetSimulatedRenderPolls(2)
    lumora.load_render_preset("H.264 Master")
    lumora.set_render_output("short", str(tmp_path))
    lumora.start_render()
    lumora.wait_until_render_finished()
    assert slept == [1, 1]
    jobs = lumora.get_current_project().GetRenderJobList()
    assert [(j["TargetDir"], j["OutputFilename"]) for j in jobs] == [(str(tmp_path), "short")]
    assert lumora.get_current_project().GetRenderJobStatus(jobs[0]["JobId"])["JobStatus"] == "Complete"


def test_tie_example_lands_exactly_on_the_simulator(media):
    resolve = resolve_sim.Resolve()
    lumora.set_resolve(resolve)
    project = lumora.create_project("pal")
    project.SetSetting("timelineFrameRate", "25")
    lumora.import_and_add_to_timeline(media["bg25"], 0.5, 1.0, audio=False)
    lumora.import_and_add_to_timeline(media["bg25"], 1.5, 1.0, audio=False)
    # R(12.5) = 12, R(37.5) = 38: 26 frames, and the next clip starts at 38
    assert track("video", 1) == [("bg25.mp4", 90012, 26), ("bg25.mp4", 90038, 24)]
