"""Host launcher and command line.

python -m vestrel serve [--host H] [--port P] [--resolve auto|sim|real]
    [--allowed-host NAME]... [--token TOKEN]
python -m vestrel generate REQUEST.json [-o short.mp4] [--resolve auto|sim|real] [--verbose]
                           [--export otio,fcpxml,fcp7xml,edl,srt,ass]
"""

import argparse
import hmac
import ipaddress
import os
import sys
from http.cookies import SimpleCookie
from urllib.parse import parse_qsl, urlencode, urlsplit


def _real_resolve():
    """The running DaVinci Resolve's scripting object, or None when none answers."""
    try:
        import DaVinciResolveScript  # Resolve's own scripting module
    except Exception:
        return None
    try:
        return DaVinciResolveScript.scriptapp("Resolve")
    except Exception:
        return None


def _simulated_resolve():
    try:
        from vestrel import resolve_sim
        return resolve_sim.scriptapp("Resolve")
    except (ImportError, AttributeError, NotImplementedError):
        return None


def pick_resolve(mode):
    """Returns (scripting object or None, line saying which Resolve is used)."""
    if mode in ("auto", "real"):
        resolve = _real_resolve()
        if resolve is not None:
            return resolve, "[vestrel] Using DaVinci Resolve (real)"
        if mode == "real":
            raise SystemExit("[vestrel] No DaVinci Resolve answers (--resolve real)")
    resolve = _simulated_resolve()
    if resolve is not None:
        return resolve, "[vestrel] Using the Resolve simulator"
    return None, "[vestrel] No Resolve available: Resolve operations will fail"


# --- the studio page -------------------------------------------------------------------------

def _web_dir():
    """The studio page's folder, installed beside the host."""
    from pathlib import Path

    return Path(__file__).resolve().parent / "web"


def _mount_studio_page(app):
    """The studio page at "/" and its files under /studio-files/."""
    from fastapi.responses import FileResponse
    from fastapi.staticfiles import StaticFiles

    web = _web_dir()
    index = web / "index.html"

    @app.get("/", include_in_schema=False)
    def studio_page():
        return FileResponse(index, media_type="text/html")

    app.mount("/studio-files", StaticFiles(directory=web), name="studio-files")


# --- descriptions and examples of the API document ----------------------------------------
#
# The routes and models keep their own names and docstrings; the host adds to the document it
# serves what a reader of /docs needs: groups, a summary per route, and field descriptions and
# examples. Nothing here changes how a request is read or answered.

_API_DESCRIPTION = (
    "Turns a short written script (up to six scenes, each with caption text and a background "
    "video) into a vertical short: voice-over, captions aligned to the speech, a Resolve "
    "timeline, and, through the studio routes, a rendered MP4 and exports.\n\n"
    "A typical run: upload backgrounds (`/media/background-videos/upload`), "
    "`POST /brevano/generate`, poll `GET /studio/progress` until the status is \"done\", then "
    "`POST /studio/render` and poll `GET /studio/render/{job_id}`. The studio page at `/` "
    "does all of this in the browser."
)

# (path prefix, tag): the first matching prefix names the route's group.
_TAGS = (
    ("/brevano/", "generation"),
    ("/studio/render", "render"),
    ("/studio/export", "export"),
    ("/studio/timeline", "export"),
    ("/studio/", "studio"),
    ("/media/import_clip", "resolve"),
    ("/project/", "resolve"),
    ("/timeline/", "resolve"),
    ("/tts/", "speech"),
    ("/media/", "media library"),
    ("/templates/", "media library"),
)

_TAG_TEXTS = {
    "generation": "Start a generation and read its status.",
    "studio": "Stages of the running generation, cancel, voices, earlier renders and exports.",
    "render": "Render the current timeline to an MP4 in the media cache.",
    "export": "Read the current timeline and export it for other editors.",
    "media library": "Background videos, music and Resolve templates.",
    "resolve": "Single Resolve operations: projects, clips, timeline.",
    "speech": "Speech synthesis into a file.",
}

