"""The generation input model and the pipeline, with every stage replaced by a recorder."""

import os
from types import SimpleNamespace

import pytest

from vestrel import brevano


# ---------------------------------------------------------------- stage recorders


def word(text, start, end):
    return SimpleNamespace(text=text, start=start, end=end)


W = [word(" Hallo", 0.0, 0.4), word(" schöne", 0.4, 0.8), word(" Welt.", 0.8, 1.25),
     word(" Ja", 1.3, 1.5), word(" Tschüss !", 1.75, 2.5)]
LONG = " Tschüss " + "x" * 60
TRANSCRIPTION = SimpleNamespace(segments=[
    SimpleNamespace(start=0.0, end=1.5, text=" Hallo schöne Welt. Ja", words=W[:4]),
    SimpleNamespace(start=1.75, end=2.5, text=LONG, words=W[4:]),
])


class Stages:
    """Fake tts, lexor and montra modules that record every call in order."""

    def __init__(self, per_scene):
        self.calls = []
        self.per_scene = per_scene
        calls = self.calls

        def recorder(name, result=None):
            def call(*args, **kwargs):
                calls.append((name, args, kwargs))
                return result
            return call

        class Captions:
            def __init__(self, words):
                self.words = words
                self.start = min(w.start for w in words) if words else 0.0
                self.end = max(w.end for w in words) if words else 0.0

            @classmethod
            def create_by_transcription(cls, words, **kwargs):
                caps = cls(words)
                calls.append(("Captions.create_by_transcription", (words,), kwargs))
                return caps

            def _print_timing_debug(self, label):
                calls.append(("captions._print_timing_debug", (label,), {}))
                print("[Captions] debug " + label)

            def adjust_timing(self, *args, **kwargs):
                calls.append(("captions.adjust_timing", args, kwargs))

        class Scene:
            def __init__(self, *args, **kwargs):
                calls.append(("montra.Scene", args, kwargs))
                self.kwargs = kwargs
                self.captions = kwargs["captions"]
                self.start = self.end = 0.0

            @property
            def duration(self):
                return self.end - self.start

        class Edit:
            def __init__(self, *args, **kwargs):
                calls.append(("montra.Edit", args, kwargs))
                self.scenes = []

            def set_scenes_duration(self):
                calls.append(("edit.set_scenes_duration", (), {}))
                for scene in self.scenes:
                    scene.start = scene.captions.start
                    scene.end = scene.captions.end + 1.0

        self.tts = SimpleNamespace(generate_tts=recorder("tts.generate_tts"))
        self.lexor = SimpleNamespace(
            generate_transcription=recorder("lexor.generate_transcription", TRANSCRIPTION),
            update_transcription=recorder("lexor.update_transcription"),
            split_by_scenes=recorder("lexor.split_by_scenes", per_scene))
        self.montra = SimpleNamespace(
            setup_davinci=recorder("montra.setup_davinci"),
            remove_silence_from_audio=recorder("montra.remove_silence_from_audio",
                                               "/tmp/voice_short.mp3"),
            render=recorder("montra.render"), Captions=Captions, Scene=Scene, Edit=Edit)

    def names(self):
        return [c[0] for c in self.calls]

    def call(self, name):
        found = [c for c in self.calls if c[0] == name]
        assert len(found) == 1, (name, self.names())
        return found[0]


@pytest.fixture
def stages(monkeypatch):
    s = Stages([W[:4], W[4:]])
    monkeypatch.setattr(brevano, "tts", s.tts)
    monkeypatch.setattr(brevano, "lexor", s.lexor)
    monkeypatch.setattr(brevano, "montra", s.montra)
    return s


C1, C2 = " Hallo <split> Welt.", " Tschüss <counter>!"
RAW = C1 + C2
SPEECH = " Hallo  Welt. Tschüss !"
BUILTIN = os.path.join(os.path.dirname(brevano.__file__), "templates", "tolvane.drp")


def make_input(captions=(C1, C2), **overrides):
    scenes = [brevano.BrevanoScene(c, brevano.BrevanoBackgroundVideo(f"/v/bg{i}.mp4", 90, 80, 70,
                                                                     (1, 2, 3)))
              for i, c in enumerate(captions)]
    kwargs = dict(tts_engine="eleven", edge_voice_name="de-DE-X", eleven_voice_id="vid",
                  eleven_api_key="key", davinci_project_name="proj", whisper_model="small",
                  chars_per_line=18, remove_silence=True)
    kwargs.update(overrides)
    return brevano.BrevanoInput(scenes, "/tmp/music.mp3", "/tmp/voice.mp3", **kwargs)


