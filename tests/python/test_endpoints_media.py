"""The media and template routes: answers, refusals and the failure table."""

import inspect
import threading
from types import SimpleNamespace

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from media_library import lib, pexels, pexels_server, videos  # noqa: F401 (fixtures)
from pexels_fake import IMAGE
from route_table import ROUTE_TABLE

import vestrel.endpoints as endpoints
import vestrel.media as media

# The media and template routes: the seventh to the sixteenth of the router.
MEDIA_ROUTES = ROUTE_TABLE[6:16]


@pytest.fixture
def client(lib):
    app = FastAPI()
    app.include_router(endpoints.router)
    return TestClient(app, raise_server_exceptions=False)


class Failing:
    """Stands in for the media module: every call raises `error`."""

    def __init__(self, error):
        self.error = error
        self.CACHE_DIR = media.CACHE_DIR

    def __getattr__(self, name):
        def fail(*args, **kwargs):
            raise self.error
        return fail


def multipart(parts):
    """A multipart body written by hand: (name, filename or None, content) parts. Clients
    leave out an empty filename, which a browser may send."""
    out = b""
    for name, filename, content in parts:
        disp = f'form-data; name="{name}"'
        if filename is not None:
            disp += f'; filename="{filename}"'
        out += f"--B\r\nContent-Disposition: {disp}\r\n\r\n".encode() + content + b"\r\n"
    return out + b"--B--\r\n", {"content-type": "multipart/form-data; boundary=B"}


# ---------------------------------------------------------------- the table

def test_route_table_order_and_docs():
    routes = [(m, r.path, r.name) for r in endpoints.router.routes for m in r.methods]
    media_part = [r for r in routes if r[1].startswith(("/media/background", "/media/{",
                                                        "/templates"))]
    assert media_part == MEDIA_ROUTES
    # The fixed /media/ paths come before the catch-all file route.
    assert routes.index(("GET", "/media/background-music", "list_background_music")) < \
        routes.index(("GET", "/media/{filename}", "get_media"))
    docs = {r.name: r.description for r in endpoints.router.routes}
    assert docs["get_media"] == \
        "Serve media files (videos, thumbnails, music) from cache directory."
    assert docs["upload_template"].startswith(
        "Upload a DaVinci Resolve template (.drp file) to cache.\n\nReturns:\n")
    assert docs["upload_template"].split("\n")[-1].strip() == "Template name and path"
    assert docs["list_templates"].split("\n")[0] == \
        "List all available DaVinci Resolve templates (cached + built-in)."
    assert docs["list_templates"].split("\n")[-1].strip() == \
        "Dictionary with 'cached' and 'builtin' template lists"
    # Every route, the template upload included, runs on the thread pool.
    assert not any(inspect.iscoroutinefunction(getattr(endpoints, n)) for _, _, n in MEDIA_ROUTES)


def test_declared_models():
    resp = endpoints.AddBackgroundMusicUploadResponse
    assert resp.__module__ == "vestrel.endpoints" and list(resp.model_fields) == [
        "id", "title", "downloaded"]
    assert all(f.is_required() for f in resp.model_fields.values())
    assert resp(id="music_1", title="t", downloaded=True).downloaded is True
    req = endpoints.AddBackgroundVideoURLRequest
    assert req.__module__ == "vestrel.endpoints"
    assert req(title="t", url="u").pexels_api_key is None


# ---------------------------------------------------------------- lists

def test_empty_lists_and_fixed_path_wins(client):
    assert client.get("/media/background-videos").json() == {"items": []}
    r = client.get("/media/background-music")
    assert r.status_code == 200 and r.json() == {"items": []}
    assert client.get("/templates/list").json() == {
        "cached": [], "builtin": ["tolvane.drp", "tolvane_modern_fonts.drp"]}


