"""Silence removal in vestrel.montra, on real audio made with ffmpeg, and the detection core
compared with pydub's detect_nonsilent."""

import array
import json
import math
import os
import pathlib
import random
import shutil
import subprocess
import warnings

import pytest

from conftest import run_python

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)  # audioop on Python 3.11 and 3.12
    from pydub import AudioSegment
    from pydub.silence import detect_nonsilent
    from silence_reference import remove_silence_reference

from vestrel import montra  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg")

CODECS = {8: "pcm_u8", 16: "pcm_s16le", 32: "pcm_s32le"}


def make_audio(path, parts, rate=44100, channels=1, bits=16, level_db=-6.0):
    """Writes tones and digital silences of the given lengths (seconds) with ffmpeg.

    parts: ("tone", s), ("silence", s) or ("tone", s, dBFS) for a tone at another level.
    """
    terms, t = [], 0.0
    for part in parts:
        kind, seconds = part[0], part[1]
        if kind == "tone":
            amp = 10 ** ((part[2] if len(part) > 2 else level_db) / 20)
            terms.append(f"{amp}*gte(t\\,{t})*lt(t\\,{t + seconds})*sin(2*PI*440*(t-{t}))")
        t += seconds
    expr = "+".join(terms) or "0"
    cmd = ["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
           f"aevalsrc=exprs='{expr}':s={rate}:d={t}", "-ac", str(channels)]
    if str(path).lower().endswith(".mp3"):
        cmd += ["-b:a", "128k"]
    else:
        cmd += ["-c:a", CODECS[bits]]
    subprocess.run(cmd + [str(path)], check=True)
    return str(path)


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json",
                          str(path)], capture_output=True, text=True, check=True).stdout
    return json.loads(out)


THREE = [("silence", 0.5), ("tone", 1.0), ("silence", 2.0), ("tone", 0.6), ("silence", 2.0),
         ("tone", 0.8), ("silence", 1.0)]


@pytest.mark.parametrize("ext,rate,channels,bits", [
    ("wav", 44100, 1, 16),
    ("wav", 48000, 2, 16),
    ("wav", 44100, 1, 8),
    ("wav", 22050, 2, 32),
    ("wav", 8000, 1, 16),
    ("mp3", 44100, 1, 16),
    ("mp3", 48000, 2, 16),
])
def test_three_stretches_joined_by_two_pauses(tmp_path, capsys, ext, rate, channels, bits):
    src = make_audio(tmp_path / f"voice.{ext}", THREE, rate, channels, bits)
    out = montra.remove_silence_from_audio(src)
    assert out == str(tmp_path / f"voice_no_silence.{ext}")
    assert capsys.readouterr().out.splitlines() == [
        f"[montra] Silence removed (pydub): {src} -> {out}",
        "[montra] Kept 3 non-silent segments with 0.3s pauses",
    ]
    result = AudioSegment.from_file(out)
    # The three stretches (2.4 s) and two 300 ms pauses; leading and trailing silence gone.
    tolerance = 4 if ext == "wav" else 80
    assert abs(len(result) - 3000) <= tolerance
    if ext == "mp3":
        info = probe(out)
        assert info["streams"][0]["codec_name"] == "mp3"
        assert int(info["format"]["bit_rate"]) == pytest.approx(192000, rel=0.02)
    else:
        assert result.frame_rate == max(rate, 11025) and result.channels == channels
    # Byte for byte what pydub's own detection, slicing and appends produce.
    ref = remove_silence_reference(src, str(tmp_path / f"ref.{ext}"))
    assert pathlib.Path(out).read_bytes() == pathlib.Path(ref).read_bytes()


