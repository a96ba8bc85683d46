"""The media library: storage layout, catalogue, Pexels videos, uploads, music, templates."""

import json
import subprocess
import textwrap
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest
import requests

from conftest import run_python
from loopback import LoopbackServer, Response
from media_library import lib, pexels, pexels_server, videos  # noqa: F401 (fixtures)
from pexels_fake import IMAGE, VIDEO, PexelsFake

import vestrel.media as media


# ---------------------------------------------------------------- fixtures

def cache_names(lib):
    return sorted(p.name for p in lib.cache.iterdir())


PAGE = "https://www.pexels.com/video/waves-at-dawn-857251/"


# ---------------------------------------------------------------- load time

def test_load_reads_folders_and_settings_once(tmp_path):
    with LoopbackServer() as server:
        fake = PexelsFake(server).reset()
        code = textwrap.dedent(f"""
            import io, json, os
            import vestrel.media as media
            os.environ["PEXELS_API_KEY"] = "changed-after-load"
            out = {{
                "dirs": [str(media.DATA_DIR), str(media.CACHE_DIR), str(media.TEMPLATES_DIR),
                         str(media.DB_PATH)],
                "exist": [p.is_dir() for p in (media.DATA_DIR, media.CACHE_DIR,
                                                media.TEMPLATES_DIR)],
                "db_exists": media.DB_PATH.exists(),
                "lists": [media.list_background_videos(), media.list_background_music()],
                "key": media.PEXELS_API_KEY,
            }}
            item = media.add_background_video_url("Waves", {PAGE!r})
            out["path"] = media.resolve_background_video(item["id"])
            print(json.dumps(out))
        """)
        proc = run_python(code, env={
            "XDG_DATA_HOME": str(tmp_path / "d"), "XDG_CACHE_HOME": str(tmp_path / "c"),
            "PEXELS_API_KEY": "load-key",
            "VESTREL_PEXELS_API_URL": server.url + "/",
            "VESTREL_PEXELS_WEB_URL": server.url,
        })
        assert proc.returncode == 0, proc.stderr
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        assert out["dirs"] == [str(tmp_path / "d/Brevano"), str(tmp_path / "c/Brevano/media"),
                               str(tmp_path / "c/Brevano/templates"),
                               str(tmp_path / "d/Brevano/db.json")]
        assert out["exist"] == [True, True, True] and out["db_exists"] is False
        assert out["lists"] == [[], []]
        assert out["key"] == "load-key"
        # The base URLs come from the environment at load ("/" at the end stripped).
        assert fake.paths() == ["/videos/videos/857251", "/images/857251.jpg",
                                "/download/video/857251"]
        assert fake.requests[0].headers["Authorization"] == "load-key"
        assert Path(out["path"]).read_bytes() == VIDEO


