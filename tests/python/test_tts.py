"""Speech synthesis: the voice interface, the factory, the Edge engine (against the fake
edge_tts package) and the ElevenLabs engine (against a loopback server answering like the
service, so the real requests calls run)."""

import asyncio
import collections.abc
import inspect
import json
import os
import sys
import threading
import time
import typing

import pytest
import requests

import edge_tts
from conftest import run_python
from loopback import LoopbackServer, Response
from vestrel import tts

DEFAULT_VOICE_ID = "21m00Tcm4TlvDq8ikWAM"


# --------------------------------------------------------------------------------------
# Interface and factory


def test_interface_types():
    assert typing.get_args(tts.TTSEngine) == ("edge", "eleven")
    assert tts.VoiceModule.__doc__ == "Abstract base class for all TTS engines."
    assert tts.VoiceModule.__abstractmethods__ == {
        "update_usage", "get_remaining_characters", "generate_voice"}
    with pytest.raises(TypeError, match="abstract"):
        tts.VoiceModule()

    class Complete(tts.VoiceModule):
        def update_usage(self):
            pass

        def get_remaining_characters(self):
            return 7

        def generate_voice(self, text, outputfile):
            return outputfile

    engine = Complete()
    assert engine.get_remaining_characters() == 7
    # The abstract bodies do nothing and return nothing.
    assert tts.VoiceModule.update_usage(engine) is None
    assert tts.VoiceModule.generate_voice(engine, "a", "b") is None
    for cls in (tts.EdgeTTSVoiceModule, tts.ElevenLabsVoiceModule):
        assert issubclass(cls, tts.VoiceModule) and not cls.__abstractmethods__
    assert tts.EdgeTTSVoiceModule.__doc__ == "Microsoft Edge TTS implementation using edge-tts."
    assert tts.ElevenLabsVoiceModule.__doc__ == "ElevenLabs TTS implementation."
    # Methods carry their own docstring alone (or none) and name their class.
    voices = tts.ElevenLabsVoiceModule.get_voices
    assert voices.__doc__ == "Get the list of voices available"
    assert voices.__qualname__ == "ElevenLabsVoiceModule.get_voices"
    assert tts.EdgeTTSVoiceModule.generate_voice.__doc__ is None
    # The coroutine method is a coroutine function to the host's checks; the others are not.
    engine = tts.EdgeTTSVoiceModule("v")
    assert asyncio.iscoroutinefunction(engine._async_generate_voice)
    assert not asyncio.iscoroutinefunction(engine.generate_voice)
    if hasattr(inspect, "markcoroutinefunction"):
        assert inspect.iscoroutinefunction(tts.EdgeTTSVoiceModule._async_generate_voice)


@pytest.mark.parametrize("target, expected", [
    (lambda: tts.create_tts_engine, "(engine: Literal['edge', 'eleven'], **kwargs)"),
    (lambda: tts.generate_tts,
     "(text: str, outputfile: str, engine: Literal['edge', 'eleven'], **engine_kwargs) -> str"),
    (lambda: tts.EdgeTTSVoiceModule, "(voice_name: str)"),
    (lambda: tts.ElevenLabsVoiceModule,
     "(api_key: str, voice_id: str, check_credits: bool = False, min_required_chars: int = 1200, "
     "language_code: Optional[str] = None)"),
    (lambda: tts.VoiceModule.generate_voice, "(self, text: str, outputfile: str) -> str"),
    (lambda: tts.EdgeTTSVoiceModule("v").get_remaining_characters, "() -> int"),
    (lambda: tts.EdgeTTSVoiceModule("v")._async_generate_voice, "(text: str, outputfile: str)"),
])
def test_signatures(target, expected):
    assert str(inspect.signature(target())).split(" -> vestrel")[0] == expected


@pytest.mark.parametrize("name", ["edge", "EDGE", "Edge"])
def test_edge_names_and_settings(name):
    engine = tts.create_tts_engine(name)
    assert type(engine) is tts.EdgeTTSVoiceModule
    assert engine.voice_name == "de-DE-KatjaNeural"
    # Settings of other engines are ignored.
    engine = tts.create_tts_engine(name, voice_name="en-GB-RyanNeural", api_key="k", voice_id="v")
    assert engine.voice_name == "en-GB-RyanNeural"
    assert engine.get_remaining_characters() == 1000000000000
    assert engine.update_usage() is None
    assert engine.get_remaining_characters() == 1000000000000


