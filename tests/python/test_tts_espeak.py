"""The offline "espeak" engine: real speech from libespeak-ng, written as MP3 or WAV.

Files are checked by decoding them with ffprobe/ffmpeg, independently of the code that wrote
them.
"""

import json
import math
import os
import shutil
import subprocess
import threading
import time
from array import array

import pytest

from vestrel import tts

pytestmark = pytest.mark.skipif(shutil.which("ffprobe") is None, reason="ffprobe missing")

GERMAN = "Heute zeigen wir dir drei einfache Tricks für bessere Videos am Handy."
ENGLISH = "Today we will show you three simple tricks for better videos on your phone."


def probe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         "stream=codec_name,sample_rate,channels,bit_rate:format=duration", "-of", "json",
         str(path)], capture_output=True, text=True, check=True, timeout=60).stdout
    data = json.loads(out)
    stream = data["streams"][0]
    return {"codec": stream["codec_name"], "rate": int(stream["sample_rate"]),
            "channels": stream["channels"], "bit_rate": int(stream.get("bit_rate", 0)),
            "duration": float(data["format"]["duration"])}


def decoded(path, rate=22050):
    """The file's audio decoded by ffmpeg to mono 16-bit samples."""
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", str(path), "-f", "s16le",
                          "-ac", "1", "-ar", str(rate), "-"],
                         capture_output=True, check=True, timeout=60).stdout
    return array("h", raw)


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / max(len(samples), 1))


