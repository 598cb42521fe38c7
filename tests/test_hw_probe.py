"""Capability probe (native module and its pure-Python equivalent) and the GPU
backend registry it reads."""
import ctypes
import importlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane.gpu import device_registry as registry_module
from korvane.gpu.device_registry import GPUBackendKind, GPUBackendRegistry

import leakcheck
from leakcheck import Obj, cycle, ok, patched
from support import run_together

GPU_KEYS = ["has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available",
            "rocm_available", "oneapi_available", "active_backend", "backend_version"]
# Written out here, not taken from the baseline: both implementations are checked against it.
INITIAL_GPU = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0,
               "cuda_available": False, "rocm_available": False,
               "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}
NORMAL_KEYS = (["physical_cores", "numa_nodes"] + GPU_KEYS
               + ["python_version", "subinterpreter_support", "platform",
                  "detected_at", "detector", "detection_time_ms"])
FALLBACK_KEYS = NORMAL_KEYS[:-1] + ["error", "detection_time_ms"]
FUNCTIONS = ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
             "detect_python_version", "detect_capabilities"]


@pytest.fixture(params=["native", "baseline"])
def probe(request):
    name = "korvane.native.hw_probe" if request.param == "native" else "korvane._baselines.hw_probe"
    return importlib.import_module(name)


@pytest.fixture
def native():
    return importlib.import_module("korvane.native.hw_probe")


@pytest.fixture
def fresh_registry():
    GPUBackendRegistry.clear_cache()
    yield GPUBackendRegistry
    GPUBackendRegistry.clear_cache()


def ns(**kw):
    return types.SimpleNamespace(**kw)


def raiser(exc):
    def f(*args, **kwargs):
        raise exc
    return f


# ---------------------------------------------------------------- module surface

def test_module_names_in_order(native):
    names = [n for n in vars(native) if not n.startswith("__")]
    assert names == ["sys", "os", "time"] + FUNCTIONS
    assert native.sys is sys and native.os is os
    assert not hasattr(native, "logger")


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_functions_take_no_arguments(native, fn):
    with pytest.raises(TypeError, match=re.escape(
            f"{fn}() takes exactly 0 positional arguments (1 given)")):
        getattr(native, fn)(1)
    with pytest.raises(TypeError, match=re.escape(
            f"{fn}() got an unexpected keyword argument 'x'")):
        getattr(native, fn)(x=1)


# ---------------------------------------------------------------- CPU count

def test_physical_cores_real(probe):
    assert probe.detect_physical_cores() == len(os.sched_getaffinity(0))


@pytest.mark.parametrize("fake_os, expected", [
    (ns(sched_getaffinity=lambda pid: {0, 1, 2, 3}, cpu_count=lambda: 16), 4),
    (ns(sched_getaffinity=lambda pid: set(), cpu_count=lambda: 16), 1),
    (ns(cpu_count=lambda: None), 1),
    (ns(cpu_count=lambda: 0), 1),
    (ns(cpu_count=lambda: 8), 8),
    (ns(sched_getaffinity=raiser(OSError("no")), cpu_count=lambda: 6), 6),
    (ns(sched_getaffinity=raiser(OSError("no")), cpu_count=lambda: None), 1),
    (ns(sched_getaffinity=lambda pid: 5, cpu_count=lambda: 3), 3),  # len() fails
])
def test_physical_cores_fake_os(probe, monkeypatch, fake_os, expected):
    monkeypatch.setattr(probe, "os", fake_os)
    assert probe.detect_physical_cores() == expected


# ---------------------------------------------------------------- NUMA

def numa_os(entries, exists=True, calls=None):
    def listdir(path):
        if calls is not None:
            calls.append(path)
        if isinstance(entries, BaseException):
            raise entries
        return list(entries)
    return ns(path=ns(exists=lambda p: exists and p == "/sys/devices/system/node"),
              listdir=listdir)