@pytest.mark.parametrize("call, error, message", [
    (lambda: tts.create_tts_engine("AzUre"), ValueError, "Unsupported TTS engine: azure"),
    (lambda: tts.create_tts_engine("edge", voice_name=None), TypeError,
     "Argument 'voice_name' has incorrect type (expected str, got NoneType)"),
    (lambda: tts.create_tts_engine("eleven"), ValueError, "api_key is required for ElevenLabs TTS"),
    (lambda: tts.create_tts_engine("eleven", api_key=None), ValueError,
     "api_key is required for ElevenLabs TTS"),
    (lambda: tts.create_tts_engine("Eleven", api_key=""), ValueError,
     "api_key is required for ElevenLabs TTS"),
    (lambda: tts.generate_tts("text", "out.mp3"), TypeError,
     "generate_tts() takes exactly 3 positional arguments (2 given)"),
    (lambda: tts.generate_tts(None, "out.mp3", "edge"), TypeError,
     "Argument 'text' has incorrect type (expected str, got NoneType)"),
    (lambda: tts.EdgeTTSVoiceModule(), TypeError,
     "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: tts.EdgeTTSVoiceModule("v").generate_voice("t", b"out.mp3"), TypeError,
     "Argument 'outputfile' has incorrect type (expected str, got bytes)"),
])
def test_factory_and_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


def test_generate_tts_passes_settings_and_checks_result(monkeypatch, tmp_path):
    seen = []

    class Engine:
        def generate_voice(self, text, outputfile):
            return result

    def factory(engine, **kwargs):
        seen.append((engine, kwargs))
        return Engine()

    monkeypatch.setattr(tts, "create_tts_engine", factory)
    result = str(tmp_path / "x.mp3")
    assert tts.generate_tts("t", result, "EDGE", voice_name="v", extra=None) == result
    assert seen == [("EDGE", {"voice_name": "v", "extra": None})]
    result = None
    with pytest.raises(TypeError):
        tts.generate_tts("t", "x.mp3", "edge")


# --------------------------------------------------------------------------------------
# Edge engine


@pytest.fixture
def communicate(monkeypatch):
    """Replaces edge_tts.Communicate by one whose stream yields the given events."""
    made = []

    def install(*runs):
        runs = list(runs)

        class Communicate:
            def __init__(self, text, voice):
                self.args = (text, voice)
                made.append(self)

            async def stream(self):
                events = runs.pop(0) if len(runs) > 1 else runs[0]
                for event in events:
                    await asyncio.sleep(0)
                    if callable(event):
                        event = event(self)
                    if isinstance(event, BaseException):
                        raise event
                    yield event

        monkeypatch.setattr(edge_tts, "Communicate", Communicate)
        return made

    return install


def test_edge_streams_real_mp3_into_file(tmp_path):
    text = "Das ist ein kurzer Test der Stimme."
    out = str(tmp_path / "voice.mp3")
    edge_tts.calls.clear()
    assert tts.generate_tts(text, out, "edge", voice_name="de-DE-ConradNeural") == out
    assert edge_tts.calls == [(text, "de-DE-ConradNeural")]
    data = open(out, "rb").read()
    assert data == edge_tts.audio_for(text) and len(data) > 3 * edge_tts.CHUNK_SIZE
    # Re-running truncates rather than appends.
    tts.create_tts_engine("edge").generate_voice(text, out)
    assert open(out, "rb").read() == data


def test_edge_opens_file_before_streaming_and_skips_other_events(communicate, tmp_path):
    out = tmp_path / "voice.mp3"
    observed = []

    def check_file(_):
        observed.append((out.exists(), out.stat().st_size if out.exists() else None))
        return {"type": "WordBoundary", "text": "x"}

    communicate([check_file, {"type": "audio", "data": b"ab"}, {"type": "WordBoundary"},
                 {"type": "audio", "data": b"cd"}, {"type": "SentenceBoundary"}])
    assert tts.EdgeTTSVoiceModule("v").generate_voice("t", str(out)) == str(out)
    assert observed == [(True, 0)]
    assert out.read_bytes() == b"abcd"


def test_edge_empty_stream_leaves_empty_file(communicate, tmp_path):
    out = tmp_path / "voice.mp3"
    communicate([{"type": "WordBoundary", "text": "x"}])
    assert tts.generate_tts("t", str(out), "edge") == str(out)
    assert out.read_bytes() == b""


