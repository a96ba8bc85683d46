"""Robustness figures of the served app, measured on loopback with the test fakes:

- crash rounds: uploads killed with SIGKILL at random moments; orphan asset files and
  catalogue temporary files right after, and after the next process's first catalogue change
  once they are older than an hour (the clean-up leaves younger files alone);
- two servers on one data folder, 50 uploads each at once: uploads lost;
- peak memory (VmHWM) of a server for the largest inputs it accepts.

    python tests/fuzz/robustness.py [--rounds 30]
"""

import argparse
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import httpx

HERE = Path(__file__).resolve().parent
FAKES = HERE.parent / "fakes"
HOUR = 3600


def env_for(root):
    env = dict(os.environ)
    env.update({"XDG_DATA_HOME": str(root / "data"), "XDG_CACHE_HOME": str(root / "cache"),
                "PYTHONPATH": os.pathsep.join([str(FAKES), env.get("PYTHONPATH", "")])})
    env.pop("VESTREL_TOKEN", None)
    return env


def folders(root):
    return root / "data" / "Brevano", root / "cache" / "Brevano" / "media"


def debris(root):
    data, cache = folders(root)
    db = data / "db.json"
    ids = set()
    if db.exists():
        cat = json.loads(db.read_text())
        ids = {e["id"] for k in ("background_videos", "background_music") for e in cat[k]}
    orphans = [n for n in os.listdir(cache) if n.startswith(("bg_", "music_"))
               and n.split(".")[0].replace("_thumb", "") not in ids] if cache.exists() else []
    temps = [n for n in os.listdir(data) if n.startswith("db.json") and n.endswith(".tmp")] \
        if data.exists() else []
    return orphans, temps, len(ids)


UPLOADER = """
import io, sys, vestrel.media as media
video = open(sys.argv[1], "rb").read()
i = 0
while True:
    i += 1
    media.add_background_video_upload(f"v{i}", io.BytesIO(video), "clip.mp4")
    media.add_background_music_upload(f"m{i}", io.BytesIO(video * 20), "song.mp3")
"""


def crash_rounds(rounds, video):
    root = Path(tempfile.mkdtemp(prefix="vestrel-crash-"))
    env = env_for(root)
    rng = random.Random(17)
    for _ in range(rounds):
        p = subprocess.Popen([sys.executable, "-c", UPLOADER, str(video)], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.4, 1.6))
        p.send_signal(signal.SIGKILL)
        p.wait()
    orphans, temps, entries = debris(root)
    after_crashes = (len(orphans), len(temps), entries)
    # An hour later (the files aged by hand), the next process's first change sweeps.
    data, cache = folders(root)
    old = time.time() - 2 * HOUR
    for d in (data, cache):
        for n in os.listdir(d):
            os.utime(d / n, (old, old))
    subprocess.run([sys.executable, "-c", "import io, vestrel.media as m; "
                    "m.add_background_music_upload('after', io.BytesIO(b'x'), 'a.mp3')"],
                   env=env, check=True)
    orphans, temps, entries = debris(root)
    return after_crashes, (len(orphans), len(temps), entries)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(root):
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "vestrel", "serve", "--port", str(port),
                             "--resolve", "sim"], env=env_for(root),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    base = f"http://127.0.0.1:{port}"
    for _ in range(300):
        try:
            httpx.get(base + "/brevano/status")
            return proc, base
        except httpx.TransportError:
            time.sleep(0.2)
    raise SystemExit("server did not start")


