"""Catalogue operations with 10,000 entries and 100 concurrent adds, against the plain
Python rendering of the same steps (bench/baseline_media.py)."""

import io
import json
import os
import tempfile
import threading
import time
from pathlib import Path

_ROOT = Path(tempfile.mkdtemp(prefix="vestrel-bench-media-"))
os.environ.setdefault("XDG_DATA_HOME", str(_ROOT / "xdg-data"))
os.environ.setdefault("XDG_CACHE_HOME", str(_ROOT / "xdg-cache"))

import vestrel.media as media  # noqa: E402

from baseline_media import Library  # noqa: E402

N = 10_000


def _best(fn, repeat=5):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def _use(root):
    """Points the module at a fresh library under `root` (its folders are read per call)."""
    data, cache = root / "data", root / "cache"
    data.mkdir(parents=True)
    cache.mkdir()
    media.DATA_DIR, media.CACHE_DIR, media.DB_PATH = data, cache, data / "db.json"
    return data, cache


def _catalogue(data, cache):
    videos = []
    for i in range(N):
        vid = f"bg_{i:08x}"
        source = "url" if i % 2 else "upload"
        videos.append({"id": vid, "title": f"Video {i} é", "source": source,
                       "url": f"https://www.pexels.com/video/v-{i}/" if source == "url" else None})
        if i % 4 != 1:  # three quarters are on disk (every upload, half of the links)
            (cache / f"{vid}.mp4").write_bytes(b"")
        (cache / f"{vid}_thumb.jpg").write_bytes(b"")
    (data / "db.json").write_text(json.dumps(
        {"version": 1, "background_videos": videos, "background_music": []}, indent=2))
    return [v["id"] for v in videos if v["source"] == "upload" or int(v["id"][3:], 16) % 4 != 1]


def _concurrent_adds(add, threads=100):
    barrier = threading.Barrier(threads)
    errors = []

    def one(i):
        barrier.wait()
        try:
            add(f"Track {i}", io.BytesIO(b"ID3" * 100), f"t{i}.mp3")
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    ts = [threading.Thread(target=one, args=(i,)) for i in range(threads)]
    t0 = time.perf_counter()
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert not errors, errors
    return time.perf_counter() - t0


def run():
    rows = []
    saved = (media.DATA_DIR, media.CACHE_DIR, media.DB_PATH)
    try:
        data, cache = _use(_ROOT / "large")
        present = _catalogue(data, cache)
        base = Library(data, cache)

        t_base, expected = _best(base.list_background_videos)
        t_ours, got = _best(media.list_background_videos)
        assert got == expected
        rows.append((f"list_background_videos, {N} entries: baseline", f"{t_base * 1e3:.1f} ms"))
        rows.append((f"list_background_videos, {N} entries: vestrel",
                     f"{t_ours * 1e3:.1f} ms  ({t_base / t_ours:.2f}x)"))

        picks = present[:: len(present) // 100][:100]
        t_base, expected = _best(lambda: [base.resolve_background_video(p) for p in picks], 3)
        t_ours, got = _best(lambda: [media.resolve_background_video(p) for p in picks], 3)
        assert got == expected
        rows.append((f"100 resolves, {N} entries: baseline", f"{t_base * 1e3:.1f} ms"))
        rows.append((f"100 resolves, {N} entries: vestrel",
                     f"{t_ours * 1e3:.1f} ms  ({t_base / t_ours:.2f}x)"))

        # 100 threads adding one music file each at the same moment.
        data, cache = _use(_ROOT / "adds-vestrel")
        t_ours = _concurrent_adds(media.add_background_music_upload)
        kept_ours = len(media.list_background_music())
        data_b, cache_b = _use(_ROOT / "adds-locked")
        t_base = _concurrent_adds(Library(data_b, cache_b, threading.Lock())
                                  .add_background_music_upload)
        kept_base = len(Library(data_b, cache_b).load()["background_music"])
        data_u, cache_u = _use(_ROOT / "adds-unlocked")
        _concurrent_adds(Library(data_u, cache_u).add_background_music_upload)
        kept_unlocked = len(Library(data_u, cache_u).load()["background_music"])
        assert kept_ours == kept_base == 100
        rows.append(("100 concurrent adds: baseline with a threading.Lock",
                     f"{t_base * 1e3:.1f} ms, {kept_base} entries kept"))
        rows.append(("100 concurrent adds: vestrel",
                     f"{t_ours * 1e3:.1f} ms, {kept_ours} entries kept ({t_base / t_ours:.2f}x)"))
        rows.append(("100 concurrent adds: the plain steps without a lock",
                     f"{kept_unlocked} entries kept"))
    finally:
        media.DATA_DIR, media.CACHE_DIR, media.DB_PATH = saved
    return rows
