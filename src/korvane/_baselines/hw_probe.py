"""Pure-Python capability probe with the same functions and results as
``korvane.native.hw_probe``; used as the benchmark baseline and as the main
job's fallback."""
import sys
import os
import time


def detect_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            count = len(os.sched_getaffinity(0))
        else:
            count = os.cpu_count() or 1
        return max(count, 1)
    except Exception:
        return os.cpu_count() or 1


def detect_numa_nodes():
    try:
        if sys.platform == "linux":
            path = "/sys/devices/system/node"
            if os.path.exists(path):
                count = 0
                for name in os.listdir(path):
                    if name.startswith("node") and name[4:].isdigit():
                        count += 1
                return count or 1
            return 1
        if sys.platform == "win32":
            try:
                import ctypes
                from ctypes import wintypes
                kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
                fn = kernel32.GetNumaHighestNodeNumber
                fn.restype = wintypes.BOOL
                fn.argtypes = [ctypes.POINTER(ctypes.c_ulong)]
                highest = ctypes.c_ulong(0)
                if fn(ctypes.byref(highest)):
                    return highest.value + 1
                return 1
            except Exception:
                return 1
        return 1
    except Exception:
        return 1


_GPU_DEFAULTS = {
    "has_gpu": False,
    "gpu_count": 0,
    "gpu_memory_mb": 0,
    "cuda_available": False,
    "rocm_available": False,
    "oneapi_available": False,
    "active_backend": "cpu",
    "backend_version": "",
}


def detect_gpu_backends():
    info = dict(_GPU_DEFAULTS)
    try:
        from korvane.gpu.device_registry import GPUBackendRegistry, GPUBackendKind
        backends = GPUBackendRegistry.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUBackendRegistry.get_best_available()
        info["active_backend"] = best.info.kind.value
        info["backend_version"] = best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and best.info.kind in backends:
            entry = backends[best.info.kind]
            info["gpu_count"] = entry.device_count
            info["gpu_memory_mb"] = int(entry.memory_gb * 1024)
        return info
    except Exception:
        pass
    try:
        import subprocess
        result = subprocess.run(
            ["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
            capture_output=True, timeout=0.5, check=False)
        if result.returncode == 0 and result.stdout:
            info["has_gpu"] = True
            lines = result.stdout.decode("utf-8", errors="ignore").strip().split("\n")
            info["gpu_count"] = len([line for line in lines if line.strip()])
    except Exception:
        pass
    return info


def detect_python_version():
    version = ".".join(str(part) for part in sys.version_info[:3])
    supported = False
    if sys.version_info >= (3, 12):
        try:
            import _xxsubinterpreters  # noqa: F401
            supported = True
        except ImportError:
            try:
                import _interpreters  # noqa: F401  (its name from 3.13 on)
                supported = True
            except ImportError:
                supported = False
    return (version, supported)


def detect_capabilities():
    caps = {}
    start = time.perf_counter()
    try:
        caps["physical_cores"] = detect_physical_cores()
        caps["numa_nodes"] = detect_numa_nodes()
        gpu = detect_gpu_backends()
        for key in _GPU_DEFAULTS:
            caps[key] = gpu[key]
        version, subinterpreters = detect_python_version()
        caps["python_version"] = version
        caps["subinterpreter_support"] = subinterpreters
        caps["platform"] = sys.platform
        caps["detected_at"] = time.time()
        caps["detector"] = "native"
        caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
        return caps
    except Exception as exc:
        return {
            "physical_cores": os.cpu_count() or 1,
            "numa_nodes": 1,
            **_GPU_DEFAULTS,
            "python_version": f"{sys.version_info[0]}.{sys.version_info[1]}",
            "subinterpreter_support": False,
            "platform": sys.platform,
            "detected_at": time.time(),
            "detector": "native_fallback",
            "error": str(exc),
            "detection_time_ms": (time.perf_counter() - start) * 1000,
        }