@pytest.mark.parametrize("path", ["/media/background-videos", "/media/background-music"])
def test_list_failure_is_500_with_text(client, monkeypatch, capsys, path):
    monkeypatch.setattr(endpoints, "media", Failing(OSError("disk gone")))
    r = client.get(path)
    assert (r.status_code, r.json()) == (500, {"detail": "disk gone"})
    assert "Traceback" in capsys.readouterr().err


def test_template_list_failure_is_not_caught(client, monkeypatch):
    monkeypatch.setattr(endpoints, "media", Failing(OSError("disk gone")))
    r = client.get("/templates/list")
    assert r.status_code == 500 and r.text == "Internal Server Error"


# ---------------------------------------------------------------- videos

def test_add_video_by_link(client, pexels, lib):
    r = client.post("/media/background-videos",
                    json={"title": "Sea", "url": "https://www.pexels.com/video/sea-42/",
                          "pexels_api_key": "client-key"})
    assert r.status_code == 200
    item = r.json()
    assert list(item) == ["id", "title", "thumbnail", "downloaded"]
    assert item["downloaded"] is False and pexels.requests[0].headers["Authorization"] == \
        "client-key"
    thumb = client.get(item["thumbnail"])
    assert thumb.content == IMAGE and thumb.headers["content-type"] == "image/jpeg"
    assert client.get("/media/background-videos").json()["items"][0]["source"] == "url"


@pytest.mark.parametrize("body, status, detail", [
    ({"title": "t", "url": "https://vimeo.com/1"}, 400, "Only Pexels URLs are supported"),
    ({"title": " ", "url": "https://www.pexels.com/video/1"}, 400, "Title is required"),
    ({"title": "t", "url": "https://www.pexels.com/video/1", "pexels_api_key": ""}, 500,
     "PEXELS_API_KEY not set"),
])
def test_add_video_by_link_failures(client, lib, monkeypatch, capsys, body, status, detail):
    monkeypatch.setattr(media, "PEXELS_API_KEY", None)
    r = client.post("/media/background-videos", json=body)
    assert (r.status_code, r.json()) == (status, {"detail": detail})
    assert "Traceback" in capsys.readouterr().err


def test_add_video_by_link_body_validation(client):
    assert client.post("/media/background-videos", json={"title": "t"}).status_code == 422


def test_video_upload_and_delete(client, lib, videos):
    r = client.post("/media/background-videos/upload", data={"title": "Clip"},
                    files={"file": ("take.mp4", videos.data, "video/mp4")})
    assert r.status_code == 200
    item = r.json()
    assert item["downloaded"] is True and item["title"] == "Clip"
    served = client.get(f"/media/{item['id']}.mp4")
    assert served.content == videos.data and served.headers["content-type"] == "video/mp4"
    assert client.delete(f"/media/background-videos/{item['id']}").json() == {"success": True}
    assert list(lib.cache.iterdir()) == []
    r = client.delete(f"/media/background-videos/{item['id']}")
    assert (r.status_code, r.json()) == (404, {"detail": "Background video not found"})


@pytest.mark.parametrize("parts, detail", [
    ([("title", None, b"")], "Title is required"),  # title tested before the file
    ([], "Title is required"),
    ([("title", None, b"t")], "File is required"),
    ([("title", None, b"t"), ("file", "", b"data")], "File is required"),
])
def test_video_upload_refusals(client, lib, parts, detail):
    body, headers = multipart(parts)
    r = client.post("/media/background-videos/upload", content=body, headers=headers)
    assert (r.status_code, r.json()) == (400, {"detail": detail})
    assert list(lib.cache.iterdir()) == []


def test_video_upload_library_failure_is_not_caught(client, lib, capsys):
    r = client.post("/media/background-videos/upload", data={"title": "t"},
                    files={"file": ("x.mp4", b"not a video")})
    assert r.status_code == 500 and r.text == "Internal Server Error"
    # The failed upload leaves neither a catalogue entry nor its copied file.
    assert client.get("/media/background-videos").json() == {"items": []}
    assert list(lib.cache.iterdir()) == []


