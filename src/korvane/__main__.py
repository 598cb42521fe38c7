"""python -m korvane: capability report and self-benchmark of the native core.

    python -m korvane                 # probe, then bench
    python -m korvane probe           # capability report only
    python -m korvane bench --quick   # shorter timing loops (--level glance)
    python -m korvane --json          # one JSON object on standard output
    python -m korvane bench --module lockless_ops --level full   # longer loops
"""
from __future__ import annotations

import argparse
import importlib
import json
import os
import platform
import sys
import time

from korvane import NATIVE_MODULES, __version__

SHORT = {q.rsplit(".", 1)[1]: q for q in NATIVE_MODULES}

# Effort levels of the timing loops (korvane._benchmarks.harness.LEVELS), shortest
# first; --quick is a synonym of --level glance.
LEVEL_CHOICES = ("glance", "quick", "full")
LEVEL_DEFAULT, LEVEL_QUICK = "quick", "glance"

LEGEND = """\
native ns / python ns: time of one call, best of several timed loops, with the
  native module and with its pure-Python equivalent (korvane._baselines; it takes
  a threading.Lock where the native class takes one). Calls with arguments go
  through the same lambda or partial on both sides, so both columns carry that
  overhead (some tens of ns).
speed-up: python ns / native ns.
floor rows: an empty builtin call with the same number of arguments, the least
  any native call costs; targets such as "<= 1.3x floor" compare with it.
target: the goal set for that call. Timings on a loaded machine, or with
  --quick, are rough; --level full (with --module NAME) gives steadier numbers."""


def _parse(argv):
    ap = argparse.ArgumentParser(
        prog="python -m korvane",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Capability report and self-benchmark of korvane's native core.\n"
                    "With no command, runs probe then bench.",
        epilog="commands:\n"
               "  probe  what this machine and interpreter offer (detect_capabilities)\n"
               "  bench  each native module's hot calls against the pure-Python equivalent\n"
               "         that a Python user would write (korvane._baselines), timed in this\n"
               "         process at fixed inputs\n\n"
               "modules: " + ", ".join(SHORT) + "\n\n"
               "Exit status: 0 on success, 1 if a native module fails to import or a\n"
               "benchmark fails, 2 on a usage error.")
    ap.add_argument("command", nargs="*", metavar="{probe,bench}",
                    help="what to run (default: both)")
    ap.add_argument("--json", action="store_true",
                    help="print one JSON object: the report and one row per benchmarked call")
    ap.add_argument("--level", choices=LEVEL_CHOICES,
                    help="length of the timing loops: glance (a few seconds in all), "
                         f"{LEVEL_DEFAULT} (the default) or full (longer loops and more rounds, "
                         "for steadier numbers; best with --module)")
    ap.add_argument("--quick", action="store_true",
                    help="the same as --level glance: short timing loops and fewer expensive rows")
    ap.add_argument("--module", action="append", metavar="NAME",
                    help="benchmark only this module (e.g. lockless_ops or "
                         "korvane.memory.lockless_ops); repeatable")
    args = ap.parse_args(argv)
    if args.quick and args.level not in (None, LEVEL_QUICK):
        ap.error(f"--quick means --level {LEVEL_QUICK}; it cannot go with --level {args.level}")
    args.level = LEVEL_QUICK if args.quick else (args.level or LEVEL_DEFAULT)
    bad = [c for c in args.command if c not in ("probe", "bench")]
    if bad:
        ap.error(f"unknown command {bad[0]!r} (choose from probe, bench)")
    wanted = []
    for name in args.module or SHORT:
        short = name.rsplit(".", 1)[1] if name in NATIVE_MODULES else name
        if short not in SHORT:
            ap.error(f"unknown module {name!r} (choose from {', '.join(SHORT)})")
        if short not in wanted:
            wanted.append(short)
    args.wanted = wanted
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
    from korvane.native.hw_probe import detect_capabilities
    return dict(detect_capabilities())


def _yes(flag) -> str:
    return "yes" if flag else "no"