@pytest.mark.parametrize("platform, entries, exists, expected", [
    ("linux", ["node0", "node1", "possible", "online", "has_cpu"], True, 2),
    ("linux", ["node12", "node3", "node", "nodes", "nodeX1", "power"], True, 2),
    ("linux", ["possible", "online"], True, 1),
    ("linux", [], True, 1),
    ("linux", ["node0"], False, 1),
    ("linux", PermissionError("denied"), True, 1),
    ("linux", [b"node0", "node1"], True, 1),  # a non-text name breaks the count: default
    ("darwin", ["node0", "node1"], True, 1),  # and the directory is never listed
])
def test_numa_fake_directory(probe, monkeypatch, platform, entries, exists, expected):
    calls = []
    monkeypatch.setattr(probe, "sys", ns(platform=platform))
    monkeypatch.setattr(probe, "os", numa_os(entries, exists, calls))
    assert probe.detect_numa_nodes() == expected
    assert len(calls) == (platform == "linux" and exists)


def test_numa_real_directory(probe):
    root = "/sys/devices/system/node"
    if sys.platform == "linux" and os.path.exists(root):
        expected = sum(1 for n in os.listdir(root) if re.fullmatch(r"node\d+", n)) or 1
    else:
        expected = 1
    assert probe.detect_numa_nodes() == expected


class FakeNumaQuery:
    def __init__(self, highest, ok):
        self.highest, self.ok = highest, ok
        self.restype = self.argtypes = None

    def __call__(self, ref):
        ref._obj.value = self.highest
        return self.ok


@pytest.mark.parametrize("highest, ok, expected", [(1, 1, 2), (0, 1, 1), (3, 0, 1), (None, None, 1)])
def test_numa_windows_query(probe, monkeypatch, highest, ok, expected):
    query = FakeNumaQuery(highest, ok)

    def windll(name, use_last_error=False):
        assert (name, use_last_error) == ("kernel32", True)
        if highest is None:
            raise OSError("kernel32 missing")
        return ns(GetNumaHighestNodeNumber=query)

    wintypes = types.ModuleType("ctypes.wintypes")
    wintypes.BOOL = ctypes.c_long
    fake = types.ModuleType("ctypes")
    fake.__path__ = []
    for name in ("c_ulong", "POINTER", "byref"):
        setattr(fake, name, getattr(ctypes, name))
    fake.WinDLL, fake.wintypes = windll, wintypes
    monkeypatch.setitem(sys.modules, "ctypes", fake)
    monkeypatch.setitem(sys.modules, "ctypes.wintypes", wintypes)
    monkeypatch.setattr(probe, "sys", ns(platform="win32"))
    assert probe.detect_numa_nodes() == expected
    if ok is not None:
        assert query.restype is ctypes.c_long
        assert query.argtypes == [ctypes.POINTER(ctypes.c_ulong)]


# ---------------------------------------------------------------- GPU: registry path

class FakeKind:
    def __init__(self, value):
        self.value = value


def fake_registry(backends, best_kind, version="", best_error=None):
    kinds = ns(CUDA=FakeKind("cuda"), ROCm=FakeKind("rocm"), oneAPI=FakeKind("oneapi"),
               CPU=FakeKind("cpu"))
    mapping = {getattr(kinds, k): ns(device_count=c, memory_gb=m) for k, (c, m) in backends.items()}

    class Registry:
        @staticmethod
        def detect_available_backends():
            return mapping

        @staticmethod
        def get_best_available():
            if best_error is not None:
                raise best_error
            return ns(info=ns(kind=getattr(kinds, best_kind), version=version))

    mod = types.ModuleType("korvane.gpu.device_registry")
    mod.GPUBackendRegistry, mod.GPUBackendKind = Registry, kinds
    return mod


@pytest.fixture
def no_smi(tmp_path, monkeypatch):
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))


