"""Speech with known word starts, for judging the aligner: libespeak-ng through ctypes.

Run as a child process (`python espeak_truth.py OUT.wav VOICE RATE PITCH` with the text on
standard input): it writes the speech as a 16-bit mono WAV and prints, as JSON, the sample
rate and every word start espeak-ng reports (code-point position in the text, sample index).
It is a separate process because libespeak-ng keeps global state, which vestrel's own
modules use too; and it calls the C library directly, so the truth does not come from the
code under test.
"""

import ctypes
import json
import sys
import wave

AUDIO_OUTPUT_SYNCHRONOUS = 2
ESPEAK_RATE, ESPEAK_PITCH = 1, 3
POS_CHARACTER = 1
CHARS_UTF8 = 1
EVENT_LIST_TERMINATED, EVENT_WORD = 0, 1


class Event(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("unique_identifier", ctypes.c_uint),
                ("text_position", ctypes.c_int), ("length", ctypes.c_int),
                ("audio_position", ctypes.c_int), ("sample", ctypes.c_int),
                ("user_data", ctypes.c_void_p), ("id", ctypes.c_char * 8)]


def word_spans(text):
    """(start, end) code-point spans of the whitespace-separated words of `text`."""
    spans, i = [], 0
    while i < len(text):
        while i < len(text) and text[i].isspace():
            i += 1
        j = i
        while j < len(text) and not text[j].isspace():
            j += 1
        if j > i:
            spans.append((i, j))
        i = j
    return spans


def speak(text, voice, rate=0, pitch=-1):
    """(sample_rate, samples as bytes, [(char_start, sample), ...])."""
    lib = ctypes.CDLL("libespeak-ng.so.1")
    sample_rate = lib.espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, None, 0)
    if sample_rate <= 0:
        raise RuntimeError("espeak-ng did not initialise")
    chunks, words = [], []

    @ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_short), ctypes.c_int,
                      ctypes.POINTER(Event))
    def callback(wav, count, events):
        if wav and count > 0:
            chunks.append(ctypes.string_at(wav, count * 2))
        i = 0
        while events[i].type != EVENT_LIST_TERMINATED:
            e = events[i]
            if e.type == EVENT_WORD:
                words.append((max(e.text_position - 1, 0), e.sample))
            i += 1
        return 0

    lib.espeak_SetSynthCallback(callback)
    if lib.espeak_SetVoiceByName(voice.encode()) != 0:
        raise RuntimeError(f"no espeak-ng voice {voice!r}")
    if rate:
        lib.espeak_SetParameter(ESPEAK_RATE, rate, 0)
    if pitch >= 0:
        lib.espeak_SetParameter(ESPEAK_PITCH, pitch, 0)
    data = text.encode()
    lib.espeak_Synth(data, len(data) + 1, 0, POS_CHARACTER, 0, CHARS_UTF8, None, None)
    lib.espeak_Synchronize()
    return sample_rate, b"".join(chunks), words


def main():
    out, voice, rate, pitch = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    text = sys.stdin.read()
    sample_rate, pcm, words = speak(text, voice, rate, pitch)
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(sample_rate)
        w.writeframes(pcm)
    json.dump({"sample_rate": sample_rate, "words": words}, sys.stdout)


if __name__ == "__main__":
    main()
