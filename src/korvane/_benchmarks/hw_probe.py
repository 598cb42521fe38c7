"""Capability probe: native module against its pure-Python equivalent.

Warm rows time repeated calls in this process; cold rows time the first
``detect_capabilities()`` call in fresh interpreters, best of several (the
probe module is imported first, so the registry import, with ``enum`` in a
bare interpreter, and the detection are inside the measurement).
"""
from __future__ import annotations

import os
import subprocess
import sys
import tempfile

import korvane
import korvane._baselines.hw_probe as baseline
import korvane.native.hw_probe as native
from korvane._benchmarks.harness import Row, Table, pick_level

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
    # The children import the same korvane as this process.
    root = os.path.dirname(os.path.dirname(os.path.abspath(korvane.__file__)))
    env["PYTHONPATH"] = root + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    samples = []
    for _ in range(runs + 1):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env=env, check=True)
        samples.append(float(out.stdout.strip()))
    return min(samples[1:])


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    lv = pick_level(quick, level)
    t = Table.at("hw_probe: capability probe", lv)
    if lv == "quick":
        t.min_time = 0.02
    runs = {"full": 9, "quick": 3, "glance": 1}[lv]
    # A glance starts as few interpreters as it can: the bare cold row only.
    colds = (("bare interpreter", ""), ("logging imported", _STDLIB_WARM))[: 1 if lv == "glance" else 2]
    try:
        import psutil
    except ImportError:
        psutil = None
    nat, base = "korvane.native.hw_probe", "korvane._baselines.hw_probe"
    cold_psutil = None
    with tempfile.TemporaryDirectory(prefix="kv-pyc-") as cache:
        for label, pre in colds:
            t.rows.append(Row(f"detect_capabilities() cold, {label}",
                              _cold_ns(_COLD.format(pre=pre, mod=nat), runs, cache),
                              _cold_ns(_COLD.format(pre=pre, mod=base), runs, cache), "< 5 ms"))
        if psutil is not None and lv != "glance":
            cold_psutil = _cold_ns(_COLD_PSUTIL, runs, cache)
    t.add("detect_capabilities() warm", native.detect_capabilities,
          baseline.detect_capabilities, target="< 5 ms (1-3 ms)")
    t.add("detect_physical_cores()", native.detect_physical_cores, baseline.detect_physical_cores)
    t.add("detect_numa_nodes()", native.detect_numa_nodes, baseline.detect_numa_nodes)
    t.add("detect_gpu_backends()", native.detect_gpu_backends, baseline.detect_gpu_backends)
    t.add("detect_python_version()", native.detect_python_version, baseline.detect_python_version)
    if cold_psutil is not None:
        t.rows.append(Row("reference: psutil.cpu_count() cold", cold_psutil))
    if psutil is not None:
        t.add("reference: psutil.cpu_count() warm", psutil.cpu_count)
    if hasattr(os, "sched_getaffinity"):
        t.add("reference: os.sched_getaffinity(0)", lambda: os.sched_getaffinity(0))
    return t
