"""The builtin aligner (lexor.generate_transcription with "builtin") against known word starts.

Ground truth:
  (a) espeak-ng speech from other voice variants, rates and pitches than the aligner's own
      reference, German and English, as spoken and with pauses inserted (known lengths);
      the word starts come from espeak-ng's word events (tests/fakes/espeak_truth.py, a
      child process calling libespeak-ng directly);
  (b) a neural voice, Piper's "joe" (English), whose phoneme alignments give the word starts
      (bench/piper_truth.py in a child process; needs the `bench` extra, else skipped).
Each case is measured as spoken and after pause shortening as the pipeline's silence
removal does it (every gap of 100 ms or more under -60 dBFS becomes 300 ms).

Per case: median, 95th percentile and maximum absolute word-start error, and the share of
words within one video frame (33 ms) and within 100 ms. Speed: wall time per minute of
speech, espeak-ng included, beside the real-time factor and beside the time espeak-ng alone
takes to speak the same text (the floor of this method); growth from 1 to 10 minutes in time
and in memory, each size in a fresh interpreter.
"""

import audioop
import contextlib
import io
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from array import array
from pathlib import Path

HERE = Path(__file__).resolve().parent
TRUTH = HERE.parent / "tests" / "fakes" / "espeak_truth.py"
PIPER = HERE / "piper_truth.py"
sys.path.insert(0, str(TRUTH.parent))
from espeak_truth import word_spans  # noqa: E402  (the same word split as the tests)

GERMAN = [
    "Heute zeigen wir dir drei einfache Tricks für bessere Videos am Handy.",
    "Erstens: Halte das Handy quer, nicht hoch!",
    "Zweitens, nutze das Licht vom Fenster und stell dich nicht mit dem Rücken dazu.",
    "Und drittens? Sprich langsam, deutlich und mit kleinen Pausen.",
    "Über 1999 Menschen schauen täglich zu, und es werden jeden Tag mehr.",
    "Größer, schöner, schneller – so wächst ein Kanal, wenn man dranbleibt.",
    "Vergiss nicht, den Ton vorher mit Kopfhörern zu prüfen.",
    "Ein gutes Mikrofon kostet weniger als 50 Euro und macht viel aus.",
]
ENGLISH = [
    "Today we will show you three simple tricks for better videos on your phone.",
    "First, hold it sideways, not upright!",
    "Second: use the light from a window, and never stand with your back to it.",
    "And third? Speak slowly, clearly and with short pauses.",
    "More than 1999 people watch every day, and there are more of them each week.",
    "Bigger, brighter, faster - that is how a channel grows when you keep going.",
    "Do not forget to check the sound with headphones before you start.",
    "A good microphone costs less than 50 dollars and makes a huge difference.",
]


def script(sentences, words, seed):
    """Sentences drawn in a shuffled cycle until about `words` words."""
    rng = random.Random(seed)
    out, count = [], 0
    while count < words:
        batch = sentences[:]
        rng.shuffle(batch)
        for s in batch:
            out.append(s)
            count += len(s.split())
            if count >= words:
                break
    return " ".join(out)


def espeak_truth(text, voice, rate, pitch):
    """(rate, samples, [(char_start, sample)]) from espeak-ng in a child process."""
    with tempfile.TemporaryDirectory() as tmp:
        wav = Path(tmp) / "truth.wav"
        out = subprocess.run([sys.executable, str(TRUTH), str(wav), voice, str(rate),
                              str(pitch)], input=text, capture_output=True, text=True,
                             check=True, timeout=600)
        info = json.loads(out.stdout)
        with wave.open(str(wav)) as w:
            samples = array("h", w.readframes(w.getnframes()))
    return info["sample_rate"], samples, [tuple(x) for x in info["words"]]


