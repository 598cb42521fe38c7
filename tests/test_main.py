"""python -m korvane: the capability report, the self-benchmark and their interfaces."""
import json
import os
import subprocess
import sys

import pytest

import korvane.__main__ as cli
import korvane._benchmarks
from korvane import NATIVE_MODULES
from korvane._benchmarks.harness import LEVELS, Row, Table

REPORT_KEYS = [
    "physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available",
    "rocm_available", "oneapi_available", "active_backend", "backend_version", "python_version",
    "subinterpreter_support", "platform", "detected_at", "detector", "detection_time_ms",
]
ROW_KEYS = ["module", "call", "native_ns", "python_ns", "speedup", "target"]
SHORT_NAMES = [q.rsplit(".", 1)[1] for q in NATIVE_MODULES]


def run(*args, code=None, timeout=240):
    """python -m korvane ARGS in a fresh interpreter (or ``code`` as a -c wrapper)."""
    cmd = [sys.executable, "-c", code, *args] if code else [sys.executable, "-m", "korvane", *args]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=dict(os.environ))


@pytest.mark.subprocess
@pytest.mark.timeout(300)
def test_quick_json_run_reports_and_times_every_module():
    proc = run("--quick", "--json")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert list(out["report"]) == REPORT_KEYS
    assert out["report"]["detector"] == "native"
    assert out["native_modules"] == list(NATIVE_MODULES)
    assert "errors" not in out
    rows = out["rows"]
    assert {r["module"] for r in rows} == set(SHORT_NAMES)
    for r in rows:
        assert list(r) == ROW_KEYS
        assert r["native_ns"] > 0
        if r["python_ns"] is None:
            assert r["speedup"] is None
        else:
            assert r["speedup"] == pytest.approx(r["python_ns"] / r["native_ns"], rel=0.02)
    # one row per timed call: no call is listed twice within a module
    assert len({(r["module"], r["call"]) for r in rows}) == len(rows)
    assert any(r["target"] for r in rows)
    # progress went to standard error, one line per module
    assert f"[{len(SHORT_NAMES)}/{len(SHORT_NAMES)}]" in proc.stderr


@pytest.mark.subprocess
@pytest.mark.timeout(120)
def test_probe_alone():
    proc = run("probe", "--json")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert list(out["report"]) == REPORT_KEYS
    assert "rows" not in out

    text = run("probe")
    assert text.returncode == 0, text.stderr
    assert f"{len(NATIVE_MODULES)} of {len(NATIVE_MODULES)} native modules loaded" in text.stdout
    cpus = next(line for line in text.stdout.splitlines() if "CPUs usable" in line)
    assert cpus.split()[-1] == str(out["report"]["physical_cores"])
    assert "native ns" not in text.stdout


@pytest.fixture
def fake_benches(monkeypatch):
    """Replaces the benchmarks with instant fakes: two rows per module, one without python."""
    calls = []

    def rows(name, quick=False, *, level=None):
        calls.append((name, level))
        t = Table(f"fake {name}")
        t.rows.append(Row(f"{name}.f()", 50.0, 200.0, ">= 3x"))
        t.rows.append(Row(f"floor for {name}", 25.0))
        return t

    monkeypatch.setattr(korvane._benchmarks, "rows", rows)
    return calls