_SUMMARIES = {
    ("post", "/brevano/generate"): "Start a generation (answers at once; poll the status)",
    ("get", "/brevano/status"): "Status of the last or running generation",
    ("get", "/studio/progress"): "Stages of the last or running generation and its render",
    ("post", "/studio/cancel"): "Stop the running generation or render",
    ("get", "/studio/voices"): "Voices of the offline voice engine",
    ("get", "/studio/outputs"): "Earlier renders and exports in the media cache",
    ("delete", "/studio/outputs/{filename}"): "Delete a render or export",
    ("post", "/studio/render"): "Render the current timeline to an MP4",
    ("get", "/studio/render/{job_id}"): "Status and percentage of a render job",
    ("get", "/studio/timeline"): "The current timeline's tracks and items",
    ("post", "/studio/export"): "Export the current timeline (OTIO, FCPXML, EDL, SRT, ASS)",
    ("get", "/media/background-videos"): "List background videos",
    ("post", "/media/background-videos"): "Add a background video from a Pexels page link",
    ("post", "/media/background-videos/upload"): "Upload a background video",
    ("delete", "/media/background-videos/{asset_id}"): "Delete a background video",
    ("get", "/media/background-music"): "List background music",
    ("post", "/media/background-music/upload"): "Upload background music",
    ("delete", "/media/background-music/{asset_id}"): "Delete background music",
    ("get", "/media/{filename}"): "Download a file of the media cache",
    ("post", "/templates/upload"): "Upload a Resolve template project (.drp)",
    ("get", "/templates/list"): "List templates (uploaded and built-in)",
    ("post", "/project/create"): "Create a Resolve project",
    ("post", "/project/open"): "Open a Resolve project",
    ("post", "/project/delete_current"): "Delete the current Resolve project",
    ("post", "/media/import_clip"): "Import a clip into the media pool",
    ("post", "/timeline/add_clip"): "Place a media-pool clip on the timeline",
    ("post", "/tts/generate"): "Synthesise speech into a file",
}

# Model name -> {field: (description, example)}; an example of None adds only the text.
_FIELDS = {
    "BrevanoRequest": {
        "scenes": ("The scenes in playing order, at most six. Their captions are joined with "
                   "nothing between them: end every scene but the last with a blank.", None),
        "bg_music_id": ("Identifier of a background music of the library, or null for none.",
                        "music_1a2b3c4d"),
        "tts_engine": ("Voice engine: \"espeak\" (offline), \"edge\" or \"eleven\".",
                       "espeak"),
        "edge_voice_name": ("Voice of the Edge engine, or of espeak (an espeak-ng voice or "
                            "language, see GET /studio/voices).", "de"),
        "eleven_voice_id": ("Voice of the ElevenLabs engine.", None),
        "eleven_api_key": ("ElevenLabs API key.", None),
        "whisper_model": ("Aligner: \"builtin\" (offline) or a Whisper model name.",
                          "builtin"),
        "language": ("Language code of the script.", "de"),
        "chars_per_line": ("Caption line length target, in characters.", 25),
        "remove_silence": ("Cut pauses out of the voice-over.", False),
        "min_silence_duration": ("Shortest pause that is cut, in seconds.", 0.3),
        "davinci_project_name": ("Name of the Resolve project the generation creates.",
                                 "my_short"),
        "davinci_template_path": ("Template: a built-in name, an uploaded template's name, or "
                                  "a path; null for the default built-in template.",
                                  "tolvane.drp"),
        "pexels_api_key": ("Pexels API key, used when a background must still be fetched.",
                           None),
    },
    "BrevanoSceneDTO": {
        "caption": ("The scene's script. \"<split>\" ends a caption sentence; \"<counter>\" "
                    "before a one-word sentence (\"<counter>Erstens.\") makes a counter title. "
                    "Commands are never spoken.",
                    "<counter>Erstens. Trink morgens ein Glas Wasser. "),
        "background": ("The scene's background video.", None),
    },
    "BrevanoBackgroundVideoDTO": {
        "background_id": ("Identifier of a background video of the library.", "bg_1a2b3c4d"),
        "brightness": ("Brightness, 100 leaves it as it is.", 100),
        "contrast": ("Contrast, 100 leaves it as it is.", 100),
        "saturation": ("Saturation, 100 leaves it as it is.", 100),
        "color_tone": ("Colour tone as red, green, blue; 100 each leaves it as it is.",
                       [100, 100, 100]),
    },
    "AddBackgroundVideoURLRequest": {
        "title": ("Title of the new background video.", "Wald"),
        "url": ("Link to a video page on Pexels.", "https://www.pexels.com/video/forest-1234567/"),
        "pexels_api_key": ("Pexels API key.", None),
    },
    "ProjectRequest": {"project_name": ("Name of the Resolve project.", "my_short")},
    "ImportClipRequest": {
        "clip_path": ("Path of the media file to import.", "/path/to/clip.mp4"),
        "clip_name": ("Name of the clip in the media pool; null lets Resolve choose.", None),
    },
    "AddClipRequest": {
        "clip_name": ("Name of a clip in the media pool.", "clip.mp4"),
        "start_time": ("Position on the timeline, in seconds.", 0.0),
        "duration": ("Length, in seconds.", 5.0),
        "track_index": ("Track number.", 1),
        "video": ("Place the video part.", True),
        "audio": ("Place the audio part.", True),
    },
    "TTSRequest": {
        "text": ("Text to speak.", "Hallo und willkommen."),
        "engine": ("Engine: \"espeak\", \"edge\" or \"eleven\".", "espeak"),
        "output_path": ("File to write.", "/tmp/hallo.mp3"),
        "voice_name": ("Voice of the Edge or espeak engine.", None),
        "voice_id": ("ElevenLabs voice.", None),
        "api_key": ("ElevenLabs API key.", None),
        "check_credits": ("Check the ElevenLabs account's remaining characters first.", False),
    },
    "StudioRenderRequest": {
        "filename": ("Output file name ending in \".mp4\"; the project's name by default.",
                     "my_short.mp4"),
        "preset": ("A render preset Resolve lists; none keeps the current settings.", None),
    },
    "StudioExportRequest": {
        "format": ("\"otio\" (an .otioz bundle), \"fcpxml\" or \"fcp7xml\" (a .zip of the XML "
                   "and its title pictures), \"edl\", \"srt\" or \"ass\".", "otio"),
        "filename": ("Plain file name stem; the timeline's name by default.", "my_short"),
    },
}