# ---------------------------------------------------------------- generate_short


EXPECTED_OUTPUT = f"""\
[Brevano] Generating TTS...
[Brevano] Raw text: {RAW}...
[Brevano] Speech text (commands removed): {SPEECH}...
[Brevano] TTS saved to: /tmp/voice.mp3
[Brevano] Removing silence (min duration: 0.3s)...
[Brevano] Silence removed. Output: /tmp/voice_short.mp3
[Brevano] Transcribing audio with Whisper model 'small' language 'de'...
[Brevano] TRANSCRIPTION TIMING DEBUG:
  Segment 0: [0.000s - 1.500s] (1.500s) ' Hallo schöne Welt. Ja'
    Word 0: [0.000s - 0.400s] ' Hallo'
    Word 1: [0.400s - 0.800s] ' schöne'
    Word 2: [0.800s - 1.250s] ' Welt.'
  Segment 1: [1.750s - 2.500s] (0.750s) '{LONG[:50]}'
    Word 0: [1.750s - 2.500s] ' Tschüss !'
[Brevano] PER-SCENE TRANSCRIPTION DEBUG:
  Scene 0: [0.000s - 1.500s] (1.500s) - 4 words
    Word 0: [0.000s - 0.400s] ' Hallo'
    Word 1: [0.400s - 0.800s] ' schöne'
  Scene 1: [1.750s - 2.500s] (0.750s) - 1 words
    Word 0: [1.750s - 2.500s] ' Tschüss !'
[Brevano] Building Resolve edit...

[Brevano] Scene 0 CAPTIONS (created, before adjust_timing):
[Captions] debug before adjust_timing

[Brevano] Scene 1 CAPTIONS (created, before adjust_timing):
[Captions] debug before adjust_timing
[Brevano] EDIT SCENES TIMING DEBUG:
  Scene 0: [0.000s - 2.500s] (2.500s) captions: [0.000s - 1.500s]
  Scene 1: [1.750s - 3.500s] (1.750s) captions: [1.750s - 2.500s]
[Brevano] Rendering...
[Brevano] Done.
"""


def test_full_run_calls_every_stage_in_order_with_exact_arguments(stages, capsys):
    data = make_input()
    assert brevano.generate_short(data) is None

    assert stages.names() == [
        "tts.generate_tts", "montra.setup_davinci", "montra.remove_silence_from_audio",
        "lexor.generate_transcription", "lexor.update_transcription", "lexor.split_by_scenes",
        "montra.Edit",
        "Captions.create_by_transcription", "captions._print_timing_debug",
        "captions.adjust_timing", "montra.Scene",
        "Captions.create_by_transcription", "captions._print_timing_debug",
        "captions.adjust_timing", "montra.Scene",
        "edit.set_scenes_duration", "montra.render"]
    _, args, kwargs = stages.call("tts.generate_tts")
    assert args == ()
    assert list(kwargs.items()) == [
        ("text", SPEECH), ("outputfile", "/tmp/voice.mp3"), ("engine", "eleven"),
        ("voice_name", "de-DE-X"), ("voice_id", "vid"), ("api_key", "key"),
        ("language_code", "de")]
    assert stages.call("montra.setup_davinci")[1:] == (
        (), {"template_project_path": BUILTIN, "project_name": "proj"})
    assert stages.call("montra.remove_silence_from_audio")[1:] == (
        ("/tmp/voice.mp3",), {"min_silence_duration": 0.3})
    assert stages.call("lexor.generate_transcription")[1:] == (
        ("/tmp/voice_short.mp3", SPEECH, "small", "de"), {})
    assert stages.call("lexor.update_transcription")[1:] == ((TRANSCRIPTION, RAW), {})
    assert stages.call("lexor.split_by_scenes")[1:] == ((TRANSCRIPTION, [C1, C2]), {})
    assert stages.call("montra.Edit")[1:] == (("/tmp/voice_short.mp3", "/tmp/music.mp3"), {})

    creates = [c for c in stages.calls if c[0] == "Captions.create_by_transcription"]
    assert [(c[1][0], c[2]) for c in creates] == [(W[:4], {"chars_per_line": 18}),
                                                  (W[4:], {"chars_per_line": 18})]
    assert [c[1] for c in stages.calls if c[0] == "captions._print_timing_debug"] == [
        ("before adjust_timing",)] * 2
    assert [c[1:] for c in stages.calls if c[0] == "captions.adjust_timing"] == [((), {})] * 2
    scenes = [c for c in stages.calls if c[0] == "montra.Scene"]
    assert [c[1] for c in scenes] == [(), ()]
    assert [list(c[2]) for c in scenes] == [
        ["background", "brightness", "contrast", "saturation", "color_tone", "captions"]] * 2
    assert scenes[1][2]["background"] == "/v/bg1.mp4"
    assert scenes[1][2]["brightness"] == 90.0 and scenes[1][2]["saturation"] == 70.0
    assert scenes[1][2]["color_tone"] == (1, 2, 3)
    (edit,), _ = stages.call("montra.render")[1:]
    assert [s.kwargs for s in edit.scenes] == [c[2] for c in scenes]

    # The two attributes the run overwrites, and the built-in template beside the module.
    assert data.davinci_template_path == BUILTIN and os.path.isfile(BUILTIN)
    assert data.voice_output_filepath == "/tmp/voice_short.mp3"
    assert capsys.readouterr().out == EXPECTED_OUTPUT


