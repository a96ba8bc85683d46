"""Render of a short like the demo (30 s, 1080x1920, 30 fps: three scenes with fades, twelve
captions, a counter per scene, the watermark, voice and music) by the Resolve simulator,
against the same composition rendered by MoviePy 2, side by side in one run, both with
x264 "veryfast" at CRF 22 and AAC, through the same ffmpeg.

Each engine runs in its own interpreter, so each one's peak memory is its own: the Python
process and, separately, the child processes it starts (the simulator's work is in its ffmpeg
child; MoviePy holds frames in Python and pipes them to ffmpeg). Both outputs must hold the
same number of frames.
"""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time

SECONDS = 30
FPS = 30
W, H = 1080, 1920
SCENES = [(0.0, 10.0), (10.0, 20.0), (20.0, 30.0)]
FADE = 1.0
CAPTIONS = ["Drei Tipps", "für mehr Energie", "am Morgen", "Erstens", "Trink ein Glas",
            "Wasser", "gleich nach", "dem Aufstehen", "Zweitens", "Geh zehn Minuten",
            "an die frische Luft", "Bis morgen"]
FONT = "/usr/share/fonts/truetype/open-sans/OpenSans-ExtraBold.ttf"


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True, timeout=600)


def _make_media(folder):
    """Three landscape 1080p backgrounds (cropped to portrait by both engines), a voice-like
    tone with pauses and a music bed."""
    paths = {}
    for i, src in enumerate(["testsrc2", "mandelbrot", "smptehdbars"]):
        path = os.path.join(folder, f"bg{i}.mp4")
        _ffmpeg("-f", "lavfi", "-i", f"{src}=s=1920x1080:r=30", "-t", "11", "-c:v", "libx264",
                "-preset", "ultrafast", "-pix_fmt", "yuv420p", path)
        paths[f"bg{i}"] = path
    paths["voice"] = os.path.join(folder, "voice.mp3")
    _ffmpeg("-f", "lavfi", "-i", f"aevalsrc=sin(2*PI*180*t)*gt(mod(t\\,2.5)\\,0.4):s=24000:d={SECONDS}",
            "-ac", "1", "-b:a", "64k", paths["voice"])
    paths["music"] = os.path.join(folder, "music.mp3")
    _ffmpeg("-f", "lavfi", "-i", f"sine=frequency=330:duration={SECONDS + 2}", "-b:a", "128k",
            paths["music"])
    return paths