_GENERATE_EXAMPLE = {
    "scenes": [
        {"caption": "Drei kleine Gewohnheiten machen deinen Morgen besser. ",
         "background": {"background_id": "bg_1a2b3c4d"}},
        {"caption": "<counter>Erstens. Trink ein Glas Wasser.",
         "background": {"background_id": "bg_5e6f7a8b"}},
    ],
    "tts_engine": "espeak",
    "whisper_model": "builtin",
    "language": "de",
}


def _describe_openapi(app):
    """Wraps app.openapi: the document is built as usual once, then described in place."""
    build = app.openapi

    def openapi():
        if app.openapi_schema is None:
            _add_descriptions(build())
        return app.openapi_schema

    app.openapi = openapi


def _add_descriptions(doc):
    used_tags = []
    for path, methods in doc.get("paths", {}).items():
        for method, op in methods.items():
            if not isinstance(op, dict):
                continue
            summary = _SUMMARIES.get((method, path))
            if summary:
                op["summary"] = summary
            tag = next((t for prefix, t in _TAGS if path.startswith(prefix)), None)
            if tag and not op.get("tags"):
                op["tags"] = [tag]
                if tag not in used_tags:
                    used_tags.append(tag)
            if (method, path) == ("post", "/brevano/generate"):
                content = op.get("requestBody", {}).get("content", {})
                if "application/json" in content:
                    content["application/json"]["example"] = _GENERATE_EXAMPLE
    order = [t for t in _TAG_TEXTS if t in used_tags]
    doc["tags"] = [{"name": t, "description": _TAG_TEXTS[t]} for t in order]
    schemas = doc.get("components", {}).get("schemas", {})
    for model, fields in _FIELDS.items():
        props = schemas.get(model, {}).get("properties", {})
        for name, (text, example) in fields.items():
            if name not in props:
                continue
            props[name].setdefault("description", text)
            if example is not None:
                props[name].setdefault("examples", [example])
    return doc


def create_app(resolve=None):
    # The API pages (/docs, /redoc) load their scripts from files of an installed package,
    # never from a CDN, so they work offline.
    from fastapi_offline import FastAPIOffline
    from vestrel import endpoints, lumora, studio

    app = FastAPIOffline(title="vestrel", description=_API_DESCRIPTION)
    app.include_router(endpoints.router)
    app.include_router(studio.router)
    _mount_studio_page(app)
    _describe_openapi(app)
    if resolve is not None and hasattr(lumora, "set_resolve"):
        lumora.set_resolve(resolve)
    return app


