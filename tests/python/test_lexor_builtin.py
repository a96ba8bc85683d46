"""The "builtin" model of lexor.generate_transcription: word timings from the aligner of the
core, with no Whisper model.

Voice-overs with known word starts come from tests/fakes/espeak_truth.py (libespeak-ng called
directly, in a child process), spoken by other voice variants, rates and pitches than the
aligner's own reference, with pauses inserted at known places.
"""

import json
import shutil
import subprocess
import sys
import threading
import time
import unicodedata
import wave
from array import array
from pathlib import Path

import pytest

from espeak_truth import word_spans
from vestrel import lexor, tts

TRUTH = Path(__file__).resolve().parent.parent / "fakes" / "espeak_truth.py"


def spoken(text, voice, rate, pitch):
    """(sample_rate, samples, [(char_start, sample)]) of espeak-ng speaking `text`."""
    with_wav = Path(__import__("tempfile").mkdtemp(prefix="vestrel-truth-")) / "truth.wav"
    out = subprocess.run([sys.executable, str(TRUTH), str(with_wav), voice, str(rate), str(pitch)],
                         input=text, capture_output=True, text=True, check=True, timeout=120)
    info = json.loads(out.stdout)
    with wave.open(str(with_wav)) as w:
        samples = array("h", w.readframes(w.getnframes()))
    shutil.rmtree(with_wav.parent)
    return info["sample_rate"], samples, [tuple(x) for x in info["words"]]


def write_wav(path, rate, samples):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())


CASES = [
    pytest.param("de", "de+f3", 200, 70, 4, 0.6,
                 "Heute zeigen wir dir drei einfache Tricks für bessere Videos am Handy. "
                 "Erstens: halte das Handy quer! Zweitens, nutze das Licht vom Fenster. "
                 "Und drittens? Sprich langsam und deutlich.", id="de-female-fast-pauses"),
    pytest.param("de", "de+m3", 130, 30, 3, 0.3,
                 "Über 1999 Menschen schauen täglich zu, und es werden jeden Tag mehr. "
                 "Größer, schöner, schneller – so wächst der Kanal.", id="de-male-slow-pauses"),
    pytest.param("en", "en-us+f2", 230, 80, 3, 0.5,
                 "Today we will show you three simple tricks for better videos on your phone. "
                 "First, hold it sideways! Second: use the light from a window.",
                 id="en-female-fast-pauses"),
    pytest.param("en", "en+m7", 150, 40, 5, 0.8,
                 "It's 5 o'clock, and the 3 of us are still here, waiting for the train.",
                 id="en-british-long-pauses"),
]


@pytest.mark.parametrize("language, voice, rate, pitch, every, pause, text", CASES)
@pytest.mark.parametrize("container", ["wav", "mp3"])
def test_words_are_found_within_100_ms(tmp_path, capsys, container, language, voice, rate,
                                        pitch, every, pause, text):
    if container == "mp3" and shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg missing")
    sample_rate, samples, events = spoken(text, voice, rate, pitch)
    spans = word_spans(text)
    # The true start of each word that has an event of its own; a pause of `pause` seconds
    # before every `every`-th of them.
    # (espeak-ng reports, in spoken order, a stray event at some sentence starts with the
    # position of an earlier word, and several inside a number: only advancing words count.)
    starts, last = {}, -1
    for pos, sample in events:
        k = next(i for i, (a, b) in enumerate(spans) if pos < b)
        if k > last:
            starts[k] = sample
            last = k
    out, truth, taken, inserted = array("h"), {}, 0, 0
    for n, (k, sample) in enumerate(sorted(starts.items())):
        out.extend(samples[taken:sample])
        taken = sample
        if n and n % every == 0:
            gap = int(pause * sample_rate) + n * 37  # lengths differ from pause to pause
            out.extend(array("h", bytes(2 * gap)))
            inserted += gap
        truth[k] = (sample + inserted) / sample_rate
    out.extend(samples[taken:])
    path = tmp_path / "voice.wav"
    write_wav(path, sample_rate, out)
    if container == "mp3":
        mp3 = tmp_path / "voice.mp3"
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(path), "-b:a", "128k",
                        str(mp3)], check=True, timeout=120)
        path = mp3

    t = lexor.generate_transcription(str(path), text, "builtin", language)
    assert capsys.readouterr().out == f"[lexor] Aligning transcription with language='{language}'\n"
    words = lexor.get_words(t)
    assert len(words) == len(spans)
    assert len(truth) >= len(spans) * 3 // 4
    errors = {text[slice(*spans[k])]: round(abs(words[k].start - true), 3)
              for k, true in truth.items()}
    assert max(errors.values()) <= 0.100, errors