@pytest.mark.parametrize("argv, expect", [
    (["bench", "--module", "counter_hub"], ["counter_hub"]),
    (["bench", "--module", "korvane.gpu.device_memory", "--module", "lockless_ops",
      "--module", "device_memory"], ["device_memory", "lockless_ops"]),
    (["bench"], SHORT_NAMES),
])
def test_module_filter_and_rows(fake_benches, capsys, argv, expect):
    assert cli.main(argv + ["--json"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert "report" not in out
    assert [name for name, _ in fake_benches] == expect
    assert [(r["module"], r["call"]) for r in out["rows"]] == [
        (m, c) for m in expect for c in (f"{m}.f()", f"floor for {m}")]
    assert out["rows"][0]["speedup"] == 4.0 and out["rows"][1]["speedup"] is None


@pytest.mark.parametrize("flags, level", [
    ([], "quick"),
    (["--quick"], "glance"),
    (["--level", "glance"], "glance"),
    (["--level", "quick"], "quick"),
    (["--level", "full"], "full"),
    (["--quick", "--level", "glance"], "glance"),   # the synonym may be spelt twice
])
def test_level_reaches_the_benchmarks_and_the_output(fake_benches, capsys, flags, level):
    assert cli.main(["bench", "--module", "hw_probe", "--json"] + flags) == 0
    assert fake_benches == [("hw_probe", level)]
    assert json.loads(capsys.readouterr().out)["level"] == level

    fake_benches.clear()
    assert cli.main(["bench", "--module", "hw_probe"] + flags) == 0
    assert fake_benches == [("hw_probe", level)]
    text = capsys.readouterr().out
    assert "fake hw_probe" in text and "hw_probe.f()" in text and "speed-up" in text
    assert text.rstrip().endswith(f", level {level})")


def test_level_choices_are_the_harness_levels():
    assert sorted(cli.LEVEL_CHOICES) == sorted(LEVELS)
    assert {cli.LEVEL_DEFAULT, cli.LEVEL_QUICK} <= set(LEVELS)


@pytest.mark.subprocess
@pytest.mark.timeout(120)
@pytest.mark.parametrize("level", ["glance", "full"])
def test_real_benchmark_at_a_level(level):
    proc = run("bench", "--module", "counter_hub", "--level", level, "--json")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["level"] == level and "errors" not in out
    assert {r["module"] for r in out["rows"]} == {"counter_hub"}
    assert all(r["native_ns"] > 0 for r in out["rows"])


@pytest.mark.parametrize("argv, message", [
    (["bench", "--module", "nope"], "unknown module 'nope'"),
    (["probe", "frobnicate"], "unknown command 'frobnicate'"),
    (["bench", "--level", "slow"], "invalid choice: 'slow'"),
    (["bench", "--quick", "--level", "full"], "--quick means --level glance"),
    (["--level", "quick", "--quick"], "cannot go with --level quick"),
])
def test_usage_errors(capsys, argv, message):
    with pytest.raises(SystemExit) as exc:
        cli.main(argv)
    assert exc.value.code == 2
    assert message in capsys.readouterr().err


def test_failing_benchmark_is_named_and_the_others_still_run(fake_benches, monkeypatch, capsys):
    fake = korvane._benchmarks.rows

    def rows(name, quick=False, *, level=None):
        if name == "block_index":
            raise RuntimeError("tree on fire")
        return fake(name, quick, level=level)

    monkeypatch.setattr(korvane._benchmarks, "rows", rows)
    assert cli.main(["bench", "--json"]) == 1
    captured = capsys.readouterr()
    out = json.loads(captured.out)
    assert out["errors"] == [{"module": "block_index", "error": "RuntimeError: tree on fire"}]
    assert {r["module"] for r in out["rows"]} == set(SHORT_NAMES) - {"block_index"}
    assert "korvane.memory.block_index failed: RuntimeError: tree on fire" in captured.err


# A wrapper that breaks one native module's import, then runs the main job.
_BROKEN = """
import importlib.abc, runpy, sys
name, how = sys.argv[1], sys.argv[2]
if how == "missing":
    sys.modules[name] = None          # import of name halted: ImportError
else:
    class Boom(importlib.abc.MetaPathFinder):
        def find_spec(self, fullname, path, target=None):
            if fullname == name:
                raise RuntimeError("module body exploded")
    sys.meta_path.insert(0, Boom())
sys.argv = ["korvane"] + sys.argv[3:]
runpy.run_module("korvane", run_name="__main__", alter_sys=True)
"""


@pytest.mark.subprocess
@pytest.mark.timeout(120)
@pytest.mark.parametrize("name, how, error", [
    ("korvane.gpu.device_memory", "missing", "halted; None in sys.modules"),
    ("korvane.memory.lockless_ops", "missing", "halted; None in sys.modules"),
    ("korvane.monitoring.counter_hub", "raises", "RuntimeError: module body exploded"),
])
def test_module_that_cannot_be_imported_is_named(name, how, error):
    proc = run(name, how, "--quick", "--json", code=_BROKEN)
    assert proc.returncode == 1
    assert proc.stdout == ""
    line = next(ln for ln in proc.stderr.splitlines() if "failed to import" in ln)
    assert name in line and error in line
    assert "build and install" in proc.stderr
    # only the broken module is reported
    others = [m for m in NATIVE_MODULES if m != name]
    assert not any(f"native module {m} " in proc.stderr for m in others)


@pytest.mark.subprocess
@pytest.mark.timeout(60)
def test_help():
    proc = run("--help")
    assert proc.returncode == 0
    for word in ("probe", "bench", "--json", "--quick", "--level", "glance", "full", "--module",
                 *SHORT_NAMES):
        assert word in proc.stdout


@pytest.mark.parametrize("caps, expect", [
    # the nvidia-smi fallback: devices seen, no backend usable
    (dict(has_gpu=True, gpu_count=2, gpu_memory_mb=0, active_backend="cpu"), ["2 devices", "cpu"]),
    (dict(has_gpu=True, gpu_count=1, gpu_memory_mb=8181, cuda_available=True,
          active_backend="cuda", backend_version="12.2"), ["1 device, 8181 MiB", "CUDA", "cuda 12.2"]),
    # the probe's fallback answer carries its error
    (dict(detector="native_fallback", error="probe broke", python_version="3.10"),
     ["native_fallback", "probe broke"]),
])
def test_report_rendering(caps, expect):
    text = cli._render_probe(caps)
    for piece in expect:
        assert piece in text