# ---------------------------------------------------------------- serving safely
#
# The served app answers only its own site: a Host check against DNS rebinding, a same-origin
# check on requests that change something, and off loopback a token on every request.

LOOPBACK_NAMES = ("127.0.0.1", "localhost")
TOKEN_COOKIE = "vestrel_token"
STATE_CHANGING = frozenset({"POST", "PUT", "PATCH", "DELETE"})


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


async def _answer(send, status, detail, headers=()):
    import json

    body = json.dumps({"detail": detail}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"),
                            (b"content-length", str(len(body)).encode()), *headers]})
    await send({"type": "http.response.body", "body": body})


def _header(scope, name):
    for key, value in scope.get("headers", ()):
        if key == name:
            return value.decode("latin-1")
    return None


def _host_port(netloc, scheme):
    """host:port in lower case with the scheme's default port made explicit."""
    netloc = netloc.strip().lower()
    parts = urlsplit(f"//{netloc}")
    try:
        port = parts.port
    except ValueError:
        return None
    if port is None:
        port = {"http": 80, "https": 443, "ws": 80, "wss": 443}.get(scheme)
    return parts.hostname, port


class SameOriginMiddleware:
    """A request that changes something and carries an Origin must come from a page of this
    very host:port; a page of another site cannot make the user's browser upload, delete or
    start work here."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http" and scope["method"] in STATE_CHANGING:
            origin = _header(scope, b"origin")
            if origin is not None:
                scheme = scope.get("scheme", "http")
                parsed = urlsplit(origin)
                mine = _host_port(_header(scope, b"host") or "", scheme)
                theirs = _host_port(parsed.netloc, parsed.scheme) if parsed.netloc else None
                if theirs is None or mine is None or theirs != mine:
                    await _answer(send, 403, "Cross-site request refused")
                    return
        await self.app(scope, receive, send)


class TokenMiddleware:
    """Every request needs the token, as `Authorization: Bearer <token>` or as the cookie that
    opening any page with `?token=<token>` sets (so a browser's page, its video and its
    download links carry it)."""

    def __init__(self, app, token):
        self.app = app
        self.token = token.encode()

    def _matches(self, value):
        return value is not None and hmac.compare_digest(value.encode(), self.token)

    async def __call__(self, scope, receive, send):
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        query = parse_qsl(scope.get("query_string", b"").decode("latin-1"),
                          keep_blank_values=True)
        given = [v for k, v in query if k == "token"]
        if scope["type"] == "http" and scope["method"] == "GET" and given:
            if not self._matches(given[-1]):
                await _answer(send, 401, "Not authenticated")
                return
            rest = urlencode([(k, v) for k, v in query if k != "token"])
            location = scope.get("root_path", "") + scope["path"] + (f"?{rest}" if rest else "")
            cookie = (f"{TOKEN_COOKIE}={self.token.decode()}; Path=/; HttpOnly; "
                      "SameSite=Strict")
            await send({"type": "http.response.start", "status": 303,
                        "headers": [(b"location", location.encode()),
                                    (b"set-cookie", cookie.encode()),
                                    (b"content-length", b"0")]})
            await send({"type": "http.response.body", "body": b""})
            return
        auth = _header(scope, b"authorization") or ""
        bearer = auth[7:].strip() if auth[:7].lower() == "bearer " else None
        cookies = SimpleCookie()
        try:
            cookies.load(_header(scope, b"cookie") or "")
        except Exception:  # a malformed cookie header counts as none
            cookies = SimpleCookie()
        cookie = cookies[TOKEN_COOKIE].value if TOKEN_COOKIE in cookies else None
        if self._matches(bearer) or self._matches(cookie):
            await self.app(scope, receive, send)
            return
        if scope["type"] == "websocket":
            await send({"type": "websocket.close", "code": 1008})
            return
        await _answer(send, 401, "Not authenticated", [(b"www-authenticate", b"Bearer")])


def add_serve_options(serve):
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000)
    serve.add_argument("--resolve", choices=("auto", "sim", "real"), default="auto")
    serve.add_argument("--allowed-host", action="append", default=[], metavar="NAME",
                       help="another name this server may be reached by (repeatable)")
    serve.add_argument("--token", default=None,
                       help="token every request must carry (default: $VESTREL_TOKEN); "
                            "required when serving on an address other than loopback")
    serve.add_argument("--keep-alive", type=int, default=5, metavar="SECONDS",
                       help="seconds an idle connection is kept open")
    serve.add_argument("--limit-concurrency", type=int, default=100, metavar="N",
                       help="connections and tasks at once before answering 503")


def served_token(args):
    return args.token or os.environ.get("VESTREL_TOKEN") or None


def allowed_hosts(args):
    hosts = list(LOOPBACK_NAMES)
    for name in [args.host, *args.allowed_host]:
        if name and name not in hosts:
            hosts.append(name)
    return hosts


def build_served_app(args, resolve=None):
    """The app as `serve` runs it: create_app's app behind the Host, same-origin and token
    checks. Refuses (SystemExit) to serve off loopback without a token."""
    from starlette.middleware.trustedhost import TrustedHostMiddleware

    token = served_token(args)
    if token is None and not is_loopback(args.host):
        raise SystemExit(f"[vestrel] Serving on {args.host} needs a token: "
                         "pass --token or set VESTREL_TOKEN")
    app = create_app(resolve)
    # The last added runs first: Host, then origin, then token.
    if token is not None:
        app.add_middleware(TokenMiddleware, token=token)
    app.add_middleware(SameOriginMiddleware)
    app.add_middleware(TrustedHostMiddleware, allowed_hosts=allowed_hosts(args))
    return app


def uvicorn_settings(args):
    """Keep-alive time-out and concurrency limit: slow or idle connections cannot pile up
    until the process runs out of files."""
    return {"host": args.host, "port": args.port, "timeout_keep_alive": args.keep_alive,
            "limit_concurrency": args.limit_concurrency}


def serve(args):
    resolve, line = pick_resolve(args.resolve)
    app = build_served_app(args, resolve)
    print(line, flush=True)

    import uvicorn
    uvicorn.run(app, **uvicorn_settings(args))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m vestrel")
    sub = parser.add_subparsers(dest="command", required=True)
    add_serve_options(sub.add_parser("serve", help="serve the HTTP interface"))
    _add_generate_parser(sub)
    args = parser.parse_args(argv)

    if args.command == "serve":
        return serve(args)
    if args.command == "generate":
        return generate(args)
    return 0


# ---------------------------------------------------------------- python -m vestrel generate
#
# Makes a short from a request file: the same request as POST /brevano/generate (validated by
# the same model and route, so refusals read the same), where a scene's background and the
# music may also name a local file. The generation runs through the same route and worker;
# then the current timeline is rendered. Progress goes to standard error, the path of the
# video to standard output. Exit status: 0 done, 1 a stage failed, 2 the request is refused.

EXIT_DONE, EXIT_FAILED, EXIT_REFUSED = 0, 1, 2
EXPORT_FORMATS = ("otio", "fcpxml", "fcp7xml", "edl", "srt", "ass")


class _Refused(Exception):
    """The request is refused before anything runs (exit status 2)."""


class _StageFailed(Exception):
    def __init__(self, stage, message):
        super().__init__(message)
        self.stage = stage
        self.message = message


def _add_generate_parser(sub):
    gen = sub.add_parser("generate", help="make a short from a request file")
    gen.add_argument("request", help="JSON file with the fields of a generation request")
    gen.add_argument("-o", "--output", default="short.mp4",
                     help="where the video is written (ends in .mp4; default short.mp4)")
    gen.add_argument("--resolve", choices=("auto", "sim", "real"), default="auto")
    gen.add_argument("-v", "--verbose", action="store_true",
                     help="show the pipeline's log lines while it runs")
    gen.add_argument("--export", default="", metavar="FORMATS",
                     help="also write the edit beside the video, in these comma-separated "
                          "formats: " + ", ".join(EXPORT_FORMATS))


def _read_request(path):
    import json

    try:
        with open(path, encoding="utf-8") as f:
            body = json.load(f)
    except OSError as e:
        raise _Refused(f"Cannot read {path}: {e.strerror or e}") from None
    except ValueError as e:
        raise _Refused(f"{path} is not valid JSON: {e}") from None
    if not isinstance(body, dict):
        raise _Refused(f"{path} must hold a JSON object with the request's fields")
    return body


def _local_files(body, base):
    """Finds the local files the request names; returns {(kind, index): Path}, kind "video"
    (scene index) or "music" (index None), and the request with placeholders for them."""
    from pathlib import Path

    files, shaped = {}, dict(body)
    scenes = body.get("scenes")
    if isinstance(scenes, list):
        shaped["scenes"] = []
        for i, scene in enumerate(scenes):
            bg = scene.get("background") if isinstance(scene, dict) else None
            if isinstance(bg, dict) and "file" in bg:
                if "background_id" in bg:
                    raise _Refused(f"Scene {i + 1}: give background_id or file, not both")
                if not isinstance(bg["file"], str) or not bg["file"]:
                    raise _Refused(f"Scene {i + 1}: background file must be a file path")
                files[("video", i)] = (base / Path(bg["file"])).resolve()
                bg = {k: v for k, v in bg.items() if k != "file"}
                bg["background_id"] = "file"
                scene = dict(scene, background=bg)
            shaped["scenes"].append(scene)
    if "bg_music_file" in body:
        music = shaped.pop("bg_music_file")
        if body.get("bg_music_id"):
            raise _Refused("Give bg_music_id or bg_music_file, not both")
        if music is not None:
            if not isinstance(music, str) or not music:
                raise _Refused("bg_music_file must be a file path")
            files[("music", None)] = (base / Path(music)).resolve()
    return files, shaped


def _validation_text(error):
    lines = []
    for e in error.errors():
        where = ".".join(str(p) for p in e.get("loc", ()))
        lines.append(f"{where}: {e.get('msg')}" if where else str(e.get("msg")))
    return "Invalid request: " + "; ".join(lines)


def _check_request(body, endpoints, media):
    """The refusals the route would give, before any file is added to the library."""
    import pydantic

    try:
        req = endpoints.BrevanoRequest.model_validate(body)
    except pydantic.ValidationError as e:
        raise _Refused(_validation_text(e)) from None
    if len(req.scenes) > 6:
        raise _Refused("Maximum 6 scenes allowed")
    if req.davinci_template_path:
        try:
            media.get_template(req.davinci_template_path)
        except FileNotFoundError as e:
            raise _Refused(str(e)) from None


def _same_content(a, b):
    import filecmp

    return filecmp.cmp(a, b, shallow=False)


def _library_file(asset_id, media):
    """The file of a library asset in the cache (its stem is the asset id), or None."""
    for path in media.CACHE_DIR.glob(asset_id + ".*"):
        if path.stem == asset_id and path.is_file():
            return path
    return None


def _add_to_library(kind, path, media):
    """The library id for a local file: an asset with the same content is reused, otherwise
    the file is added like an upload."""
    listed = media.list_background_videos() if kind == "video" else media.list_background_music()
    size = path.stat().st_size
    for item in listed:
        existing = _library_file(item["id"], media)
        if existing is not None and existing.stat().st_size == size and _same_content(
                existing, path):
            return item["id"], True
    add = (media.add_background_video_upload if kind == "video"
           else media.add_background_music_upload)
    with open(path, "rb") as f:
        added = add(title=path.stem, file=f, filename=path.name)
    return added["id"], False


class _Progress:
    """One bar per stage on standard error: redrawn in place on a terminal, one line per
    change of state otherwise (logs, CI)."""

    WIDTH = 24

    def __init__(self, stream):
        self.stream = stream
        self.tty = hasattr(stream, "isatty") and stream.isatty()
        self.drawn = False
        self.reported = {}

    def _bar(self, state, seconds, percent):
        if state == "done":
            fill = self.WIDTH
        elif percent is not None:
            fill = int(self.WIDTH * max(0, min(100, percent)) / 100)
        elif state == "running":
            fill = int((seconds or 0) * 4) % (self.WIDTH + 1)
        else:
            fill = 0
        return "#" * fill + "-" * (self.WIDTH - fill)

    def _line(self, stage, render_percent):
        name, state, seconds = stage["name"], stage["state"], stage["seconds"]
        percent = render_percent if name == "render" else None
        shown = f"{seconds:6.1f} s" if seconds is not None else " " * 8
        extra = f" {percent:3d}%" if percent is not None and state == "running" else ""
        return f"  {name:<14} [{self._bar(state, seconds, percent)}] {state:<8}{shown}{extra}"

    def update(self, snapshot, render_percent=None):
        stages = snapshot["stages"]
        if self.tty:
            if self.drawn:
                self.stream.write(f"\x1b[{len(stages)}F")
            for st in stages:
                self.stream.write("\x1b[2K" + self._line(st, render_percent) + "\n")
            self.drawn = True
        else:
            for st in stages:
                key = (st["state"], render_percent // 10 * 10
                       if st["name"] == "render" and render_percent is not None else None)
                if st["state"] != "pending" and self.reported.get(st["name"]) != key:
                    self.reported[st["name"]] = key
                    self.stream.write(self._line(st, render_percent) + "\n")
        self.stream.flush()


def _show_log_tail(log, err, verbose, lines=40):
    """After a failure: the last lines of the pipeline's log (already shown when verbose)."""
    if verbose:
        return
    tail = log.getvalue().splitlines()[-lines:]
    if tail:
        err.write("--- last lines of the log ---\n" + "\n".join(tail) + "\n---\n")


