"""Fixtures for the tests of the media library and of its routes: the library moved to a
temporary tree, a Pexels stand-in on a loopback server and a small real video.

A test module takes them by importing them by name."""

import subprocess
from types import SimpleNamespace

import pytest

from loopback import LoopbackServer
from pexels_fake import PexelsFake

import vestrel.media as media


@pytest.fixture
def lib(tmp_path, monkeypatch):
    """The library's folders moved to a fresh temporary tree (read at call time)."""
    data, cache, templates = tmp_path / "data", tmp_path / "media", tmp_path / "templates"
    for d in (data, cache, templates):
        d.mkdir()
    monkeypatch.setattr(media, "DATA_DIR", data)
    monkeypatch.setattr(media, "CACHE_DIR", cache)
    monkeypatch.setattr(media, "TEMPLATES_DIR", templates)
    monkeypatch.setattr(media, "DB_PATH", data / "db.json")
    monkeypatch.setattr(media, "PEXELS_API_KEY", "env-key")
    return SimpleNamespace(root=tmp_path, data=data, cache=cache, templates=templates,
                           db=data / "db.json")


@pytest.fixture(scope="session")
def pexels_server():
    with LoopbackServer() as server:
        yield server


@pytest.fixture
def pexels(pexels_server, lib, monkeypatch):
    """The Pexels stand-in with its default answers, its URLs set in the library."""
    monkeypatch.setattr(media, "_PEXELS_API_URL", pexels_server.url)
    monkeypatch.setattr(media, "_PEXELS_WEB_URL", pexels_server.url)
    return PexelsFake(pexels_server).reset()


@pytest.fixture(scope="session")
def videos(tmp_path_factory):
    """A two-second test video made by ffmpeg from its own test source: path and bytes."""
    mp4 = tmp_path_factory.mktemp("videos") / "clip.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc=duration=2:size=64x64:rate=10", "-pix_fmt", "yuv420p", "-y",
                    str(mp4)], check=True)
    return SimpleNamespace(mp4=mp4, data=mp4.read_bytes())