def test_edge_missing_directory(tmp_path):
    with pytest.raises(FileNotFoundError):
        tts.generate_tts("t", str(tmp_path / "missing" / "voice.mp3"), "edge")


def test_edge_without_edge_tts(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "edge_tts", None)
    engine = tts.EdgeTTSVoiceModule("v")
    # The import is deferred to the coroutine's first step.
    coro = engine._async_generate_voice("t", str(tmp_path / "a.mp3"))
    assert asyncio.iscoroutine(coro) and isinstance(coro, collections.abc.Coroutine)
    coro.close()
    with pytest.raises(Exception) as info:
        engine.generate_voice("t", str(tmp_path / "a.mp3"))
    assert type(info.value) is Exception
    assert str(info.value) == (
        "edge-tts module is not installed. Use 'pip install edge-tts' to install it.")
    assert isinstance(info.value.__context__, ImportError)
    assert info.value.__cause__ is None
    assert not (tmp_path / "a.mp3").exists()


def _in_thread(fn):
    """Runs fn on a fresh thread (its own event-loop slot), returning its result or error."""
    box = {}

    def run():
        try:
            box["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            box["error"] = e

    t = threading.Thread(target=run)
    t.start()
    t.join(30)
    return box


def test_edge_retries_once_after_runtime_error(communicate, tmp_path, capsys):
    out = str(tmp_path / "voice.mp3")
    made = communicate([RuntimeError("stream broke")], [{"type": "audio", "data": b"ok"}])
    engine = tts.EdgeTTSVoiceModule("v")

    def run():
        result = engine.generate_voice("t", out)
        return result, asyncio.get_event_loop().is_closed()

    box = _in_thread(run)
    assert box["result"] == (out, True)  # the closed fallback loop stays installed
    assert len(made) == 2
    err = capsys.readouterr().err
    assert "Traceback" in err and "RuntimeError: stream broke" in err
    assert open(out, "rb").read() == b"ok"


@pytest.mark.parametrize("first, second", [
    (ValueError("service said no"), None),                      # not retried
    (RuntimeError("first"), RuntimeError("second")),            # the retry's error propagates
])
def test_edge_errors_propagate(communicate, tmp_path, first, second):
    out = tmp_path / "voice.mp3"
    runs = [[{"type": "audio", "data": b"part"}, first]]
    if second is not None:
        runs.append([{"type": "audio", "data": b"x"}, second])
    made = communicate(*runs)
    box = _in_thread(lambda: tts.EdgeTTSVoiceModule("v").generate_voice("t", str(out)))
    expected = second if second is not None else first
    assert box["error"] is expected
    assert len(made) == len(runs)
    # The file handle was closed and what was written stays on disk.
    assert out.read_bytes() == (b"x" if second is not None else b"part")


def test_edge_no_output_file(monkeypatch, tmp_path):
    engine = tts.EdgeTTSVoiceModule("v")

    async def nothing(text, outputfile):
        return None

    monkeypatch.setattr(engine, "_async_generate_voice", nothing, raising=False)
    with pytest.raises(Exception, match="^Edge TTS failed: no output audio generated$"):
        engine.generate_voice("t", str(tmp_path / "never.mp3"))


# --------------------------------------------------------------------------------------
# The coroutine object itself (shared helper)


def test_coroutine_protocol(communicate, tmp_path):
    out = tmp_path / "voice.mp3"
    communicate([{"type": "audio", "data": b"a"}, {"type": "audio", "data": b"b"}])
    engine = tts.EdgeTTSVoiceModule("v")

    coro = engine._async_generate_voice("t", str(out))
    assert coro.__qualname__ == "EdgeTTSVoiceModule._async_generate_voice"
    assert "coroutine object EdgeTTSVoiceModule._async_generate_voice" in repr(coro)
    steps = 0
    with pytest.raises(StopIteration) as stop:
        while True:
            assert coro.send(None) is None  # bare yields of asyncio.sleep(0) pass through
            steps += 1
    assert stop.value.value is None and steps >= 2
    assert out.read_bytes() == b"ab"
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)

    # Awaited from a Python coroutine.
    async def outer():
        return await engine._async_generate_voice("t", str(out))

    assert asyncio.run(outer()) is None and out.read_bytes() == b"ab"

    # An error thrown in while suspended reaches the stream, the file is closed.
    coro = engine._async_generate_voice("t", str(out))
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("stop"))
    with pytest.raises(RuntimeError):
        coro.send(None)

    # close() while suspended, and on a coroutine never started.
    coro = engine._async_generate_voice("t", str(out))
    coro.send(None)
    coro.close()
    engine._async_generate_voice("t", str(out)).close()
    with pytest.raises(TypeError, match="just-started"):
        engine._async_generate_voice("t", str(out)).send(1)


