"""Pure-Python equivalents of korvane.memory.lockless_ops, for benchmarks.

Each class guards its state with a threading.Lock, as a Python user would.
"""
from __future__ import annotations

import threading
import time


class AtomicCounter:
    __slots__ = ("_value", "_lock")

    def __init__(self, initial_value: int = 0):
        self._value = initial_value
        self._lock = threading.Lock()

    @staticmethod
    def _wrap(v: int) -> int:
        return ((v + 2**63) % 2**64) - 2**63

    def load(self) -> int:
        with self._lock:
            return self._value

    def store(self, value: int) -> None:
        with self._lock:
            self._value = value

    def increment(self, delta: int = 1) -> int:
        with self._lock:
            self._value = v = self._wrap(self._value + delta)
            return v

    def decrement(self, delta: int = 1) -> int:
        with self._lock:
            self._value = v = self._wrap(self._value - delta)
            return v

    def compare_and_swap(self, expected: int, new_value: int) -> bool:
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False

    def fetch_and_add(self, delta: int) -> int:
        with self._lock:
            old = self._value
            self._value = self._wrap(old + delta)
            return old

    py_load = load
    py_store = store
    py_increment = increment
    py_decrement = decrement
    py_compare_and_swap = compare_and_swap
    py_fetch_and_add = fetch_and_add


class AtomicCounterWrapper:
    """Python wrapper for Cython AtomicCounter (backward compatibility)."""

    def __init__(self, initial_value: int = 0):
        self._counter = AtomicCounter(initial_value)

    def load(self) -> int:
        return self._counter.py_load()

    def store(self, value: int):
        self._counter.py_store(value)

    def increment(self, delta: int = 1) -> int:
        return self._counter.py_increment(delta)

    def decrement(self, delta: int = 1) -> int:
        return self._counter.py_decrement(delta)

    def compare_and_swap(self, expected: int, new_value: int) -> bool:
        return self._counter.py_compare_and_swap(expected, new_value)

    def fetch_and_add(self, delta: int) -> int:
        return self._counter.py_fetch_and_add(delta)


class AtomicPointer:
    __slots__ = ("_ptr", "_version", "_lock")

    def __init__(self, initial_value=None):
        self._ptr = initial_value
        self._version = 0
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._ptr

    def store(self, value) -> None:
        with self._lock:
            self._version += 1
            self._ptr = value

    def compare_and_swap(self, expected, new_value) -> bool:
        with self._lock:
            if self._ptr is expected:
                self._version += 1
                self._ptr = new_value
                return True
            return False

    def get_version(self) -> int:
        with self._lock:
            return self._version


class LockFreeStack:
    __slots__ = ("_items", "_lock")

    def __init__(self, *args, **kwargs):
        self._items = []
        self._lock = threading.Lock()

    def push(self, item) -> None:
        with self._lock:
            self._items.append(item)

    def pop(self):
        with self._lock:
            return self._items.pop() if self._items else None

    def is_empty(self) -> bool:
        with self._lock:
            return not self._items

    def size(self) -> int:
        return len(self._items)


class LockFreeStatistics:
    _NAMES = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
              "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
              "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
              "total_deallocation_time_ns")

    def __init__(self, *args, **kwargs):
        self._lock = threading.Lock()
        self._v = dict.fromkeys(self._NAMES, 0)

    def record_allocation(self, size: int, is_bucketed: bool = True, padding: int = 0, time_ns: int = 0) -> None:
        with self._lock:
            v = self._v
            v["total_allocations"] += 1
            v["current_allocations"] += 1
            v["bytes_allocated"] += size
            v["bucketed_allocations" if is_bucketed else "fallback_allocations"] += 1
            if padding > 0:
                v["alignment_padding_bytes"] += padding
            if time_ns > 0:
                v["total_allocation_time_ns"] += time_ns
            v["peak_allocations"] = max(v["peak_allocations"], v["current_allocations"])
            v["peak_bytes_allocated"] = max(v["peak_bytes_allocated"], v["bytes_allocated"])

    def record_deallocation(self, size: int, time_ns: int = 0) -> None:
        with self._lock:
            v = self._v
            v["total_deallocations"] += 1
            v["current_allocations"] -= 1
            v["bytes_allocated"] -= size
            if time_ns > 0:
                v["total_deallocation_time_ns"] += time_ns

    # The older forms: they touch only the three running totals.
    def py_record_allocation(self, size: int, is_bucketed: bool, padding: int = 0, time_ns: int = 0):
        with self._lock:
            v = self._v
            v["total_allocations"] += 1
            v["current_allocations"] += 1
            v["bytes_allocated"] += size

    def py_record_deallocation(self, size: int, time_ns: int = 0):
        with self._lock:
            v = self._v
            v["total_deallocations"] += 1
            v["current_allocations"] -= 1
            v["bytes_allocated"] -= size

    def _update_peaks(self, current_allocs: int, current_bytes: int) -> None:
        with self._lock:
            v = self._v
            v["peak_allocations"] = max(v["peak_allocations"], current_allocs)
            v["peak_bytes_allocated"] = max(v["peak_bytes_allocated"], current_bytes)

    def get_snapshot(self) -> dict:
        with self._lock:
            v = dict(self._v)
        ta, td = v["total_allocations"], v["total_deallocations"]
        ratio = v["bucketed_allocations"] / ta * 100.0 if ta > 0 else 0.0
        return {
            **{k: v[k] for k in self._NAMES[:9]},
            "bucketed_allocation_ratio": f"{ratio:.1f}%",
            "alignment_padding_bytes": v["alignment_padding_bytes"],
            "average_allocation_time_ns": v["total_allocation_time_ns"] / ta if ta > 0 else 0.0,
            "average_deallocation_time_ns": v["total_deallocation_time_ns"] / td if td > 0 else 0.0,
            "allocation_mode": "lock-free C11 atomics",
        }

    def reset(self) -> None:
        with self._lock:
            self._v = dict.fromkeys(self._NAMES, 0)


class PerformanceTimer:
    def __init__(self, *args, **kwargs):
        self._start = 0

    def start(self) -> None:
        self._start = time.perf_counter_ns()

    def elapsed_ns(self) -> int:
        return time.perf_counter_ns() - self._start

    def elapsed_us(self) -> float:
        return self.elapsed_ns() / 1000.0

    def elapsed_ms(self) -> float:
        return self.elapsed_ns() / 1000000.0