def _check_contract(t, text, duration):
    words = lexor.get_words(t)
    assert "".join(w.text for w in words) == text
    for i, w in enumerate(words):
        assert w.text and not w.text[-1].isspace() or i == len(words) - 1
        core = w.text.strip()
        # Whitespace and one run of non-whitespace; a text of whitespace only is one word.
        assert (core or not text.strip()) and not any(c.isspace() for c in core), w.text
        if i:
            assert w.text[0].isspace(), w.text
        assert 0.0 <= w.start <= w.end <= duration + 1e-9, (w.text, w.start, w.end)
        assert isinstance(w.start, float) and isinstance(w.end, float)
    for a, b in zip(words, words[1:]):
        assert a.start <= b.start and a.end <= b.start, (a, b)
    for i, seg in enumerate(t.segments):
        assert seg.words, "a segment without words"
        assert seg.text == "".join(w.text for w in seg.words)
        assert (seg.start, seg.end) == (seg.words[0].start, seg.words[-1].end)
        # A line break only ever opens a sentence (in its first word's leading whitespace).
        inner = "".join(w.text for w in seg.words[1:])
        assert not any(c in inner for c in "\n\r"), seg.text
        # A sentence ends in a stop (closing quotes allowed), or the next begins on a new line.
        last = seg.words[-1].text.rstrip().rstrip("\"'»«”“’)")
        if i + 1 < len(t.segments):
            nxt = t.segments[i + 1].words[0].text
            assert last.endswith((".", "!", "?")) or "\n" in nxt, (seg.text, nxt)
        for w in seg.words[:-1]:
            assert not w.text.rstrip().rstrip("\"'»«”“’)").endswith((".", "!", "?")), seg.text


# Scripts as the pipeline sees them: commands in angle brackets are removed for speech, then
# put back by update_transcription and cut by split_by_scenes.
SCRIPTS = [
    ["Hallo und willkommen<split> zu drei Tipps. ", "<counter>Zweitens. Trink genug Wasser. ",
     "Und mach genug Pausen."],
    ["Größe, Länge – alles zählt! ", "Über 250 Grüße… aus Köln? ", "Ja: 3,5 % mehr."],
    ["Line one\nline two ", "- and ... a dash; (brackets) \"quotes\" ", "<b>bold</b> end!  "],
]


@pytest.mark.parametrize("scenes", SCRIPTS)
def test_contract_holds_and_the_pipeline_steps_accept_the_result(tmp_path, scenes):
    script = "".join(scenes)
    speech_text = __import__("re").sub(r"<[^>]*>", "", script)
    path = tmp_path / "voice.mp3"
    tts.EspeakVoiceModule("de+m2", 190).generate_voice(speech_text, str(path))
    t = lexor.generate_transcription(str(path), speech_text, "builtin", "de")
    duration = _duration(path)
    _check_contract(t, speech_text, duration)
    lexor.update_transcription(t, script)
    assert "".join(w.text for w in lexor.get_words(t)) == script
    by_scene = lexor.split_by_scenes(t, scenes)
    assert sum(len(s) for s in by_scene) == len(lexor.get_words(t))


