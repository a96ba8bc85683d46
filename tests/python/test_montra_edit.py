"""Edit model (Scene, Edit, scene timing) and the Resolve assembly (setup_davinci, render).

Resolve is reached only through montra.lumora, which these tests replace with a recorder that
logs every call and answers the way the Resolve control module does (its messages, keyword-only
parameters and failures).
"""

import pytest

import vestrel.montra as montra

FADE_CLIPS = ["FadeIn_200ms", "FadeIn_500ms", "FadeIn_1000ms",
              "FadeOut_200ms", "FadeOut_500ms", "FadeOut_1000ms"]
TEMPLATE_CLIPS = ["Caption", "Counter", "Watermark", *FADE_CLIPS]


class Line:
    def __init__(self, start, end, text=" Hallo"):
        self.start, self.end, self.text = start, end, text


class Caps:
    """What Scene and render read of a caption block: lines, start and end."""

    def __init__(self, *lines):
        self.lines = [line if isinstance(line, Line) else Line(*line) for line in lines]

    @property
    def start(self):
        return min(line.start for line in self.lines)

    @property
    def end(self):
        return max(line.end for line in self.lines)


class Recorder:
    """Stands in for vestrel.lumora: records each call, answers and fails like it."""

    def __init__(self, project=None, timelines=("Timeline 1",), clips=TEMPLATE_CLIPS):
        self.project = project
        self.timelines = list(timelines)
        self.clips = list(clips)
        self.calls = []

    def _rec(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))

    def get_current_project_name(self):
        self._rec("get_current_project_name")
        if self.project is None:
            raise RuntimeError("No current project loaded")
        print(f"[lumora] Currentproject '{self.project}'")
        return self.project

    def delete_current_project(self):
        self._rec("delete_current_project")
        print(f"[lumora] Deleted project '{self.project}'")
        self.project = None

    def import_project(self, filepath, project_name):
        self._rec("import_project", filepath, project_name)
        self.project = project_name
        print(f"[lumora] Imported project '{project_name}'")

    def create_project(self, name):
        self._rec("create_project", name)
        self.project, self.timelines = name, []
        print(f"[lumora] Created project '{name}'")
        return object()

    def set_current_timeline(self, timeline_name):
        self._rec("set_current_timeline", timeline_name)
        if timeline_name not in self.timelines:
            raise RuntimeError(f"Timeline '{timeline_name}' not found")
        print(f"[lumora] Active timeline: {timeline_name}")

    def add_clip_to_timeline(self, clip_name, start_time, duration, *, video=True, audio=True,
                             track_index=1):
        self._rec("add_clip_to_timeline", clip_name, start_time, duration, video=video,
                  audio=audio, track_index=track_index)
        if clip_name not in self.clips:
            raise RuntimeError(f"Clip '{clip_name}' not found in Media Pool")
        print(f"[lumora] Added clip '{clip_name}' @ {float(start_time)}s")

    def import_and_add_to_timeline(self, filepath, start_time, duration, *, video=True,
                                   audio=True, track_index=1):
        self._rec("import_and_add_to_timeline", filepath, start_time, duration, video=video,
                  audio=audio, track_index=track_index)

    def generate_text_on_timeline(self, template_name, text, start_time, duration, *,
                                  track_index=3):
        self._rec("generate_text_on_timeline", template_name, text, start_time, duration,
                  track_index=track_index)
        print(f"[lumora] Generated text '{text}'")

    # Views of what was placed.
    def named(self, name):
        return [c for c in self.calls if c[0] == name]

    def texts(self, template):
        return [(a[1], a[2], a[3]) for n, a, k in self.calls
                if n == "generate_text_on_timeline" and a[0] == template]

    def track(self, index):
        """(start, end) of every video item placed on a track, in placement order."""
        out = []
        for name, a, k in self.calls:
            if name in ("add_clip_to_timeline", "generate_text_on_timeline",
                        "import_and_add_to_timeline") and k.get("track_index") == index \
                    and k.get("video", True):
                start, duration = (a[2], a[3]) if name == "generate_text_on_timeline" else \
                    (a[1], a[2])
                out.append((start, start + duration))
        return out


