"""Stand-in for the stable-whisper package (import name stable_whisper).

`load_model(name)` returns a model whose `align(audio, text, language=...)` "aligns" a known
text: the words of the text, each with the whitespace in front of it (the first one with a
leading space, as the real aligner gives it), grouped into sentence segments, with times that
grow with the word lengths. The word texts joined give " " + text (or text, when it already
begins with whitespace). Calls are recorded for tests: `loaded` lists the names loaded, and
each model keeps its `align_calls` as (args, kwargs) pairs exactly as given.
"""

import os
import re

MODELS = ("tiny", "tiny.en", "base", "base.en", "small", "small.en", "medium", "medium.en",
          "large", "large-v1", "large-v2", "large-v3", "large-v3-turbo", "turbo")
# The language codes Whisper knows.
LANGUAGES = tuple("""
en zh de es ru ko fr ja pt tr pl ca nl ar sv it id hi fi vi he uk el ms cs ro da hu ta no th ur
hr bg lt la mi ml cy sk te fa lv bn sr az sl kn et mk br eu is hy ne mn bs kk sq sw gl mr pa si
km sn yo so af oc ka be tg sd gu am yi lo uz fo ht ps tk nn mt sa lb my bo tl mg as tt haw ln ha
ba jw su yue""".split())

loaded = []


class WordTiming:
    def __init__(self, word, start, end):
        self.word = word
        self.start = start
        self.end = end

    def __repr__(self):
        return f"WordTiming(word={self.word!r}, start={self.start}, end={self.end})"


class Segment:
    def __init__(self, words):
        self.words = words
        self.text = "".join(w.word for w in words)
        self.start = words[0].start if words else 0.0
        self.end = words[-1].end if words else 0.0


class WhisperResult:
    def __init__(self, segments, language):
        self.segments = segments
        self.language = language

    def __iter__(self):
        return iter(self.segments)

    def __len__(self):
        return len(self.segments)

    @property
    def text(self):
        return "".join(s.text for s in self.segments)


def _words(text):
    """The words of text, each with the whitespace before it; trailing whitespace stays with
    the last word."""
    words = re.findall(r"\s*\S+", text)
    if words:
        tail = text[len("".join(words)):]
        words[-1] += tail
        if not words[0][:1].isspace():
            words[0] = " " + words[0]
    return words


def align_text(text, language="de", start=0.2):
    """The result the fake aligner gives for text."""
    segments, current, t = [], [], start
    for w in _words(text):
        spoken = len(w.strip())
        end = round(t + 0.1 + 0.05 * spoken, 3)
        current.append(WordTiming(w, t, end))
        t = round(end + 0.05, 3)
        if w.rstrip()[-1:] in (".", "!", "?"):
            segments.append(Segment(current))
            current = []
    if current:
        segments.append(Segment(current))
    return WhisperResult(segments, language)


class Model:
    def __init__(self, name):
        self.name = name
        self.align_calls = []

    def align(self, *args, **kwargs):
        self.align_calls.append((args, dict(kwargs)))
        audio, text = args[0], args[1]
        language = kwargs.get("language")
        if not os.path.isfile(audio):
            raise RuntimeError(f"Failed to load audio: {audio}")
        if language not in LANGUAGES:
            raise ValueError(f"Unsupported language: {language}")
        return align_text(text, language)


def load_model(name, device=None, **kwargs):
    if name not in MODELS:
        raise RuntimeError(f"Model {name} not found; available models = {list(MODELS)}")
    loaded.append(name)
    return Model(name)