@pytest.mark.parametrize("overrides, expected", [
    (dict(tts_engine="edge"), {"voice_name": "de-DE-X", "voice_id": "vid", "api_key": "key"}),
    (dict(tts_engine="eleven", edge_voice_name=None, eleven_api_key=""),
     {"voice_id": "vid", "language_code": "de"}),
    (dict(tts_engine="eleven", language="", eleven_voice_id=None),
     {"voice_name": "de-DE-X", "api_key": "key"}),
    (dict(tts_engine="custom", edge_voice_name="", eleven_voice_id="", eleven_api_key=None), {}),
    # The offline engine gets the language as well, whatever the case of its name.
    (dict(tts_engine="ESPEAK", edge_voice_name=None, eleven_voice_id=None, eleven_api_key=None,
          language="en"), {"language_code": "en"}),
    (dict(tts_engine="espeak", language=""),
     {"voice_name": "de-DE-X", "voice_id": "vid", "api_key": "key"}),
])
def test_optional_speech_arguments(stages, overrides, expected):
    data = make_input(**overrides)
    brevano.generate_short(data)
    kwargs = stages.call("tts.generate_tts")[2]
    assert list(kwargs)[:3] == ["text", "outputfile", "engine"]
    assert {k: v for k, v in kwargs.items() if k not in ("text", "outputfile", "engine")} \
        == expected
    assert kwargs["engine"] == overrides["tts_engine"]


@pytest.mark.parametrize("engine", [None, ""])
def test_no_engine_uses_the_existing_voice_file(stages, capsys, engine):
    brevano.generate_short(make_input(tts_engine=engine, remove_silence=False))
    out = capsys.readouterr().out
    assert "tts.generate_tts" not in stages.names()
    assert "TTS" not in out and "Raw text" not in out and "Speech text" not in out
    assert out.startswith("[Brevano] Transcribing audio with Whisper model 'small'")
    assert stages.call("lexor.generate_transcription")[1][0] == "/tmp/voice.mp3"
    assert stages.call("montra.Edit")[1][0] == "/tmp/voice.mp3"


def test_without_silence_removal_the_synthesised_file_is_used(stages, capsys):
    data = make_input(remove_silence=0, davinci_template_path="/t/own.drp")
    brevano.generate_short(data)
    assert "montra.remove_silence_from_audio" not in stages.names()
    assert "Removing silence" not in capsys.readouterr().out
    assert data.voice_output_filepath == "/tmp/voice.mp3"
    assert stages.call("montra.Edit")[1][0] == "/tmp/voice.mp3"
    # A template that is given is kept as it is.
    assert stages.call("montra.setup_davinci")[2]["template_project_path"] == "/t/own.drp"
    assert data.davinci_template_path == "/t/own.drp"


def test_silence_duration_prints_in_the_hosts_float_form(stages, capsys):
    brevano.generate_short(make_input(min_silence_duration=2))
    assert "[Brevano] Removing silence (min duration: 2.0s)...\n" in capsys.readouterr().out
    assert stages.call("montra.remove_silence_from_audio")[2] == {"min_silence_duration": 2.0}


