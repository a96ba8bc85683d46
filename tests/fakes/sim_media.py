"""Small real media files for the Resolve simulator, made once with ffmpeg."""

import subprocess
from pathlib import Path


def make_video(path, rate="25", seconds=2.0, audio=True, size="64x64"):
    """An MPEG-4 video at `rate` (ffmpeg rate text, e.g. "30000/1001"), optionally with sound."""
    path = Path(path)
    cmd = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
           "-i", f"testsrc=size={size}:rate={rate}:duration={seconds}"]
    if audio:
        cmd += ["-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}", "-c:a", "aac"]
    cmd += ["-c:v", "mpeg4", "-shortest", str(path)]
    subprocess.run(cmd, check=True, capture_output=True, timeout=120)
    return str(path)


def make_audio(path, seconds=2.0):
    """A sine tone; the codec follows the file name (.mp3, .wav)."""
    path = Path(path)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
                    "-i", f"sine=frequency=330:duration={seconds}", str(path)],
                   check=True, capture_output=True, timeout=120)
    return str(path)
