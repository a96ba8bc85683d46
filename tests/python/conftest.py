"""Shared test set-up.

What the extension modules read at load (per-user folders, service base URLs) is fixed here,
before the first import of vestrel: extension modules cannot be reloaded. The fake outside
packages (edge_tts, stable_whisper) come first on sys.path.
"""

import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent.parent
FAKES = TESTS / "fakes"
sys.path.insert(0, str(FAKES))

_SESSION_ROOT = Path(tempfile.mkdtemp(prefix="vestrel-tests-"))
os.environ["XDG_DATA_HOME"] = str(_SESSION_ROOT / "data")
os.environ["XDG_CACHE_HOME"] = str(_SESSION_ROOT / "cache")
os.environ.setdefault("PEXELS_API_KEY", "")


def pytest_sessionfinish(session, exitstatus):
    # The per-user folders of this session (media library, caches, renders) go with it.
    shutil.rmtree(_SESSION_ROOT, ignore_errors=True)


@pytest.fixture(scope="session")
def session_root():
    return _SESSION_ROOT


def run_python(code, env=None, timeout=60):
    """Runs code in a fresh interpreter (behaviour at load), returning the completed process."""
    import subprocess

    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join([str(FAKES), full_env.get("PYTHONPATH", "")])
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True,
                          text=True, timeout=timeout)
