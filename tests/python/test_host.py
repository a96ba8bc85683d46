"""The host launcher: app creation, router mounting and the choice of Resolve."""

import vestrel
from vestrel import __main__ as host


def test_package_and_all_modules_load():
    import importlib

    for name in ("endpoints", "brevano", "tts", "lexor", "captions", "montra", "lumora", "media"):
        mod = importlib.import_module(f"vestrel.{name}")
        assert mod.__name__ == f"vestrel.{name}"
        assert mod.__file__.endswith(".so")
    assert vestrel.__version__


def test_app_mounts_router_without_prefix():
    from vestrel import endpoints

    from fastapi.testclient import TestClient

    app = host.create_app(None)
    paths = set(TestClient(app).get("/openapi.json").json()["paths"])
    assert {route.path for route in endpoints.router.routes} <= paths


def test_real_mode_without_resolve_exits(monkeypatch):
    monkeypatch.setattr(host, "_real_resolve", lambda: None)
    try:
        host.pick_resolve("real")
    except SystemExit as e:
        assert "No DaVinci Resolve" in str(e)
    else:
        raise AssertionError("expected SystemExit")


def test_auto_prefers_real_resolve(monkeypatch):
    sentinel = object()
    monkeypatch.setattr(host, "_real_resolve", lambda: sentinel)
    resolve, line = host.pick_resolve("auto")
    assert resolve is sentinel and "real" in line


MODULES = ("endpoints", "brevano", "tts", "lexor", "captions", "montra", "lumora", "media")


def _module_functions(name):
    import importlib
    import inspect

    mod = importlib.import_module(f"vestrel.{name}")
    for attr, value in vars(mod).items():
        if (callable(value) and not inspect.isclass(value)
                and getattr(value, "__module__", None) == mod.__name__):
            yield attr, value


@__import__("pytest").mark.parametrize("module", MODULES)
def test_module_functions_carry_plain_docstrings(module):
    """A function's __doc__ is its docstring alone, with no generated signature line."""
    for attr, fn in _module_functions(module):
        doc = fn.__doc__
        assert doc is None or not doc.startswith(f"{attr}("), (attr, doc)
        assert fn.__name__ == attr
