"""The whole generation of a 6-scene short, and where its time goes.

Runs brevano.generate_short with the fake edge_tts and stable_whisper (tests/fakes) and the
Resolve simulator, silence removal on. Each stage is timed by wrapping its module attribute
(every stage is looked up at call time); "other" is the rest: caption building, the edit model
and the reports. Two runs must give the same edit (scene times and caption lines).
"""

import shutil
import subprocess
import tempfile
import time
from pathlib import Path

SCRIPT = [
    "Hallo und willkommen<split> zu sechs schnellen Tipps für mehr Ruhe im Alltag. ",
    "<counter>Erstens. Steh jeden Morgen zur gleichen Zeit auf. ",
    "<counter>Zweitens. Trink ein großes Glas Wasser, bevor du auf dein Handy schaust. ",
    "<counter>Drittens. Geh zehn Minuten an die frische Luft. ",
    "<counter>Viertens. Plane nur drei wichtige Aufgaben für den Tag. ",
    "Und zum Schluss: mach Pausen, bevor du sie brauchst.",
]

STAGES = [
    ("tts", "generate_tts", "speech synthesis (fake Edge service)"),
    ("montra", "setup_davinci", "Resolve project from template (simulator)"),
    ("montra", "remove_silence_from_audio", "silence removal"),
    ("lexor", "generate_transcription", "transcription (fake aligner)"),
    ("lexor", "update_transcription", "command re-insertion"),
    ("lexor", "split_by_scenes", "scene split"),
    ("montra", "render", "timeline assembly (simulator)"),
]


def _missing():
    import importlib

    missing = [] if shutil.which("ffmpeg") else ["ffmpeg"]
    for module, name, _ in STAGES + [("brevano", "generate_short", ""),
                                     ("resolve_sim", "scriptapp", ""),
                                     ("captions", "Captions", "")]:
        try:
            obj = getattr(importlib.import_module(f"vestrel.{module}"), name, None)
        except ImportError:
            obj = None
        if obj is None or "Placeholder: " in (getattr(obj, "__doc__", None) or ""):
            missing.append(f"{module}.{name}")
    # Only the fakes of tests/fakes: the real packages would reach outside services.
    fakes = Path(__file__).resolve().parent.parent / "tests" / "fakes"
    for fake in ("edge_tts", "stable_whisper"):
        try:
            mod = importlib.import_module(fake)
        except ImportError:
            mod = None
        if mod is None or fakes not in Path(mod.__file__).resolve().parents:
            missing.append(f"fake {fake}")
    return missing


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True, timeout=120)


def _one_run(folder, videos, music, run, script=None):
    import contextlib
    import io

    from vestrel import brevano, lexor, montra, tts

    modules = {"tts": tts, "lexor": lexor, "montra": montra}
    spent = {name: 0.0 for _, name, _ in STAGES}
    originals = {}
    captured = {}

    def timed(module, name):
        real = getattr(modules[module], name)

        def wrapper(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return real(*args, **kwargs)
            finally:
                spent[name] += time.perf_counter() - t0
        return real, wrapper

    for module, name, _ in STAGES:
        real, wrapper = timed(module, name)
        originals[(module, name)] = real
        setattr(modules[module], name, wrapper)
    real_render = originals[("montra", "render")]

    def render(edit):
        captured["edit"] = edit
        t0 = time.perf_counter()
        try:
            return real_render(edit)
        finally:
            spent["render"] += time.perf_counter() - t0
    montra.render = render

    scenes = [brevano.BrevanoScene(caption=text, bg_video=brevano.BrevanoBackgroundVideo(
        filepath=str(videos[i % len(videos)]), brightness=100, contrast=100, saturation=100))
        for i, text in enumerate(script or SCRIPT)]
    data = brevano.BrevanoInput(
        scenes, str(music), str(folder / f"voice_{run}.mp3"), "edge",
        edge_voice_name="de-DE-KatjaNeural", whisper_model="tiny", language="de",
        davinci_project_name="bench_short", remove_silence=True)
    try:
        t0 = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            brevano.generate_short(data)
        total = time.perf_counter() - t0
    finally:
        for (module, name), real in originals.items():
            setattr(modules[module], name, real)
    edit = captured["edit"]
    result = [(s.start, s.end, s.fade_in, s.fade_out,
               tuple((ln.start, ln.end, ln.text) for ln in s.captions.lines))
              for s in edit.scenes]
    return total, spent, result


def run():
    missing = _missing()
    if missing:
        return [("pipeline (6 scenes)", "skipped, not built yet: " + ", ".join(missing))]

    from vestrel import lumora, resolve_sim

    folder = Path(tempfile.mkdtemp(prefix="vestrel-bench-pipeline-"))
    try:
        videos = []
        for i, pattern in enumerate(["testsrc2", "smptebars", "rgbtestsrc"]):
            path = folder / f"bg{i}.mp4"
            _ffmpeg("-f", "lavfi", "-i", f"{pattern}=size=108x192:rate=25", "-t", "20",
                    "-pix_fmt", "yuv420p", str(path))
            videos.append(path)
        music = folder / "music.mp3"
        _ffmpeg("-f", "lavfi", "-i", "sine=frequency=330:duration=60", "-q:a", "9", str(music))

        previous = getattr(lumora, "_resolve", None)
        lumora.set_resolve(resolve_sim.scriptapp("Resolve"))
        try:
            runs = [_one_run(folder, videos, music, i) for i in range(3)]
        finally:
            lumora.set_resolve(previous)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    results = [r[2] for r in runs]
    assert all(r == results[0] for r in results), "runs gave different edits"
    total, spent, _ = min(runs, key=lambda r: r[0])
    rows = [("pipeline (6 scenes): total, best of 3", f"{total * 1000:.2f} ms")]
    for _, name, label in STAGES:
        rows.append((f"  {label}", f"{spent[name] * 1000:.2f} ms ({spent[name] / total:.1%})"))
    other = total - sum(spent.values())
    rows.append(("  other (captions, edit model, reports)",
                 f"{other * 1000:.2f} ms ({other / total:.1%})"))
    return rows