@pytest.mark.parametrize("backends, best, version, expected", [
    ({"CUDA": (2, 7.99), "CPU": (8, 0.0)}, "CUDA", "12.4",
     dict(has_gpu=True, gpu_count=2, gpu_memory_mb=8181, cuda_available=True,
          active_backend="cuda", backend_version="12.4")),
    ({"ROCm": (1, 16.0), "oneAPI": (1, 4.0), "CPU": (8, 0.0)}, "ROCm", "6.1",
     dict(has_gpu=True, gpu_count=1, gpu_memory_mb=16384, rocm_available=True,
          oneapi_available=True, active_backend="rocm", backend_version="6.1")),
    # best is the CPU: nothing counted though CUDA is listed
    ({"CUDA": (2, 8.0), "CPU": (8, 0.0)}, "CPU", "",
     dict(cuda_available=True)),
    # best backend missing from the mapping: flagged, not counted
    ({"CPU": (8, 0.0)}, "oneAPI", "1.3",
     dict(has_gpu=True, active_backend="oneapi", backend_version="1.3")),
])
def test_gpu_registry_path(probe, monkeypatch, no_smi, backends, best, version, expected):
    monkeypatch.setitem(sys.modules, "korvane.gpu.device_registry",
                        fake_registry(backends, best, version))
    result = probe.detect_gpu_backends()
    assert list(result) == GPU_KEYS
    assert result == {**INITIAL_GPU, **expected}


def test_gpu_registry_failure_keeps_flags_and_runs_fallback(probe, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "korvane.gpu.device_registry",
                        fake_registry({"CUDA": (1, 1.0)}, "CUDA", best_error=RuntimeError("x")))
    smi_on_path(tmp_path, monkeypatch, "printf 'GPU A\\nGPU B\\n'")
    result = probe.detect_gpu_backends()
    assert result == {**INITIAL_GPU, "cuda_available": True, "has_gpu": True, "gpu_count": 2}


def test_gpu_registry_refcounts(native, monkeypatch, refcount, no_smi):
    version, count = "v-unique-" + "x" * 3, 10 ** 30
    mod = fake_registry({"CUDA": (count, 2.0)}, "CUDA", version)
    monkeypatch.setitem(sys.modules, "korvane.gpu.device_registry", mod)
    before = refcount(version), refcount(count), refcount(mod)
    for _ in range(50):
        result = native.detect_gpu_backends()
    assert result["gpu_count"] is count and result["backend_version"] is version
    del result
    assert (refcount(version), refcount(count), refcount(mod)) == before


# ---------------------------------------------------------------- GPU: nvidia-smi fallback

def smi_on_path(tmp_path, monkeypatch, body):
    bindir = tmp_path / "bin"
    bindir.mkdir(exist_ok=True)
    monkeypatch.setenv("PATH", str(bindir))
    if body is None:
        return None
    script = bindir / "nvidia-smi"
    script.write_text(f'#!/bin/sh\necho "$@" > "{tmp_path}/args"\n{body}\n')
    script.chmod(0o755)
    return tmp_path / "args"


@pytest.mark.parametrize("body, expected", [
    ("printf 'NVIDIA A100\\nNVIDIA A100\\n'", dict(has_gpu=True, gpu_count=2)),
    ("printf '  Tesla T4 \\n\\n \\n'", dict(has_gpu=True, gpu_count=1)),
    ("printf 'GPU \\377\\376 one\\nGPU two'", dict(has_gpu=True, gpu_count=2)),
    ("printf '\\n'", dict(has_gpu=True, gpu_count=0)),  # successful run, no name listed
    ("printf 'GPU A\\n'; exit 1", {}),
    ("exit 0", {}),
    ("printf 'GPU A\\n'; exec /bin/sleep 20", {}),  # killed at the time-out
    (None, {}),  # no nvidia-smi at all
])
@pytest.mark.timeout(30)
def test_gpu_smi_fallback(probe, monkeypatch, tmp_path, body, expected):
    monkeypatch.setitem(sys.modules, "korvane.gpu.device_registry", None)
    args = smi_on_path(tmp_path, monkeypatch, body)
    assert probe.detect_gpu_backends() == {**INITIAL_GPU, **expected}
    if body is not None:
        assert args.read_text().split() == ["--query-gpu=name", "--format=csv,noheader"]


