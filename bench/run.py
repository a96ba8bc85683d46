"""Runs every bench/bench_*.py and prints its report.

Each benchmark module defines run() -> list of (name, value_text) rows, measuring the system
against a baseline in the same run and asserting identical results (never time limits).
Each benchmark runs in a fresh interpreter, so one benchmark's heap and caches do not
colour another's figures; each reports its own peak memory.
"""

import importlib.util
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def timed(fn, *args, repeat=5, **kwargs):
    """Best wall time of `repeat` calls, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - t0)
    return best, result


def run_one(path):
    sys.path.insert(0, str(HERE))
    sys.path.insert(0, str(HERE.parent / "tests" / "fakes"))
    module_spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(mod)
    print(f"== {path.stem}", flush=True)
    for name, value in mod.run():
        print(f"  {name:<60} {value}", flush=True)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"  {'peak memory':<60} {peak:.1f} MiB", flush=True)
    return 0


def main(argv):
    if len(argv) == 3 and argv[1] == "--one":
        return run_one(Path(argv[2]))
    names = argv[1:]
    files = sorted(HERE.glob("bench_*.py"))
    if names:
        files = [f for f in files if any(n in f.stem for n in names)]
    if not files:
        print("no benchmarks yet")
        return 0
    status = 0
    for f in files:
        done = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--one", str(f)])
        status = status or done.returncode
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