@pytest.mark.parametrize("captions, raw", [
    ((" a <x>", " b"), " a <x> b"),
    (("a", "b", "c"), "abc"),
    (("😀" * 120,), "😀" * 120),
])
def test_raw_text_and_its_truncation(stages, capsys, captions, raw):
    per_scene = [[word(" w", 0.0, 1.0)] for _ in captions]
    stages.lexor.split_by_scenes = lambda *a: per_scene
    brevano.generate_short(make_input(captions=captions, remove_silence=False))
    lines = capsys.readouterr().out.splitlines()
    assert lines[1] == "[Brevano] Raw text: " + raw[:100] + "..."
    assert lines[2] == "[Brevano] Speech text (commands removed): " + \
        brevano.remove_commands(raw)[:100] + "..."
    assert stages.call("lexor.update_transcription")[1][1] == raw


def test_empty_word_list_is_skipped_in_the_per_scene_report(stages, capsys):
    per_scene = [[], [word(" a", 1.0, 2.0), word(" b", 0.5, 1.5)], []]
    stages.lexor.split_by_scenes = lambda *a: per_scene
    brevano.generate_short(make_input(captions=("x", "y", "z")))
    out = capsys.readouterr().out
    report = out.split("PER-SCENE TRANSCRIPTION DEBUG:\n")[1].split("[Brevano] Building")[0]
    # Smallest start and largest end of the list, not its first and last word.
    assert report == ("  Scene 1: [0.500s - 2.000s] (1.500s) - 2 words\n"
                      "    Word 0: [1.000s - 2.000s] ' a'\n"
                      "    Word 1: [0.500s - 1.500s] ' b'\n")


class _Shown(str):
    """A text whose own format() would differ from its str()."""

    def __format__(self, how):
        return "formatted"


class _OwnFormat(float):
    def __format__(self, how):
        return "<" + how + ">"


# Times are written as format(x, ".3f") writes them for each type: an int as the float it
# converts to, a bool as its int, a NaN of either sign as "nan", any other number with its
# own __format__ (a float subclass included); texts as str() writes them.
@pytest.mark.parametrize("words, expected", [
    ([word(_Shown(" t"), 1, True)],
     ["  Scene 0: [1.000s - 1.000s] (0.000s) - 1 words",
      "    Word 0: [1.000s - 1.000s] ' t'"]),
    ([word(7, -float("nan"), float("inf")), word(None, -0.0, 2**60)],
     ["  Scene 0: [nans - infs] (nans) - 2 words",
      "    Word 0: [nans - infs] '7'", "    Word 1: [-0.000s - 1152921504606846976.000s] 'None'"]),
    ([word(" f", _OwnFormat(0.5), _OwnFormat(2.0))],
     ["  Scene 0: [<.3f>s - <.3f>s] (1.500s) - 1 words", "    Word 0: [<.3f>s - <.3f>s] ' f'"]),
])
def test_per_scene_report_writes_each_type_as_the_host_does(stages, capsys, words, expected):
    stages.lexor.split_by_scenes = lambda *a: [words]
    brevano.generate_short(make_input(captions=("x",)))
    out = capsys.readouterr().out
    report = out.split("PER-SCENE TRANSCRIPTION DEBUG:\n")[1].split("[Brevano] Building")[0]
    assert report.splitlines() == expected


def test_a_failing_stage_ends_the_run(stages, capsys):
    def boom(*args, **kwargs):
        raise RuntimeError("Resolve is gone")

    stages.montra.setup_davinci = boom
    data = make_input()
    with pytest.raises(RuntimeError, match="Resolve is gone"):
        brevano.generate_short(data)
    assert stages.names() == ["tts.generate_tts"]
    assert data.davinci_template_path == BUILTIN
    assert "[Brevano] Done." not in capsys.readouterr().out


def test_fewer_word_lists_than_scenes_fails_at_that_scene(stages):
    stages.lexor.split_by_scenes = lambda *a: [W[:2]]
    with pytest.raises(IndexError):
        brevano.generate_short(make_input())
    assert [c[0] for c in stages.calls].count("montra.Scene") == 1


def test_stages_are_looked_up_on_the_real_modules_at_call_time(monkeypatch):
    """Replacing an attribute of vestrel.tts / lexor / montra is seen by the pipeline."""
    import vestrel.lexor
    import vestrel.montra
    import vestrel.tts

    s = Stages([W[:4], W[4:]])
    monkeypatch.setattr(vestrel.tts, "generate_tts", s.tts.generate_tts)
    for name, value in vars(s.lexor).items():
        monkeypatch.setattr(vestrel.lexor, name, value, raising=False)
    for name, value in vars(s.montra).items():
        monkeypatch.setattr(vestrel.montra, name, value, raising=False)
    brevano.generate_short(data=make_input())
    assert s.names()[0] == "tts.generate_tts" and s.names()[-1] == "montra.render"