def test_load_fails_when_a_folder_cannot_be_created(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    proc = run_python("import vestrel.media", env={"XDG_DATA_HOME": str(blocker),
                                                   "XDG_CACHE_HOME": str(tmp_path / "c")})
    assert proc.returncode != 0 and "Error" in proc.stderr


def test_unset_key_is_none_and_default_urls(tmp_path):
    env = {"XDG_DATA_HOME": str(tmp_path), "XDG_CACHE_HOME": str(tmp_path)}
    code = ("import os\nfor k in ('PEXELS_API_KEY', 'VESTREL_PEXELS_API_URL', "
            "'VESTREL_PEXELS_WEB_URL'): os.environ.pop(k, None)\n"
            "import vestrel.media as m\n"
            "print(m.PEXELS_API_KEY, m._PEXELS_API_URL, m._PEXELS_WEB_URL)")
    proc = run_python(code, env=env)
    assert proc.stdout.split() == ["None", "https://api.pexels.com", "https://www.pexels.com"]


# ---------------------------------------------------------------- catalogue

def test_written_form_of_the_catalogue(lib, videos):
    music = media.add_background_music_upload("Café ☕", open(videos.mp4, "rb"), "x.mp3")
    video = media.add_background_video_upload(" Dawn ", open(videos.mp4, "rb"), "c.mp4")
    expected = (
        '{\n  "version": 1,\n  "background_videos": [\n    {\n'
        f'      "id": "{video["id"]}",\n      "title": " Dawn ",\n'
        '      "source": "upload",\n      "url": null\n    }\n  ],\n'
        '  "background_music": [\n    {\n'
        f'      "id": "{music["id"]}",\n      "title": "Caf\\u00e9 \\u2615",\n'
        '      "source": "upload",\n      "url": null\n    }\n  ]\n}')
    assert lib.db.read_text(encoding="utf-8") == expected
    assert sorted(p.name for p in lib.data.iterdir()) == ["db.json", "db.json.lock"]


def test_empty_lists_written_on_the_key_line_and_other_members_kept(lib):
    lib.db.write_text(json.dumps({"version": 1, "background_videos": [], "extra": {"a": [1]},
                                  "background_music": [{"id": "music_1", "title": "t",
                                                        "source": "upload", "url": None,
                                                        "bpm": 90}]}))
    media.delete_background_music("music_1")
    assert lib.db.read_text() == ('{\n  "version": 1,\n  "background_videos": [],\n'
                                  '  "extra": {\n    "a": [\n      1\n    ]\n  },\n'
                                  '  "background_music": []\n}')


def test_load_db_defaults_are_fresh_and_nothing_is_written(lib):
    first = media._load_db()
    assert first == {"version": 1, "background_videos": [], "background_music": []}
    first["background_videos"].append("x")
    assert media._load_db()["background_videos"] == []
    assert not lib.db.exists()


@pytest.mark.parametrize("text, error", [
    ("[1, 2]", TypeError),
    ('"text"', TypeError),
    ("{not json", json.JSONDecodeError),
])
def test_bad_catalogue_fails_every_reader_and_stays(lib, text, error):
    lib.db.write_text(text)
    for op in (media._load_db, media.list_background_videos, media.list_background_music,
               lambda: media.delete_background_music("music_x")):
        with pytest.raises(error):
            op()
    assert lib.db.read_text() == text


def test_failed_write_keeps_old_catalogue_and_leaves_no_temporary(lib):
    media._save_db({"version": 1, "background_videos": [], "background_music": []})
    before = lib.db.read_text()
    with pytest.raises(TypeError):
        media._save_db({"version": 1, "bad": object()})
    assert lib.db.read_text() == before
    assert sorted(p.name for p in lib.data.iterdir()) == ["db.json"]


def test_failed_replace_removes_temporary(lib):
    target = lib.data / "sub"
    target.mkdir()
    (target / "keep").write_text("x")  # a non-empty folder cannot be replaced by a file
    with pytest.raises(OSError):
        media._atomic_write_json(target, {"a": 1})
    assert sorted(p.name for p in lib.data.iterdir()) == ["sub"]


@pytest.mark.parametrize("filename, default, expected", [
    ("CLIP.MP4", ".mp4", ".mp4"),
    ("song", ".mp3", ".mp3"),
    ("archive.tar.GZ", ".x", ".gz"),
    (".hidden", ".mp3", ".mp3"),
    ("dir.v2/take", ".mp4", ".mp4"),
    ("a/b.MoV", ".mp4", ".mov"),
    ("", ".mp3", ".mp3"),
])
def test_safe_ext(filename, default, expected):
    assert media._safe_ext(filename, default) == expected


def test_voice_output_path(lib):
    a, b = media.generate_voice_output_path(), media.generate_voice_output_path()
    assert a != b and a.endswith(".mp3") and Path(a).parent == lib.cache
    assert Path(a).name.startswith("voice_") and len(Path(a).stem) == len("voice_") + 8
    assert media.generate_voice_output_path(".mp4").endswith(".mp4")
    assert media.generate_voice_output_path("wav").endswith("wav")  # no dot added
    assert not Path(a).exists()


def test_argument_checks():
    with pytest.raises(TypeError, match=r"^Argument 'title' has incorrect type \(expected str, "
                                        r"got NoneType\)$"):
        media.add_background_music_upload(None, None, "a.mp3")
    with pytest.raises(TypeError, match=r"^_safe_ext\(\) takes exactly 2 positional arguments "
                                        r"\(1 given\)$"):
        media._safe_ext("a")


# ---------------------------------------------------------------- Pexels links

@pytest.mark.parametrize("url, expected", [
    ("https://www.pexels.com/video/waves-at-dawn-857251/", "857251"),
    ("https://www.pexels.com/video/waves-at-dawn-857251", "857251"),
    ("https://www.pexels.com/video/857251///", "857251"),
    ("https://www.pexels.com/video/dawn-857251?autoplay=1", "857251?autoplay=1"),
    ("plain", "plain"),
])
def test_extract_pexels_video_id(url, expected):
    assert media._extract_pexels_video_id(url) == expected


@pytest.mark.parametrize("url, ok", [
    ("https://www.pexels.com/video/x-1/", True),
    ("https://PEXELS.COM/video/x-1/", True),
    ("https://mirror-pexels.com.example/x-1", True),  # substring of the host is enough
    ("https://vimeo.com/pexels.com-1", False),  # only the host counts
    ("pexels.com/video/x-1", False),  # no host without a scheme
])
def test_assert_pexels_url(url, ok):
    if ok:
        media._assert_pexels_url(url)
    else:
        with pytest.raises(ValueError, match="^Only Pexels URLs are supported$"):
            media._assert_pexels_url(url)


def test_add_by_link_then_resolve_downloads_once(pexels, lib):
    item = media.add_background_video_url(" Waves ", PAGE, "client-key")
    vid = item["id"]
    assert item == {"id": vid, "title": " Waves ", "thumbnail": f"/media/{vid}_thumb.jpg",
                    "downloaded": False}
    assert vid.startswith("bg_") and len(vid) == 11 and int(vid[3:], 16) >= 0
    assert pexels.paths() == ["/videos/videos/857251", "/images/857251.jpg"]
    assert pexels.requests[0].headers["Authorization"] == "client-key"
    assert "Authorization" not in pexels.requests[1].headers
    assert (lib.cache / f"{vid}_thumb.jpg").read_bytes() == IMAGE
    assert media.list_background_videos() == [
        {"id": vid, "title": " Waves ", "thumbnail": f"/media/{vid}_thumb.jpg",
         "downloaded": False, "source": "url"}]
    assert json.loads(lib.db.read_text())["background_videos"] == [
        {"id": vid, "title": " Waves ", "source": "url", "url": PAGE}]

    path = media.resolve_background_video(vid)
    assert path == str(lib.cache / f"{vid}.mp4") and Path(path).read_bytes() == VIDEO
    assert pexels.paths()[-1] == "/download/video/857251"
    assert pexels.requests[-1].headers["Authorization"] == "env-key"
    assert media.list_background_videos()[0]["downloaded"] is True
    assert media.resolve_background_video(vid) == path
    assert len(pexels.requests) == 3
    assert cache_names(lib) == [f"{vid}.mp4", f"{vid}_thumb.jpg"]


@pytest.mark.parametrize("key_arg, env_key, sent", [
    ("", "env-key", "env-key"),
    (None, "env-key", "env-key"),
    ("mine", "env-key", "mine"),
    ("mine", None, "mine"),
])
def test_key_choice(pexels, monkeypatch, key_arg, env_key, sent):
    monkeypatch.setattr(media, "PEXELS_API_KEY", env_key)
    media.add_background_video_url("t", PAGE, key_arg)
    assert pexels.requests[0].headers["Authorization"] == sent


def _override(pexels, what):
    if what == "metadata 500":
        pexels.route("GET", "/videos/videos/", Response(500, {"error": "x"}))
    elif what == "metadata 201":
        pexels.route("GET", "/videos/videos/", Response(201, {"image": pexels.url + "/images/1"}))
    elif what == "no image":
        pexels.route("GET", "/videos/videos/", Response(200, {"id": 1}))
    elif what == "empty image":
        pexels.route("GET", "/videos/videos/", Response(200, {"image": ""}))
    elif what == "image 404":
        pexels.route("GET", "/images/", Response(404, b"gone"))


@pytest.mark.parametrize("what, message", [
    ("no key", "PEXELS_API_KEY not set"),
    ("metadata 500", "Failed to fetch Pexels metadata"),
    ("metadata 201", "Failed to fetch Pexels metadata"),
    ("no image", "No thumbnail available"),
    ("empty image", "No thumbnail available"),
    ("image 404", "Thumbnail download failed"),
])
def test_failed_link_add_leaves_nothing(pexels, lib, monkeypatch, what, message):
    if what == "no key":
        monkeypatch.setattr(media, "PEXELS_API_KEY", "")
    _override(pexels, what)
    with pytest.raises(RuntimeError) as info:
        media.add_background_video_url("t", PAGE, "")
    assert str(info.value) == message
    assert cache_names(lib) == [] and not lib.db.exists()
    if what == "no key":
        assert pexels.requests == []


@pytest.mark.parametrize("title, url, message", [
    ("   ", PAGE, "Title is required"),
    ("", PAGE, "Title is required"),
    ("t", "https://vimeo.com/video/x-1", "Only Pexels URLs are supported"),
])
def test_link_add_refusals_before_any_request(pexels, lib, title, url, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        media.add_background_video_url(title, url)
    assert pexels.requests == [] and cache_names(lib) == []


def test_failed_download_leaves_no_video(pexels, lib):
    vid = media.add_background_video_url("t", PAGE)["id"]
    pexels.route("GET", "/download/video/", Response(403, b"forbidden"))
    with pytest.raises(RuntimeError, match="^Video download failed$"):
        media.resolve_background_video(vid, "k")
    assert cache_names(lib) == [f"{vid}_thumb.jpg"]
    assert media.list_background_videos()[0]["downloaded"] is False


def test_interrupted_download_leaves_no_video(pexels, lib, monkeypatch):
    """The stream breaks after the first chunk: nothing counts as downloaded, no partial
    file stays, and the next resolve downloads again."""
    vid = media.add_background_video_url("t", PAGE)["id"]
    seen = {}

    def breaking_get(*args, **kwargs):
        response = requests.get(*args, **kwargs)
        seen.update(kwargs)
        chunks = response.iter_content

        def iter_content(**kw):
            it = chunks(**kw)
            yield next(it)
            assert not (lib.cache / f"{vid}.mp4").exists()  # nothing final while writing
            raise requests.exceptions.ConnectionError("connection lost")

        response.iter_content = iter_content
        return response

    monkeypatch.setattr(media, "requests", SimpleNamespace(get=breaking_get))
    with pytest.raises(requests.exceptions.ConnectionError, match="connection lost"):
        media.resolve_background_video(vid)
    assert seen["stream"] is True and seen["timeout"] == 30
    assert cache_names(lib) == [f"{vid}_thumb.jpg"]
    monkeypatch.undo()
    monkeypatch.setattr(media, "_PEXELS_WEB_URL", pexels.url)
    monkeypatch.setattr(media, "CACHE_DIR", lib.cache)
    monkeypatch.setattr(media, "DB_PATH", lib.db)
    assert Path(media.resolve_background_video(vid, "k")).read_bytes() == VIDEO


def test_network_errors_propagate(lib, monkeypatch):
    with LoopbackServer() as server:
        dead = server.url
    monkeypatch.setattr(media, "_PEXELS_API_URL", dead)
    with pytest.raises(requests.exceptions.ConnectionError):
        media.add_background_video_url("t", PAGE)
    assert cache_names(lib) == []


# ---------------------------------------------------------------- uploads and ffmpeg

def test_upload_cuts_thumbnail_and_resolves_without_network(pexels, lib, videos):
    with open(videos.mp4, "rb") as f:
        item = media.add_background_video_upload("Clip", f, "My.Clip.MP4")
    vid = item["id"]
    assert item == {"id": vid, "title": "Clip", "thumbnail": f"/media/{vid}_thumb.jpg",
                    "downloaded": True}
    assert (lib.cache / f"{vid}.mp4").read_bytes() == videos.data
    assert (lib.cache / f"{vid}_thumb.jpg").read_bytes()[:2] == b"\xff\xd8"
    assert media.resolve_background_video(vid) == str(lib.cache / f"{vid}.mp4")
    assert media.list_background_videos()[0]["source"] == "upload"
    assert pexels.requests == []


def test_upload_under_another_extension_is_found(lib, videos):
    vid = media.add_background_video_upload("Mov", open(videos.mp4, "rb"), "take.MOV")["id"]
    assert cache_names(lib) == [f"{vid}.mov", f"{vid}_thumb.jpg"]
    assert media.list_background_videos()[0]["downloaded"] is True
    assert media.resolve_background_video(vid) == str(lib.cache / f"{vid}.mov")
    # The thumbnail alone never counts as the video.
    (lib.cache / f"{vid}.mov").unlink()
    assert media.list_background_videos()[0]["downloaded"] is False
    assert media.resolve_background_video(vid) == str(lib.cache / f"{vid}.mp4")


def test_upload_of_non_video_fails_and_removes_copied_file(lib, capsys):
    import io
    with pytest.raises(RuntimeError) as info:
        media.add_background_video_upload("bad", io.BytesIO(b"not a video"), "x.mp4")
    text = str(info.value)
    assert text.startswith("Failed to generate thumbnail: ffmpeg failed: ")
    assert "Invalid data" in text or "invalid" in text.lower()
    assert isinstance(info.value.__context__, RuntimeError) and info.value.__cause__ is None
    assert "Traceback" in capsys.readouterr().err
    assert cache_names(lib) == [] and media.list_background_videos() == []


def test_thumbnail_command_line(lib, monkeypatch, tmp_path):
    calls = []

    def fake_run(cmd, **kwargs):
        calls.append((cmd, kwargs))
        Path(cmd[-1]).write_bytes(b"jpg")
        return subprocess.CompletedProcess(cmd, 0, "", "")

    monkeypatch.setattr(media, "subprocess", SimpleNamespace(run=fake_run))
    media._generate_video_thumbnail("/v.mp4", tmp_path / "t.jpg")
    media._generate_video_thumbnail("/v.mp4", str(tmp_path / "u.jpg"), 2)
    assert calls[0] == (["ffmpeg", "-ss", "1.0", "-i", "/v.mp4", "-vframes", "1", "-q:v", "2",
                         "-y", str(tmp_path / "t.jpg")],
                        {"capture_output": True, "text": True, "timeout": 30})
    assert calls[1][0][2] == "2.0"


def _fake_ffmpeg(tmp_path, script):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    exe = bin_dir / "ffmpeg"
    exe.write_text("#!/bin/sh\n" + script)
    exe.chmod(0o755)
    return str(bin_dir)


@pytest.mark.parametrize("case, message, context", [
    ("missing", "ffmpeg not found. Please install ffmpeg and add it to PATH", FileNotFoundError),
    ("no output", "Failed to generate thumbnail: Thumbnail file was not created", RuntimeError),
    ("exit 3", "Failed to generate thumbnail: ffmpeg failed: broken\n", RuntimeError),
    ("timeout", "Thumbnail generation timed out", subprocess.TimeoutExpired),
])
def test_thumbnail_failures(tmp_path, monkeypatch, capsys, case, message, context):
    if case == "missing":
        monkeypatch.setenv("PATH", str(tmp_path))
    elif case == "no output":
        monkeypatch.setenv("PATH", _fake_ffmpeg(tmp_path, "exit 0\n"))
    elif case == "exit 3":
        monkeypatch.setenv("PATH", _fake_ffmpeg(tmp_path, "echo broken >&2\nexit 3\n"))
    else:
        def slow(cmd, **kwargs):
            raise subprocess.TimeoutExpired(cmd, kwargs["timeout"])
        monkeypatch.setattr(media, "subprocess", SimpleNamespace(run=slow))
    with pytest.raises(RuntimeError) as info:
        media._generate_video_thumbnail("/nowhere.mp4", tmp_path / "t.jpg")
    assert str(info.value) == message
    assert isinstance(info.value.__context__, context)
    assert "Traceback" in capsys.readouterr().err


def test_delete_video_removes_its_files_only(lib, videos):
    a = media.add_background_video_upload("a", open(videos.mp4, "rb"), "a.webm")["id"]
    b = media.add_background_video_upload("b", open(videos.mp4, "rb"), "b.mp4")["id"]
    (lib.cache / "voice_1234abcd.mp3").write_bytes(b"")
    media.delete_background_video(a)
    assert cache_names(lib) == sorted([f"{b}.mp4", f"{b}_thumb.jpg", "voice_1234abcd.mp3"])
    assert [v["id"] for v in media.list_background_videos()] == [b]
    with pytest.raises(KeyError) as info:
        media.delete_background_video(a)
    assert str(info.value) == "'Background video not found'"
    with pytest.raises(KeyError) as info:
        media.resolve_background_video(a)
    assert info.value.args == (f"Background video {a} not found",)


# ---------------------------------------------------------------- music

def test_music_upload_list_resolve_delete(lib):
    import io
    stream = io.BytesIO(b"skipped|ID3 mp3")
    stream.read(8)  # copied from the stream's current position
    mp3 = media.add_background_music_upload("Beat", stream, "beat.MP3")
    assert (lib.cache / f"{mp3['id']}.mp3").read_bytes() == b"ID3 mp3"
    wav = media.add_background_music_upload("Wave", io.BytesIO(b"RIFF wav"), "wave.wav")
    assert mp3 == {"id": mp3["id"], "title": "Beat", "downloaded": True}
    assert mp3["id"].startswith("music_") and len(mp3["id"]) == 14
    assert media.list_background_music() == [
        {"id": mp3["id"], "title": "Beat", "downloaded": True, "source": "upload"},
        {"id": wav["id"], "title": "Wave", "downloaded": True, "source": "upload"}]
    assert media.resolve_background_music(mp3["id"]) == str(lib.cache / f"{mp3['id']}.mp3")
    assert media.resolve_background_music(wav["id"]) == str(lib.cache / f"{wav['id']}.wav")
    (lib.cache / f"{mp3['id']}.mp3").unlink()
    with pytest.raises(RuntimeError, match="^Background music file missing$"):
        media.resolve_background_music(mp3["id"])
    assert media.list_background_music()[0]["downloaded"] is False
    (lib.cache / f"{wav['id']}_extra.txt").write_text("x")
    media.delete_background_music(wav["id"])
    assert cache_names(lib) == []
    with pytest.raises(KeyError) as info:
        media.resolve_background_music(wav["id"])
    assert info.value.args == (f"Background music {wav['id']} not found",)
    with pytest.raises(KeyError, match="Background music not found"):
        media.delete_background_music(wav["id"])


def test_blank_music_title_writes_nothing(lib):
    import io
    with pytest.raises(ValueError, match="^Title is required$"):
        media.add_background_music_upload(" \t", io.BytesIO(b"x"), "a.mp3")
    assert cache_names(lib) == [] and not lib.db.exists()


def test_concurrent_changes_lose_no_entry(lib):
    """20 threads adding music and 10 deleting earlier entries at once: every add lands and
    exactly the deleted entries go (no lost update, no deadlock on the catalogue lock)."""
    import io
    first = [media.add_background_music_upload(f"old{i}", io.BytesIO(b"x"), "a.mp3")["id"]
             for i in range(10)]
    errors = []
    barrier = threading.Barrier(30)

    def add(i):
        try:
            barrier.wait()
            media.add_background_music_upload(f"new{i}", io.BytesIO(b"x" * 1000), "a.mp3")
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    def delete(asset):
        try:
            barrier.wait()
            media.delete_background_music(asset)
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=add, args=(i,)) for i in range(20)]
    threads += [threading.Thread(target=delete, args=(a,)) for a in first]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads) and errors == []
    titles = sorted(e["title"] for e in media.list_background_music())
    assert titles == sorted(f"new{i}" for i in range(20))