SMI_PIECES = [b"GPU 0", b"\n", b" ", b"\t", b"\r", b"\x1c", b"\xff", b"\xe2\x80", b"x"] + [
    c.encode() for c in "\x85\u2028\u00a0\u3000"]


@given(st.lists(st.sampled_from(SMI_PIECES), max_size=12))
@settings(max_examples=80)
def test_gpu_smi_line_count_matches_python(pieces):
    # nvidia-smi output built from white space of every kind and broken UTF-8
    out = b"".join(pieces)
    native = importlib.import_module("korvane.native.hw_probe")
    fake = types.ModuleType("subprocess")
    fake.run = lambda *a, **kw: ns(returncode=0, stdout=out)
    baseline = importlib.import_module("korvane._baselines.hw_probe")
    saved = sys.modules.get("korvane.gpu.device_registry"), sys.modules["subprocess"]
    sys.modules["korvane.gpu.device_registry"], sys.modules["subprocess"] = None, fake
    try:
        assert native.detect_gpu_backends() == baseline.detect_gpu_backends()
    finally:
        sys.modules["subprocess"] = saved[1]
        if saved[0] is None:
            del sys.modules["korvane.gpu.device_registry"]
        else:
            sys.modules["korvane.gpu.device_registry"] = saved[0]


class Undecodable:
    """Output that is there (truthy) but cannot be decoded."""

    def decode(self, *args):
        raise UnicodeError("unreadable")


@pytest.mark.parametrize("stdout, expected", [
    (Undecodable(), dict(has_gpu=True)),  # flag written before the text is read
    ("text, not bytes", dict(has_gpu=True)),
    (b"GPU 0\n", dict(has_gpu=True, gpu_count=1)),
])
def test_gpu_smi_output_read_after_flag(probe, monkeypatch, stdout, expected):
    fake = types.ModuleType("subprocess")
    fake.run = lambda *a, **kw: ns(returncode=0, stdout=stdout)
    monkeypatch.setitem(sys.modules, "korvane.gpu.device_registry", None)
    monkeypatch.setitem(sys.modules, "subprocess", fake)
    assert probe.detect_gpu_backends() == {**INITIAL_GPU, **expected}


# ---------------------------------------------------------------- Python version

def test_python_version_real(probe):
    version, supported = probe.detect_python_version()
    assert version == "%d.%d.%d" % sys.version_info[:3]
    if sys.version_info < (3, 12):
        assert supported is False
    else:
        # 3.12 has _xxsubinterpreters, 3.13 renamed it _interpreters.
        assert supported is True


@pytest.mark.parametrize("old, new, expected", [
    ("module", None, True),           # 3.12: the first name imports
    (None, "module", True),           # 3.13: only the new name imports
    ("module", "module", True),
    (None, None, False),
])
def test_python_version_subinterpreters(probe, monkeypatch, old, new, expected):
    monkeypatch.setattr(probe, "sys", ns(version_info=(3, 12, 4, "final", 0)))
    for name, present in (("_xxsubinterpreters", old), ("_interpreters", new)):
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name) if present else None)
    assert probe.detect_python_version() == ("3.12.4", expected)


def test_python_version_other_import_errors_propagate(probe, monkeypatch):
    monkeypatch.setattr(probe, "sys", ns(version_info=(3, 13, 0, "final", 0)))
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", None)
    real_import = __builtins__["__import__"] if isinstance(__builtins__, dict) else __builtins__.__import__

    def fake_import(name, *args, **kw):
        if name == "_interpreters":
            raise ZeroDivisionError("broken")
        return real_import(name, *args, **kw)
    monkeypatch.setattr("builtins.__import__", fake_import)
    with pytest.raises(ZeroDivisionError, match="broken"):
        probe.detect_python_version()


def test_python_version_before_3_12_imports_nothing(probe, monkeypatch):
    monkeypatch.setattr(probe, "sys", ns(version_info=(3, 11, 9, "final", 0)))
    for name in ("_xxsubinterpreters", "_interpreters"):
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    assert probe.detect_python_version() == ("3.11.9", False)