def test_pauses_are_digital_silence_of_the_pause_length(tmp_path, capsys):
    src = make_audio(tmp_path / "v.wav", THREE)
    out = montra.remove_silence_from_audio(src, 0.25)
    audio = AudioSegment.from_file(src)
    result = AudioSegment.from_file(out)
    ranges = detect_nonsilent(audio, min_silence_len=100, silence_thresh=-60)
    assert [[round(s / 100), round(e / 100)] for s, e in ranges] == [[5, 15], [35, 41], [61, 69]]
    pos = 0
    for i, (start, end) in enumerate(ranges):
        piece = audio[start:end].raw_data
        found = result.raw_data.find(piece, pos)
        # Between two stretches: digital silence of 250 ms (within a frame of resampling).
        gap = result.raw_data[pos:found]
        assert gap == b"\0" * len(gap)
        assert abs(len(gap) / 2 / 44.1 - (250 if i else 0)) <= 0.1
        pos = found + len(piece)
    assert pos == len(result.raw_data)
    assert capsys.readouterr().out.endswith("with 0.25s pauses\n")


@pytest.mark.parametrize("parts,duration,expected_ms,segments", [
    # A gap under 100 ms does not split the stretch.
    ([("tone", 0.5), ("silence", 0.06), ("tone", 0.5)], 0.3, 1060, 1),
    # A quiet passage above -60 dBFS stays inside the stretch.
    ([("tone", 0.5), ("tone", 0.4, -50.0), ("tone", 0.5)], 0.3, 1400, 1),
    # A detected gap shorter than the pause is lengthened to the pause.
    ([("tone", 0.5), ("silence", 0.15), ("tone", 0.5)], 0.3, 1300, 2),
    # A single stretch: exactly that stretch, no pause.
    ([("silence", 1.0), ("tone", 0.7), ("silence", 1.0)], 0.3, 700, 1),
    # No pause at all, also when the pause truncates to 0 ms.
    (THREE, 0, 2400, 3),
    (THREE, 0.0005, 2400, 3),
])
def test_gaps_and_pause_lengths(tmp_path, capsys, parts, duration, expected_ms, segments):
    src = make_audio(tmp_path / "v.wav", parts)
    out = montra.remove_silence_from_audio(src, min_silence_duration=duration)
    assert abs(len(AudioSegment.from_file(out)) - expected_ms) <= 3
    assert capsys.readouterr().out.splitlines()[-1] == (
        f"[montra] Kept {segments} non-silent segments with {float(duration)}s pauses")
    ref = remove_silence_reference(src, str(tmp_path / "ref.wav"), duration)
    assert pathlib.Path(out).read_bytes() == pathlib.Path(ref).read_bytes()


@pytest.mark.parametrize("ext", ["wav", "mp3"])
def test_all_silent_returns_input_and_writes_nothing(tmp_path, capsys, ext):
    src = make_audio(tmp_path / f"quiet.{ext}", [("silence", 1.0), ("tone", 0.5, -70.0),
                                                  ("silence", 0.5)])
    assert montra.remove_silence_from_audio(src) == src
    assert capsys.readouterr().out == (
        "[montra] Warning: No non-silent audio detected, returning original\n")
    assert sorted(os.listdir(tmp_path)) == [f"quiet.{ext}"]


def test_upper_case_extension_keeps_name_and_exports_lower_case_format(tmp_path, monkeypatch):
    src = make_audio(tmp_path / "voice.WAV", THREE)
    calls = []
    real_export = AudioSegment.export

    def export(self, out_f=None, format="mp3", **kwargs):
        calls.append((out_f, format, kwargs))
        return real_export(self, out_f, format=format, **kwargs)

    monkeypatch.setattr(AudioSegment, "export", export)
    out = montra.remove_silence_from_audio(src)
    assert out == str(tmp_path / "voice_no_silence.WAV")
    assert calls == [(out, "wav", {})]
    assert pathlib.Path(out).read_bytes()[:4] == b"RIFF"

    calls.clear()
    mp3 = make_audio(tmp_path / "voice.mp3", THREE)
    montra.remove_silence_from_audio(mp3)
    assert calls == [(str(tmp_path / "voice_no_silence.mp3"), "mp3", {"bitrate": "192k"})]


