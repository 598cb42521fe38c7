"""python -m korvane: capability report and self-benchmark of the native core.

    python -m korvane                 # probe, then bench
    python -m korvane probe           # capability report only
    python -m korvane bench --quick   # shorter timing loops
    python -m korvane --json          # one JSON object on standard output
    python -m korvane bench --module lockless_ops
"""
from __future__ import annotations

import argparse
import importlib
import json
import platform
import sys
import time

from korvane import NATIVE_MODULES


def _parse(argv):
    ap = argparse.ArgumentParser(
        prog="python -m korvane",
        description="Capability report and self-benchmark of korvane's native core. "
                    "With no command, runs both.",
        epilog="bench times each native module's hot calls against the pure-Python equivalent that a "
               "Python user would write (korvane._baselines), in this process, at fixed inputs.")
    ap.add_argument("command", nargs="*", metavar="{probe,bench}",
                    help="probe: what this machine and interpreter offer; bench: native vs pure Python timings")
    ap.add_argument("--json", action="store_true", help="print one JSON object (report + one row per call)")
    ap.add_argument("--quick", action="store_true", help="short timing loops (whole run well under 5 s)")
    ap.add_argument("--module", action="append", metavar="NAME",
                    help="benchmark only this module (short name, e.g. lockless_ops); repeatable")
    args = ap.parse_args(argv)
    bad = [c for c in args.command if c not in ("probe", "bench")]
    if bad:
        ap.error(f"unknown command {bad[0]!r} (choose from probe, bench)")
    return args


def _import_all(names):
    """Imports every native module; returns [(qualified name, error)] for those that fail."""
    failures = []
    for name in names:
        try:
            importlib.import_module(name)
        except Exception as exc:  # an import error, or anything the module body raised
            failures.append((name, exc))
    return failures


def _probe() -> dict:
    try:
        from korvane.native.hw_probe import detect_capabilities
    except ImportError:
        from korvane._baselines.hw_probe import detect_capabilities  # type: ignore[no-redef]
    return dict(detect_capabilities())


def _render_probe(caps: dict) -> str:
    gpu = "none"
    if caps.get("has_gpu"):
        gpu = f"{caps.get('gpu_count', 0)} x {caps.get('active_backend')} {caps.get('backend_version', '')}".strip()
        if caps.get("gpu_memory_mb"):
            gpu += f", {caps['gpu_memory_mb']} MiB"
    rows = [
        ("CPUs", caps.get("physical_cores")),
        ("NUMA nodes", caps.get("numa_nodes")),
        ("GPU", gpu),
        ("GPU backend", caps.get("active_backend")),
        ("Python", f"{caps.get('python_version')} ({platform.python_implementation()})"),
        ("sub-interpreters", caps.get("subinterpreter_support")),
        ("platform", caps.get("platform")),
        ("detector", caps.get("detector")),
        ("detection time", f"{caps.get('detection_time_ms', 0.0):.3f} ms"),
    ]
    if "error" in caps:
        rows.append(("probe error", caps["error"]))
    width = max(len(k) for k, _ in rows)
    return "\n".join(["Capabilities"] + [f"  {k:<{width}}  {v}" for k, v in rows])


def _bench(modules, quick: bool, progress) -> list:
    from korvane._bench import Table
    from korvane._selfbench import BENCHES

    tables = []
    for short in modules:
        _, fn = BENCHES[short]
        progress(f"benchmarking {short} ...")
        t = Table(short, min_time=0.004 if quick else 0.03)
        fn(t)
        tables.append(t)
    return tables


def main(argv=None) -> int:
    args = _parse(argv)
    commands = set(args.command or ["probe", "bench"])
    from korvane._selfbench import BENCHES

    if args.module:
        unknown = [m for m in args.module if m not in BENCHES]
        if unknown:
            print(f"unknown module {', '.join(unknown)}; choose from {', '.join(BENCHES)}", file=sys.stderr)
            return 2
    wanted = list(args.module or BENCHES)

    failures = _import_all(NATIVE_MODULES)
    if failures:
        for name, exc in failures:
            print(f"korvane: native module {name} failed to import: {type(exc).__name__}: {exc}", file=sys.stderr)
        print("korvane: build and install the package first (scripts/run, or pip install .)", file=sys.stderr)
        return 1

    progress_on = sys.stderr.isatty() or not args.json

    def progress(msg):
        if progress_on:
            print(f"\r\x1b[K{msg}" if sys.stderr.isatty() else msg, end="" if sys.stderr.isatty() else "\n",
                  file=sys.stderr, flush=True)

    out: dict = {}
    started = time.perf_counter()
    if "probe" in commands:
        progress("probing capabilities ...")
        out["report"] = _probe()
    tables = []
    if "bench" in commands:
        tables = _bench(wanted, args.quick, progress)
        out["rows"] = [dict(module=t.title, **r.as_dict()) for t in tables for r in t.rows]
    if sys.stderr.isatty():
        print("\r\x1b[K", end="", file=sys.stderr, flush=True)
    out["elapsed_s"] = round(time.perf_counter() - started, 3)

    if args.json:
        print(json.dumps(out, indent=2))
        return 0
    if "report" in out:
        print(_render_probe(out["report"]))
    for t in tables:
        print()
        print(t.render())
    if tables:
        print()
        print("ns per call: best of several timed loops; python ns: the pure-Python equivalent with a "
              "threading.Lock where the native class takes one; speed-up = python / native.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