def _file_stamp(path):
    try:
        st = path.stat()
    except OSError:
        return None
    return (st.st_ino, st.st_mtime_ns, st.st_size)


def _run_generation(req, endpoints, progress, bars):
    import time

    from fastapi import HTTPException

    try:
        endpoints.brevano_generate(req)
    except HTTPException as e:
        if e.status_code == 400:
            raise _Refused(str(e.detail)) from None
        raise _StageFailed("media", str(e.detail)) from None
    generating = endpoints.BrevanoStatus.GENERATING
    while endpoints.get_status()["status"] == generating:
        bars.update(progress.snapshot())
        time.sleep(0.1)
    status = endpoints.get_status()
    snapshot = progress.snapshot()
    bars.update(snapshot)
    if status["status"] != endpoints.BrevanoStatus.DONE:
        raise _StageFailed(snapshot["failed_stage"] or "generation", str(status["error"]))


def _render(output, lumora, progress, bars):
    """Renders the current timeline to `output` and waits for the job to end."""
    progress.start_stage("render")
    before = _file_stamp(output)  # taken before the job starts: a quick job may finish at once
    try:
        # The output is named .mp4: ask for H.264 in MP4 whatever format the project had.
        lumora.get_current_project().SetCurrentRenderFormatAndCodec("mp4", "H264")
        lumora.set_render_output(output.stem, str(output.parent))
        job = lumora.start_render_job()
    except RuntimeError as e:
        raise _StageFailed("render", str(e)) from None
    try:
        _wait_for_render(job, output, before, lumora, progress, bars)
    except (KeyboardInterrupt, _StageFailed) as e:
        # An interrupted or cancelled wait stops the job, so that no render goes on unseen
        # (a real Resolve would otherwise finish it after the command has gone).
        if isinstance(e, KeyboardInterrupt) or e.message == "Cancelled":
            _stop_render(lumora)
        raise
    progress.finish_stage("render")
    bars.update(progress.snapshot(), render_percent=100)