# ---------------------------------------------------------------- capabilities

def test_capabilities_normal(probe):
    caps = probe.detect_capabilities()
    assert list(caps) == NORMAL_KEYS
    assert caps["detector"] == "native"
    assert caps["physical_cores"] == probe.detect_physical_cores()
    assert caps["numa_nodes"] == probe.detect_numa_nodes()
    assert {k: caps[k] for k in GPU_KEYS} == probe.detect_gpu_backends()
    assert (caps["python_version"], caps["subinterpreter_support"]) == probe.detect_python_version()
    assert caps["platform"] == sys.platform
    assert isinstance(caps["detected_at"], float)
    assert isinstance(caps["detection_time_ms"], float) and caps["detection_time_ms"] >= 0


def python_error(action):
    try:
        action()
    except Exception as exc:
        return str(exc)
    raise AssertionError("expected an error")


def unpack(value):
    a, b = value


@pytest.mark.parametrize("name, replacement, message", [
    ("detect_python_version", raiser(RuntimeError("no version")), "no version"),
    ("detect_python_version", lambda: ("3.10.1", False, 1), python_error(lambda: unpack((1, 2, 3)))),
    ("detect_python_version", lambda: ("3.10.1",), python_error(lambda: unpack((1,)))),
    ("detect_python_version", lambda: 7, python_error(lambda: unpack(7))),
    ("detect_python_version", lambda: iter("ab"), None),
    ("detect_gpu_backends", lambda: {"has_gpu": False}, "'gpu_count'"),
    ("detect_numa_nodes", raiser(ValueError("")), ""),
])
def test_capabilities_fallback(probe, monkeypatch, name, replacement, message):
    monkeypatch.setattr(probe, name, replacement)
    caps = probe.detect_capabilities()
    if message is None:  # a two-item iterable is accepted
        assert caps["detector"] == "native" and caps["python_version"] == "a"
        return
    assert list(caps) == FALLBACK_KEYS
    assert caps["error"] == message
    assert caps["detector"] == "native_fallback"
    assert caps["python_version"] == "%d.%d" % sys.version_info[:2]
    assert caps["physical_cores"] == (os.cpu_count() or 1)
    assert {k: caps[k] for k in GPU_KEYS} == INITIAL_GPU
    assert caps["numa_nodes"] == 1 and caps["subinterpreter_support"] is False
    assert caps["platform"] == sys.platform
    assert isinstance(caps["detection_time_ms"], float) and caps["detection_time_ms"] >= 0


def interrupting(monkeypatch, probe, where, exc):
    if where == "cores":
        monkeypatch.setattr(probe, "os", ns(sched_getaffinity=raiser(exc), cpu_count=lambda: 2))
        return probe.detect_physical_cores
    if where == "numa":
        monkeypatch.setattr(probe, "sys", ns(platform="linux"))
        monkeypatch.setattr(probe, "os", numa_os(exc, True))
        return probe.detect_numa_nodes
    if where == "registry":
        mod = fake_registry({}, "CPU")
        mod.GPUBackendRegistry.detect_available_backends = staticmethod(raiser(exc))
        monkeypatch.setitem(sys.modules, "korvane.gpu.device_registry", mod)
        return probe.detect_gpu_backends
    monkeypatch.setattr(probe, "detect_gpu_backends", raiser(exc))
    return probe.detect_capabilities


@pytest.mark.parametrize("where", ["cores", "numa", "registry", "capabilities"])
@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3)])
def test_base_exceptions_propagate(probe, monkeypatch, where, exc):
    with pytest.raises(type(exc)):
        interrupting(monkeypatch, probe, where, exc)()


def test_capabilities_error_while_building_fallback_propagates(probe, monkeypatch):
    monkeypatch.setattr(probe, "detect_physical_cores", lambda: 4)
    monkeypatch.setattr(probe, "detect_numa_nodes", raiser(ValueError("first")))
    monkeypatch.setattr(probe, "os", ns(cpu_count=raiser(LookupError("second"))))
    with pytest.raises(LookupError, match="second") as info:
        probe.detect_capabilities()
    assert str(info.value.__context__) == "first"