def piper_truth(text):
    """The same from the Piper voice, or None when the bench extra is not installed."""
    with tempfile.TemporaryDirectory() as tmp:
        wav = Path(tmp) / "truth.wav"
        out = subprocess.run([sys.executable, str(PIPER), str(wav)], input=text,
                             capture_output=True, text=True, timeout=1800)
        if out.returncode == 3:
            return None
        if out.returncode != 0:
            raise RuntimeError(out.stderr[-2000:])
        info = json.loads(out.stdout)
        with wave.open(str(wav)) as w:
            samples = array("h", w.readframes(w.getnframes()))
    return info["sample_rate"], samples, [tuple(x) for x in info["words"]]


def starts_by_word(text, events):
    """Word index -> event sample, for words that have an event of their own. Events are
    taken as espeak-ng reports them (in spoken order); one whose word does not come after
    the last word taken is left out (espeak-ng reports a stray event at some sentence starts,
    with the position of an earlier word, and several inside a number)."""
    ends = [b for _, b in word_spans(text)]
    starts, last = {}, -1
    for pos, sample in events:
        k = next((i for i, b in enumerate(ends) if pos < b), None)
        if k is not None and k > last:
            starts[k] = sample
            last = k
    return starts


def insert_pauses(rate, samples, starts, seed):
    """Pauses of 0.2 to 0.8 s before about every fifth word; the moved starts (seconds)."""
    rng = random.Random(seed)
    out, truth, taken, inserted = array("h"), {}, 0, 0
    for n, (k, sample) in enumerate(sorted(starts.items())):
        out.extend(samples[taken:sample])
        taken = sample
        if n and rng.random() < 0.2:
            gap = int(rng.uniform(0.2, 0.8) * rate)
            out.extend(array("h", bytes(2 * gap)))
            inserted += gap
        truth[k] = (sample + inserted) / rate
    out.extend(samples[taken:])
    return out, truth