@pytest.fixture
def lumora(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(montra, "lumora", rec)
    return rec


def make_edit(*caption_blocks, music="music.mp3"):
    edit = montra.Edit("voice.mp3", music)
    for i, caps in enumerate(caption_blocks):
        edit.scenes.append(montra.Scene(caps, f"bg{i}.mp4", 100, 100, 100))
    return edit


def times(edit):
    return [(s.start, s.end, s.fade_in, s.fade_out) for s in edit.scenes]


# --- Scene and Edit ------------------------------------------------------------------------

def test_scene_and_edit_attributes():
    caps = Caps((0.0, 1.0))
    scene = montra.Scene(caps, "bg.mp4", 110, 90, 120)
    assert list(vars(scene)) == ["background", "brightness", "contrast", "saturation",
                                 "color_tone", "captions", "start", "end", "fade_in", "fade_out"]
    assert scene.captions is caps and scene.color_tone == (100, 100, 100)
    assert (scene.start, scene.end, scene.fade_in, scene.fade_out) == (0.0, 0.0, 0.0, 0.0)
    scene.start, scene.end = 1.5, 4.0
    assert scene.duration == 2.5
    with pytest.raises(AttributeError):
        scene.duration = 3.0
    kw = montra.Scene(captions=caps, background="b", brightness=1, contrast=2, saturation=3,
                      color_tone=(1, 2, 3))
    assert kw.color_tone == (1, 2, 3)
    assert montra.Scene.__mro__ == (montra.Scene, object)

    edit = montra.Edit("voice.mp3", None)
    assert list(vars(edit)) == ["scenes", "speech", "bg_music"]
    assert edit.scenes == [] and edit.bg_music is None
    assert montra.Edit("a", None).scenes is not edit.scenes


@pytest.mark.parametrize("build, message", [
    (lambda: montra.Edit("voice.mp3"), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda: montra.Edit("v", None, 1), "__init__() takes exactly 3 positional arguments (4 given)"),
    (lambda: montra.Edit(None, None), "Argument 'speech' has incorrect type (expected str, got NoneType)"),
    (lambda: montra.Edit("v", 5), "Argument 'bg_music' has incorrect type (expected str, got int)"),
    (lambda: montra.Scene(Caps(), 5, 1, 1, 1), "Argument 'background' has incorrect type (expected str, got int)"),
    (lambda: montra.Scene(Caps(), "b", 1, 1), "__init__() takes at least 6 positional arguments (5 given)"),
    (lambda: montra.Scene(Caps(), "b", 1, 1, 1, (1, 1, 1), 7), "__init__() takes at most 7 positional arguments (8 given)"),
])
def test_constructor_type_errors(build, message):
    with pytest.raises(TypeError) as err:
        build()
    assert str(err.value) == message


def test_constructor_checks_before_setting_anything():
    scene = montra.Scene.__new__(montra.Scene)
    with pytest.raises(TypeError):
        scene.__init__(Caps(), b"bg", 1, 1, 1)
    assert vars(scene) == {}


# --- set_scenes_duration -------------------------------------------------------------------

@pytest.mark.parametrize("captions, expected", [
    # One scene: starts at 0, ends 1.0 s after its last caption, 0.5 s fade-in.
    ([(0.4, 3.0)], [(0.0, 4.0, 0.5, 0.0)]),
    # A 2.0 s pause is split with fades of half the gap.
    ([(0.2, 3.0), (5.0, 8.0)], [(0.0, 4.0, 0.5, 1.0), (4.0, 9.0, 1.0, 0.0)]),
    # A 1.4 s pause is closed without fades.
    ([(0.0, 3.0), (4.4, 6.0)], [(0.0, 4.4, 0.5, 0.0), (4.4, 7.0, 0.0, 0.0)]),
    # Exactly 1.5 is a long pause.
    ([(0.0, 2.0), (3.5, 5.0)], [(0.0, 2.75, 0.5, 0.75), (2.75, 6.0, 0.75, 0.0)]),
    # Overlapping captions: this scene ends at the next start.
    ([(0.0, 3.0), (2.5, 5.0)], [(0.0, 2.5, 0.5, 0.0), (2.5, 6.0, 0.0, 0.0)]),
])
def test_set_scenes_duration(captions, expected, capsys):
    edit = make_edit(*(Caps(c) for c in captions))
    edit.set_scenes_duration()
    assert times(edit) == expected
    assert edit.duration == expected[-1][1]
    out = capsys.readouterr().out.splitlines()
    assert out == [f"[montra] Scene {i}: {s:.2f} \u2192 {e:.2f}"
                   for i, (s, e, _, _) in enumerate(expected)]
    # Computed afresh from the captions: a second call gives the same times.
    edit.set_scenes_duration()
    assert times(edit) == expected


def test_set_scenes_duration_tiles_and_keeps_hand_set_fades():
    edit = make_edit(Caps((0.7, 2.0)), Caps((2.1, 3.0)), Caps((6.0, 7.0)), Caps((6.5, 9.0)))
    edit.scenes[3].fade_out = 0.3  # only ever set, never reset
    edit.scenes[1].fade_in = 0.2
    edit.scenes[2].fade_out = None  # a fade the computation does not set is not even read
    edit.set_scenes_duration()
    ts = times(edit)
    assert ts[0][0] == 0.0 and ts[-1][1] == 10.0
    assert all(ts[i][1] == ts[i + 1][0] for i in range(3))
    assert ts[1][2] == 0.2 and ts[3][3] == 0.3 and ts[2][3] is None
    assert ts[1][3] == 1.5 and ts[2][2] == 1.5


def test_set_scenes_duration_failures():
    with pytest.raises(IndexError):
        montra.Edit("v", None).set_scenes_duration()
    with pytest.raises(ValueError):
        montra.Edit("v", None).duration
    edit = make_edit(Caps((0.0, 1.0)), Caps())
    with pytest.raises(ValueError):  # min() of a caption block without lines
        edit.set_scenes_duration()
    with pytest.raises(TypeError, match=r"set_scenes_duration\(\) takes exactly 1"):
        edit.set_scenes_duration(1)


def test_edit_duration_is_the_largest_end():
    edit = make_edit(Caps((0.0, 1.0)), Caps((1.0, 2.0)))
    edit.scenes[0].end, edit.scenes[1].end = 7.0, 3.0
    assert edit.duration == 7.0


def test_help_texts():
    assert montra.__doc__ == ("montra\nWorkflow-level video editing logic using DaVinci "
                              "Resolve.\nRelies on lumora for all Resolve API interactions.")
    assert montra.Edit.set_scenes_duration.__doc__ == (
        "Calculates start/end times for scenes based on captions,\napplying smart pauses "
        "and fade-in/out.")
    assert montra.Edit("v", None).set_scenes_duration.__doc__ == \
        montra.Edit.set_scenes_duration.__doc__
    assert montra.setup_davinci.__doc__ == (
        "Prepare Resolve environment.\nAssumes resolve context is already set via "
        "lumora.set_resolve().\nProject will be deleted if it already exists.")


@pytest.mark.parametrize("fn, expected", [
    (lambda: montra.setup_davinci,
     "(template_project_path=None, project_name='brevano_2026')"),
    (lambda: montra.render, "(edit)"),
    (lambda: montra.Edit.set_scenes_duration, "(self)"),
    (lambda: montra.Edit("v", None).set_scenes_duration, "()"),
    (lambda: montra.Edit, "(speech, bg_music)"),
    (lambda: montra.Scene,
     "(captions, background, brightness, contrast, saturation, color_tone=(100, 100, 100))"),
])
def test_signatures(fn, expected):
    import inspect
    assert str(inspect.signature(fn())) == expected


# --- setup_davinci -------------------------------------------------------------------------

@pytest.mark.parametrize("open_project, template, expected", [
    (None, "/t/tolvane.drp", [("get_current_project_name", (), {}),
                              ("import_project", ("/t/tolvane.drp", "short"), {})]),
    ("short", "/t/tolvane.drp", [("get_current_project_name", (), {}),
                                 ("delete_current_project", (), {}),
                                 ("import_project", ("/t/tolvane.drp", "short"), {})]),
    ("other", None, [("get_current_project_name", (), {}), ("create_project", ("short",), {})]),
    ("other", "", [("get_current_project_name", (), {}), ("create_project", ("short",), {})]),
])
def test_setup_davinci(lumora, capsys, open_project, template, expected):
    lumora.project = open_project
    assert montra.setup_davinci(template, project_name="short") is None
    assert lumora.calls == expected
    assert capsys.readouterr().out.splitlines()[0] == "[montra] Setting up DaVinci Resolve"


def test_setup_davinci_defaults_and_failures(lumora, monkeypatch):
    montra.setup_davinci()
    assert lumora.calls[-1] == ("create_project", ("brevano_2026",), {})

    def no_context():
        raise RuntimeError("Resolve context not set. Call set_resolve(resolve) first.")

    def broken():
        raise KeyError("boom")

    monkeypatch.setattr(lumora, "get_current_project_name", no_context)
    montra.setup_davinci("/t.drp", "p")  # swallowed: nothing to replace
    assert lumora.calls[-1] == ("import_project", ("/t.drp", "p"), {})

    monkeypatch.setattr(lumora, "get_current_project_name", broken)
    with pytest.raises(KeyError):
        montra.setup_davinci("/t.drp", "p")

    def refuse(name):
        raise RuntimeError(f"Could not create project '{name}'")

    monkeypatch.setattr(lumora, "get_current_project_name", no_context)
    monkeypatch.setattr(lumora, "create_project", refuse)
    with pytest.raises(RuntimeError, match="Could not create project 'p'"):
        montra.setup_davinci(None, "p")

    for args, message in [((5,), "Argument 'template_project_path' has incorrect type "
                                  "(expected str, got int)"),
                          ((None, None), "Argument 'project_name' has incorrect type "
                                         "(expected str, got NoneType)"),
                          ((None, "p", 1), "setup_davinci() takes at most 2 positional "
                                           "arguments (3 given)")]:
        with pytest.raises(TypeError) as err:
            montra.setup_davinci(*args)
        assert str(err.value) == message


# --- render --------------------------------------------------------------------------------

def test_render_two_scenes_exact_calls(lumora, capsys):
    edit = make_edit(Caps((0.2, 3.0, " Hallo, Welt.")), Caps((5.0, 8.0, ' "Zitat" hier!')))
    assert montra.render(edit) is None
    assert lumora.calls == [
        ("set_current_timeline", ("Timeline 1",), {}),
        ("import_and_add_to_timeline", ("bg0.mp4", 0.0, 4.0),
         {"video": True, "audio": False, "track_index": 1}),
        ("add_clip_to_timeline", ("FadeIn_500ms", 0.0, 0.5),
         {"video": True, "audio": True, "track_index": 2}),
        ("add_clip_to_timeline", ("FadeOut_1000ms", 3.0, 1.0),
         {"video": True, "audio": True, "track_index": 2}),
        ("generate_text_on_timeline", ("Caption", " Hallo Welt", 0.2, 3.0 - 0.2),
         {"track_index": 3}),
        ("import_and_add_to_timeline", ("bg1.mp4", 4.0, 5.0),
         {"video": True, "audio": False, "track_index": 1}),
        ("add_clip_to_timeline", ("FadeIn_1000ms", 4.0, 1.0),
         {"video": True, "audio": True, "track_index": 2}),
        ("generate_text_on_timeline", ("Caption", " Zitat hier!", 5.0, 3.0), {"track_index": 3}),
        ("import_and_add_to_timeline", ("music.mp3", 0, 9.0),
         {"video": False, "audio": True, "track_index": 2}),
        ("import_and_add_to_timeline", ("voice.mp3", 0, 9.0),
         {"video": False, "audio": True, "track_index": 1}),
        ("generate_text_on_timeline", ("Watermark", "@YourChannel", 0, 9.0), {"track_index": 5}),
    ]
    out = capsys.readouterr().out.splitlines()
    assert out[:4] == ["[montra] Rendering edit", "[montra] Scene 0: 0.00 \u2192 4.00",
                       "[montra] Scene 1: 4.00 \u2192 9.00", "[lumora] Active timeline: Timeline 1"]
    assert out.index("[montra] Scene 0") < out.index("[lumora] Added clip 'FadeIn_500ms' @ 0.0s") \
        < out.index("[montra] Scene 1") < out.index("[lumora] Generated text '@YourChannel'")
    assert out[-1] == "[montra] Render pipeline complete"


@pytest.mark.parametrize("pause, fade_clips", [
    (1.5, ["FadeIn_500ms", "FadeOut_500ms", "FadeIn_500ms"]),    # 0.75 uses the 0.5 clips
    (2.0, ["FadeIn_500ms", "FadeOut_1000ms", "FadeIn_1000ms"]),  # exactly 1.0
    (1.4, ["FadeIn_500ms"]),
])
def test_render_fade_clip_choice(lumora, pause, fade_clips):
    montra.render(make_edit(Caps((0.0, 2.0)), Caps((2.0 + pause, 5.0))))
    assert [c[1][0] for c in lumora.named("add_clip_to_timeline")] == fade_clips
    fade_out = [c for c in lumora.named("add_clip_to_timeline") if "Out" in c[1][0]]
    for _, (_, start, length), _ in fade_out:
        assert start + length == 2.0 + pause / 2  # ends exactly at the scene end


@pytest.mark.parametrize("text, template, shown", [
    (" <counter>Drittens.", "Counter", "3"),
    (" <counter>Tipp.", "Counter", "Tipp"),
    (" <counter> Drittens.", "Counter", " Drittens"),  # the word is taken as it stands
    (" <counter>zwölftens.", "Counter", "12"),
    (" <counter>FÜNFTENS", "Counter", "5"),
    (" <counter>erstens..", "Counter", "erstens."),  # only one trailing period goes
    ("<counter>Drittens.", "Caption", "<counter>Drittens"),
    (" Hallo, Welt.", "Caption", " Hallo Welt"),
    (' Er sagte: "Ja?" Nein!', "Caption", " Er sagte: Ja? Nein!"),
])
def test_render_line_texts(lumora, text, template, shown):
    montra.render(make_edit(Caps((0.5, 2.0, text))))
    titles = lumora.texts(template)
    assert titles[0][0] == shown
    if template == "Counter":
        assert titles[0][1:] == (0.5, 3.0)  # from the line start for the scene's length
        assert lumora.texts("Caption") == []


def test_render_counter_lasts_until_next_counter_scene(lumora):
    edit = make_edit(Caps((0.5, 2.0, " <counter>Erstens.")), Caps((3.0, 5.0, " Text")),
                     Caps((6.0, 8.0, " <counter>Tipp")))
    montra.render(edit)
    assert lumora.texts("Counter") == [("1", 0.5, 6.0 - 0.5), ("Tipp", 6.0, 3.0)]
    counters = [c for c in lumora.calls if c[1][:1] == ("Counter",)]
    assert all(c[2] == {"track_index": 4} for c in counters)


@pytest.mark.parametrize("music", [None, ""])
def test_render_without_music(lumora, music):
    montra.render(make_edit(Caps((0.0, 1.0)), music=music))
    audio = [c for c in lumora.named("import_and_add_to_timeline") if not c[2]["video"]]
    assert audio == [("import_and_add_to_timeline", ("voice.mp3", 0, 2.0),
                      {"video": False, "audio": True, "track_index": 1})]
    assert lumora.calls[-1] == ("generate_text_on_timeline",
                                ("Watermark", "@YourChannel", 0, 2.0), {"track_index": 5})


def test_render_recomputes_times(lumora):
    edit = make_edit(Caps((0.4, 3.0)))
    edit.scenes[0].start, edit.scenes[0].end = 10.0, 20.0
    montra.render(edit)
    assert times(edit) == [(0.0, 4.0, 0.5, 0.0)]


def test_render_failures_leave_earlier_calls(lumora, monkeypatch):
    # After setup_davinci(None) the empty project has no "Timeline 1".
    montra.setup_davinci(None)
    edit = make_edit(Caps((0.0, 1.0)))
    with pytest.raises(RuntimeError, match="^Timeline 'Timeline 1' not found$"):
        montra.render(edit)
    assert lumora.calls[-1][0] == "set_current_timeline"

    # A template without the fade clip: the call's own error ends the assembly.
    rec = Recorder(clips=["Caption"])
    monkeypatch.setattr(montra, "lumora", rec)
    with pytest.raises(RuntimeError, match="^Clip 'FadeIn_500ms' not found in Media Pool$"):
        montra.render(edit)
    assert [c[0] for c in rec.calls] == ["set_current_timeline", "import_and_add_to_timeline",
                                         "add_clip_to_timeline"]

    # A hand-set fade below the smallest clip finds no key (max() of nothing).
    rec = Recorder()
    monkeypatch.setattr(montra, "lumora", rec)
    edit = make_edit(Caps((0.0, 1.0)), Caps((1.0, 2.0)))
    edit.scenes[1].fade_out = 0.1
    with pytest.raises(ValueError):
        montra.render(edit)
    assert rec.calls[-1][1][0] == "bg1.mp4"


# --- no two items overlap on one track -----------------------------------------------------

def assert_no_overlaps(rec):
    for track in (1, 2, 3, 4):
        items = sorted(rec.track(track))
        assert all(a[1] <= b[0] for a, b in zip(items, items[1:])), (track, items)


def test_two_counters_in_one_scene_do_not_overlap(lumora):
    edit = make_edit(Caps((0.5, 2.0, " <counter>Erstens."), (2.0, 3.5, " Eins"),
                          (4.0, 5.0, " <counter>Zweitens."), (5.0, 6.0, " Zwei")),
                     Caps((8.0, 9.0, " <counter>Drittens.")))
    montra.render(edit)
    # Scene 0 ends at 7.0 (pause 2.0); the next counter scene starts there.
    assert lumora.texts("Counter") == [("1", 0.5, 3.5), ("2", 4.0, 3.0), ("3", 8.0, 3.0)]
    assert_no_overlaps(lumora)


def test_overlapping_caption_lines_end_where_the_next_begins(lumora):
    # Overlaps of 0.5 s or more survive the caption timing pass; touching lines stay exact.
    edit = make_edit(Caps((0.0, 2.0, " Eins"), (1.25, 3.0, " Zwei"), (3.0, 4.0, " Drei")))
    montra.render(edit)
    assert lumora.texts("Caption") == [(" Eins", 0.0, 1.25), (" Zwei", 1.25, 3.0 - 1.25),
                                       (" Drei", 3.0, 1.0)]
    assert_no_overlaps(lumora)


def test_touching_lines_do_not_round_into_each_other(lumora):
    # 0.03 + (0.34 - 0.03) != 0.34 in floating point: placed as end - start, the first title
    # would end one 25 fps frame after the second one starts.
    edit = make_edit(Caps((0.03, 0.34, " Eins"), (0.34, 1.0, " Zwei")))
    montra.render(edit)
    (_, s0, d0), (_, s1, _) = lumora.texts("Caption")
    assert s0 + d0 <= s1 == 0.34
    assert round((s0 + d0) * 25) == round(s1 * 25) == 8
    assert abs(d0 - (0.34 - 0.03)) < 1e-15
    assert_no_overlaps(lumora)


def test_lumora_is_looked_up_at_call_time(monkeypatch):
    first, second = Recorder(), Recorder()
    monkeypatch.setattr(montra, "lumora", first)
    montra.setup_davinci("/t.drp")
    monkeypatch.setattr(montra, "lumora", second)
    montra.setup_davinci("/t.drp")
    assert len(first.calls) == len(second.calls) == 2
