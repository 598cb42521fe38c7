"""Capability probe: native module against its pure-Python equivalent.

Warm rows time repeated calls in this process; cold rows time the first
``detect_capabilities()`` call in fresh interpreters, best of several (the
probe module is imported first, so the registry import, with ``enum`` in a
bare interpreter, and the detection are inside the measurement).
"""
from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _harness import Row, Table  # noqa: E402

import korvane.native.hw_probe as native  # noqa: E402
import korvane._baselines.hw_probe as baseline  # noqa: E402

_COLD = (
    "import time\n{pre}import {mod} as p\n"
    "t = time.perf_counter_ns(); p.detect_capabilities(); "
    "print(time.perf_counter_ns() - t)\n"
)
_COLD_PSUTIL = (
    "import time, psutil\n"
    "t = time.perf_counter_ns(); psutil.cpu_count(); print(time.perf_counter_ns() - t)\n"
)
# What a process has typically imported before it asks (any module that logs).
_STDLIB_WARM = "import logging, subprocess\n"


def _cold_ns(code: str, runs: int, cache_dir: str) -> float:
    """Best first-call time over fresh interpreters, with compiled bytecode
    available as in an installed package (one warm-up run writes it)."""
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    env["PYTHONPYCACHEPREFIX"] = cache_dir
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    env["PYTHONPATH"] = src + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    samples = []
    for _ in range(runs + 1):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env=env, check=True)
        samples.append(float(out.stdout.strip()))
    return min(samples[1:])


def rows(quick: bool = False) -> Table:
    t = Table("hw_probe: capability probe", min_time=0.02 if quick else 0.05)
    runs = 3 if quick else 9
    try:
        import psutil
    except ImportError:
        psutil = None
    nat, base = "korvane.native.hw_probe", "korvane._baselines.hw_probe"
    with tempfile.TemporaryDirectory(prefix="kv-pyc-") as cache:
        for label, pre in (("bare interpreter", ""), ("logging imported", _STDLIB_WARM)):
            t.rows.append(Row(f"detect_capabilities() cold, {label}",
                              _cold_ns(_COLD.format(pre=pre, mod=nat), runs, cache),
                              _cold_ns(_COLD.format(pre=pre, mod=base), runs, cache), "< 5 ms"))
        cold_psutil = _cold_ns(_COLD_PSUTIL, runs, cache) if psutil is not None else None
    t.add("detect_capabilities() warm", native.detect_capabilities,
          baseline.detect_capabilities, target="< 5 ms (1-3 ms)")
    t.add("detect_physical_cores()", native.detect_physical_cores, baseline.detect_physical_cores)
    t.add("detect_numa_nodes()", native.detect_numa_nodes, baseline.detect_numa_nodes)
    t.add("detect_gpu_backends()", native.detect_gpu_backends, baseline.detect_gpu_backends)
    t.add("detect_python_version()", native.detect_python_version, baseline.detect_python_version)
    if psutil is not None:
        t.rows.append(Row("reference: psutil.cpu_count() cold", cold_psutil))
        t.add("reference: psutil.cpu_count() warm", psutil.cpu_count)
    if hasattr(os, "sched_getaffinity"):
        t.add("reference: os.sched_getaffinity(0)", lambda: os.sched_getaffinity(0))
    return t


if __name__ == "__main__":
    print(rows(quick="--quick" in sys.argv).render())
