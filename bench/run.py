"""Runs every bench/bench_*.py and prints its report.

Each benchmark module defines run() -> list of (name, value_text) rows, measuring the system
against a baseline in the same run and asserting identical results (never time limits).
"""

import importlib.util
import resource
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "fakes"))


def timed(fn, *args, repeat=5, **kwargs):
    """Best wall time of `repeat` calls, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - t0)
    return best, result


def main(argv):
    names = argv[1:]
    files = sorted(HERE.glob("bench_*.py"))
    if names:
        files = [f for f in files if any(n in f.stem for n in names)]
    if not files:
        print("no benchmarks yet")
        return 0
    for f in files:
        module_spec = importlib.util.spec_from_file_location(f.stem, f)
        mod = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(mod)
        print(f"== {f.stem}")
        for name, value in mod.run():
            print(f"  {name:<60} {value}")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak memory: {peak:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