# ---------------------------------------------------------------- templates

BUILTIN = Path(media.__file__).parent / "templates"


def test_template_upload_names_and_lookup(lib, capsys):
    path = media.upload_template(b"drp-1", "Mine")
    assert path == str(lib.templates / "Mine.drp")
    assert capsys.readouterr().out == f"[media] Template uploaded: {path}\n"
    assert media.upload_template(b"drp-2", "Big.DRP") == str(lib.templates / "Big.DRP")
    assert (lib.templates / "Mine.drp").read_bytes() == b"drp-1"
    assert media.get_template("Mine") == path  # found with ".drp" added
    assert media.get_template("Mine.drp") == path
    with pytest.raises(FileNotFoundError, match="^Template not found: Big$"):
        media.get_template("Big")  # ".DRP" is not ".drp"
    assert media.list_templates() == {"cached": ["Mine.drp"],
                                      "builtin": ["tolvane.drp", "tolvane_modern_fonts.drp"]}


def test_builtin_templates_and_precedence(lib):
    assert media.get_template("tolvane") == str(BUILTIN / "tolvane.drp")
    assert media.get_template("tolvane_modern_fonts.drp") == str(
        BUILTIN / "tolvane_modern_fonts.drp")
    media.upload_template(b"mine", "tolvane")
    assert media.get_template("tolvane") == str(lib.templates / "tolvane.drp")


def test_get_template_absolute_paths(lib, tmp_path):
    other = tmp_path / "notes.txt"
    other.write_text("x")
    assert media.get_template(str(other)) == str(other)
    missing = str(tmp_path / "gone.drp")
    with pytest.raises(FileNotFoundError) as info:
        media.get_template(missing)
    assert str(info.value) == f"Template not found: {missing}"


def test_listing_is_sorted_and_case_sensitive(lib):
    for name in ["b.drp", "A.drp", "Z.DRP", "c.drp.bak", "ä.drp"]:
        (lib.templates / name).write_bytes(b"")
    assert media.list_templates()["cached"] == ["A.drp", "b.drp", "ä.drp"]


@pytest.mark.parametrize("name", ["../evil.drp", "a/b", "a\\b.drp", ".", "..", "", ".drp",
                                  ".DRP", "x\0.drp"])
def test_invalid_template_names_write_nothing(lib, name):
    with pytest.raises(ValueError, match="^Invalid template name$"):
        media.upload_template(b"x", name)
    assert not (lib.templates.parent / "evil.drp").exists()
    assert list(lib.templates.iterdir()) == []