@pytest.mark.parametrize("text", [
    "", "   ", "…", " – ", "Hallo", "  Hallo Welt.  ", "Ä Ö Ü ß 1 2 3", "a.b.c. d!e?\n\nf",
    "Was?! Nein… doch. «Ja.» Gut", "Zahl: 1999, 3,14 und 10 000 €.",
])
def test_contract_on_edge_texts(tmp_path, text):
    path = tmp_path / "voice.wav"
    tts.EspeakVoiceModule("de", 200).generate_voice(text.strip() or "Hallo", str(path))
    t = lexor.generate_transcription(str(path), text, "builtin", "de")
    if not text:
        assert t.segments == []
        return
    _check_contract(t, text, _duration(path))
    # Sentences as the text shows them.
    assert len(t.segments) == {"a.b.c. d!e?\n\nf": 3, "Was?! Nein… doch. «Ja.» Gut": 4,
                               "  Hallo Welt.  ": 1}.get(text, len(t.segments))


def _duration(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                          "csv=p=0", str(path)], capture_output=True, text=True, check=True)
    return float(out.stdout)


def test_builtin_leaves_whisper_alone(tmp_path, monkeypatch, capsys):
    """No model is loaded or replaced, and it works without stable-whisper."""
    path = tmp_path / "v.wav"
    tts.EspeakVoiceModule("en", 170).generate_voice("One two three.", str(path))
    sentinel = object()
    monkeypatch.setattr(lexor, "_model", sentinel)
    monkeypatch.setattr(lexor, "_current_model_name", "medium")
    monkeypatch.setattr(lexor, "STABLE_WHISPER_AVAILABLE", False)

    def no_model(*args, **kwargs):
        raise AssertionError("a Whisper model was asked for")

    monkeypatch.setattr(lexor, "get_whisper_model", no_model)
    t = lexor.generate_transcription(str(path), "One two three.", "builtin", "en")
    assert [w.text for w in lexor.get_words(t)] == ["One", " two", " three."]
    assert (lexor._model, lexor._current_model_name) == (sentinel, "medium")
    assert capsys.readouterr().out == "[lexor] Aligning transcription with language='en'\n"
    # Only the exact name selects it; any other still goes to Whisper.
    with pytest.raises(AssertionError, match="Whisper model"):
        lexor.generate_transcription(str(path), "One", "Builtin", "en")


@pytest.mark.parametrize("make, language, error, match", [
    (lambda p: tts.EspeakVoiceModule("de").generate_voice("Hallo", str(p)), "xx", ValueError,
     "'xx'"),
    (lambda p: None, "de", FileNotFoundError, "No such file or directory"),
    (lambda p: p.write_text("no audio in here\n" * 50), "de", RuntimeError,
     "cannot decode audio file"),
])
def test_failures_are_clear(tmp_path, capsys, make, language, error, match):
    path = tmp_path / "voice.mp3"
    make(path)
    with pytest.raises(error, match=match) as info:
        lexor.generate_transcription(str(path), "Hallo", "builtin", language)
    if error is FileNotFoundError:
        assert info.value.filename == str(path)
    # Failures come after the announcing line, as on the Whisper path.
    assert capsys.readouterr().out == f"[lexor] Aligning transcription with language='{language}'\n"


def test_alignment_releases_the_interpreter(tmp_path):
    text = " ".join(["Ein Satz mit einigen Wörtern, der sich wiederholt."] * 40)
    path = tmp_path / "long.wav"
    tts.EspeakVoiceModule("de+f2", 220).generate_voice(text, str(path))
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = ticks[0]
        started = time.perf_counter()
        lexor.generate_transcription(str(path), text, "builtin", "de")
        elapsed = time.perf_counter() - started
        during = ticks[0] - before
    finally:
        done.set()
        counter.join()
    # With the interpreter held, the counting thread would not run at all meanwhile.
    assert elapsed < 0.01 or during >= 3, (elapsed, during)


# --- a whole generation, offline ------------------------------------------------------------

# The HTTP server on the simulator and the uploaded media of the end-to-end tests.
import test_end_to_end as e2e  # noqa: E402
from test_end_to_end import media_files, server  # noqa: E402,F401

E2E_SCENES = [
    "Hallo und willkommen<split> zu drei Tipps für bessere Videos. ",
    "<counter>Erstens. Halte das Handy quer, nicht hoch. ",
    "Zweitens: Nutze das Licht vom Fenster. Und drittens? Sprich langsam!",
]


