"""GPU backend registry: which compute backends this process can use.

Detection is lazy and runs once per process; the registry keeps the answer.
It stays cheap on machines without accelerators: CUDA is only looked for when
the NVIDIA driver shows itself (device nodes on Linux), through the driver
library with ``ctypes``; ROCm is read from the kernel's KFD topology in sysfs.
Anything that fails during detection simply leaves that backend out. The CPU
backend is always available.
"""
import _thread
import os
import sys
from enum import Enum
from types import MappingProxyType

__all__ = ["GPUBackendKind", "BackendInfo", "GPUBackend", "GPUBackendRegistry"]


class GPUBackendKind(Enum):
    """Compute backends; the value is the backend's name."""

    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


class BackendInfo:
    """What was found for one backend: version, device count, total memory."""

    __slots__ = ("kind", "version", "device_count", "memory_gb")

    def __init__(self, kind: GPUBackendKind, version: str = "",
                 device_count: int = 0, memory_gb: float = 0.0) -> None:
        self.kind = kind
        self.version = version
        self.device_count = device_count
        self.memory_gb = memory_gb

    def __repr__(self) -> str:
        return (f"BackendInfo(kind={self.kind}, version={self.version!r}, "
                f"device_count={self.device_count}, memory_gb={self.memory_gb:.2f})")


class GPUBackend:
    """A usable backend; ``info`` describes it."""

    __slots__ = ("info",)

    def __init__(self, info: BackendInfo) -> None:
        self.info = info

    @property
    def kind(self) -> GPUBackendKind:
        return self.info.kind

    def __repr__(self) -> str:
        return f"GPUBackend({self.info!r})"


# Preference order of get_best_available().
_PREFERENCE = (GPUBackendKind.CUDA, GPUBackendKind.ROCm, GPUBackendKind.oneAPI)

if sys.platform == "win32":
    _CUDA_LIBRARIES: tuple = ("nvcuda.dll",)
    _CUDA_DEVICE_NODES: tuple = ()
elif sys.platform.startswith("linux"):
    _CUDA_LIBRARIES = ("libcuda.so.1", "libcuda.so")
    # Without one of these the kernel driver is absent, and loading the user
    # library (and importing ctypes) would only cost time.
    _CUDA_DEVICE_NODES = ("/dev/nvidiactl", "/dev/dxg", "/proc/driver/nvidia")
else:
    _CUDA_LIBRARIES = ()
    _CUDA_DEVICE_NODES = ()

_KFD_TOPOLOGY = "/sys/class/kfd/kfd/topology/nodes"
_AMDGPU_VERSION = "/sys/module/amdgpu/version"

_GIB = float(1 << 30)


def _cuda_driver_present() -> bool:
    if not _CUDA_LIBRARIES:
        return False
    if not _CUDA_DEVICE_NODES:
        return True
    return any(os.path.exists(p) for p in _CUDA_DEVICE_NODES)


def _load_cuda_driver():
    import ctypes
    loader = getattr(ctypes, "WinDLL", ctypes.CDLL) if sys.platform == "win32" else ctypes.CDLL
    for name in _CUDA_LIBRARIES:
        try:
            return loader(name)
        except OSError:
            continue
    return None


def _detect_cuda() -> BackendInfo | None:
    if not _cuda_driver_present():
        return None
    lib = _load_cuda_driver()
    if lib is None:
        return None
    import ctypes
    if lib.cuInit(ctypes.c_uint(0)) != 0:
        return None
    count = ctypes.c_int(0)
    if lib.cuDeviceGetCount(ctypes.byref(count)) != 0 or count.value <= 0:
        return None
    raw_version = ctypes.c_int(0)
    version = ""
    if lib.cuDriverGetVersion(ctypes.byref(raw_version)) == 0 and raw_version.value > 0:
        version = f"{raw_version.value // 1000}.{raw_version.value % 1000 // 10}"
    total = 0
    total_mem = getattr(lib, "cuDeviceTotalMem_v2", None)
    if total_mem is not None:
        for ordinal in range(count.value):
            device = ctypes.c_int(0)
            size = ctypes.c_size_t(0)
            if lib.cuDeviceGet(ctypes.byref(device), ctypes.c_int(ordinal)) != 0:
                continue
            if total_mem(ctypes.byref(size), device) == 0:
                total += size.value
    return BackendInfo(GPUBackendKind.CUDA, version, count.value, total / _GIB)


def _read_text(path: str) -> str:
    with open(path, encoding="ascii", errors="replace") as f:
        return f.read()


def _detect_rocm() -> BackendInfo | None:
    root = _KFD_TOPOLOGY
    if not os.path.isdir(root):
        return None
    devices = 0
    total = 0
    for node in os.listdir(root):
        node_dir = os.path.join(root, node)
        try:
            gpu_id = int(_read_text(os.path.join(node_dir, "gpu_id")).strip() or "0")
        except (OSError, ValueError):
            continue
        if gpu_id == 0:  # CPU nodes of the topology
            continue
        devices += 1
        banks = os.path.join(node_dir, "mem_banks")
        if not os.path.isdir(banks):
            continue
        for bank in os.listdir(banks):
            try:
                text = _read_text(os.path.join(banks, bank, "properties"))
            except OSError:
                continue
            for line in text.splitlines():
                key, _, value = line.partition(" ")
                if key == "size_in_bytes":
                    try:
                        total += int(value)
                    except ValueError:
                        pass
    if devices == 0:
        return None
    try:
        version = _read_text(_AMDGPU_VERSION).strip()
    except OSError:
        version = ""
    return BackendInfo(GPUBackendKind.ROCm, version, devices, total / _GIB)


def _detect_cpu() -> BackendInfo:
    memory_gb = 0.0
    try:
        memory_gb = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / _GIB
    except (AttributeError, ValueError, OSError):
        pass
    return BackendInfo(GPUBackendKind.CPU, "", os.cpu_count() or 1, memory_gb)


_DETECTORS = ((GPUBackendKind.CUDA, _detect_cuda), (GPUBackendKind.ROCm, _detect_rocm))


class GPUBackendRegistry:
    """Process-wide view of the available backends (class-level, no instances needed)."""

    _lock = _thread.allocate_lock()
    # (read-only mapping of kind -> BackendInfo, best GPUBackend), once detected
    _state: tuple | None = None

    @classmethod
    def _detected(cls) -> tuple:
        state = cls._state
        if state is None:
            with cls._lock:
                state = cls._state
                if state is None:
                    state = cls._run_detection()
                    cls._state = state
        return state

    @staticmethod
    def _run_detection() -> tuple:
        found = {}
        for kind, detect in _DETECTORS:
            try:
                info = detect()
            except Exception:
                # A driver that misbehaves only costs its own backend.
                info = None
            if info is not None:
                found[kind] = info
        found[GPUBackendKind.CPU] = _detect_cpu()
        best = next((found[k] for k in _PREFERENCE if k in found), found[GPUBackendKind.CPU])
        return MappingProxyType(found), GPUBackend(best)

    @classmethod
    def detect_available_backends(cls) -> MappingProxyType:
        """Read-only mapping of each available backend's kind to its ``BackendInfo``."""
        return cls._detected()[0]

    @classmethod
    def get_best_available(cls) -> GPUBackend:
        """The preferred available backend (CUDA, then ROCm, then oneAPI, else CPU)."""
        return cls._detected()[1]

    @classmethod
    def clear_cache(cls) -> None:
        """Forget the detected backends; the next query detects again."""
        with cls._lock:
            cls._state = None
