"""The whole generation of a 6-scene short on a long script against a short one.

The longest script the generation route accepts (20,000 characters) is timed against one of
2,000 characters, with the same fakes and simulator as bench_pipeline. Work that grows faster
than the script (a stage quadratic in the number of caption lines) shows as a ratio far above
10; linear work stays near or below it (the voice-over of the fake speech service stops
growing at one minute, so fixed costs weigh more in the short run). Each size runs twice, the
better run counts; both runs of a size must give the same edit.
"""

import shutil
import tempfile
from pathlib import Path

import bench_pipeline as pipeline

SENTENCES = [
    "Hallo und willkommen<split> zu schnellen Tipps für mehr Ruhe im Alltag. ",
    "Steh jeden Morgen zur gleichen Zeit auf. ",
    "Trink ein großes Glas Wasser, bevor du auf dein Handy schaust. ",
    "Geh zehn Minuten an die frische Luft. ",
    "Plane nur drei wichtige Aufgaben für den Tag. ",
]


def script(chars):
    """Six scene captions of `chars` code points together, commands included."""
    per, scenes = chars // 6, []
    for i in range(6):
        text = "<counter>Erstens. " if i in (1, 2) else ""
        k = i
        while len(text) < per:
            text += SENTENCES[k % len(SENTENCES)]
            k += 1
        scenes.append(text[:per])
    scenes[-1] += "." * (chars - sum(map(len, scenes)))
    assert sum(map(len, scenes)) == chars
    return scenes


def run():
    missing = pipeline._missing()
    if missing:
        return [("script length", "skipped, not built yet: " + ", ".join(missing))]

    from vestrel import lumora, resolve_sim

    folder = Path(tempfile.mkdtemp(prefix="vestrel-bench-length-"))
    rows, best = [], {}
    try:
        videos = []
        for i, pattern in enumerate(["testsrc2", "smptebars"]):
            path = folder / f"bg{i}.mp4"
            pipeline._ffmpeg("-f", "lavfi", "-i", f"{pattern}=size=108x192:rate=25", "-t", "20",
                             "-pix_fmt", "yuv420p", str(path))
            videos.append(path)
        music = folder / "music.mp3"
        pipeline._ffmpeg("-f", "lavfi", "-i", "sine=frequency=330:duration=90", "-q:a", "9",
                         str(music))
        previous = getattr(lumora, "_resolve", None)
        lumora.set_resolve(resolve_sim.scriptapp("Resolve"))
        try:
            # A warm-up run: the fake speech service makes its audio once per length.
            pipeline._one_run(folder, videos, music, 0, script(2000))
            for chars in (2000, 20000):
                runs = [pipeline._one_run(folder, videos, music, r, script(chars))
                        for r in range(2)]
                assert runs[0][2] == runs[1][2], "runs gave different edits"
                total, spent, edit = min(runs, key=lambda r: r[0])
                lines = sum(len(scene[4]) for scene in edit)
                best[chars] = total
                rows.append((f"pipeline, {chars} characters ({lines} caption lines)",
                             f"{total * 1000:.1f} ms (assembly {spent['render'] * 1000:.1f} ms)"))
        finally:
            lumora.set_resolve(previous)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    rows.append(("20,000 against 2,000 characters (goal: at most ~10x)",
                 f"{best[20000] / best[2000]:.2f}x"))
    return rows