@pytest.mark.parametrize("path, name", [
    ("/media/background-videos/x", "delete_background_video"),
    ("/media/background-music/x", "delete_background_music"),
])
def test_delete_other_failure_is_500(client, monkeypatch, capsys, path, name):
    monkeypatch.setattr(endpoints, "media", Failing(PermissionError("read-only")))
    r = client.delete(path)
    assert (r.status_code, r.json()) == (500, {"detail": "read-only"})
    assert "Traceback" in capsys.readouterr().err


# ---------------------------------------------------------------- music

def test_music_upload_list_delete(client, lib):
    r = client.post("/media/background-music/upload", data={"title": "Beat"},
                    files={"file": ("beat.mp3", b"ID3")})
    assert r.status_code == 200
    item = r.json()
    assert item == {"id": item["id"], "title": "Beat", "downloaded": True}
    assert client.get("/media/background-music").json() == {
        "items": [{"id": item["id"], "title": "Beat", "downloaded": True, "source": "upload"}]}
    served = client.get(f"/media/{item['id']}.mp3")
    assert served.content == b"ID3" and served.headers["content-type"] == "audio/mpeg"
    assert client.delete(f"/media/background-music/{item['id']}").json() == {"success": True}
    r = client.delete(f"/media/background-music/{item['id']}")
    assert (r.status_code, r.json()) == (404, {"detail": "Background music not found"})


def test_music_upload_refusals(client, lib, monkeypatch, capsys):
    assert client.post("/media/background-music/upload", data={"title": "t"}).status_code == 422
    body, headers = multipart([("title", None, b"t"), ("file", "", b"x")])
    r = client.post("/media/background-music/upload", content=body, headers=headers)
    assert (r.status_code, r.json()) == (400, {"detail": "Got no filename"})
    assert "Traceback" not in capsys.readouterr().err
    r = client.post("/media/background-music/upload", data={"title": "  "},
                    files={"file": ("a.mp3", b"x")})
    assert (r.status_code, r.json()) == (400, {"detail": "Title is required"})
    assert "Traceback" in capsys.readouterr().err
    # No title at all is refused like a blank one, and nothing is stored.
    r = client.post("/media/background-music/upload", files={"file": ("a.mp3", b"x")})
    assert (r.status_code, r.json()) == (400, {"detail": "Title is required"})
    assert list(lib.cache.iterdir()) == []
    monkeypatch.setattr(endpoints, "media", Failing(OSError("disk full")))
    r = client.post("/media/background-music/upload", data={"title": "t"},
                    files={"file": ("a.mp3", b"x")})
    assert (r.status_code, r.json()) == (500, {"detail": "disk full"})
    assert list(lib.cache.iterdir()) == []


# ---------------------------------------------------------------- serving files

@pytest.mark.parametrize("name, media_type", [
    ("a.jpg", "image/jpeg"), ("a.jpeg", "image/jpeg"), ("a.png", "image/png"),
    ("a.mp4", "video/mp4"), ("a.mp3", "audio/mpeg"), ("a.MP4", "application/octet-stream"),
    ("a.jpg.txt", "application/octet-stream"), ("noext", "application/octet-stream"),
])
def test_served_media_types(client, lib, name, media_type):
    (lib.cache / name).write_bytes(b"payload")
    r = client.get(f"/media/{name}")
    assert r.status_code == 200 and r.content == b"payload"
    assert r.headers["content-type"].split(";")[0] == media_type
    assert "content-disposition" not in r.headers


def test_only_regular_files_inside_the_cache_are_served(client, lib):
    (lib.root / "secret.txt").write_text("secret")
    (lib.cache / "sub").mkdir()
    (lib.cache / "out.txt").symlink_to(lib.root / "secret.txt")
    (lib.cache / "real.mp3").write_bytes(b"in")
    (lib.cache / "alias.mp3").symlink_to(lib.cache / "real.mp3")
    for name in ["missing.mp4", "%2E%2E", "%2E", "sub", "out.txt"]:
        r = client.get(f"/media/{name}")
        assert (r.status_code, r.json()) == (404, {"detail": "File not found"}), name
    for name in ["..", ".", "sub", "out.txt", ""]:
        with pytest.raises(Exception) as info:
            endpoints.get_media(name)
        assert (info.value.status_code, info.value.detail) == (404, "File not found")
    assert client.get("/media/alias.mp3").content == b"in"


