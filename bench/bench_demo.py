"""The whole demo short: python -m vestrel generate examples/demo.json, timed end to end.

Runs the command in a fresh interpreter with its own media library in a temporary folder
(the example's media made by the Makefile first), reads what each stage cost from the
command's progress lines, and sets the wall time against the video's own length (the goal is
at most 1x: the short is ready before it could have been watched).
"""

import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MEDIA = ["examples/media/morgen.mp4", "examples/media/wasser.mp4", "examples/media/licht.mp4",
         "examples/media/musik.mp3"]
STAGE_LINE = re.compile(r"^\s+(\w+)\s+\[[#-]+\]\s+(done|skipped|failed)\s+([\d.]+)?")


def run():
    subprocess.run(["make", "-s", "-C", str(ROOT), *MEDIA], check=True)
    with tempfile.TemporaryDirectory(prefix="vestrel-bench-demo-") as tmp:
        env = dict(os.environ, XDG_DATA_HOME=f"{tmp}/data", XDG_CACHE_HOME=f"{tmp}/cache")
        out = Path(tmp) / "short.mp4"
        t0 = time.perf_counter()
        proc = subprocess.run([sys.executable, "-m", "vestrel", "generate",
                               str(ROOT / "examples" / "demo.json"), "-o", str(out),
                               "--resolve", "sim"], env=env, capture_output=True, text=True)
        wall = time.perf_counter() - t0
        rows = []
        for line in proc.stderr.splitlines():
            m = STAGE_LINE.match(line)
            if m:
                cost = f"{float(m.group(3)):.2f} s" if m.group(3) else "-"
                rows.append((f"stage {m.group(1)} ({m.group(2)})", cost))
        if proc.returncode != 0:
            rows.append(("demo not made", proc.stderr.strip().splitlines()[-1]))
            return rows
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                                "-of", "csv=p=0", str(out)], capture_output=True, text=True)
        length = float(probe.stdout)
        rows += [("video length", f"{length:.2f} s"),
                 ("wall time of the command (load, generation, render)", f"{wall:.2f} s"),
                 ("wall time / video length (goal <= 1.0)", f"{wall / length:.2f}")]
        return rows