def test_capabilities_refcounts(native, monkeypatch, refcount):
    error = RuntimeError("keep")
    monkeypatch.setattr(native, "detect_python_version", raiser(error))
    before = refcount(error), refcount(native.os)
    for _ in range(20):
        caps = native.detect_capabilities()
    assert caps["error"] == "keep"
    del caps
    assert (refcount(error), refcount(native.os)) == before


@pytest.mark.subprocess
@pytest.mark.timeout(60)
def test_capabilities_in_fresh_process():
    code = ("import korvane.native.hw_probe as h, json; c = h.detect_capabilities(); "
            "print(json.dumps([c['detector'], list(c)]))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.environ.get("PYTHONPATH", "")},
                         timeout=50)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == ["native", NORMAL_KEYS]


# ---------------------------------------------------------------- the real registry

def test_registry_this_machine_cpu_only(fresh_registry, probe):
    if any(os.path.exists(p) for p in ("/dev/nvidiactl", "/dev/kfd", "/dev/dxg")):
        pytest.skip("machine has an accelerator driver")
    backends = fresh_registry.detect_available_backends()
    assert list(backends) == [GPUBackendKind.CPU]
    best = fresh_registry.get_best_available()
    assert best.info.kind is GPUBackendKind.CPU and best.info.version == ""
    assert backends[GPUBackendKind.CPU].device_count >= 1
    assert probe.detect_gpu_backends() == INITIAL_GPU


@pytest.mark.stress
def test_registry_detects_once(fresh_registry, monkeypatch):
    calls = []

    def detect():
        calls.append(1)
        time.sleep(0.02)  # lets racing threads pile up behind the first one
        return registry_module.BackendInfo(GPUBackendKind.ROCm, "1", 1, 2.0)

    monkeypatch.setattr(registry_module, "_DETECTORS", ((GPUBackendKind.ROCm, detect),))
    first = fresh_registry.detect_available_backends()
    with pytest.raises(TypeError):
        first[GPUBackendKind.CUDA] = None  # callers cannot change what the registry keeps
    assert GPUBackendKind.ROCm in fresh_registry.detect_available_backends()
    assert fresh_registry.get_best_available().info.kind is GPUBackendKind.ROCm
    assert len(calls) == 1
    fresh_registry.clear_cache()
    run_together(lambda i: fresh_registry.get_best_available(), 8)
    assert len(calls) == 2


def test_registry_failing_detector_leaves_backend_out(fresh_registry, monkeypatch):
    monkeypatch.setattr(registry_module, "_DETECTORS",
                        ((GPUBackendKind.CUDA, raiser(OSError("driver crashed"))),))
    assert list(fresh_registry.detect_available_backends()) == [GPUBackendKind.CPU]


FAKE_CUDA = r"""
#include <stddef.h>
int cuInit(unsigned int flags) { (void)flags; return INIT_RESULT; }
int cuDriverGetVersion(int *v) { *v = 12040; return 0; }
int cuDeviceGetCount(int *n) { *n = 2; return 0; }
int cuDeviceGet(int *d, int i) { *d = i; return 0; }
int cuDeviceTotalMem_v2(size_t *b, int d) { *b = ((size_t)3 << 30) * (size_t)(d + 1); return 0; }
"""


def build_fake_cuda(tmp_path, init_result):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    src = tmp_path / "fake_cuda.c"
    src.write_text(FAKE_CUDA.replace("INIT_RESULT", str(init_result)))
    lib = tmp_path / f"libcuda-fake{init_result}.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
    return str(lib)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux driver layout")