def two_servers():
    root = Path(tempfile.mkdtemp(prefix="vestrel-two-"))
    servers = [serve(root) for _ in range(2)]
    acked = []
    barrier = threading.Barrier(2)

    def upload(base, tag):
        with httpx.Client(timeout=60) as c:
            barrier.wait()
            for i in range(50):
                r = c.post(base + "/media/background-music/upload", data={"title": f"{tag}{i}"},
                           files={"file": ("a.mp3", b"x" * 1000)})
                if r.status_code == 200:
                    acked.append(r.json()["id"])

    threads = [threading.Thread(target=upload, args=(base, t))
               for (_, base), t in zip(servers, "ab")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    listed = {e["id"] for e in httpx.get(servers[0][1] + "/media/background-music").json()["items"]}
    for proc, _ in servers:
        proc.terminate()
        proc.wait(10)
    return len(acked), len(set(acked) - listed)


def vm_hwm(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def peak_memory(video):
    """Each case on a fresh server: (what, answer, peak MiB of the server process)."""
    text = "Steh jeden Morgen zur gleichen Zeit auf und trink ein Glas Wasser. " * 700
    big = b"\0" * 209_715_200

    def template(c, base, root):
        return c.post(base + "/templates/upload", files={"file": ("big.drp", big)}).status_code

    def template_over(c, base, root):
        return c.post(base + "/templates/upload",
                      files={"file": ("bigger.drp", big + b"\0")}).status_code

    def speech(c, base, root):
        return c.post(base + "/tts/generate", json={
            "text": text[:20000], "engine": "edge", "voice_name": "de-DE-KatjaNeural",
            "output_path": str(root / "speech.mp3")}).status_code

    def generation(c, base, root):
        bg = c.post(base + "/media/background-videos/upload", data={"title": "v"},
                    files={"file": ("clip.mp4", video.read_bytes())}).json()["id"]
        per = 20000 // 6
        scenes = [{"caption": text[i * per:(i + 1) * per], "background": {"background_id": bg}}
                  for i in range(6)]
        scenes[-1]["caption"] += "." * (20000 - per * 6)
        r = c.post(base + "/brevano/generate", json={
            "scenes": scenes, "remove_silence": True, "min_silence_duration": 10,
            "whisper_model": "tiny", "edge_voice_name": "de-DE-KatjaNeural"})
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline:
            s = c.get(base + "/brevano/status").json()["status"]
            if s["status"] in ("done", "error"):
                break
            time.sleep(0.5)
        return f"{r.status_code}, {s['status']}" + (f": {s['error'][:60]}" if s["error"] else "")

    def huge_pause(c, base, root):
        return c.post(base + "/brevano/generate",
                      json={"scenes": [], "min_silence_duration": 1e6}).status_code

    rows = []
    for label, case in [("template upload of 200 MB", template),
                        ("template upload of 200 MB + 1 byte", template_over),
                        ("speech of 20,000 characters", speech),
                        ("generation of 20,000 characters, pauses cut to 10 s", generation),
                        ("generation with min_silence_duration 1e6", huge_pause)]:
        root = Path(tempfile.mkdtemp(prefix="vestrel-mem-"))
        proc, base = serve(root)
        try:
            start = vm_hwm(proc.pid)
            with httpx.Client(timeout=600) as c:
                answer = case(c, base, root)
            rows.append((label, answer, start, vm_hwm(proc.pid)))
        finally:
            proc.terminate()
            proc.wait(10)
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--memory-only", action="store_true")
    opts = parser.parse_args(argv)
    video = Path(tempfile.mkdtemp()) / "clip.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc=duration=2:size=64x64:rate=10", "-pix_fmt", "yuv420p", "-y",
                    str(video)], check=True)
    if opts.memory_only:
        opts.rounds = 0
    (o1, t1, e1), (o2, t2, e2) = crash_rounds(opts.rounds, video) if opts.rounds else \
        ((0, 0, 0), (0, 0, 0))
    if opts.rounds:
        print(f"{opts.rounds} kill -9 rounds during uploads: {e1} entries recorded; right after: "
              f"{o1} orphan asset files, {t1} catalogue temp files; after the next "
              f"process's first change (files aged past an hour): {o2} orphan files, {t2} "
              f"temp files, {e2} entries")
    if not opts.memory_only:
        acked, lost = two_servers()
        print(f"two servers on one data folder, 50 uploads each: {acked} acknowledged, "
              f"{lost} lost")
    for label, answer, start, peak in peak_memory(video):
        print(f"peak memory of the server, {label} ({answer}): {peak:.0f} MiB "
              f"(idle {start:.0f} MiB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
