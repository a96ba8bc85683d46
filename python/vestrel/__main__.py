"""Host launcher: python -m vestrel serve [--host H] [--port P] [--resolve auto|sim|real]."""

import argparse
import sys


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


def create_app(resolve=None):
    from fastapi import FastAPI
    from vestrel import endpoints, lumora, studio

    app = FastAPI(title="vestrel")
    app.include_router(endpoints.router)
    app.include_router(studio.router)
    if resolve is not None and hasattr(lumora, "set_resolve"):
        lumora.set_resolve(resolve)
    return app


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m vestrel")
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("serve", help="serve the HTTP interface")
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000)
    serve.add_argument("--resolve", choices=("auto", "sim", "real"), default="auto")
    args = parser.parse_args(argv)

    resolve, line = pick_resolve(args.resolve)
    app = create_app(resolve)
    print(line, flush=True)

    import uvicorn
    uvicorn.run(app, host=args.host, port=args.port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
