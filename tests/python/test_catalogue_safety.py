"""The catalogue shared by several processes, failed uploads and the debris of crashes."""

import io
import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import FAKES
from media_library import lib, videos  # noqa: F401 (fixtures)

import vestrel.media as media

HOUR = 3600


def names(d):
    return sorted(p.name for p in d.iterdir())


def env_for(root):
    env = dict(os.environ)
    env["XDG_DATA_HOME"] = str(root / "data")
    env["XDG_CACHE_HOME"] = str(root / "cache")
    env["PYTHONPATH"] = os.pathsep.join([str(FAKES), env.get("PYTHONPATH", "")])
    return env


# ---------------------------------------------------------------- cross-process lock

UPLOADER = textwrap.dedent("""
    import io, os, sys, time
    import vestrel.media as media
    tag, go = sys.argv[1], sys.argv[2]
    while not os.path.exists(go):
        time.sleep(0.001)
    for i in range(50):
        media.add_background_music_upload(f"{tag}{i}", io.BytesIO(b"x" * 100), "a.mp3")
    print("done")
""")


def test_two_processes_lose_no_upload(tmp_path):
    env = env_for(tmp_path)
    go = tmp_path / "go"
    procs = [subprocess.Popen([sys.executable, "-c", UPLOADER, tag, str(go)], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for tag in ("a", "b")]
    time.sleep(1.0)  # both loaded and waiting
    go.touch()
    for p in procs:
        out, err = p.communicate(timeout=120)
        assert p.returncode == 0, err
    db = json.loads((tmp_path / "data" / "Brevano" / "db.json").read_text())
    titles = sorted(e["title"] for e in db["background_music"])
    assert titles == sorted(f"{t}{i}" for t in "ab" for i in range(50))
    files = [n for n in os.listdir(tmp_path / "cache" / "Brevano" / "media")
             if n.startswith("music_")]
    assert len(files) == 100


def test_lock_file_is_made_by_the_first_change_not_at_load(tmp_path):
    env = env_for(tmp_path)
    code = textwrap.dedent("""
        import io, os, vestrel.media as media
        lock = str(media.DB_PATH) + ".lock"
        media.list_background_music(); media.list_templates()
        print(os.path.exists(lock))
        media.add_background_music_upload("t", io.BytesIO(b"x"), "a.mp3")
        print(os.path.exists(lock), os.path.dirname(lock) == str(media.DATA_DIR))
    """)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.stdout.split() == ["False", "True", "True"], out.stderr


def test_change_waits_for_the_file_lock_held_elsewhere(lib):
    """Another process holding db.json.lock keeps this process's change waiting."""
    lib.db.write_text('{"version": 1, "background_videos": [], "background_music": []}')
    holder = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import fcntl, sys, time
            f = open({str(lib.db) + '.lock'!r}, "a")
            fcntl.flock(f, fcntl.LOCK_EX)
            print("held", flush=True)
            time.sleep(1.5)
        """)], stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline().strip() == "held"
    t0 = time.monotonic()
    media.add_background_music_upload("t", io.BytesIO(b"x"), "a.mp3")
    waited = time.monotonic() - t0
    holder.wait(10)
    assert waited > 0.8
    assert [e["title"] for e in media.list_background_music()] == ["t"]


# ---------------------------------------------------------------- failed uploads


class Breaking(io.RawIOBase):
    """A stream that delivers some bytes, then fails."""

    def __init__(self, good):
        self.good = good

    def readable(self):
        return True

    def readinto(self, b):
        if self.good <= 0:
            raise OSError("connection reset")
        n = min(len(b), self.good, 4096)
        b[:n] = b"\1" * n
        self.good -= n
        return n


@pytest.mark.parametrize("kind", ["music", "video"])
def test_interrupted_upload_removes_its_file(lib, kind):
    add = getattr(media, f"add_background_{kind}_upload")
    with pytest.raises(OSError, match="connection reset"):
        add("t", Breaking(100_000), "a.mp4")
    assert names(lib.cache) == []
    assert not lib.db.exists() or json.loads(lib.db.read_text())[
        "background_music" if kind == "music" else "background_videos"] == []


@pytest.mark.parametrize("kind", ["music", "video"])
def test_upload_failing_at_the_catalogue_removes_its_files(lib, videos, kind):
    lib.db.write_text("{ broken")
    add = getattr(media, f"add_background_{kind}_upload")
    with pytest.raises(ValueError):  # the parse error of the catalogue
        add("t", io.BytesIO(videos.data), "clip.mp4")
    assert names(lib.cache) == []
    assert lib.db.read_text() == "{ broken"


# ---------------------------------------------------------------- clean-up after crashes


def age(path, seconds):
    t = time.time() - seconds
    os.utime(path, (t, t))


@pytest.fixture
def debris(lib):
    """A catalogue with one video and one piece of music, plus what crashes left."""
    lib.db.write_text(json.dumps({"version": 1, "background_videos": [
        {"id": "bg_0000aaaa", "title": "kept", "source": "upload", "url": None}],
        "background_music": [
        {"id": "music_0000bbbb", "title": "kept", "source": "upload", "url": None}]}))
    files = {
        # catalogued: kept however old
        "bg_0000aaaa.mp4": True, "bg_0000aaaa_thumb.jpg": True, "music_0000bbbb.mp3": True,
        # orphans older than an hour: removed
        "bg_1111cccc.mp4": False, "bg_1111cccc_thumb.jpg": False, "music_2222dddd.wav": False,
        "bg_3333eeee": False,
        # never swept: voice-overs, renders, exports, names that are not asset names
        "voice_4444ffff.mp3": True, "voice_4444ffff_no_silence.mp3": True,
        "render_5555aaaa.mp4": True, "short.mp4": True, "export.otio": True,
        "bg_ABCDEF12.mp4": True, "bg_123.mp4": True, "music_xyz12345.mp3": True,
        "bg_0000aaaab.mp4": True,
    }
    for name in files:
        (lib.cache / name).write_bytes(b"x")
        age(lib.cache / name, 2 * HOUR)
    # A young orphan may be an upload under way in another process.
    (lib.cache / "bg_6666bbbb.mp4").write_bytes(b"young")
    files["bg_6666bbbb.mp4"] = True
    (lib.cache / "sub_dir").mkdir()
    files["sub_dir"] = True
    for tmp in ("db.jsonab12cd.tmp", "db.jsonzz.tmp"):
        (lib.data / tmp).write_text('{"half')
    (lib.data / "other.tmp").write_text("not ours")
    return files


def test_first_change_sweeps_crash_debris(lib, debris):
    media.add_background_music_upload("new", io.BytesIO(b"x"), "a.mp3")
    kept = sorted(n for n, keep in debris.items() if keep)
    new = [n for n in names(lib.cache) if n not in debris]
    assert len(new) == 1 and new[0].startswith("music_")
    assert sorted(n for n in names(lib.cache) if n in debris) == kept
    assert names(lib.data) == ["db.json", "db.json.lock", "other.tmp"]
    assert len(media.list_background_music()) == 2


def test_deleting_sweeps_too(lib, debris):
    media.delete_background_music("music_0000bbbb")
    assert "bg_1111cccc.mp4" not in names(lib.cache)
    assert "bg_0000aaaa.mp4" in names(lib.cache)


def test_unparsable_catalogue_sweeps_nothing(lib, debris):
    lib.db.write_text("{ not json")
    before_cache, before_data = names(lib.cache), names(lib.data)
    with pytest.raises(ValueError):
        media.add_background_music_upload("new", io.BytesIO(b"x"), "a.mp3")
    assert names(lib.cache) == before_cache
    assert [n for n in names(lib.data) if n != "db.json.lock"] == before_data
    assert lib.db.read_text() == "{ not json"


def test_listing_and_loading_sweep_nothing(lib, debris):
    before = names(lib.cache), names(lib.data)
    media.list_background_videos()
    media.list_background_music()
    media.resolve_background_video("bg_0000aaaa")
    assert (names(lib.cache), names(lib.data)) == before