def test_coroutine_cancellation(monkeypatch, tmp_path):
    out = tmp_path / "voice.mp3"

    class Communicate:
        def __init__(self, text, voice):
            pass

        async def stream(self):
            yield {"type": "audio", "data": b"a"}
            await asyncio.sleep(3600)
            yield {"type": "audio", "data": b"never"}

    monkeypatch.setattr(edge_tts, "Communicate", Communicate)

    async def main():
        coro = tts.EdgeTTSVoiceModule("v")._async_generate_voice("t", str(out))
        task = asyncio.ensure_future(coro)
        await asyncio.sleep(0.01)
        assert coro.cr_await is not None
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    t0 = time.monotonic()
    asyncio.run(main())
    assert time.monotonic() - t0 < 5
    assert out.read_bytes() == b"a"  # written, and the file closed on cancellation


# --------------------------------------------------------------------------------------
# ElevenLabs engine


class ElevenLabsService:
    """Answers like the ElevenLabs API: subscription, synthesis (chunked MP3), voices."""

    def __init__(self, server):
        self.server = server
        self.limit = 10000
        self.count = 0
        self.subscription = None  # a Response to answer instead
        self.synthesis = None
        self.audio = edge_tts.mp3_tone(1.5)
        server.route("GET", "/v1/user/subscription", self._subscription)
        server.route("POST", "/v1/text-to-speech/", self._synthesise)
        server.route("GET", "/v1/text-to-speech/voices", Response(200, {"voices": [
            {"name": "Rachel", "voice_id": "r1"}, {"name": "Adam", "voice_id": "a1"},
            {"name": "Rachel", "voice_id": "r2"}]}))

    def _subscription(self, req):
        if self.subscription is not None:
            return self.subscription
        return Response(200, {"character_limit": self.limit, "character_count": self.count})

    def _synthesise(self, req):
        if self.synthesis is not None:
            return self.synthesis
        self.count += len(req.json()["text"])
        chunks = [self.audio[i:i + 1000] for i in range(0, len(self.audio), 1000)]
        return Response(200, b"", headers={"Content-Type": "audio/mpeg"}, chunks=chunks)

    def paths(self):
        return [(r.method, r.path) for r in self.server.requests]


@pytest.fixture
def service(monkeypatch):
    with LoopbackServer() as server:
        cls = tts.ElevenLabsVoiceModule
        monkeypatch.setattr(cls, "SUBSCRIPTION_URL", server.url + "/v1/user/subscription")
        monkeypatch.setattr(cls, "TTS_URL", server.url + "/v1/text-to-speech")
        yield ElevenLabsService(server)


SUB = ("GET", "/v1/user/subscription")


@pytest.mark.parametrize("language_code, members", [
    (None, ["text", "model_id", "voice_settings"]),
    ("", ["text", "model_id", "voice_settings"]),
    ("de", ["text", "model_id", "voice_settings", "language_code"]),
])
def test_eleven_synthesis_request_and_file(service, tmp_path, language_code, members):
    out = str(tmp_path / "voice.mp3")
    text = "Grüße aus Köln"
    assert tts.generate_tts(text, out, "eleven", api_key="key-1",
                            language_code=language_code) == out
    tts_path = "/v1/text-to-speech/" + DEFAULT_VOICE_ID
    assert service.paths() == [SUB, ("POST", tts_path), SUB]
    sub, post, _ = service.server.requests
    assert sub.headers["xi-api-key"] == "key-1"
    assert post.headers["xi-api-key"] == "key-1"
    assert post.headers["Content-Type"] == "application/json"
    assert post.headers["Accept"] == "audio/mpeg"
    body = json.loads(post.body)
    assert list(body) == members
    assert body["text"] == text
    assert body["model_id"] == "eleven_multilingual_v2"
    assert body["voice_settings"] == {"stability": 0.5, "similarity_boost": 0.75}
    assert list(body["voice_settings"]) == ["stability", "similarity_boost"]
    if language_code:
        assert body["language_code"] == language_code
    assert open(out, "rb").read() == service.audio