def _captions():
    """(text, start, end) in seconds: four per scene, back to back from 0.5 s into it."""
    out = []
    for i, text in enumerate(CAPTIONS):
        scene = SCENES[i // 4]
        step = (scene[1] - scene[0] - 0.5) / 4
        start = scene[0] + 0.5 + (i % 4) * step
        out.append((text, start, start + step))
    return out


# ---- the simulator --------------------------------------------------------------------------


def _render_sim(media, out):
    import vestrel
    from vestrel import resolve_sim

    pm = resolve_sim.Resolve().GetProjectManager()
    templates = os.path.join(os.path.dirname(vestrel.__file__), "templates")
    assert pm.ImportProject(os.path.join(templates, "tolvane.drp"), "bench")
    project = pm.LoadProject("bench")
    pool = project.GetMediaPool()
    timeline = project.GetCurrentTimeline()
    first = timeline.GetStartFrame()
    clips = {c.GetName(): c for c in pool.GetRootFolder().GetClipList()}

    def place(clip, start, seconds, track, media_type=0):
        # every clip here counts 30 frames a second, like the timeline
        frames = round((start + seconds) * FPS) - round(start * FPS)
        items = pool.AppendToTimeline([{
            "mediaPoolItem": clip, "startFrame": 0, "endFrame": frames - 1,
            "recordFrame": first + round(start * FPS), "trackIndex": track,
            "mediaType": media_type}])
        assert items
        return items[0]

    def title(name, text, start, seconds, track):
        item = place(clips[name], start, seconds, track)
        item.GetFusionCompByIndex(1).FindTool("Template").SetInput("StyledText", text, 0)

    for i, (start, end) in enumerate(SCENES):
        (bg,) = pool.ImportMedia([media[f"bg{i}"]])
        place(bg, start, end - start, 1, media_type=1)
        place(clips["FadeIn_500ms" if i == 0 else "FadeIn_1000ms"], start, 0.5 if i == 0 else FADE, 2)
        if i < len(SCENES) - 1:
            place(clips["FadeOut_1000ms"], end - FADE, FADE, 2)
        title("Counter", str(i + 1), start, end - start, 4)
    for text, start, end in _captions():
        title("Caption", text, start, end - start, 3)
    title("Watermark", "@YourChannel", 0, SECONDS, 5)
    voice, music = pool.ImportMedia([media["voice"], media["music"]])
    place(voice, 0, SECONDS, 1, media_type=2)
    place(music, 0, SECONDS, 2, media_type=2)

    assert project.SetRenderSettings({"TargetDir": os.path.dirname(out),
                                      "CustomName": os.path.basename(out)[:-4]})
    assert project.SetCurrentRenderFormatAndCodec("mp4", "H264")
    t0 = time.perf_counter()
    job = project.AddRenderJob()
    assert project.StartRendering(job)
    while project.IsRenderingInProgress():
        time.sleep(0.05)
    wall = time.perf_counter() - t0
    status = project.GetRenderJobStatus(job)
    assert status["JobStatus"] == "Complete", status
    return wall


# ---- MoviePy 2 ------------------------------------------------------------------------------


def _render_moviepy(media, out):
    os.environ.setdefault("FFMPEG_BINARY", "/usr/bin/ffmpeg")
    from moviepy import (AudioFileClip, ColorClip, CompositeAudioClip, CompositeVideoClip,
                         TextClip, VideoFileClip, vfx)

    t0 = time.perf_counter()
    layers = []
    for i, (start, end) in enumerate(SCENES):
        clip = VideoFileClip(media[f"bg{i}"], audio=False).subclipped(0, end - start)
        clip = clip.resized(height=H)
        clip = clip.cropped(x_center=clip.w / 2, width=W, height=H)
        layers.append(clip.with_start(start))
        black = ColorClip((W, H), color=(0, 0, 0))
        fade_in = 0.5 if i == 0 else FADE
        layers.append(black.with_duration(fade_in).with_start(start)
                      .with_effects([vfx.CrossFadeOut(fade_in)]))
        if i < len(SCENES) - 1:
            layers.append(black.with_duration(FADE).with_start(end - FADE)
                          .with_effects([vfx.CrossFadeIn(FADE)]))
    for text, start, end in _captions():
        layers.append(TextClip(font=FONT, text=text, font_size=97, color="white",
                               stroke_color="black", stroke_width=8, method="caption",
                               size=(int(W * 0.86), None), text_align="center")
                      .with_position(("center", int(H * 0.6) - 70))
                      .with_start(start).with_duration(end - start))
    for i, (start, end) in enumerate(SCENES):
        layers.append(TextClip(font=FONT, text=str(i + 1), font_size=216, color="#FFD600",
                               stroke_color="black", stroke_width=12)
                      .with_position(("center", int(H * 0.28) - 150))
                      .with_start(start).with_duration(end - start))
    layers.append(TextClip(font=FONT, text="@YourChannel", font_size=38, color="white",
                           stroke_color="black", stroke_width=2)
                  .with_position(("center", int(H * 0.93) - 25)).with_duration(SECONDS)
                  .with_opacity(0.75))
    video = CompositeVideoClip(layers, size=(W, H)).with_duration(SECONDS)
    voice = AudioFileClip(media["voice"])
    music = AudioFileClip(media["music"]).subclipped(0, SECONDS).with_volume_scaled(0.2)
    video = video.with_audio(CompositeAudioClip([voice, music]))
    video.write_videofile(out, fps=FPS, codec="libx264", preset="veryfast",
                          ffmpeg_params=["-crf", "22", "-pix_fmt", "yuv420p"],
                          audio_codec="aac", audio_bitrate="160k", logger=None)
    return time.perf_counter() - t0


# ---- the run --------------------------------------------------------------------------------


def _side(engine, folder):
    """Renders with one engine in this interpreter and prints its figures as JSON."""
    with open(os.path.join(folder, "media.json")) as f:
        media = json.load(f)
    out = os.path.join(folder, f"{engine}.mp4")
    wall = (_render_sim if engine == "sim" else _render_moviepy)(media, out)
    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    print(json.dumps({"wall": wall, "self_mib": own, "children_mib": children}))


def _frames(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_packets,width,height", "-of", "json",
                          path], check=True, capture_output=True, text=True).stdout
    s = json.loads(out)["streams"][0]
    return int(s["nb_read_packets"]), (s["width"], s["height"])


def run():
    folder = tempfile.mkdtemp(prefix="vestrel-bench-render-")
    with open(os.path.join(folder, "media.json"), "w") as f:
        json.dump(_make_media(folder), f)
    try:
        import moviepy  # noqa: F401
        engines = ["sim", "moviepy"]
    except ImportError:
        engines = ["sim"]
    figures = {}
    for engine in engines:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), engine, folder],
                              capture_output=True, text=True, timeout=3600)
        if done.returncode != 0:
            raise RuntimeError(f"{engine} render failed:\n{done.stderr[-3000:]}")
        figures[engine] = json.loads(done.stdout.strip().splitlines()[-1])
    rows = []
    names = {"sim": "simulator (ffmpeg child)", "moviepy": "MoviePy 2"}
    frames = {}
    for engine, fig in figures.items():
        frames[engine] = _frames(os.path.join(folder, f"{engine}.mp4"))
        rows += [
            (f"{names[engine]}: wall time", f"{fig['wall']:.2f} s"),
            (f"{names[engine]}: real-time factor (render time / {SECONDS} s)",
             f"{fig['wall'] / SECONDS:.3f} ({SECONDS / fig['wall']:.1f}x real time)"),
            (f"{names[engine]}: peak memory, Python process", f"{fig['self_mib']:.0f} MiB"),
            (f"{names[engine]}: peak memory, largest child process", f"{fig['children_mib']:.0f} MiB"),
        ]
    assert frames["sim"] == (SECONDS * FPS, (W, H)), frames["sim"]
    if "moviepy" in figures:
        assert frames["moviepy"] == frames["sim"], frames
        rows.append(("speed-up against MoviePy 2 (goal >= 5x)",
                     f"{figures['moviepy']['wall'] / figures['sim']['wall']:.1f}x"))
    else:
        rows.append(("MoviePy 2", "not installed: pip install -e '.[bench]'"))
    return rows


if __name__ == "__main__":
    _side(sys.argv[1], sys.argv[2])