def test_generate_short_argument_checks():
    with pytest.raises(TypeError, match=r"^generate_short\(\) takes exactly 1 positional "
                                        r"argument \(0 given\)$"):
        brevano.generate_short()
    with pytest.raises(TypeError, match=r"^generate_short\(\) got an unexpected keyword "
                                        r"argument 'input'$"):
        brevano.generate_short(input=None)


# ---------------------------------------------------------------- remove_commands


@pytest.mark.parametrize("text, expected", [
    ("eins <pause> zwei", "eins  zwei"),
    ("a < b", "a < b"),
    ("<x>>y", ">y"),
    ("no commands", "no commands"),
    ("", ""),
    ("<a><b>c<>", "c"),
    ("x<<y>z <ä> ü", "xz  ü"),
    ("a\ud800<x>b", "a\ud800b"),
])
def test_remove_commands(text, expected):
    assert brevano.remove_commands(text) == expected
    assert brevano.remove_commands(text=text) == expected


def test_remove_commands_checks_its_argument():
    class S(str):
        pass

    for bad, got in [(None, "NoneType"), (S("a"), "S"), (b"<x>", "bytes")]:
        with pytest.raises(TypeError) as e:
            brevano.remove_commands(bad)
        assert str(e.value) == \
            f"Argument 'text' has incorrect type (expected str, got {got})"
    with pytest.raises(TypeError, match=r"^remove_commands\(\) takes exactly 1 positional "
                                        r"argument \(2 given\)$"):
        brevano.remove_commands("a", "b")


def test_module_shape():
    assert brevano.__doc__.splitlines() == [
        "Main orchestration logic for generating short videos.", "No FastAPI code in here."]
    import vestrel.montra
    import vestrel.tts
    assert brevano.tts is vestrel.tts and brevano.montra is vestrel.montra
    assert "Main pipeline:\n- generate voice\n- remove silence\n- transcribe\n" \
        "- map captions\n- render video" in brevano.generate_short.__doc__
    assert "Remove commands like <...> from text." in brevano.remove_commands.__doc__


# ---------------------------------------------------------------- input classes


def test_background_video_conversions():
    v = brevano.BrevanoBackgroundVideo("/a/b/clip.mp4", 100, 100, True)
    assert list(vars(v).items()) == [
        ("filepath", "/a/b/clip.mp4"), ("filename", "clip.mp4"), ("brightness", 100.0),
        ("contrast", 100.0), ("saturation", 1.0), ("color_tone", (100, 100, 100))]
    assert all(type(getattr(v, k)) is float for k in ("brightness", "contrast", "saturation"))
    other = brevano.BrevanoBackgroundVideo(filepath="/d/", brightness=1.5, contrast=2,
                                           saturation=3, color_tone="anything")
    assert other.filename == "" and other.color_tone == "anything"
    assert brevano.BrevanoBackgroundVideo("x", 1, 1, 1).color_tone is v.color_tone
    assert type(v).__bases__ == (object,) and type(v).__module__ == "vestrel.brevano"
    assert type(v).__doc__


def test_scene_stores_its_values():
    bg = object()
    s = brevano.BrevanoScene(" a <split> b", bg)
    assert list(vars(s).items()) == [("caption", " a <split> b"), ("bg_video", bg)]
    assert brevano.BrevanoScene(caption="", bg_video=None).bg_video is None


def test_input_defaults_and_conversions():
    scenes = []
    d = brevano.BrevanoInput(scenes, None, "/v.mp3", None)
    assert d.scenes is scenes
    assert list(vars(d).items()) == [
        ("scenes", scenes), ("bg_music_filepath", None), ("voice_output_filepath", "/v.mp3"),
        ("tts_engine", None), ("edge_voice_name", None), ("eleven_voice_id", None),
        ("eleven_api_key", None), ("davinci_project_name", "tolvane_2026"),
        ("davinci_template_path", None), ("pexels_api_key", None), ("whisper_model", "medium"),
        ("language", "de"), ("chars_per_line", 25), ("remove_silence", False),
        ("min_silence_duration", 0.3)]
    d = brevano.BrevanoInput([], "m", "v", "edge", "voice", "id", "key", "p", "t", "px", "tiny",
                             "en", 25.9, "yes", 1)
    assert (d.chars_per_line, d.remove_silence, d.min_silence_duration) == (25, True, 1.0)
    assert type(d.min_silence_duration) is float and type(d.chars_per_line) is int
    assert brevano.BrevanoInput([], None, "v", None, chars_per_line=-3.7).chars_per_line == -3
    assert brevano.BrevanoInput([], None, "v", None, chars_per_line=True).chars_per_line == 1
    assert brevano.BrevanoInput([], None, "v", None, remove_silence=[]).remove_silence is False