@pytest.mark.parametrize("name,expected", [
    ("voice.mp3", "voice_no_silence.mp3"),
    ("voice", "voice_no_silence"),
    ("a.b.c.wav", "a.b.c_no_silence.wav"),
    (".hidden", ".hidden_no_silence"),
    ("dir.x/voice", "dir.x/voice_no_silence"),
])
def test_output_name_and_call_through_module(tmp_path, monkeypatch, name, expected):
    path = tmp_path / name
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(b"")
    calls = []
    monkeypatch.setattr(montra, "_remove_silence_pydub",
                        lambda *a, **k: calls.append((a, k)) or "r")
    assert montra.remove_silence_from_audio(str(path), 1) == "r"
    assert calls == [((str(path), str(tmp_path / expected), 1.0), {})]
    assert type(calls[0][0][2]) is float


def test_module_globals_are_read_at_call_time(tmp_path, monkeypatch, capsys):
    assert montra.AudioSegment is AudioSegment and montra.detect_nonsilent is detect_nonsilent
    src = make_audio(tmp_path / "v.wav", THREE)
    calls = []

    def fake_detect(audio, **kwargs):
        calls.append((len(audio), kwargs))
        return [(0, 200), (1000, 1100)]

    monkeypatch.setattr(montra, "detect_nonsilent", fake_detect)
    out = montra.remove_silence_from_audio(src)
    assert calls == [(7900, {"min_silence_len": 100, "silence_thresh": -60})]
    assert len(AudioSegment.from_file(out)) == 600
    assert capsys.readouterr().out.endswith("Kept 2 non-silent segments with 0.3s pauses\n")

    class Loader(AudioSegment):
        pass

    monkeypatch.setattr(montra, "detect_nonsilent", detect_nonsilent)
    monkeypatch.setattr(montra, "AudioSegment", Loader)
    out = montra._remove_silence_pydub(src, str(tmp_path / "sub.wav"))
    ref = remove_silence_reference(src, str(tmp_path / "ref.wav"))
    assert pathlib.Path(out).read_bytes() == pathlib.Path(ref).read_bytes()


def test_argument_checks(tmp_path):
    with pytest.raises(TypeError) as e:
        montra.remove_silence_from_audio(tmp_path / "v.wav")
    assert str(e.value) == (
        f"Argument 'input_audio' has incorrect type (expected str, got {type(tmp_path).__name__})")

    class S(str):
        pass

    with pytest.raises(TypeError, match="Argument 'input_audio' has incorrect type "
                                        r"\(expected str, got S\)"):
        montra.remove_silence_from_audio(S("x"))
    with pytest.raises(TypeError, match=r"Argument 'output_audio' has incorrect type "
                                        r"\(expected str, got NoneType\)"):
        montra._remove_silence_pydub("x", None)
    with pytest.raises(TypeError):
        montra.remove_silence_from_audio(str(tmp_path), "0.3")
    with pytest.raises(TypeError, match=r"takes at most 2 positional arguments \(3 given\)"):
        montra.remove_silence_from_audio("a", 0.3, 1)
    assert montra._remove_silence_pydub.__doc__.endswith(
        "Remove silence using pydub - more reliable than FFmpeg for this task.\n"
        "Keeps min_silence_duration seconds of silence between non-silent segments.")


def test_missing_file_and_missing_pydub(tmp_path, monkeypatch):
    missing = str(tmp_path / "nope.mp3")
    monkeypatch.setattr(montra, "PYDUB_AVAILABLE", False)
    with pytest.raises(Exception) as e:
        montra.remove_silence_from_audio(missing)
    assert type(e.value) is Exception and str(e.value) == f"Input audio file not found: {missing}"
    src = make_audio(tmp_path / "v.wav", THREE)
    with pytest.raises(Exception) as e:
        montra.remove_silence_from_audio(src)
    assert type(e.value) is Exception and str(e.value) == (
        "pydub is required for silence removal. Install it with: pip install vestrel[audio]")
    assert sorted(os.listdir(tmp_path)) == ["v.wav"]


