"""Pure-Python equivalent of ``korvane.gpu.device_memory``.

Same functions, arguments and results as the native module; used by the
benchmarks and by the main job when it compares the two. Byte counts are
unsigned 64-bit, ``int`` arguments signed 32-bit, as in the native module.
"""
import logging
import math

_SATURATED = (1 << 63) - 1
_UINT64_MAX = (1 << 64) - 1
_INT32_MAX = (1 << 31) - 1

_NO_GPU_MEMORY = (2, 0, 1, "No GPU memory available")
_FITS = (0, 0, 1, "Allocation fits in GPU memory")
_NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")

_CHUNKABLE_OPS = frozenset({
    "zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
    "random.standard_normal", "random.uniform", "arange", "linspace",
})
_NON_CHUNKABLE_OPS = frozenset({
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv",
    "sort", "argsort",
})


def _as_int(value):
    if isinstance(value, int):
        return int(value)
    if not hasattr(type(value), "__int__"):
        raise TypeError("an integer is required")
    return int(value)


def _uint64(value):
    value = _as_int(value)
    if value < 0:
        raise OverflowError("can't convert negative value to uint64_t")
    if value > _UINT64_MAX:
        raise OverflowError("int too big to convert")
    return value


def _int32(value):
    value = _as_int(value)
    if not -(1 << 31) <= value <= _INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return value


def _double(value):
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"must be real number, not {type(value).__name__}")
    return float(value)


def _check_str(name, value):
    if value is not None and not isinstance(value, str):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


def _check_tuple(name, value):
    if value is not None and not isinstance(value, tuple):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected tuple, got {type(value).__name__})")


def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    _check_tuple("shape", shape)
    element_size = _int32(element_size)
    overhead_factor = _double(overhead_factor)
    if element_size < 0:
        raise ValueError("element_size must not be negative")
    elements = 1
    for i in range(len(shape)):  # None raises TypeError here
        dim = _int32(shape[i])
        if dim <= 0:
            return 0
        if elements > _SATURATED // dim:
            return _SATURATED
        elements *= dim
    if element_size > 0 and elements > _SATURATED // element_size:
        return _SATURATED
    total = element_size * elements
    if overhead_factor > 1.0:
        scaled = total * overhead_factor
        if not scaled < 9223372036854775808.0:
            return _SATURATED
        total = int(scaled)
    return total


def _safe_limit(available_bytes, headroom_ratio):
    ratio = headroom_ratio
    if ratio != ratio:
        ratio = 0.99
    elif ratio < 0.0:
        ratio = 0.0
    elif ratio > 0.99:
        ratio = 0.99
    limit = (1.0 - ratio) * available_bytes
    if not limit < 18446744073709551616.0:
        return available_bytes
    limit = int(limit)
    return limit if limit < available_bytes else available_bytes


def calculate_safe_limit(available_bytes, headroom_ratio):
    return _safe_limit(_uint64(available_bytes), _double(headroom_ratio))


def calculate_memory_pressure(used_bytes, total_bytes):
    used_bytes = _uint64(used_bytes)
    total_bytes = _uint64(total_bytes)
    if total_bytes == 0:
        return 1.0
    pressure = float(used_bytes) / float(total_bytes)
    if pressure < 0.0:
        return 0.0
    if pressure > 1.0:
        return 1.0
    return pressure


def recommend_headroom(current_pressure, base_headroom=0.5):
    p = _double(current_pressure)
    base = _double(base_headroom)
    if p > 0.8:
        h = 0.8
    elif p > 0.6:
        h = (p - 0.5) * 0.5 + base
    elif p > 0.3:
        h = base
    else:
        h = base - 0.1
        if not h > 0.3:
            h = 0.3
    if h < 0.3:
        return 0.3
    if h > 0.8:
        return 0.8
    return h


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    requested_bytes = _uint64(requested_bytes)
    safe = _safe_limit(_uint64(available_bytes), _double(headroom_ratio))
    chunkable = bool(is_chunkable)
    if safe == 0:
        return _NO_GPU_MEMORY
    if safe >= requested_bytes:
        return _FITS
    if not chunkable:
        return _NOT_CHUNKABLE
    chunk_count = -(-requested_bytes // safe)
    return (1, safe, chunk_count, "Chunking into " + str(chunk_count) + " GPU passes")


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    _check_tuple("shape", shape)
    element_size = _int32(element_size)
    max_chunk_bytes = _uint64(max_chunk_bytes)
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if len(shape) == 0:
        return [shape]
    row_bytes = element_size
    for extent in shape[1:]:
        row_bytes = min(row_bytes * _uint64(extent), _UINT64_MAX)
    if row_bytes == 0:
        rows = _INT32_MAX
    elif max_chunk_bytes < row_bytes:
        rows = 1
    else:
        rows = min(max(max_chunk_bytes // row_bytes, 1), _INT32_MAX)
    remaining = _int32(shape[0])
    rest = tuple(shape[1:])
    one_axis = len(shape) == 1
    chunks = []
    while remaining > 0:
        n = remaining if remaining < rows else rows
        chunks.append((n,) if one_axis else (n,) + rest)
        remaining -= n
    return chunks


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks=1,
                             max_chunks=1000):
    total_bytes = _uint64(total_bytes)
    available_bytes = _uint64(available_bytes)
    headroom_ratio = _double(headroom_ratio)
    min_chunks = _int32(min_chunks)
    max_chunks = _int32(max_chunks)
    safe = _safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return max_chunks
    n = -(-total_bytes // safe)
    if n < min_chunks:
        return min_chunks
    if n < max_chunks:
        return n
    return max_chunks


def is_chunkable_operation(operation):
    _check_str("operation", operation)
    return operation in _CHUNKABLE_OPS


def is_oom_error(error_message, error_type):
    _check_str("error_message", error_message)
    _check_str("error_type", error_type)
    m = error_message.lower()
    t = error_type.lower()
    if "out of memory" in m:
        return True
    if "outofmemoryerror" in t:
        return True
    if "cuda" in m and "memory" in m:
        return True
    if "allocat" in m and "failed" in m:
        return True
    if "memory" in m and "insufficient" in m:
        return True
    if "gpu" in m and "memory" in m:
        return True
    return False


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio):
    data_size_bytes = _uint64(data_size_bytes)
    _check_str("operation_type", operation_type)
    safe = _safe_limit(_uint64(available_gpu_memory), _double(headroom_ratio))
    if safe == 0:
        s = 0.0
    elif safe < data_size_bytes:
        s = float(safe) / float(data_size_bytes)
    else:
        s = float(data_size_bytes) / (float(safe) * 0.8)
        if s > 1.0:
            s = 1.0
    if operation_type in _CHUNKABLE_OPS:
        f = 0.9
    elif operation_type in _NON_CHUNKABLE_OPS:
        f = 0.7
    else:
        f = 0.5
    return f * s


logger = logging.getLogger(__name__)