def shorten_pauses(rate, samples, truth):
    """Every run of 100 ms or more under -60 dBFS becomes 300 ms, as the silence removal
    does; leading and trailing silence go. Returns the samples and the moved truth."""
    ms = rate // 1000
    quiet_level = 32768 * 10 ** (-60 / 20)
    loud = [audioop.rms(samples[i * ms:(i + 1) * ms].tobytes(), 2) > quiet_level
            for i in range(len(samples) // ms)]
    ranges, i = [], 0
    while i < len(loud):
        if not loud[i]:
            i += 1
            continue
        j = i
        while j < len(loud):
            if loud[j]:
                j += 1
                continue
            q = j
            while q < len(loud) and not loud[q]:
                q += 1
            if q - j >= 100 or q == len(loud):
                break
            j = q
        ranges.append((i, j))
        i = j
    out, moved, before = array("h"), {}, 0
    pause = array("h", bytes(2 * 300 * ms))
    for n, (a, b) in enumerate(ranges):
        if n:
            out.extend(pause)
        out.extend(samples[a * ms:b * ms])
    for k, t in truth.items():
        t_ms, before = t * 1000, 0
        for n, (a, b) in enumerate(ranges):
            if t_ms < b:
                moved[k] = (before + max(t_ms - a, 0) + 300 * n) / 1000
                break
            before += b - a
        else:
            moved[k] = (before + 300 * (len(ranges) - 1)) / 1000
    return out, moved


def write_wav(path, rate, samples):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def errors_of(text, path, language, truth):
    from vestrel import lexor

    with contextlib.redirect_stdout(io.StringIO()):  # the "[lexor] Aligning" line
        t = lexor.generate_transcription(str(path), text, "builtin", language)
    words = lexor.get_words(t)
    return [abs(words[k].start - t) * 1000 for k, t in truth.items()]


def summary(errors):
    within = lambda limit: sum(e <= limit for e in errors) / len(errors)  # noqa: E731
    return (f"median {statistics.median(errors):5.1f} ms  p95 {percentile(errors, 95):6.1f} ms  "
            f"max {max(errors):6.1f} ms  <=33 ms {within(33):6.1%}  <=100 ms {within(100):6.1%}"
            f"  ({len(errors)} words)")


ESPEAK_CASES = [
    # name, language, sentences, truth voice, rate, pitch, pauses inserted
    ("de, female variant, fast, high", "de", GERMAN, "de+f3", 220, 75, False),
    ("de, male variant, slow, low, pauses", "de", GERMAN, "de+m3", 140, 30, True),
    ("de, whisper-like variant, pauses", "de", GERMAN, "de+f4", 180, 60, True),
    ("en, female variant, fast, pauses", "en", ENGLISH, "en-us+f2", 230, 80, True),
    ("en, british male variant, slow", "en", ENGLISH, "en+m7", 150, 40, False),
    ("en, klatt variant, pauses", "en", ENGLISH, "en-us+klatt", 190, 50, True),
]


def accuracy_rows(tmp):
    rows, all_short = [], []
    for n, (name, language, sentences, voice, rate, pitch, pauses) in enumerate(ESPEAK_CASES):
        text = script(sentences, 120, seed=n)
        sr, samples, events = espeak_truth(text, voice, rate, pitch)
        starts = starts_by_word(text, events)
        if pauses:
            samples, truth = insert_pauses(sr, samples, starts, seed=n)
        else:
            truth = {k: s / sr for k, s in starts.items()}
        path = Path(tmp) / f"espeak{n}.wav"
        write_wav(path, sr, samples)
        rows.append((f"espeak-ng {name}: as spoken", summary(errors_of(text, path, language,
                                                                        truth))))
        short, moved = shorten_pauses(sr, samples, truth)
        write_wav(path, sr, short)
        errs = errors_of(text, path, language, moved)
        all_short += errs
        rows.append((f"espeak-ng {name}: pauses shortened", summary(errs)))
    rows.append(("espeak-ng, all cases, pauses shortened", summary(all_short)))

    text = script(ENGLISH, 150, seed=42)
    piper = piper_truth(text)
    if piper is None:
        rows.append(("neural voice (Piper joe)", "skipped: install the bench extra"))
    else:
        sr, samples, events = piper
        starts = starts_by_word(text, [(pos, s) for pos, s, _, _ in events])
        breaks = starts_by_word(text, [(pos, b) for pos, _, b, _ in events])
        blanks = starts_by_word(text, [(pos, k) for pos, _, _, k in events])
        truth = {k: s / sr for k, s in starts.items()}
        path = Path(tmp) / "piper.wav"
        write_wav(path, sr, samples)
        rows.append(("neural voice (Piper joe): as spoken",
                     summary(errors_of(text, path, "en", truth))))
        short, moved = shorten_pauses(sr, samples, truth)
        write_wav(path, sr, short)
        errs = errors_of(text, path, "en", moved)
        rows.append(("neural voice (Piper joe): pauses shortened  [goal 35 / 90 / 250]",
                     summary(errs)))
        # The same words measured from the start of Piper's word break instead (the break
        # has a duration of its own; where in it a word begins is a matter of convention).
        _, moved_breaks = shorten_pauses(sr, samples, {k: b / sr for k, b in breaks.items()})
        from vestrel import lexor
        with contextlib.redirect_stdout(io.StringIO()):
            t = lexor.generate_transcription(str(path), text, "builtin", "en")
        words = lexor.get_words(t)
        signed = [(words[k].start - moved[k]) * 1000 for k in moved]
        rows.append(("  signed error, median (negative: before the truth)",
                     f"{statistics.median(signed):+.1f} ms"))
        rows.append(("  truth at the word break's start instead, pauses shortened",
                     summary([abs(words[k].start - moved_breaks[k]) * 1000
                              for k in moved_breaks])))
        # And from the start of the blank token before the word's first phoneme, where the
        # first sound of the word is heard (see piper_truth.py).
        _, moved_blanks = shorten_pauses(sr, samples, {k: b / sr for k, b in blanks.items()})
        rows.append(("  truth at the blank before the first phoneme, pauses shortened",
                     summary([abs(words[k].start - moved_blanks[k]) * 1000
                              for k in moved_blanks])))
        rows.append(("    signed error against it, median",
                     f"{statistics.median((words[k].start - moved_blanks[k]) * 1000 for k in moved_blanks):+.1f} ms"))
    return rows


# One measurement in a fresh interpreter: time (best of 3) and the memory the alignment adds.
CHILD = r"""
import json, sys, time
from vestrel import lexor

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))

path, text = sys.argv[1], open(sys.argv[2], encoding="utf-8").read()
lexor.generate_transcription(path, text[:40], "builtin", "de")  # espeak-ng loads its data
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak resident size starts again from the current one
base = status("VmRSS:")
best = float("inf")
for _ in range(3):
    t0 = time.perf_counter()
    lexor.generate_transcription(path, text, "builtin", "de")
    best = min(best, time.perf_counter() - t0)
print(json.dumps({"seconds": best, "added_kib": status("VmHWM:") - base}))
"""

ESPEAK_ONLY = r"""
import sys, time
from vestrel import tts
text, out = open(sys.argv[1], encoding="utf-8").read(), sys.argv[2]
best = float("inf")
for _ in range(3):
    t0 = time.perf_counter()
    tts.EspeakVoiceModule("de").generate_voice(text, out)
    best = min(best, time.perf_counter() - t0)
print(best)
"""


def speed_rows(tmp):
    rows, measured = [], {}
    for minutes in (1, 10):
        text = script(GERMAN, 170 * minutes, seed=minutes)
        # The voice-over: another variant, as an MP3 like the pipeline's.
        src = Path(tmp) / f"speed{minutes}.txt"
        src.write_text(text, encoding="utf-8")
        voice = Path(tmp) / f"speed{minutes}.mp3"
        from vestrel import tts
        tts.EspeakVoiceModule("de+m2", 175).generate_voice(text, str(voice))
        duration = float(subprocess.run(
            ["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
             str(voice)], capture_output=True, text=True, check=True).stdout)
        out = subprocess.run([sys.executable, "-c", CHILD, str(voice), str(src)],
                             capture_output=True, text=True, check=True, timeout=600)
        m = json.loads(out.stdout.splitlines()[-1])
        floor = float(subprocess.run(
            [sys.executable, "-c", ESPEAK_ONLY, str(src), str(Path(tmp) / "floor.wav")],
            capture_output=True, text=True, check=True, timeout=600).stdout)
        measured[minutes] = m
        per_minute = m["seconds"] / (duration / 60) * 1000
        rows.append((f"{minutes:>2} min voice-over ({duration:.0f} s): alignment",
                     f"{m['seconds'] * 1000:7.1f} ms = {per_minute:5.1f} ms per minute of "
                     f"speech, real-time factor {m['seconds'] / duration:.4f}  [goal <= 100 ms"
                     f" per minute]"))
        rows.append((f"{minutes:>2} min: espeak-ng alone speaking the text (WAV)",
                     f"{floor * 1000:7.1f} ms; alignment / espeak-ng alone = "
                     f"{m['seconds'] / floor:.2f}"))
        rows.append((f"{minutes:>2} min: memory added by the alignment",
                     f"{m['added_kib'] / 1024:7.1f} MiB"))
    one, ten = measured[1], measured[10]
    rows.append(("growth 1 -> 10 min: time", f"{ten['seconds'] / one['seconds']:.1f}x  [goal about 10x]"))
    rows.append(("growth 1 -> 10 min: memory added",
                 f"{ten['added_kib'] / max(one['added_kib'], 1):.1f}x  [goal about 10x]"))
    return rows


def run():
    with tempfile.TemporaryDirectory(prefix="vestrel-bench-aligner-") as tmp:
        return accuracy_rows(tmp) + speed_rows(tmp)


if __name__ == "__main__":
    for name, value in run():
        print(f"  {name:<60} {value}")