def test_pydub_flag_at_load_without_pydub(tmp_path):
    code = (
        "import sys; sys.modules['pydub'] = None\n"
        "from vestrel import montra\n"
        "print(montra.PYDUB_AVAILABLE)\n"
        f"for p in ({str(tmp_path / 'nope.wav')!r}, {str(tmp_path)!r}):\n"
        "    try: montra.remove_silence_from_audio(p)\n"
        "    except Exception as e: print(type(e).__name__, e)\n"
        "try: montra._remove_silence_pydub('a.wav', 'b.wav')\n"
        "except Exception as e: print(type(e).__name__, e, type(e.__context__).__name__)\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "False",
        f"Exception Input audio file not found: {tmp_path / 'nope.wav'}",
        "Exception pydub is required for silence removal. "
        "Install it with: pip install vestrel[audio]",
        "Exception Pydub silence removal failed: name 'AudioSegment' is not defined NameError",
    ]
    loaded = run_python("from vestrel import montra; print(montra.PYDUB_AVAILABLE)")
    assert loaded.stdout == "True\n"


def test_stand_ins_work_without_pydub_installed(tmp_path):
    # Stand-ins put in place of the audio library's names are called exactly as the library
    # would be, also when the library itself cannot be imported.
    src = tmp_path / "v.mp3"
    src.write_bytes(b"")
    code = (
        "import sys; sys.modules['pydub'] = None\n"
        "from vestrel import montra\n"
        "calls = []\n"
        "class Seg:\n"
        "    def __init__(self, n): self.n = n\n"
        "    @classmethod\n"
        "    def from_file(cls, *a, **k): calls.append(('from_file', a, k)); return cls(900)\n"
        "    @classmethod\n"
        "    def silent(cls, *a, **k): calls.append(('silent', a, k)); return cls(k['duration'])\n"
        "    @classmethod\n"
        "    def empty(cls): calls.append(('empty',)); return cls(0)\n"
        "    def __getitem__(self, s): calls.append(('slice', s.start, s.stop));"
        " return Seg(s.stop - s.start)\n"
        "    def __add__(self, o): return Seg(self.n + o.n)\n"
        "    def export(self, *a, **k): calls.append(('export', self.n, a, k))\n"
        "def detect(audio, *a, **k): calls.append(('detect', audio.n, a, k));"
        " return [(10, 20), (30, 50)]\n"
        "montra.AudioSegment, montra.detect_nonsilent = Seg, detect\n"
        "montra.PYDUB_AVAILABLE = True\n"
        f"print(montra.remove_silence_from_audio({str(src)!r}, 0.5))\n"
        "for c in calls: print(c)\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    out = str(tmp_path / "v_no_silence.mp3")
    assert proc.stdout.splitlines() == [
        f"[montra] Silence removed (pydub): {src} -> {out}",
        "[montra] Kept 2 non-silent segments with 0.5s pauses",
        out,
        f"('from_file', ({str(src)!r},), {{}})",
        "('detect', 900, (), {'min_silence_len': 100, 'silence_thresh': -60})",
        "('silent', (), {'duration': 500})",
        "('empty',)",
        "('slice', 10, 20)",
        "('slice', 30, 50)",
        f"('export', 530, ({out!r},), {{'format': 'mp3', 'bitrate': '192k'}})",
    ]


@pytest.mark.parametrize("case", ["undecodable", "unwritable", "bad format", "infinite pause"])
def test_failures_become_one_exception(tmp_path, capsys, case):
    src, out, duration = str(tmp_path / "v.wav"), str(tmp_path / "out.wav"), 0.3
    if case == "undecodable":
        src = str(tmp_path / "v.mp3")
        pathlib.Path(src).write_bytes(b"this is not audio" * 100)
    else:
        make_audio(src, THREE)
    if case == "unwritable":
        out = str(tmp_path / "missing-dir" / "out.wav")
    elif case == "bad format":
        out = str(tmp_path / "out.nosuchformat")
    elif case == "infinite pause":
        duration = float("inf")
    with pytest.raises(Exception) as e:
        montra._remove_silence_pydub(src, out, duration)
    exc = e.value
    assert type(exc) is Exception
    assert str(exc) == "Pydub silence removal failed: " + str(exc.__context__)
    assert exc.__context__ is not None and exc.__cause__ is None
    if case == "infinite pause":
        assert type(exc.__context__) is OverflowError
    captured = capsys.readouterr()
    assert "[montra] Silence removed" not in captured.out
    # The caught error's traceback goes to standard error before it is translated.
    assert f"{type(exc.__context__).__name__}: " in captured.err


def test_failure_context_is_the_caught_error_inside_a_callers_handler(tmp_path):
    missing = str(tmp_path / "gone.wav")
    outer = KeyError("outer")
    with pytest.raises(Exception) as e:
        try:
            raise outer
        except KeyError:
            montra._remove_silence_pydub(missing, str(tmp_path / "out.wav"))
    # The error the caller handles stays further down the chain, as in Python code.
    assert type(e.value.__context__) is FileNotFoundError
    assert e.value.__context__.__context__ is outer
    assert str(e.value) == "Pydub silence removal failed: " + str(e.value.__context__)
    assert e.value.__cause__ is None and not e.value.__suppress_context__


# --- The detection core against pydub --------------------------------------------------

def _segment(samples, width, channels, rate):
    codes = {1: "b", 2: "h", 4: "i"}
    return AudioSegment(data=array.array(codes[width], samples).tobytes(), sample_width=width,
                        channels=channels, frame_rate=rate)


def _signal(rng, width, channels, rate, ms, style):
    full = 2 ** (8 * width - 1) - 1
    bound = math.floor(10 ** -3 * 2 ** (8 * width - 1)) + 1  # first RMS above -60 dBFS
    frames = int(ms * rate / 1000) + rng.choice([0, 0, 1, -1 if ms else 0])
    out = []
    level, left = 0, 0
    for f in range(frames):
        if left == 0:
            left = max(1, int(rng.expovariate(1 / 200) * rate / 1000))
            if style == "boundary":
                level = rng.choice([bound - 1, bound, bound + 1, 0])
            elif style == "noise":
                level = rng.choice([0, 0, bound // 2, bound, 3 * bound, full // 4])
            else:
                level = rng.choice([0, 0, 0, full // 3, full // 50])
        left -= 1
        for c in range(channels):
            if style == "noise" and level:
                v = rng.randint(-level, level)
            else:
                v = level if (f + c) % 2 else -level
            out.append(max(-full - 1, min(full, v)))
    return _segment(out, width, channels, rate)


def _cases():
    rng = random.Random(20261207)
    cases = []
    for n in range(90):
        width = rng.choice([1, 2, 2, 4])
        channels = rng.choice([1, 2])
        rate = rng.choice([8000, 11025, 16000, 22050, 44100, 48000, 44099, 1000, 2000])
        ms = rng.choice([0, 1, 50, 99, 100, 101, 150, 300, 700, 1500, 1500, 2500, 2500])
        style = ["blocks", "boundary", "noise"][n % 3]
        cases.append(pytest.param(_signal(rng, width, channels, rate, ms, style), {},
                                  id=f"{n}-{style}-w{width}c{channels}r{rate}-{ms}ms"))
    # Silence at both ends, around one burst.
    cases.append(pytest.param(_segment([0] * 500 + [9000] * 300 + [0] * 500, 2, 1, 1000), {},
                              id="silence-both-ends"))
    # Two blips, each too small to make a window loud, together make the windows holding both
    # loud: the silent windows on either side still form one run.
    blips = [0] * 1200
    blips[599] = blips[600] = 300
    cases.append(pytest.param(_segment(blips, 2, 1, 1000), {}, id="two-blips"))
    # The threshold exactly met: RMS 32 is silent for 16 bits, 33 is not.
    for level in (32, 33):
        cases.append(pytest.param(_segment([level, -level] * 22050, 2, 1, 44100), {},
                                  id=f"constant-{level}"))
    # 32-bit loud windows whose double sums round: the library's rounding decides.
    bound = math.floor(10 ** -3 * 2 ** 31) + 1
    for level in (bound - 1, bound, bound + 1):
        cases.append(pytest.param(_segment([level, -level] * 48000, 4, 2, 48000),
                                  {"silence_thresh": -60}, id=f"wide-{level}"))
    odd = math.floor(10 ** (-59.99999 / 20) * 2 ** 31) + 1
    cases.append(pytest.param(_segment([odd, -odd] * 48000, 4, 2, 48000),
                              {"silence_thresh": -59.99999}, id="wide-rounding"))
    # Other window lengths, thresholds and steps.
    rng2 = random.Random(5)
    for n, params in enumerate([{"min_silence_len": 50}, {"min_silence_len": 250},
                                {"seek_step": 7}, {"seek_step": 30, "min_silence_len": 20},
                                {"silence_thresh": -40}, {"silence_thresh": -16}]):
        cases.append(pytest.param(_signal(rng2, 2, 1, 16000, 2000, "blocks"), params,
                                  id=f"params-{n}"))
    return cases


@pytest.mark.parametrize("audio,params", _cases())
def test_core_ranges_equal_pydub(audio, params):
    kw = {"min_silence_len": 100, "silence_thresh": -60, "seek_step": 1, **params}
    expected = detect_nonsilent(audio, **kw)
    got = montra._detect_nonsilent(audio.raw_data, audio.sample_width, audio.channels,
                                   audio.frame_rate, kw["min_silence_len"], kw["silence_thresh"],
                                   kw["seek_step"])
    assert got == expected


def test_core_ranges_equal_pydub_on_decoded_files(tmp_path):
    for ext, channels, bits in [("wav", 2, 8), ("wav", 1, 32), ("mp3", 2, 16)]:
        src = make_audio(tmp_path / f"v{bits}.{ext}", THREE + [("tone", 0.05), ("silence", 0.2)],
                         channels=channels, bits=bits)
        audio = AudioSegment.from_file(src)
        assert montra._detect_nonsilent(audio.raw_data, audio.sample_width, audio.channels,
                                        audio.frame_rate) == detect_nonsilent(audio, 100, -60)


def test_detect_refuses_bad_formats():
    with pytest.raises(ValueError):
        montra._detect_nonsilent(b"\0" * 8, 5, 1, 44100)
    with pytest.raises(ValueError):
        montra._detect_nonsilent(b"\0" * 8, 2, 1, 0)
    with pytest.raises(TypeError):
        montra._detect_nonsilent("text", 2, 1, 44100)


# ---------------------------------------------------------------- pause length bounds

PAUSE_TEXT = "min_silence_duration must be between 0 and 10 seconds"


@pytest.mark.parametrize("value", [-0.001, 10.0001, 1e6, math.inf, -math.inf, math.nan])
def test_pause_length_out_of_range_refused_before_the_file_check(tmp_path, value):
    with pytest.raises(ValueError) as info:
        montra.remove_silence_from_audio(str(tmp_path / "missing.mp3"), value)
    assert str(info.value) == PAUSE_TEXT and type(info.value) is ValueError


@pytest.mark.parametrize("value", [0, 10, 10.0])
def test_pause_length_bounds_are_accepted(tmp_path, value):
    with pytest.raises(Exception, match="^Input audio file not found: "):
        montra.remove_silence_from_audio(str(tmp_path / "missing.mp3"), value)


def test_a_pause_that_is_not_inserted_is_never_built(tmp_path, monkeypatch):
    """One stretch of speech needs no pause: none is built, however long it would be."""
    built = []
    original = AudioSegment.silent.__func__

    def silent(cls, *args, **kwargs):
        built.append(kwargs.get("duration", args[0] if args else None))
        return original(cls, *args, **kwargs)

    monkeypatch.setattr(AudioSegment, "silent", classmethod(silent))
    src = make_audio(tmp_path / "one.wav", [("silence", 0.3), ("tone", 0.5), ("silence", 0.3)])
    out = montra._remove_silence_pydub(src, str(tmp_path / "o.wav"), 1e6)
    assert out == str(tmp_path / "o.wav") and built == []
    two = make_audio(tmp_path / "two.wav", [("tone", 0.3), ("silence", 0.5), ("tone", 0.3)])
    montra.remove_silence_from_audio(two, 0.25)
    assert built == [250]