def _render_probe(caps: dict) -> str:
    backends = [name for key, name in (("cuda_available", "CUDA"), ("rocm_available", "ROCm"),
                                       ("oneapi_available", "oneAPI")) if caps.get(key)]
    if caps.get("has_gpu"):
        count = caps.get("gpu_count", 0)
        gpu = f"{count} device{'' if count == 1 else 's'}"
        if caps.get("gpu_memory_mb"):
            gpu += f", {caps['gpu_memory_mb']} MiB"
    else:
        gpu = "none usable"
    active = caps.get("active_backend", "cpu")
    if caps.get("backend_version"):
        active += f" {caps['backend_version']}"
    detected = caps.get("detected_at")
    rows = [
        ("CPUs usable", caps.get("physical_cores")),
        ("NUMA nodes", caps.get("numa_nodes")),
        ("GPU", gpu),
        ("GPU backends found", ", ".join(backends) or "none"),
        ("active backend", active),
        ("Python", f"{caps.get('python_version')} ({platform.python_implementation()}), "
                   f"sub-interpreters: {_yes(caps.get('subinterpreter_support'))}"),
        ("platform", caps.get("platform")),
        ("detector", caps.get("detector")),
    ]
    if "error" in caps:
        rows.append(("probe error", caps["error"]))
    rows.append(("detection time", f"{caps.get('detection_time_ms', 0.0):.3f} ms"))
    if isinstance(detected, (int, float)):
        rows.append(("detected at", time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(detected))))
    width = max(len(k) for k, _ in rows)
    return "\n".join(["Capabilities (korvane.native.hw_probe.detect_capabilities)"]
                     + [f"  {k:<{width}}  {v}" for k, v in rows])


class _Progress:
    """One progress line on standard error, rewritten in place on a terminal."""

    def __init__(self, stream):
        self.stream = stream
        self.tty = stream.isatty()

    def __call__(self, msg: str) -> None:
        if self.tty:
            print(f"\r\x1b[K{msg}", end="", file=self.stream, flush=True)
        else:
            print(msg, file=self.stream, flush=True)

    def done(self) -> None:
        if self.tty:
            print("\r\x1b[K", end="", file=self.stream, flush=True)


def _bench(modules, level: str, progress):
    """Runs each module's benchmark; returns (tables, [(module, error)])."""
    from korvane._benchmarks import rows

    tables, errors = [], []
    for i, short in enumerate(modules, 1):
        progress(f"korvane: bench [{i}/{len(modules)}] {short} ...")
        try:
            tables.append((short, rows(short, level=level)))
        except Exception as exc:  # one broken benchmark must not hide the others
            errors.append((short, f"{type(exc).__name__}: {exc}"))
    return tables, errors


def main(argv=None) -> int:
    args = _parse(argv)
    commands = set(args.command or ["probe", "bench"])

    failures = _import_all(NATIVE_MODULES)
    if failures:
        for name, exc in failures:
            print(f"korvane: native module {name} failed to import: {type(exc).__name__}: {exc}",
                  file=sys.stderr)
        print("korvane: build and install the package first (scripts/run, or pip install .)",
              file=sys.stderr)
        return 1

    progress = _Progress(sys.stderr)
    level = args.level
    started = time.perf_counter()
    out: dict = {"korvane": __version__, "native_modules": list(NATIVE_MODULES)}
    if "probe" in commands:
        progress("korvane: probing capabilities ...")
        out["report"] = _probe()
    tables, errors = [], []
    if "bench" in commands:
        tables, errors = _bench(args.wanted, level, progress)
        out["level"] = level
        out["rows"] = [dict(module=short, **r.as_dict()) for short, t in tables for r in t.rows]
        if errors:
            out["errors"] = [{"module": m, "error": e} for m, e in errors]
    progress.done()
    out["elapsed_s"] = round(time.perf_counter() - started, 3)

    for short, err in errors:
        print(f"korvane: benchmark of {SHORT[short]} failed: {err}", file=sys.stderr)
    status = 1 if errors else 0
    if args.json:
        print(json.dumps(out, indent=2))
        return status
    print(f"korvane {__version__}: {len(NATIVE_MODULES)} of {len(NATIVE_MODULES)} native modules loaded")
    if "report" in out:
        print()
        print(_render_probe(out["report"]))
    for _, t in tables:
        print()
        print(t.render())
    if tables:
        print()
        print(LEGEND)
        print(f"({len(out['rows'])} calls timed in {out['elapsed_s']:.1f} s"
              f", level {level})")
    return status


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # Output piped into a reader that stopped early (| head): end quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