def pitch_hz(samples, rate=8000):
    """Median fundamental frequency of the loudest 40 ms frames (voiced sounds), from the
    autocorrelation peak between 80 and 400 Hz."""
    frame = rate // 25
    frames = [samples[i:i + frame] for i in range(0, len(samples) - frame, frame)]
    frames.sort(key=lambda f: -sum(s * s for s in f))
    estimates = []
    for f in frames[:30]:
        def score(lag):
            return sum(f[i] * f[i + lag] for i in range(frame - lag)) / (frame - lag)
        estimates.append(rate / max(range(rate // 400, rate // 80 + 1), key=score))
    return sorted(estimates)[len(estimates) // 2]


@pytest.mark.parametrize("text, settings, name, codec, rate", [
    (GERMAN, {}, "voice.mp3", "mp3", 44100),
    (GERMAN, {"voice_name": "de"}, "voice.wav", "pcm_s16le", 22050),
    (ENGLISH, {"language_code": "en"}, "voice.MP3", "mp3", 44100),
    (ENGLISH, {"voice_name": "en-us", "rate": 175}, "voice.Wav", "pcm_s16le", 22050),
    # A language as `espeak-ng --voices` lists it, with a variant.
    (ENGLISH, {"voice_name": "en-gb+f3", "pitch": 60}, "voice.mp3", "mp3", 44100),
])
def test_writes_decodable_speech_of_fitting_length(tmp_path, text, settings, name, codec, rate):
    out = str(tmp_path / name)
    assert tts.generate_tts(text=text, outputfile=out, engine="espeak", **settings) == out
    info = probe(out)
    assert (info["codec"], info["rate"], info["channels"]) == (codec, rate, 1)
    if codec == "mp3":
        assert info["bit_rate"] == 192000
    # A sentence of about a dozen words lasts a few seconds.
    assert 2.0 < info["duration"] < 6.0
    samples = decoded(out)
    assert abs(len(samples) / 22050 - info["duration"]) < 0.05
    assert rms(samples) > 500  # speech, not silence
    # Written whole under its name: no temporary file stays beside it.
    assert os.listdir(tmp_path) == [name]


def test_factory_builds_the_engine_from_its_settings():
    make = tts.create_tts_engine
    cases = [
        (make("espeak"), ("de", None, None)),
        (make("ESPEAK", voice_name="en-us", rate=200, pitch=30), ("en-us", 200, 30)),
        # Without a voice the language picks it; an explicit voice wins over the language.
        (make("espeak", language_code="en"), ("en-us", None, None)),
        (make("Espeak", voice_name=None, language_code="fr"), ("fr", None, None)),
        (make("espeak", voice_name="de+f3", language_code="en"), ("de+f3", None, None)),
        # The speech route passes absent fields as None; other engines' settings are ignored.
        (make("espeak", voice_name=None, voice_id=None, api_key="k", check_credits=True),
         ("de", None, None)),
    ]
    for engine, expected in cases:
        assert type(engine) is tts.EspeakVoiceModule
        assert isinstance(engine, tts.VoiceModule)
        assert (engine.voice_name, engine.rate, engine.pitch) == expected
        assert engine.get_remaining_characters() == 10**12
        assert engine.update_usage() is None
    # The engine names of the interface stay as they were.
    assert tts.TTSEngine.__args__ == ("edge", "eleven")


def test_voice_rate_and_pitch_change_the_audio(tmp_path):
    def speak(name, **settings):
        out = tmp_path / f"{name}.wav"
        tts.EspeakVoiceModule(**settings).generate_voice(GERMAN, str(out))
        return decoded(out, rate=8000)

    normal = speak("normal")
    slow, fast = speak("slow", rate=110), speak("fast", rate=300)
    assert len(slow) > 1.4 * len(normal) and len(fast) < 0.7 * len(normal)
    # A higher pitch setting and the female variant raise the voice.
    low, high = speak("low", pitch=10), speak("high", pitch=90)
    assert pitch_hz(high) > 1.3 * pitch_hz(low)
    assert pitch_hz(speak("female", voice_name="de+f3")) > 1.3 * pitch_hz(normal)
    # Another voice speaks the same text differently.
    assert speak("english", voice_name="en-us") != normal


@pytest.mark.parametrize("call, error, message", [
    (lambda out: tts.generate_tts(text="Hallo", outputfile=out, engine="espeak",
                                  voice_name="xx-nothing"),
     Exception, "Unknown espeak-ng voice 'xx-nothing': list the valid voices with "
                "`espeak-ng --voices` or vestrel.tts.list_espeak_voices()"),
    # An Edge voice name is no espeak-ng voice.
    (lambda out: tts.generate_tts(text="Hallo", outputfile=out, engine="espeak",
                                  voice_name="de-DE-KatjaNeural"),
     Exception, "Unknown espeak-ng voice 'de-DE-KatjaNeural'"),
    (lambda out: tts.generate_tts(text="Hallo", outputfile=out, engine="espeak",
                                  language_code="xq"),
     ValueError, "espeak-ng has no voice for the language 'xq'"),
    (lambda out: tts.EspeakVoiceModule().generate_voice("", out),
     ValueError, "espeak-ng TTS: the text is empty, nothing to speak"),
    (lambda out: tts.EspeakVoiceModule().generate_voice(" \n\t ", out),
     ValueError, "espeak-ng TTS: the text is empty, nothing to speak"),
    (lambda out: tts.EspeakVoiceModule().generate_voice("Hallo", out[:-4] + ".ogg"),
     ValueError, "Unsupported audio file extension '.ogg'"),
    (lambda out: tts.EspeakVoiceModule().generate_voice("Hallo", out[:-4]),
     ValueError, "Unsupported audio file extension ''"),
    (lambda out: tts.EspeakVoiceModule(rate=20), ValueError,
     "rate must be between 80 and 450 words per minute, got 20"),
    (lambda out: tts.EspeakVoiceModule(pitch=101), ValueError,
     "pitch must be between 0 and 100, got 101"),
    (lambda out: tts.EspeakVoiceModule(rate=True), TypeError,
     "Argument 'rate' has incorrect type (expected int, got bool)"),
    (lambda out: tts.EspeakVoiceModule(None), TypeError,
     "Argument 'voice_name' has incorrect type (expected str, got NoneType)"),
    (lambda out: tts.EspeakVoiceModule().generate_voice("Hallo", None), TypeError,
     "Argument 'outputfile' has incorrect type (expected str, got NoneType)"),
])
def test_refusals_write_nothing(tmp_path, call, error, message):
    out = str(tmp_path / "voice.mp3")
    with pytest.raises(Exception) as info:
        call(out)
    assert type(info.value) is error
    assert str(info.value).startswith(message)
    assert os.listdir(tmp_path) == []


def test_a_failure_keeps_an_earlier_file_whole(tmp_path):
    out = tmp_path / "voice.mp3"
    out.write_bytes(b"earlier")
    engine = tts.EspeakVoiceModule()
    engine.voice_name = "xx-nothing"  # changed after construction: checked at synthesis
    with pytest.raises(Exception, match="Unknown espeak-ng voice 'xx-nothing'"):
        engine.generate_voice(GERMAN, str(out))
    assert out.read_bytes() == b"earlier"
    with pytest.raises(FileNotFoundError):
        tts.EspeakVoiceModule().generate_voice(GERMAN, str(tmp_path / "missing" / "v.mp3"))
    assert os.listdir(tmp_path) == ["voice.mp3"]


def test_two_threads_at_once_both_get_their_own_speech(tmp_path):
    jobs = {"de.mp3": (GERMAN, {"voice_name": "de", "rate": 260}),
            "en.mp3": (ENGLISH, {"voice_name": "en-us"})}
    # Alone, one after the other.
    alone = {}
    for name, (text, settings) in jobs.items():
        tts.generate_tts(text=text, outputfile=str(tmp_path / f"alone-{name}"), engine="espeak",
                         **settings)
        alone[name] = probe(tmp_path / f"alone-{name}")["duration"]

    errors = []
    barrier = threading.Barrier(len(jobs) * 2)

    def run(name, index, text, settings):
        try:
            barrier.wait()
            tts.generate_tts(text=text, outputfile=str(tmp_path / f"{index}-{name}"),
                             engine="espeak", **settings)
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(name, i, text, settings))
               for name, (text, settings) in jobs.items() for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    for name in jobs:
        for i in range(2):
            # Same voice, rate and text as alone: settings or samples of the other thread
            # would change the length.
            assert abs(probe(tmp_path / f"{i}-{name}")["duration"] - alone[name]) < 0.1


def test_synthesis_lets_other_threads_run(tmp_path):
    text = " ".join([GERMAN] * 25)  # about a minute of speech
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        tts.EspeakVoiceModule().generate_voice(text, str(tmp_path / "long.mp3"))
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    during = [t for t in ticks if start < t < end]
    # The interpreter is released while espeak-ng and LAME work.
    assert len(during) >= 10, (len(during), end - start)


def test_voice_list():
    voices = tts.list_espeak_voices()
    assert len(voices) > 50
    assert all(list(v) == ["name", "identifier", "languages"] for v in voices)
    assert all(isinstance(v["languages"], list) and v["languages"] for v in voices)
    german = [v for v in voices if v["identifier"] == "gmw/de"]
    assert german and german[0]["languages"][0] == "de"
    assert {"de", "en-us", "fr"} <= {lang for v in voices for lang in v["languages"]}


def test_speech_route_with_the_offline_engine(tmp_path):
    from fastapi import FastAPI
    from fastapi.testclient import TestClient

    from vestrel import endpoints

    app = FastAPI()
    app.include_router(endpoints.router)
    client = TestClient(app)
    out = str(tmp_path / "speech.mp3")
    r = client.post("/tts/generate", json={"text": GERMAN, "engine": "espeak", "output_path": out})
    assert r.status_code == 200
    assert r.json() == {"success": True, "engine": "espeak", "characters": len(GERMAN),
                        "output_path": out}
    assert 2.0 < probe(out)["duration"] < 6.0
    r = client.post("/tts/generate", json={"text": "Hallo", "engine": "espeak",
                                           "output_path": out, "voice_name": "nope"})
    assert r.status_code == 500
    assert r.json()["detail"].startswith("Unknown espeak-ng voice 'nope'")


def test_finds_the_system_data_when_the_environment_points_elsewhere(tmp_path):
    from conftest import run_python

    # A data path without espeak-ng's data: the engine falls back to the installed data.
    out = tmp_path / "v.wav"
    proc = run_python("from vestrel import tts\n"
                      f"tts.EspeakVoiceModule().generate_voice('Hallo Welt', {str(out)!r})\n",
                      env={"ESPEAK_DATA_PATH": str(tmp_path)})
    assert proc.returncode == 0, proc.stderr
    assert probe(out)["duration"] > 0.5
