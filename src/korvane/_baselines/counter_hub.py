"""Pure-Python equivalent of korvane.monitoring.counter_hub (benchmarks, main job)."""
from __future__ import annotations

import threading

_INF = float("inf")


class CounterAggregator:
    """Running count, mean, variance, std, min and max over numbered counters."""

    __slots__ = ("_num_counters", "_records", "_lock")

    def __init__(self, num_counters: int = 1000):
        num_counters = int(num_counters)
        if not -2**31 <= num_counters < 2**31:
            raise OverflowError("value too large to convert to int")
        if num_counters < 0:
            raise MemoryError("Failed to allocate counter storage")
        self._num_counters = num_counters
        # [count, sum, sum of squares, min, max]
        self._records = [[0, 0.0, 0.0, _INF, -_INF] for _ in range(num_counters)]
        self._lock = threading.Lock()

    def _check(self, counter_id):
        counter_id = int(counter_id)
        if counter_id < 0 or counter_id >= self._num_counters:
            raise IndexError(f"Counter ID {counter_id} out of range")
        return counter_id

    def update(self, counter_id, value):
        """Update counter with new value.
Thread-safe via lock (correctness over performance)."""
        counter_id = self._check(counter_id)
        value = float(value)
        with self._lock:
            r = self._records[counter_id]
            r[0] += 1
            r[1] += value
            r[2] += value * value
            if r[3] > value:
                r[3] = value
            if value > r[4]:
                r[4] = value

    def get_stats(self, counter_id):
        """Get statistics for a counter.
Returns dict with count, mean, variance, min, max."""
        counter_id = self._check(counter_id)
        with self._lock:
            count, total, total_sq, lo, hi = self._records[counter_id]
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0,
                    "min": _INF, "max": -_INF}
        mean = total / count
        variance = total_sq / count - mean * mean
        if variance < 0.0:  # rounding, never a real negative spread
            variance = 0.0
        return {"count": count, "mean": mean, "variance": variance,
                "std": variance ** 0.5, "min": lo, "max": hi}

    def reset(self, counter_id):
        """Reset a specific counter."""
        counter_id = self._check(counter_id)
        with self._lock:
            self._records[counter_id] = [0, 0.0, 0.0, _INF, -_INF]

    def reset_all(self):
        """Reset all counters."""
        with self._lock:
            for i in range(self._num_counters):
                self._records[i] = [0, 0.0, 0.0, _INF, -_INF]

    def get_all_stats(self):
        """Get statistics for all counters."""
        result = []
        for i in range(self._num_counters):
            if self._records[i][0] == 0:
                continue
            stats = self.get_stats(i)
            if stats is not None and not isinstance(stats, dict):
                raise TypeError(f"Expected dict, got {type(stats).__name__:.200}")
            result.append((i, stats))
        return result


def create_aggregator(num_counters=1000):
    """Create a new CounterAggregator instance."""
    return CounterAggregator(num_counters)