@pytest.mark.skipif(bool(e2e._MISSING), reason="stages not built yet: " + ", ".join(e2e._MISSING))
def test_offline_generation_puts_captions_where_their_words_are_spoken(server, media_files,
                                                                        monkeypatch):
    import re

    pytest.importorskip("pydub")
    from pydub import AudioSegment
    from pydub.silence import detect_nonsilent
    import requests

    def no_whisper(*args, **kwargs):
        raise AssertionError("a Whisper model was asked for")

    monkeypatch.setattr(lexor, "get_whisper_model", no_whisper)
    base, resolve = server
    captured = e2e.capture_edit(monkeypatch)
    videos, _ = media_files
    ids = [e2e._upload(base, "/media/background-videos/upload", v, f"Offline {i}",
                       "video/mp4") for i, v in enumerate(videos)]
    body = e2e._request(ids, None, tts_engine="espeak", edge_voice_name=None,
                        whisper_model="builtin", remove_silence=True, language="de")
    body["scenes"] = [{"caption": text, "background": {"background_id": ids[i % 2]}}
                      for i, text in enumerate(E2E_SCENES)]
    r = requests.post(base + "/brevano/generate", json=body, timeout=60)
    assert r.status_code == 200, r.text
    assert e2e._wait_for_end(base) == {"status": {"status": "done", "error": None}}
    edit = captured["edit"]

    # The truth: the same text in the same voice, its word starts from espeak-ng, carried
    # through the silence removal the pipeline ran (every gap becomes a 0.3 s pause).
    speech_text = re.sub(r"<[^>]*>", "", "".join(E2E_SCENES))
    rate, samples, events = spoken(speech_text, "de", 0, -1)
    raw = edit.speech.replace("_no_silence", "")
    assert raw != edit.speech
    ranges = detect_nonsilent(AudioSegment.from_file(raw), min_silence_len=100,
                              silence_thresh=-60)

    def shortened(t_ms):
        before = 0.0
        for k, (a, b) in enumerate(ranges):
            if t_ms < b:
                return (before + max(t_ms - a, 0) + 300 * k) / 1000
            before += b - a
        return (before + 300 * (len(ranges) - 1)) / 1000

    word_start = {pos: shortened(sample * 1000 / rate) for pos, sample in events}
    lines = [line for s in edit.scenes for line in s.captions.lines]
    at, checked = 0, 0
    timeline = resolve.GetProjectManager().GetCurrentProject().GetCurrentTimeline()
    fps = float(timeline.GetSetting("timelineFrameRate"))
    titles = {round((item.GetStart() - timeline.GetStartFrame())): item
              for item in e2e._items(timeline, "video", 3)}
    for line in lines:
        spoken_text = re.sub(r"<[^>]*>", "", line.text)
        first = at + len(spoken_text) - len(spoken_text.lstrip())
        at += len(spoken_text)
        if first in word_start:
            checked += 1
            assert abs(line.start - word_start[first]) <= 0.100, (line.text, line.start,
                                                                  word_start[first])
            if not line.text.startswith(" <counter>"):
                frame = round(line.start * fps)
                assert frame in titles, line.text
                assert abs(frame / fps - word_start[first]) <= 0.100 + 1 / fps
    assert at == len(speech_text)
    assert checked >= len(lines) - 1 and checked >= 5


def test_voice_and_aligner_share_one_speech_engine(tmp_path):
    """tts and lexor both speak through libespeak-ng, one per process: an alignment must not
    leave the voice engine silent, nor the other way round (fresh interpreter: first use)."""
    from conftest import run_python

    code = f"""
from vestrel import lexor, tts
voice = tts.EspeakVoiceModule("de", 180)
for n in range(3):
    path = r"{tmp_path}/v%d.wav" % n
    voice.generate_voice("Eins zwei drei.", path)
    words = lexor.get_words(lexor.generate_transcription(path, "Eins zwei drei.", "builtin", "de"))
    assert [w.text for w in words] == ["Eins", " zwei", " drei."], words
    assert words[-1].end > words[0].start
print("ok")
"""
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "ok"
