"""A failed allocation must leave everything working.

tests/alloc_sweep.py fails the k-th allocation of a call, for every k until the
call gets through, each time in a forked child that has never made the call
(see its docstring). Here it runs over the first call of every public callable
and over every case of the leak sweep's table, one worker process per module
and table, two at a time.
"""
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import leakcheck

_testcapi = pytest.importorskip("_testcapi")

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(HERE, "alloc_sweep.py")
SANITIZED = os.environ.get("KORVANE_SANITIZED") == "1"
JOBS = int(os.environ.get("KORVANE_ALLOC_JOBS", "2"))

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork"),
    pytest.mark.skipif(not hasattr(_testcapi, "set_nomemory"), reason="_testcapi has no set_nomemory"),
    # Under the sanitizers every fork copies the shadow memory's page tables:
    # too slow for the whole sweep, which KORVANE_ALLOC_SWEEP=1 still asks for.
    pytest.mark.skipif(SANITIZED and os.environ.get("KORVANE_ALLOC_SWEEP") != "1",
                       reason="sanitized build (set KORVANE_ALLOC_SWEEP=1 to sweep anyway)"),
]

import alloc_sweep  # noqa: E402  (needs _testcapi)

MODULES = list(alloc_sweep.MODULES)


def _interpreter_crashes():
    """Whether this interpreter crashes by itself after a failed allocation
    (learnt once here, for every worker)."""
    proc = subprocess.run([sys.executable, WORKER, "crashprobe"], capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.split()[-1] == "True"


def _crash_site_lib():
    """tests/crash_site.c as a shared object, or None without a C compiler."""
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc") or shutil.which("clang")
    if not cc:
        return None
    out = os.path.join(tempfile.mkdtemp(prefix="korvane-crash-site-"), "crash_site.so")
    proc = subprocess.run([cc, "-O1", "-shared", "-fPIC", "-o", out, os.path.join(HERE, "crash_site.c"), "-ldl"],
                          capture_output=True, text=True)
    return out if proc.returncode == 0 else None


def _worker_env():
    """What every worker is told: whether the interpreter crashes by itself,
    and where the crash-site reporter is."""
    env = dict(os.environ, KORVANE_ALLOC_INTERP_CRASHES="1" if _interpreter_crashes() else "0")
    lib = _crash_site_lib()
    if lib:
        env["KORVANE_CRASH_SITE_LIB"] = lib
    return env


def _run_worker(mode, short=None, env=None):
    args = [sys.executable, WORKER, mode] + ([short] if short else [])
    proc = subprocess.run(args, capture_output=True, text=True, timeout=900, env=env)
    lines = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    return proc, lines


@pytest.fixture(scope="module")
def sweeps():
    """All workers, started together on first use, JOBS at a time."""
    env = _worker_env()
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=JOBS)
    futures = {(mode, short): pool.submit(_run_worker, mode, short, env)
               for mode in ("first", "steady") for short in MODULES}
    yield futures
    pool.shutdown(wait=True, cancel_futures=True)


def _check(proc, lines, what):
    assert proc.returncode == 0 and lines, f"{what}: worker failed ({proc.returncode}):\n{proc.stderr[-3000:]}"
    cases = [line for line in lines if "case" in line]
    failed = [f"{c['case']}:\n    " + "\n    ".join(p[:1500] for p in c["problems"])
              for c in cases if c["problems"]]
    capped = [c["case"] for c in cases if c["capped"]]
    assert not failed, f"{what}: {len(failed)} of {len(cases)} cases went wrong:\n" + "\n".join(failed)
    assert not capped, f"{what}: no end in sight for {capped}"
    return cases


@pytest.mark.slow
@pytest.mark.subprocess
@pytest.mark.timeout(1800)
@pytest.mark.parametrize("short", MODULES)
@pytest.mark.parametrize("mode", ["first", "steady"])
def test_failed_allocation_leaves_everything_working(sweeps, mode, short):
    proc, lines = sweeps[mode, short].result()
    cases = _check(proc, lines, f"{mode} {short}")
    assert sum(c["indices"] for c in cases) >= len(cases)


@pytest.mark.subprocess
def test_the_sweep_sees_each_kind_of_fault():
    """Crash, exception left set, wrong answer, wrong exception, broken state:
    each must be reported; a call that handles its failures must not be."""
    proc, lines = _run_worker("selftest")
    assert proc.returncode == 0, proc.stderr[-3000:]
    by_case = {line["case"]: line for line in lines if "case" in line}
    expected = {
        "swallowed failure": "answered -1",
        "crash": "killed by SIGABRT",
        # a debug interpreter aborts where a release one raises SystemError
        "result with an error set": ("raised SystemError", "returned a result with an exception set"),
        "broken after a failure": "KeyError: KeyError('left broken')",
        "another exception": "raised LookupError",
    }
    for case, text in expected.items():
        problems = by_case[case]["problems"]
        texts = text if isinstance(text, tuple) else (text,)
        assert problems and all(any(t in p for t in texts) for p in problems), (case, problems)
        assert by_case[case]["indices"] >= 2
    assert by_case["clean"]["problems"] == []


@pytest.mark.parametrize("short", MODULES)
def test_every_public_callable_has_a_first_call(short):
    """Each function and method is named by a first-call case (properties and
    the import have cases of their own)."""
    import re
    module = pytest.importorskip(alloc_sweep.MODULES[short])
    words = {w for probe in alloc_sweep.first_cases(short) for w in re.findall(r"\w+", probe.label)}
    groups = leakcheck.public_callables(module)
    missing = sorted(min(names) for names in groups if not names & words)
    assert not missing, f"{short}: no first-call case names {missing}"


_CRASH = """
import ctypes, faulthandler, os, sys
faulthandler.enable()
ctypes.CDLL(os.environ["KORVANE_CRASH_SITE_LIB"]).crash_site_install()
if sys.argv[1] == "interpreter":
    ctypes.pythonapi.PyObject_Repr.argtypes = [ctypes.c_void_p]
    ctypes.pythonapi.PyObject_Repr(ctypes.c_void_p(16))     # a bad object inside libpython
else:
    ctypes.string_at(16)                                     # a bad pointer read for an extension
"""


@pytest.mark.subprocess
@pytest.mark.parametrize("where, inside", [("interpreter", True), ("extension", False)])
def test_crash_site_tells_the_interpreter_from_an_extension(where, inside):
    lib = _crash_site_lib()
    if lib is None:
        pytest.skip("no C compiler for the crash-site reporter")
    proc = subprocess.run([sys.executable, "-c", _CRASH, where], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, KORVANE_CRASH_SITE_LIB=lib))
    assert proc.returncode < 0 and "crash-site:" in proc.stderr
    assert "Fatal Python error" in proc.stderr          # faulthandler still reports after it
    assert alloc_sweep.interpreter_crash(proc.stderr) is inside