def test_eleven_writes_4096_byte_chunks(service, tmp_path, monkeypatch):
    sizes = []
    real_post = requests.post

    def post(*args, **kwargs):
        response = real_post(*args, **kwargs)
        real_iter = response.iter_content

        def iter_content(chunk_size=1, decode_unicode=False):
            sizes.append(chunk_size)
            return real_iter(chunk_size=chunk_size, decode_unicode=decode_unicode)

        response.iter_content = iter_content
        return response

    monkeypatch.setattr(requests, "post", post)
    engine = tts.ElevenLabsVoiceModule("k", "voice-9")
    out = str(tmp_path / "v.mp3")
    assert engine.generate_voice("hallo", out) == out
    assert sizes == [4096]
    assert open(out, "rb").read() == service.audio
    assert service.paths()[1] == ("POST", "/v1/text-to-speech/voice-9")


def test_eleven_quota_boundary(service, tmp_path):
    service.limit, service.count = 10, 5
    engine = tts.create_tts_engine("eleven", api_key="k")
    assert engine.remaining_credits == 5 and engine.get_remaining_characters() == 5
    out = tmp_path / "v.mp3"
    with pytest.raises(Exception) as info:
        engine.generate_voice("äöüßé!", str(out))  # 6 code points, more bytes
    assert str(info.value) == "Cannot generate 6 characters, only 5 remaining"
    assert service.paths() == [SUB] and not out.exists()
    # Exactly the quota is sent; the quota is read again afterwards.
    assert engine.generate_voice("äöüßé", str(out)) == str(out)
    assert service.paths() == [SUB, ("POST", "/v1/text-to-speech/" + DEFAULT_VOICE_ID), SUB]
    assert engine.remaining_credits == 0


@pytest.mark.parametrize("remaining, check, minimum, ok", [
    (1200, True, None, True),
    (1199, True, None, False),
    (0, False, None, True),
    (50, True, 50, True),
    (49, True, 50, False),
])
def test_eleven_credit_check_at_construction(service, remaining, check, minimum, ok):
    service.limit, service.count = remaining + 3, 3
    kwargs = {"check_credits": check}
    if minimum is not None:
        kwargs["min_required_chars"] = minimum
    make = lambda: tts.ElevenLabsVoiceModule("k", "v", **kwargs)  # noqa: E731
    if ok:
        assert make().remaining_credits == remaining
    else:
        with pytest.raises(Exception) as info:
            make()
        assert str(info.value) == (
            f"ElevenLabs API key has only {remaining} characters remaining "
            f"(minimum required: {minimum or 1200})")


def test_eleven_subscription_without_members(service, tmp_path):
    service.subscription = Response(200, {"tier": "free"})
    engine = tts.create_tts_engine("eleven", api_key="k", check_credits=False)
    assert engine.remaining_credits == 0
    with pytest.raises(Exception, match="^Cannot generate 1 characters, only 0 remaining$"):
        engine.generate_voice("a", str(tmp_path / "v.mp3"))
    assert engine.generate_voice("", str(tmp_path / "v.mp3"))  # an empty text fits
    engine.remaining_credits = None
    assert engine.get_remaining_characters() == 0


def test_eleven_failures(service, tmp_path):
    service.subscription = Response(401, {"detail": "invalid key"})
    with pytest.raises(Exception, match="^Failed to fetch ElevenLabs usage information$"):
        tts.create_tts_engine("eleven", api_key="k")

    service.subscription = None
    engine = tts.create_tts_engine("eleven", api_key="k")
    out = tmp_path / "v.mp3"
    service.synthesis = Response(400, b"voice not found")
    with pytest.raises(Exception, match="^ElevenLabs TTS failed: voice not found$"):
        engine.generate_voice("hallo", str(out))
    assert not out.exists()

    # The quota refresh after synthesis fails although the audio is complete.
    service.synthesis = None
    service.subscription = Response(500, {"detail": "down"})
    with pytest.raises(Exception, match="^Failed to fetch ElevenLabs usage information$"):
        engine.generate_voice("hallo", str(out))
    assert out.read_bytes() == service.audio

    service.subscription = None
    with pytest.raises(FileNotFoundError):
        engine.generate_voice("hallo", str(tmp_path / "missing" / "v.mp3"))


