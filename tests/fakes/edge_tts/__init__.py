"""Stand-in for the edge_tts client, placed first on sys.path by the tests.

`Communicate(text, voice).stream()` is an async generator like the real one: it yields
{"type": "audio", "data": bytes} chunks of a real MP3 (a tone about as long as the text would
take to speak, made once per length with ffmpeg and cached in the temp folder), with
"WordBoundary" events in between, and awaits the event loop between chunks.

Tests can read `calls` (every (text, voice) given to Communicate) and use `audio_for(text)`
to get the exact bytes a stream of that text yields.
"""

import asyncio
import os
import re
import subprocess
import tempfile

CHUNK_SIZE = 4096
SECONDS_PER_CHARACTER = 0.06

calls = []


def _duration(text):
    seconds = round(len(text) * SECONDS_PER_CHARACTER, 1)
    return min(max(seconds, 0.5), 60.0)


def mp3_tone(seconds):
    """A real MP3 (24 kHz mono, 48 kbit/s, like the Edge voices) of a tone, cached on disk."""
    path = os.path.join(tempfile.gettempdir(), f"vestrel-fake-edge-tts-{seconds:.1f}s.mp3")
    if not os.path.exists(path):
        tmp = f"{path}.{os.getpid()}.part"
        subprocess.run(
            ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi",
             "-i", f"sine=frequency=220:sample_rate=24000:duration={seconds:.1f}",
             "-ac", "1", "-b:a", "48k", "-f", "mp3", tmp],
            check=True, timeout=60)
        os.replace(tmp, path)
    with open(path, "rb") as f:
        return f.read()


def audio_for(text):
    return mp3_tone(_duration(text))


class Communicate:
    def __init__(self, text, voice="en-US-EmmaMultilingualNeural", **kwargs):
        if not isinstance(text, str):
            raise TypeError("text must be str")
        self.text = text
        self.voice = voice
        calls.append((text, voice))

    async def stream(self):
        audio = audio_for(self.text)
        words = [(m.start(), m.group()) for m in re.finditer(r"\S+", self.text)]
        step = _duration(self.text) / max(len(words), 1)
        await asyncio.sleep(0.001)  # a real timer future reaches the event loop
        for i, start in enumerate(range(0, len(audio), CHUNK_SIZE)):
            if i < len(words):
                yield {"type": "WordBoundary", "offset": int(i * step * 1e7),
                       "duration": int(step * 1e7), "text": words[i][1]}
            await asyncio.sleep(0)
            yield {"type": "audio", "data": audio[start:start + CHUNK_SIZE]}
        yield {"type": "SentenceBoundary", "offset": 0, "duration": 0, "text": self.text}
