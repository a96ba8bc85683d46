"""Command re-insertion and scene split: vestrel.lexor against the step-by-step rendering.

A 6-scene script of about 1,500 characters runs through update_transcription and
split_by_scenes in the module and in bench/reference_alignment.py (same run, same inputs,
identical results asserted); a 100,000-character script runs through the module alone, to
show that the cost grows linearly.
"""

import random
import time

import stable_whisper
from vestrel import lexor

import reference_alignment as ref

WORDS = ("Platz", "drei", "Köln", "schön", "hier", "Straße", "über", "Brücke", "Fluss", "alt",
         "Dom", "Blick", "Abend", "Stadt", "grün", "Park", "weit", "Größe", "Tür", "Maß")


def make_scenes(total_chars, scenes=6, seed=1):
    """Scene texts with sentence breaks (<split>) and counters, about total_chars long."""
    rng = random.Random(seed)
    per_scene = total_chars // scenes
    result = []
    for n in range(scenes):
        text = f"<counter>Platz {scenes - n}: "
        while len(text) < per_scene - 25:
            sentence = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 9)))
            text += sentence.capitalize() + rng.choice([". ", "! ", ". <split>", "? "])
        result.append(text)
    # A last scene that ends in a command right after its last spoken character.
    result[-1] = result[-1].removesuffix("<split>").rstrip() + "<split>"
    return result


def copies(texts, n):
    """n fresh transcriptions with the given segment word texts."""
    return [lexor.Transcription([lexor.Segment(words=[lexor.Word(t) for t in seg])
                                 for seg in texts]) for _ in range(n)]


def measure(update, split, transcriptions, scenes, script):
    """Best time of update + split over fresh transcriptions; the last result."""
    best = float("inf")
    result = None
    for t in transcriptions:
        t0 = time.perf_counter()
        update(t, script)
        parts = split(t, scenes)
        best = min(best, time.perf_counter() - t0)
        index = {id(w): i for i, w in enumerate(lexor.get_words(t))}
        result = ([w.text for w in lexor.get_words(t)],
                  [[index[id(w)] for w in part] for part in parts])
    return best, result


def prepare(total_chars):
    scenes = make_scenes(total_chars)
    script = "".join(scenes)
    aligned = lexor.Transcription.from_stablets(stable_whisper.align_text(ref.spoken_text(script)))
    texts = [[w.text for w in s.words] for s in aligned.segments]
    return scenes, script, texts


def fmt(seconds):
    return f"{seconds * 1e3:.3f} ms"


def run():
    rows = []
    scenes, script, texts = prepare(1500)
    mod_short, mod_result = measure(lexor.update_transcription, lexor.split_by_scenes,
                                    copies(texts, 20), scenes, script)
    ref_short, ref_result = measure(ref.update_transcription, ref.split_by_scenes,
                                    copies(texts, 3), scenes, script)
    assert mod_result == ref_result, "module and step-by-step rendering differ"
    assert "".join(mod_result[0]) == script
    words = sum(len(t) for t in texts)
    rows.append((f"short script ({len(script)} chars, {words} words, 6 scenes): step-by-step",
                 fmt(ref_short)))
    rows.append(("short script: vestrel.lexor", fmt(mod_short)))
    rows.append(("short script: speed-up (target >= 100x)", f"{ref_short / mod_short:.0f}x"))

    scenes, script, texts = prepare(100_000)
    mod_long, long_result = measure(lexor.update_transcription, lexor.split_by_scenes,
                                    copies(texts, 5), scenes, script)
    assert "".join(long_result[0]) == script
    assert sum(len(p) for p in long_result[1]) == sum(len(t) for t in texts)
    rows.append((f"long script ({len(script)} chars, {sum(len(t) for t in texts)} words): "
                 "vestrel.lexor", fmt(mod_long)))
    rows.append((f"long / short time (length ratio {len(script) / 1500:.0f}, target <= ~100)",
                 f"{mod_long / mod_short:.0f}"))
    return rows
