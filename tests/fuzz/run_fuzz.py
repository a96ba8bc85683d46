"""A bounded schemathesis run against the served app (`python -m vestrel serve`) on loopback.

The server runs with the test fakes (edge_tts, stable_whisper), the Resolve simulator, a
Pexels stand-in on a loopback port and ElevenLabs pointed at that same port, in a fresh data
and cache folder. When run as root, the server runs as `nobody` inside that folder, so that
generated output names cannot write anywhere that matters. Every request and answer is
recorded (HAR) and the 500 answers are counted by cause; an unhandled 500 (a plain
"Internal Server Error" body) other than the failure of a video upload of a file that is
not a video fails the run.

    python tests/fuzz/run_fuzz.py [--max-examples N] [--time-limit SECONDS]
"""

import argparse
import collections
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx

HERE = Path(__file__).resolve().parent
FAKES = HERE.parent / "fakes"
sys.path.insert(0, str(FAKES))

from loopback import LoopbackServer  # noqa: E402
from pexels_fake import PexelsFake  # noqa: E402

# The one unhandled server error the routes keep on purpose: a video upload whose library
# call fails (a file that is not a video) is left to the framework.
ALLOWED_UNHANDLED = {("POST", "/media/background-videos/upload")}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(root, services_url):
    port = free_port()
    env = dict(os.environ)
    env.update({
        "XDG_DATA_HOME": str(root / "data"), "XDG_CACHE_HOME": str(root / "cache"),
        "HOME": str(root), "TMPDIR": str(root / "tmp"),
        "PYTHONPATH": os.pathsep.join([str(FAKES), env.get("PYTHONPATH", "")]),
        "VESTREL_PEXELS_API_URL": services_url, "VESTREL_PEXELS_WEB_URL": services_url,
        "VESTREL_ELEVENLABS_API_URL": services_url, "PEXELS_API_KEY": "fuzz-key",
    })
    env.pop("VESTREL_TOKEN", None)
    for sub in ("data", "cache", "tmp"):
        (root / sub).mkdir(parents=True, exist_ok=True)
    cmd = [sys.executable, "-m", "vestrel", "serve", "--host", "127.0.0.1", "--port", str(port),
           "--resolve", "sim"]
    if os.geteuid() == 0 and shutil.which("setpriv"):
        subprocess.run(["chown", "-R", "nobody:nogroup", str(root)], check=True)
        cmd = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *cmd]
    log = open(root / "server.log", "w")
    proc = subprocess.Popen(cmd, env=env, cwd=root, stdout=log, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 60
    while True:
        try:
            if httpx.get(base + "/brevano/status").status_code == 200:
                return proc, base
        except httpx.TransportError:
            pass
        if proc.poll() is not None or time.monotonic() > deadline:
            raise SystemExit("server did not start; see " + str(root / "server.log"))
        time.sleep(0.2)


def template_of(path, templates):
    parts = path.strip("/").split("/")
    for t in templates:
        tp = t.strip("/").split("/")
        if len(tp) == len(parts) and all(a == b or a.startswith("{") for a, b in zip(tp, parts)):
            return t
    return path


def summarise(har_path, templates):
    entries = json.loads(Path(har_path).read_text())["log"]["entries"]
    statuses = collections.Counter()
    causes = collections.Counter()
    unhandled = collections.Counter()
    for e in entries:
        method = e["request"]["method"]
        path = template_of(httpx.URL(e["request"]["url"]).path, templates)
        status = e["response"]["status"]
        statuses[status] += 1
        if status != 500:
            continue
        text = e["response"].get("content", {}).get("text") or ""
        try:
            cause = json.loads(text)["detail"]
        except (ValueError, KeyError, TypeError):
            cause = "unhandled: " + text[:60]
            unhandled[(method, path)] += 1
        causes[(method, path, str(cause)[:90])] += 1
    return len(entries), statuses, causes, unhandled


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-examples", type=int, default=60)
    parser.add_argument("--time-limit", type=int, default=900)
    parser.add_argument("--seed", type=int, default=17)
    opts = parser.parse_args(argv)

    root = Path(tempfile.mkdtemp(prefix="vestrel-fuzz-"))
    os.chmod(root, 0o755)
    report = Path(tempfile.mkdtemp(prefix="vestrel-fuzz-report-"))
    with LoopbackServer() as services:
        PexelsFake(services).reset()
        proc, base = start_server(root, services.url)
        try:
            templates = list(httpx.get(base + "/openapi.json").json()["paths"])
            cmd = [str(Path(sys.executable).with_name("schemathesis")), "run",
                   f"{base}/openapi.json", "--checks", "not_a_server_error",
                   "--max-examples", str(opts.max_examples), "--seed", str(opts.seed),
                   "--request-timeout", "30", "--workers", "1",
                   "--report", "har", "--report-har-path", str(report / "run.har"),
                   "--no-color"]
            started = time.monotonic()
            try:
                # In the report folder: schemathesis keeps its own state in the working folder.
                run = subprocess.run(cmd, capture_output=True, text=True, cwd=report,
                                     timeout=opts.time_limit)
                tail = run.stdout[-1500:]
            except subprocess.TimeoutExpired as e:
                tail = f"(stopped after {opts.time_limit} s)\n" + str(e.stdout or "")[-800:]
            spent = time.monotonic() - started
        finally:
            proc.terminate()
            proc.wait(15)
    print(tail)
    if not (report / "run.har").exists():
        print("no HAR report written")
        return 1
    total, statuses, causes, unhandled = summarise(report / "run.har", templates)
    print(f"requests sent: {total} in {spent:.0f} s")
    print("answers by status: " + ", ".join(f"{s}: {n}" for s, n in sorted(statuses.items())))
    print("500 answers by cause:")
    for (method, path, cause), n in sorted(causes.items(), key=lambda kv: -kv[1]):
        print(f"  {n:6d}  {method} {path}: {cause}")
    bad = {k: n for k, n in unhandled.items() if k not in ALLOWED_UNHANDLED}
    if bad:
        print("unhandled 500s outside the video upload: "
              + ", ".join(f"{m} {p} ({n})" for (m, p), n in bad.items()))
        return 1
    shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