@pytest.mark.parametrize("library, expected", [
    ("missing", None),
    ("init-fails", None),
    ("works", ("12.4", 2, 9.0)),
])
@pytest.mark.timeout(60)
def test_registry_cuda_driver(fresh_registry, monkeypatch, tmp_path, native, library, expected):
    if library == "missing":
        libs = (str(tmp_path / "libcuda.so.1"),)
    else:
        libs = (build_fake_cuda(tmp_path, 100 if library == "init-fails" else 0),)
    monkeypatch.setattr(registry_module, "_CUDA_DEVICE_NODES", (str(tmp_path),))
    monkeypatch.setattr(registry_module, "_CUDA_LIBRARIES", libs)
    backends = fresh_registry.detect_available_backends()
    if expected is None:
        assert list(backends) == [GPUBackendKind.CPU]
        return
    info = backends[GPUBackendKind.CUDA]
    assert (info.version, info.device_count, info.memory_gb) == expected
    gpu = native.detect_gpu_backends()
    assert gpu == {**INITIAL_GPU, "has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 9216,
                   "cuda_available": True, "active_backend": "cuda", "backend_version": "12.4"}


def test_registry_rocm_topology(fresh_registry, monkeypatch, tmp_path):
    nodes = tmp_path / "nodes"
    for index, gpu_id, banks in [(0, "0", [64 << 30]), (1, "4660", [8 << 30, 8 << 30]),
                                 (2, "17", [4 << 30])]:
        node = nodes / str(index)
        node.mkdir(parents=True)
        (node / "gpu_id").write_text(gpu_id + "\n")
        for b, size in enumerate(banks):
            bank = node / "mem_banks" / str(b)
            bank.mkdir(parents=True)
            (bank / "properties").write_text(f"heap_type 1\nsize_in_bytes {size}\nflags 0\n")
    (tmp_path / "version").write_text("6.7.0\n")
    monkeypatch.setattr(registry_module, "_KFD_TOPOLOGY", str(nodes))
    monkeypatch.setattr(registry_module, "_AMDGPU_VERSION", str(tmp_path / "version"))
    monkeypatch.setattr(registry_module, "_CUDA_DEVICE_NODES", (str(tmp_path / "none"),))
    info = fresh_registry.detect_available_backends()[GPUBackendKind.ROCm]
    assert (info.version, info.device_count, info.memory_gb) == ("6.7.0", 2, 20.0)
    assert fresh_registry.get_best_available().info.kind is GPUBackendKind.ROCm


# ---- reference leaks ---------------------------------------------------------------

def raising_anew(exc_type):
    """A function that raises a new exc_type on every call (one exception raised
    again and again would grow its traceback)."""
    def raiser(*args, **kw):
        raise exc_type("probe failed")
    return raiser


def leak_cases(m):
    fake_subprocess = types.ModuleType("subprocess")
    fake_subprocess.run = lambda *a, **kw: Obj(returncode=0, stdout=b"GPU 0\nGPU 1\n")
    no_registry = {"korvane.gpu.device_registry": None, "subprocess": fake_subprocess}
    numa_os = Obj(path=Obj(exists=lambda p: True), listdir=lambda p: ["node0", "node1", "possible"])
    return [
        ok("detect_physical_cores", m.detect_physical_cores),
        ok("detect_numa_nodes", m.detect_numa_nodes),
        # these may start nvidia-smi on every call: fewer calls
        cycle("detect_gpu_backends", m.detect_gpu_backends, calls=100),
        ok("detect_python_version", m.detect_python_version),
        cycle("detect_capabilities", m.detect_capabilities, calls=100),
        cycle("detect_gpu_backends without the registry (nvidia-smi fallback)",
              patched(sys.modules, no_registry, m.detect_gpu_backends)),
        cycle("detect_capabilities fallback",
              patched(m, {"detect_python_version": raising_anew(RuntimeError)}, m.detect_capabilities)),
        cycle("detect_physical_cores fallback",
              patched(m, {"os": Obj(sched_getaffinity=raising_anew(OSError), cpu_count=lambda: 2)},
                      m.detect_physical_cores)),
        cycle("detect_numa_nodes from a directory listing",
              patched(m, {"os": numa_os}, m.detect_numa_nodes)),
    ]


test_no_leak = leakcheck.no_leak_test("korvane.native.hw_probe", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.native.hw_probe", leak_cases)
