"""Conventions shared by every module: argument checks, cross-module names, log tags, loading.

The argument-check sweep calls a representative table of public functions, constructors and
methods of every module with wrong types, wrong counts and bad keywords, and compares the
exact TypeError texts. Every refused call is made before anything reaches Resolve, the disk
or a service, so nothing else needs to be set up.
"""

import os
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

from vestrel import brevano, captions, endpoints, lexor, lumora, media, montra, tts

from conftest import FAKES, run_python


class StrSub(str):
    pass


class Numeric:
    """A numeric scalar that is neither int nor float (like numpy.float64)."""

    def __float__(self):
        return 2.5


def wrong(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


def count(fname, how, n, given):
    return f"{fname}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def _bg():
    return brevano.BrevanoBackgroundVideo("a.mp4", 1, 1, 1)


def _edit():
    return montra.Edit("speech.mp3", None)


def _transcription():
    return lexor.Transcription([lexor.Segment(" ab", 0.0, 1.0, [lexor.Word(" ab", 0.0, 1.0)])],
                               " ab")


# (id, callable factory, args, kwargs, exact TypeError message)
CASES = [
    # brevano: constructors count self and are named __init__
    ("bg-none-path", lambda: brevano.BrevanoBackgroundVideo, (None, 1, 1, 1), {},
     wrong("filepath", "str", "NoneType")),
    ("bg-str-subclass", lambda: brevano.BrevanoBackgroundVideo, (StrSub("a"), 1, 1, 1), {},
     wrong("filepath", "str", "StrSub")),
    ("bg-float-text", lambda: brevano.BrevanoBackgroundVideo, ("a", "1", 1, 1), {},
     "must be real number, not str"),
    ("bg-too-few", lambda: brevano.BrevanoBackgroundVideo, ("a", 1, 1), {},
     count("__init__", "at least", 5, 4)),
    ("bg-too-many", lambda: brevano.BrevanoBackgroundVideo, ("a", 1, 1, 1, (1, 1, 1), 0), {},
     count("__init__", "at most", 6, 7)),
    ("scene-none", lambda: brevano.BrevanoScene, (None, None), {},
     wrong("caption", "str", "NoneType")),
    ("scene-count", lambda: brevano.BrevanoScene, ("x",), {}, count("__init__", "exactly", 3, 2)),
    ("input-tuple", lambda: brevano.BrevanoInput, ((), None, "v.mp3", None), {},
     wrong("scenes", "list", "tuple")),
    ("input-optional-named-alone", lambda: brevano.BrevanoInput, ([], 5, "v.mp3", None), {},
     wrong("bg_music_filepath", "str", "int")),
    ("input-project-none", lambda: brevano.BrevanoInput, ([], None, "v.mp3", None),
     {"davinci_project_name": None}, wrong("davinci_project_name", "str", "NoneType")),
    ("input-chars-text", lambda: brevano.BrevanoInput, ([], None, "v.mp3", None),
     {"chars_per_line": "25"}, wrong("chars_per_line", "int", "str")),
    ("input-unexpected", lambda: brevano.BrevanoInput, ([], None, "v.mp3", None),
     {"voice": "x"}, "__init__() got an unexpected keyword argument 'voice'"),
    ("input-multiple", lambda: brevano.BrevanoInput, ([], None, "v.mp3", None),
     {"scenes": []}, "__init__() got multiple values for argument 'scenes'"),
    ("input-missing", lambda: brevano.BrevanoInput, ([], None), {},
     count("__init__", "at least", 5, 3)),
    ("remove-commands-type", lambda: brevano.remove_commands, (b"x",), {},
     wrong("text", "str", "bytes")),
    ("generate-short-count", lambda: brevano.generate_short, (), {},
     count("generate_short", "exactly", 1, 0)),
    # tts
    ("tts-text-none", lambda: tts.generate_tts, (None, "o.mp3", "edge"), {},
     wrong("text", "str", "NoneType")),
    ("tts-count", lambda: tts.generate_tts, ("t", "o.mp3"), {},
     count("generate_tts", "exactly", 3, 2)),
    ("tts-factory-count", lambda: tts.create_tts_engine, (), {},
     count("create_tts_engine", "exactly", 1, 0)),
    ("edge-init-type", lambda: tts.EdgeTTSVoiceModule, (1,), {},
     wrong("voice_name", "str", "int")),
    ("edge-init-count", lambda: tts.EdgeTTSVoiceModule, (), {},
     count("__init__", "exactly", 2, 1)),
    ("edge-method-count", lambda: tts.EdgeTTSVoiceModule("v").generate_voice, ("t",), {},
     count("generate_voice", "exactly", 3, 2)),
    ("edge-method-type", lambda: tts.EdgeTTSVoiceModule("v").generate_voice, ("t", None), {},
     wrong("outputfile", "str", "NoneType")),
    ("eleven-int-bool", lambda: tts.ElevenLabsVoiceModule, ("k", "v"),
     {"min_required_chars": True}, wrong("min_required_chars", "int", "bool")),
    ("eleven-count", lambda: tts.ElevenLabsVoiceModule, ("k",), {},
     count("__init__", "at least", 3, 2)),
    # lexor
    ("whisper-model-type", lambda: lexor.get_whisper_model, (None,), {},
     wrong("model_name", "str", "NoneType")),
    ("transcribe-type", lambda: lexor.generate_transcription, ("a.mp3", 5), {},
     wrong("reference_text", "str", "int")),
    ("transcribe-count", lambda: lexor.generate_transcription, ("a.mp3",), {},
     count("generate_transcription", "at least", 2, 1)),
    ("update-transcription-type", lambda: lexor.update_transcription, (None, None), {},
     wrong("original_text", "str", "NoneType")),
    ("split-scenes-tuple", lambda: lexor.split_by_scenes, (None, ("a",)), {},
     wrong("scenes", "list", "tuple")),
    ("insert-char-bool", lambda: _transcription().insert_char, (True, "x"), {},
     wrong("index", "int", "bool")),
    ("insert-char-count", lambda: _transcription().insert_char, (0,), {},
     count("insert_char", "exactly", 3, 2)),
    ("pop-kw", lambda: _transcription().pop, (), {"i": 0},
     "pop() got an unexpected keyword argument 'i'"),
    # captions (functions and static methods count no self)
    ("caption-line-list", lambda: captions.CaptionLine.create_by_transcription, ((),), {},
     wrong("list_of_words", "list", "tuple")),
    ("pause-count", lambda: captions.find_greatest_pause, (), {},
     count("find_greatest_pause", "exactly", 1, 0)),
    # montra
    ("scene-background", lambda: montra.Scene, (None, None, 1, 1, 1), {},
     wrong("background", "str", "NoneType")),
    ("scene-count-montra", lambda: montra.Scene, (None, "b", 1, 1), {},
     count("__init__", "at least", 6, 5)),
    ("edit-one-arg", lambda: montra.Edit, ("s.mp3",), {}, count("__init__", "exactly", 3, 2)),
    ("edit-music-type", lambda: montra.Edit, ("s.mp3", 1), {}, wrong("bg_music", "str", "int")),
    ("edit-method-count", lambda: _edit().set_scenes_duration, (1,), {},
     count("set_scenes_duration", "exactly", 1, 2)),
    ("silence-path", lambda: montra.remove_silence_from_audio, (os.curdir.encode(),), {},
     wrong("input_audio", "str", "bytes")),
    ("silence-float-text", lambda: montra.remove_silence_from_audio, ("a.mp3", "x"), {},
     "must be real number, not str"),
    ("setup-davinci-type", lambda: montra.setup_davinci, (None, None), {},
     wrong("project_name", "str", "NoneType")),
    ("render-count", lambda: montra.render, (), {}, count("render", "exactly", 1, 0)),
    # lumora
    ("open-project-int", lambda: lumora.open_project, (5,), {}, wrong("name", "str", "int")),
    ("get-resolve-count", lambda: lumora.get_resolve, (1,), {},
     count("get_resolve", "exactly", 0, 1)),
    ("import-project-missing", lambda: lumora.import_project, ("a.drp",), {},
     count("import_project", "exactly", 2, 1)),
    ("add-clip-track-bool", lambda: lumora.add_clip_to_timeline, ("c", 0, 1),
     {"track_index": True}, wrong("track_index", "int", "bool")),
    ("add-clip-positional-kwonly", lambda: lumora.add_clip_to_timeline, ("c", 0, 1, True), {},
     count("add_clip_to_timeline", "exactly", 3, 4)),
    ("add-clip-float-text", lambda: lumora.import_and_add_to_timeline, ("c", "0", 1), {},
     "must be real number, not str"),
    ("text-on-timeline-kw", lambda: lumora.generate_text_on_timeline, ("Caption", "t", 0, 1),
     {"track": 3}, "generate_text_on_timeline() got an unexpected keyword argument 'track'"),
    ("color-tone-list", lambda: lumora.adjust_clip_color, ("c",), {"color_tone": [1, 2, 3]},
     wrong("color_tone", "tuple", "list")),
    ("color-count", lambda: lumora.adjust_clip_color, ("c", 1, 1, 1, (1, 1, 1), 1), {},
     count("adjust_clip_color", "at most", 5, 6)),
    ("render-output-multiple", lambda: lumora.set_render_output, ("f",), {"filename": "g"},
     "set_render_output() got multiple values for argument 'filename'"),
    # media
    ("delete-video-type", lambda: media.delete_background_video, (1,), {},
     wrong("asset_id", "str", "int")),
    ("resolve-video-key", lambda: media.resolve_background_video, ("bg_00000000", 1), {},
     wrong("pexels_api_key", "str", "int")),
    ("add-url-count", lambda: media.add_background_video_url, ("t",), {},
     count("add_background_video_url", "at least", 2, 1)),
    ("upload-music-type", lambda: media.add_background_music_upload, (None, None, "a.mp3"), {},
     wrong("title", "str", "NoneType")),
    ("template-type", lambda: media.get_template, (StrSub("x"),), {},
     wrong("template_identifier", "str", "StrSub")),
    ("list-templates-count", lambda: media.list_templates, (1,), {},
     count("list_templates", "exactly", 0, 1)),
    # endpoints
    ("set-status-error-type", lambda: endpoints.set_status, (endpoints.BrevanoStatus.IDLE, 1), {},
     wrong("error", "str", "int")),
    ("get-status-count", lambda: endpoints.get_status, (1,), {}, count("get_status", "exactly", 0, 1)),
    ("route-count", lambda: endpoints.brevano_generate, (), {},
     count("brevano_generate", "exactly", 1, 0)),
    ("route-delete-video-type", lambda: endpoints.delete_background_video, (5,), {},
     wrong("asset_id", "str", "int")),
    ("route-delete-music-type", lambda: endpoints.delete_background_music, (None,), {},
     wrong("asset_id", "str", "NoneType")),
    ("route-kw", lambda: endpoints.brevano_status, (), {"x": 1},
     "brevano_status() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("factory,args,kwargs,message",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_argument_checks_raise_exact_type_errors(factory, args, kwargs, message):
    fn = factory()
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("value", [2, 2.5, Numeric(), True])
def test_float_parameters_take_real_numbers(value):
    bg = brevano.BrevanoBackgroundVideo("a.mp4", value, value, value)
    assert type(bg.brightness) is float and bg.brightness == float(value)


def test_checks_run_before_anything_is_stored():
    edit = _edit()
    with pytest.raises(TypeError):
        edit.__init__(1, None)
    assert edit.speech == "speech.mp3"


# ---- names bound from other modules --------------------------------------------------------

BOUND = [
    (endpoints, "lumora", lambda: lumora),
    (endpoints, "media", lambda: media),
    (endpoints, "generate_tts", lambda: tts.generate_tts),
    (endpoints, "BrevanoInput", lambda: brevano.BrevanoInput),
    (endpoints, "BrevanoScene", lambda: brevano.BrevanoScene),
    (endpoints, "BrevanoBackgroundVideo", lambda: brevano.BrevanoBackgroundVideo),
    (endpoints, "generate_short", lambda: brevano.generate_short),
    (brevano, "tts", lambda: tts),
    (brevano, "lexor", lambda: lexor),
    (brevano, "montra", lambda: montra),
    (montra, "Captions", lambda: captions.Captions),
    (montra, "lumora", lambda: lumora),
]


@pytest.mark.parametrize("module,name,target", BOUND,
                         ids=[f"{m.__name__.split('.')[-1]}.{n}" for m, n, _ in BOUND])
def test_bound_names_are_the_other_modules_objects(module, name, target):
    assert getattr(module, name) is target()


class Called(Exception):
    pass


def _raiser(*args, **kwargs):
    raise Called(args, kwargs)


class Stub:
    """A module stand-in whose every attribute is a function that raises Called."""

    def __getattr__(self, name):
        return _raiser


def test_endpoints_call_generate_tts_through_its_attribute(monkeypatch):
    monkeypatch.setattr(endpoints, "generate_tts", _raiser)
    req = endpoints.TTSRequest(text="t", engine="edge", output_path="o.mp3")
    with pytest.raises(Exception) as info:
        endpoints.tts_generate(req)
    assert isinstance(info.value, Called) or isinstance(info.value.__context__, Called)


@pytest.mark.parametrize("attr,call", [
    ("lumora", lambda: endpoints.delete_current_project()),
    ("media", lambda: endpoints.list_templates()),
])
def test_endpoints_call_modules_through_their_attributes(monkeypatch, attr, call):
    monkeypatch.setattr(endpoints, attr, Stub())
    with pytest.raises(Exception) as info:
        call()
    assert isinstance(info.value, Called) or isinstance(info.value.__context__, Called)


def test_worker_calls_generate_short_through_its_attribute(monkeypatch, capsys):
    seen = []
    monkeypatch.setattr(endpoints, "generate_short", seen.append)
    try:
        endpoints._generation_worker("data")
    finally:
        endpoints.set_status(endpoints.BrevanoStatus.IDLE)
    assert seen == ["data"]


def _input(tts_engine=None):
    scene = brevano.BrevanoScene("Hallo <split>", _bg())
    return brevano.BrevanoInput([scene], None, "v.mp3", tts_engine,
                                davinci_template_path="t.drp")


@pytest.mark.parametrize("module_name,tts_engine", [("tts", "edge"), ("montra", None)])
def test_pipeline_calls_stages_through_its_attributes(monkeypatch, capsys, module_name,
                                                      tts_engine):
    monkeypatch.setattr(brevano, module_name, Stub())
    with pytest.raises(Called):
        brevano.generate_short(_input(tts_engine))


def test_pipeline_reaches_the_transcription_through_lexor(monkeypatch, capsys):
    class Montra(Stub):
        def __getattr__(self, name):
            return (lambda *a, **k: None) if name == "setup_davinci" else _raiser

    monkeypatch.setattr(brevano, "montra", Montra())
    monkeypatch.setattr(brevano, "lexor", Stub())
    with pytest.raises(Called) as info:
        brevano.generate_short(_input())
    assert info.value.args[0][0] == "v.mp3"


def test_montra_calls_lumora_through_its_attribute(monkeypatch, capsys):
    monkeypatch.setattr(montra, "lumora", Stub())
    with pytest.raises(Called):
        montra.setup_davinci("t.drp", "p")


def test_pipeline_builds_captions_through_montra_captions(monkeypatch, capsys):
    class Caps:
        create_by_transcription = staticmethod(_raiser)

    words = [lexor.Word(" Hallo", 0.0, 0.5)]

    class Lexor:
        generate_transcription = staticmethod(lambda *a: lexor.Transcription(
            [lexor.Segment(" Hallo", 0.0, 0.5, list(words))], " Hallo"))
        update_transcription = staticmethod(lambda *a: None)
        split_by_scenes = staticmethod(lambda t, s: [list(words)])

    monkeypatch.setattr(montra, "Captions", Caps)
    monkeypatch.setattr(montra, "setup_davinci", lambda *a, **k: None)
    monkeypatch.setattr(brevano, "lexor", Lexor)
    with pytest.raises(Called):
        brevano.generate_short(_input())


# ---- log tags ------------------------------------------------------------------------------

TAGS = ("[Brevano] ", "[lexor] ", "[Captions] ", "[montra] ", "[lumora] ", "[media] ")


def test_log_lines_carry_their_module_tag_and_go_through_sys_stdout(monkeypatch, capsys):
    from vestrel import resolve_sim

    import vestrel

    # A generation end to end on the simulator, with fake speech and alignment.
    monkeypatch.setattr(lumora, "_resolve", resolve_sim.scriptapp("Resolve"))
    template = os.path.join(os.path.dirname(vestrel.__file__), "templates", "tolvane.drp")
    speech = media.generate_voice_output_path()
    data = brevano.BrevanoInput(
        [brevano.BrevanoScene("Erstens das. <split> Dann dies.", _bg())], None, speech, "edge",
        edge_voice_name="de-DE-KatjaNeural", davinci_template_path=template,
        davinci_project_name="conventions")
    bg = media.generate_voice_output_path(".mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=size=32x32:d=1",
                    "-y", bg], check=True)
    data.scenes[0].bg_video = brevano.BrevanoBackgroundVideo(bg, 1, 1, 1)
    brevano.generate_short(data)
    lumora.get_current_project_name()
    out = capsys.readouterr().out
    lines = out.splitlines()
    # Indented lines are the items of a tagged report header (timing and transcript reports);
    # the pipeline sets each scene's caption report apart with an empty line.
    assert lines and lines[0].startswith(TAGS)
    untagged = [line for line in lines if line and not line.startswith(TAGS + ("  ",))]
    assert untagged == []
    for tag in ("[Brevano] ", "[lexor] ", "[Captions] ", "[montra] ", "[lumora] "):
        assert any(line.startswith(tag) for line in lines), tag


def test_log_lines_follow_python_output_in_order():
    """Through sys.stdout: a module's line sits between Python prints, also when piped."""
    code = ("print('before')\nfrom vestrel import media\n"
            "media.upload_template(b'x', 'conventions.drp')\nprint('after')\n")
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 3 and lines[0] == "before" and lines[-1] == "after"
    assert lines[1].startswith("[media] Template uploaded: ")


# ---- loading -------------------------------------------------------------------------------

MODULES = ("endpoints", "brevano", "tts", "lexor", "captions", "montra", "lumora", "media")


def test_loading_endpoints_loads_the_package_with_all_routes_idle():
    code = ("import sys\nfrom vestrel import endpoints\n"
            "names = sorted(n for n in sys.modules if n.startswith('vestrel.'))\n"
            "print(','.join(names))\n"
            "print(len(endpoints.router.routes), endpoints.get_status()['status'].value,"
            " endpoints._status.value, endpoints._last_error)\n")
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    names, routes = proc.stdout.splitlines()[-2:]
    assert set(names.split(",")) >= {f"vestrel.{m}" for m in MODULES}
    assert routes == "18 idle idle None"


# A few calls per module in a fresh interpreter: nothing kept in C++ statics may crash the
# interpreter at exit.
CALLS = {
    "endpoints": "m.get_status(); m.brevano_status(); m.list_templates()",
    "brevano": "m.remove_commands('a <x> b'); m.BrevanoInput([], None, 'v', None)",
    "tts": "m.create_tts_engine('edge', voice_name='v').get_remaining_characters()",
    "lexor": "lx = m.Transcription([m.Segment(' a', 0, 1, [m.Word(' a', 0, 1)])], ' a');"
             " m.update_transcription(lx, 'a'); m.split_by_scenes(lx, ['a'])",
    "captions": "c = m.Captions.create_by_transcription([m.CaptionWord(0.0, 1.0, ' a')]);"
                " c.adjust_timing()",
    "montra": "m.Edit('s', None); m.remove_silence_from_audio.__name__",
    "lumora": "from vestrel import resolve_sim; m.set_resolve(resolve_sim.scriptapp('Resolve'));"
              " m.create_project('p'); m.get_current_project_name()",
    "media": "m.list_background_videos(); m.list_templates(); m.generate_voice_output_path()",
}


@pytest.mark.parametrize("module", MODULES)
def test_each_module_loads_alone_and_exits_cleanly(module):
    code = f"import vestrel.{module} as m\n{CALLS[module]}\nprint('ok')\n"
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "ok"


# ---- host launcher -------------------------------------------------------------------------


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("mode", ["sim", "auto"])
def test_launcher_serves_status_on_loopback(mode):
    port = _free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(FAKES), os.environ.get("PYTHONPATH", "")]),
               PYTHONUNBUFFERED="1")
    proc = subprocess.Popen(
        [sys.executable, "-m", "vestrel", "serve", "--host", "127.0.0.1", "--port", str(port),
         "--resolve", mode], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        body = None
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/brevano/status",
                                            timeout=2) as answer:
                    body = answer.read().decode()
                    break
            except OSError:
                time.sleep(0.2)
        assert body == '{"status":{"status":"idle","error":null}}'
    finally:
        proc.terminate()
        out, err = proc.communicate(timeout=30)
    assert out.splitlines()[0] == "[vestrel] Using the Resolve simulator", (out, err)


def test_launcher_refuses_a_missing_real_resolve():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(FAKES), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-m", "vestrel", "serve", "--port", str(_free_port()),
                           "--resolve", "real"], env=env, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 1
    assert "[vestrel] No DaVinci Resolve answers (--resolve real)" in proc.stderr