def _stop_render(lumora):
    try:
        lumora.get_current_project().StopRendering()
    except Exception as e:
        print(f"vestrel: could not stop the render: {e}", file=sys.stderr)


def _wait_for_render(job, output, before, lumora, progress, bars):
    """Follows the job until it is complete with a new file at `output` (its stamp differs
    from `before`); raises _StageFailed otherwise."""
    import time

    percent = 0
    while True:
        if progress.cancel_requested():
            raise _StageFailed("render", "Cancelled")
        try:
            status = lumora.get_render_job_status(job)
            if status.get("JobStatus") in ("Ready", "Rendering") and not lumora.is_rendering():
                status = lumora.get_render_job_status(job)  # it may just have ended
        except RuntimeError as e:
            raise _StageFailed("render", str(e)) from None
        state = status.get("JobStatus")
        try:
            percent = max(percent, int(float(status.get("CompletionPercentage") or 0)))
        except (TypeError, ValueError):
            pass
        if state == "Complete":
            break
        if state == "Failed":
            raise _StageFailed("render", str(status.get("Error") or "Render failed"))
        if state == "Cancelled":
            raise _StageFailed("render", "Cancelled")
        if state not in ("Ready", "Rendering"):
            raise _StageFailed("render", f"Resolve reports render job {job} as {state!r}")
        if state == "Ready" and not lumora.is_rendering():
            raise _StageFailed("render", f"Resolve did not start render job {job}")
        bars.update(progress.snapshot(), render_percent=percent)
        time.sleep(0.2)
    stamp = _file_stamp(output)
    if stamp is None or stamp == before:
        raise _StageFailed("render", f"Resolve reported render job {job} complete, but it "
                                     f"wrote no file at {output}")