# ---------------------------------------------------------------- templates

def test_template_upload_and_list(client, lib, capsys):
    r = client.post("/templates/upload", files={"file": ("Brand.DRP", b"drp")})
    assert r.status_code == 200
    path = str(lib.templates / "Brand.DRP")
    assert r.json() == {"success": True, "filename": "Brand.DRP", "path": path}
    assert f"[media] Template uploaded: {path}" in capsys.readouterr().out
    client.post("/templates/upload", files={"file": ("a.drp", b"drp")})
    assert client.get("/templates/list").json()["cached"] == ["a.drp"]


@pytest.mark.parametrize("filename, status, detail", [
    ("x.drp.txt", 400, "File must be a .drp template file"),
    ("", 400, "File must be a .drp template file"),
    ("../up.drp", 400, "Invalid template name"),
    ("..\\up.drp", 400, "Invalid template name"),
    (".drp", 400, "Invalid template name"),
])
def test_template_upload_refusals(client, lib, filename, status, detail):
    body, headers = multipart([("file", filename, b"drp")])
    r = client.post("/templates/upload", content=body, headers=headers)
    assert (r.status_code, r.json()) == (status, {"detail": detail})
    assert list(lib.templates.iterdir()) == [] and not (lib.root / "up.drp").exists()


def test_template_store_failure_is_500_without_traceback(client, lib, monkeypatch, capsys):
    lib.templates.rmdir()
    r = client.post("/templates/upload", files={"file": ("a.drp", b"drp")})
    assert r.status_code == 500 and "No such file or directory" in r.json()["detail"]
    assert "Traceback" not in capsys.readouterr().err


def test_template_upload_does_not_block_the_event_loop(lib, monkeypatch):
    """While a template is being stored, a coroutine route on the same loop still answers."""
    app = FastAPI()
    app.include_router(endpoints.router)
    started, release = threading.Event(), threading.Event()

    @app.get("/ping")
    async def ping():
        return "pong"

    real = media.upload_template

    def slow_upload(content, name):
        started.set()
        release.wait(10)
        return real(content, name)

    monkeypatch.setattr(endpoints, "media", SimpleNamespace(upload_template=slow_upload))
    client = TestClient(app)
    result = {}
    t = threading.Thread(target=lambda: result.update(
        r=client.post("/templates/upload", files={"file": ("a.drp", b"drp")})))
    t.start()
    assert started.wait(10)
    assert client.get("/ping").json() == "pong"  # answered while the upload waits
    release.set()
    t.join(10)
    assert result["r"].status_code == 200


@pytest.mark.parametrize("route, args, error, status", [
    ("delete_background_video", ("bg_00000000",), KeyError("x"), 404),
    ("delete_background_music", ("music_0000000",), KeyError("x"), 404),
    ("delete_background_video", ("bg_00000000",), OSError("disk"), 500),
    ("list_background_videos", (), RuntimeError("broken"), 500),
    ("list_background_music", (), RuntimeError("broken"), 500),
])
def test_translated_failures_keep_the_caught_error_as_context(monkeypatch, capsys, route, args,
                                                               error, status):
    """An HTTP answer raised for a caught error chains it as Python's `except` block would,
    also when the route runs inside a caller's own `except` block."""
    from fastapi import HTTPException

    monkeypatch.setattr(endpoints, "media", Failing(error))
    try:
        raise ValueError("outer")
    except ValueError:
        with pytest.raises(HTTPException) as info:
            getattr(endpoints, route)(*args)
    assert info.value.status_code == status
    assert info.value.__context__ is error
    assert info.value.__cause__ is None