ARGS4 = ([], None, "v", None)


@pytest.mark.parametrize("make, message", [
    (lambda: brevano.BrevanoBackgroundVideo(None, 1, 1, 1),
     "Argument 'filepath' has incorrect type (expected str, got NoneType)"),
    (lambda: brevano.BrevanoScene(None, object()),
     "Argument 'caption' has incorrect type (expected str, got NoneType)"),
    (lambda: brevano.BrevanoInput((), None, "v", None),
     "Argument 'scenes' has incorrect type (expected list, got tuple)"),
    (lambda: brevano.BrevanoInput([], None, None, None),
     "Argument 'voice_output_filepath' has incorrect type (expected str, got NoneType)"),
    (lambda: brevano.BrevanoInput(*ARGS4, davinci_project_name=None),
     "Argument 'davinci_project_name' has incorrect type (expected str, got NoneType)"),
    (lambda: brevano.BrevanoInput([], 3, "v", None),
     "Argument 'bg_music_filepath' has incorrect type (expected str, got int)"),
    (lambda: brevano.BrevanoInput(*ARGS4, chars_per_line="25"),
     "Argument 'chars_per_line' has incorrect type (expected int, got str)"),
    (lambda: brevano.BrevanoInput(*ARGS4, language=None),
     "Argument 'language' has incorrect type (expected str, got NoneType)"),
    (lambda: brevano.BrevanoInput(),
     "__init__() takes at least 5 positional arguments (1 given)"),
    (lambda: brevano.BrevanoInput([], None, "v"),
     "__init__() takes at least 5 positional arguments (4 given)"),
    (lambda: brevano.BrevanoScene("a", None, None),
     "__init__() takes exactly 3 positional arguments (4 given)"),
    (lambda: brevano.BrevanoBackgroundVideo("a", 1, 1, 1, (1, 1, 1), 5),
     "__init__() takes at most 6 positional arguments (7 given)"),
    (lambda: brevano.BrevanoScene("a", None, title="t"),
     "__init__() got an unexpected keyword argument 'title'"),
    (lambda: brevano.BrevanoScene("a", caption="b"),
     "__init__() got multiple values for argument 'caption'"),
])
def test_constructor_refusals(make, message):
    with pytest.raises(TypeError) as e:
        make()
    assert str(e.value) == message


def test_float_parameters_refuse_text():
    with pytest.raises(TypeError):
        brevano.BrevanoBackgroundVideo("a", "1", 1, 1)
    with pytest.raises(TypeError):
        brevano.BrevanoInput(*ARGS4, min_silence_duration="0.3")


@pytest.mark.parametrize("cls, args, kwargs", [
    (brevano.BrevanoInput, ARGS4, {"min_silence_duration": "x"}),
    (brevano.BrevanoInput, ARGS4, {"whisper_model": 1}),
    (brevano.BrevanoBackgroundVideo, ("a", 1, 1, None), {}),
    (brevano.BrevanoScene, (1, None), {}),
])
def test_a_refused_constructor_stores_nothing(cls, args, kwargs):
    obj = cls.__new__(cls)
    with pytest.raises(TypeError):
        obj.__init__(*args, **kwargs)
    assert vars(obj) == {}


def test_constructor_signatures_match_what_the_constructors_accept():
    import inspect

    params = inspect.signature(brevano.BrevanoInput).parameters
    assert list(params)[:4] == ["scenes", "bg_music_filepath", "voice_output_filepath",
                                "tts_engine"]
    defaults = {k: p.default for k, p in params.items() if p.default is not p.empty}
    built = vars(brevano.BrevanoInput([], None, "v", None))
    assert defaults == {k: built[k] for k in defaults} and len(defaults) == 11
    assert list(inspect.signature(brevano.BrevanoScene).parameters) == ["caption", "bg_video"]
    video = inspect.signature(brevano.BrevanoBackgroundVideo).parameters
    assert video["color_tone"].default == (100, 100, 100)