def _export(formats, output, err):
    """Writes the edit in each format beside the video (the XML formats with their
    "<stem>_titles" folder of title pictures)."""
    if not formats:
        return
    from vestrel import studio

    for fmt in formats:
        try:
            path = studio.export_timeline(fmt, str(output.parent), output.stem)
        except (RuntimeError, ValueError, OSError) as e:
            raise _StageFailed("export", f"{fmt}: {e}") from None
        print(f"[vestrel] Exported {fmt}: {path}", file=err, flush=True)


def generate(args):
    import contextlib
    import io
    from pathlib import Path

    err, out = sys.stderr, sys.stdout
    bars = _Progress(err)
    log = err if args.verbose else io.StringIO()
    progress = None
    try:
        request_path = Path(args.request)
        output = Path(args.output).expanduser().resolve()
        if not output.name.endswith(".mp4") or output.name == ".mp4":
            raise _Refused(f"The output must be an .mp4 file: {args.output}")
        exports = [f.strip() for f in args.export.split(",") if f.strip()]
        unknown = [f for f in exports if f not in EXPORT_FORMATS]
        if unknown:
            raise _Refused(f"Unknown export format {unknown[0]!r}: known formats are "
                           + ", ".join(EXPORT_FORMATS))
        body = _read_request(request_path)
        # The command's own defaults: the offline voice and the built-in aligner.
        body.setdefault("tts_engine", "espeak")
        body.setdefault("whisper_model", "builtin")
        files, shaped = _local_files(body, request_path.resolve().parent)

        from vestrel import endpoints, lumora, media, progress

        _check_request(shaped, endpoints, media)
        for path in files.values():
            if not path.is_file():
                raise _Refused(f"File not found: {path}")
        resolve, line = pick_resolve(args.resolve)
        print(line, file=err, flush=True)
        if resolve is None:
            raise _StageFailed("project", "No Resolve available")
        lumora.set_resolve(resolve)
        output.parent.mkdir(parents=True, exist_ok=True)

        with contextlib.redirect_stdout(log), contextlib.redirect_stderr(log):
            # Local files join the media library (same content: the asset already there).
            # That is the first part of the "media" stage, which the route continues.
            progress.begin_run()
            progress.start_stage("media")
            ids, known = {}, {}
            for key, path in files.items():
                bars.update(progress.snapshot())
                if (key[0], path) not in known:
                    try:
                        asset_id, reused = _add_to_library(key[0], path, media)
                    except Exception as e:
                        raise _StageFailed("media", f"{path}: {e}") from None
                    print(f"[vestrel] {'Reusing' if reused else 'Added'} {path} as {asset_id}")
                    known[(key[0], path)] = asset_id
                ids[key] = known[(key[0], path)]
            for (kind, index), asset_id in ids.items():
                if kind == "video":
                    shaped["scenes"][index]["background"]["background_id"] = asset_id
                else:
                    shaped["bg_music_id"] = asset_id
            req = endpoints.BrevanoRequest.model_validate(shaped)
            _run_generation(req, endpoints, progress, bars)
            _render(output, lumora, progress, bars)
        _export(exports, output, err)
    except _Refused as e:
        print(f"vestrel: refused: {e}", file=err)
        return EXIT_REFUSED
    except _StageFailed as e:
        if progress is not None and e.stage in progress.STAGES:
            snap = progress.snapshot()
            if snap["failed_stage"] != e.stage:
                progress.fail_stage(e.stage, e.message)
            bars.update(progress.snapshot())
        _show_log_tail(log, err, args.verbose)
        print(f"vestrel: failed at stage '{e.stage}': {e.message}", file=err)
        return EXIT_FAILED
    except KeyboardInterrupt:
        if progress is not None:
            progress.request_cancel()
        print("vestrel: interrupted", file=err)
        return 130
    except Exception as e:  # a fault of the command itself: say where, with its traceback
        import traceback

        traceback.print_exception(e, file=err)
        _show_log_tail(log, err, args.verbose)
        stage = (progress.snapshot()["stage"] if progress is not None else None) or "generation"
        print(f"vestrel: failed at stage '{stage}': {e}", file=err)
        return EXIT_FAILED
    print(str(output), file=out, flush=True)
    return EXIT_DONE


if __name__ == "__main__":
    sys.exit(main())