def test_eleven_arguments_checked_before_any_request(service):
    with pytest.raises(TypeError,
                       match=r"^Argument 'voice_id' has incorrect type \(expected str, got NoneType\)$"):
        tts.create_tts_engine("eleven", api_key="k", voice_id=None)
    with pytest.raises(TypeError, match="'min_required_chars' has incorrect type"):
        tts.ElevenLabsVoiceModule("k", "v", min_required_chars=True)
    assert service.paths() == []


@pytest.mark.parametrize("api_key, sent", [("key-1", True), ("", False)])
def test_eleven_voices(service, capsys, api_key, sent):
    engine = tts.ElevenLabsVoiceModule("k", "v")
    engine.api_key = api_key
    voices = engine.get_voices()
    assert voices == {"Rachel": "r2", "Adam": "a1"} and engine.voices is voices
    req = service.server.requests[-1]
    assert (req.method, req.path) == ("GET", "/v1/text-to-speech/voices")
    assert req.headers["accept"] == "application/json"
    assert ("xi-api-key" in req.headers) is sent
    assert capsys.readouterr().out == f"Available ElevenLabs voices: {voices}\n"


def test_eleven_request_timeouts(service, monkeypatch, tmp_path):
    seen = []
    real_get, real_post = requests.get, requests.post

    def spy(real, method):
        def call(url, **kwargs):
            seen.append((method, kwargs.get("timeout")))
            return real(url, **kwargs)
        return call

    monkeypatch.setattr(requests, "get", spy(real_get, "GET"))
    monkeypatch.setattr(requests, "post", spy(real_post, "POST"))
    engine = tts.create_tts_engine("eleven", api_key="k")
    engine.generate_voice("hallo", str(tmp_path / "v.mp3"))
    engine.get_voices()
    assert seen == [("GET", 10), ("POST", (10, 120)), ("GET", 10), ("GET", 10)]


@pytest.mark.slow
def test_eleven_hung_service_times_out(service):
    # A service that accepts the request and never answers: the construction fails with
    # the HTTP library's time-out instead of blocking forever.
    service.subscription = Response(hang=True)
    t0 = time.monotonic()
    with pytest.raises(requests.exceptions.Timeout):
        tts.create_tts_engine("eleven", api_key="k")
    assert 9 < time.monotonic() - t0 < 20


def test_eleven_base_url_read_at_load():
    code = ("from vestrel import tts; c = tts.ElevenLabsVoiceModule; "
            "print(c.SUBSCRIPTION_URL); print(c.TTS_URL)")
    proc = run_python(code, env={"VESTREL_ELEVENLABS_API_URL": "http://127.0.0.1:5/"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["http://127.0.0.1:5/v1/user/subscription",
                                   "http://127.0.0.1:5/v1/text-to-speech"]
    proc = run_python("import os; os.environ.pop('VESTREL_ELEVENLABS_API_URL', None); " + code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["https://api.elevenlabs.io/v1/user/subscription",
                                   "https://api.elevenlabs.io/v1/text-to-speech"]


def test_eleven_accepts_a_minimal_response_object(service, monkeypatch, tmp_path):
    # A response stand-in with only what the synthesis reads: no close(), nothing reported.
    class Minimal:
        status_code = 200

        def iter_content(self, chunk_size):
            return iter([b"ab", b"", b"cd"])

    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    monkeypatch.setattr(requests, "post", lambda *a, **k: Minimal())
    out = tmp_path / "v.mp3"
    assert tts.create_tts_engine("eleven", api_key="k").generate_voice("hi", str(out)) == str(out)
    assert out.read_bytes() == b"abcd"
    assert unraisable == []


def test_eleven_output_file_gone_after_synthesis(service, tmp_path):
    out = tmp_path / "v.mp3"
    engine = tts.create_tts_engine("eleven", api_key="k")
    answer = service._subscription

    def remove_then_answer(req):  # the file disappears before the quota refresh returns
        out.unlink(missing_ok=True)
        return answer(req)

    service.server.route("GET", "/v1/user/subscription", remove_then_answer)
    with pytest.raises(Exception, match="^ElevenLabs TTS failed: output file not created$") as info:
        engine.generate_voice("hallo", str(out))
    assert type(info.value) is Exception
