"""Per-function call and compilation records of the JIT layer.

The store counts the calls of each watched function and the compilations with
their measured speed-ups; ``get_metrics`` hands out a snapshot as a
``FunctionMetrics`` (also for a function never seen), which is what
``CompileGate.should_compile`` and ``CompileGate.update`` read.
"""
import threading
import time

from korvane.jit.compile_gate import FunctionMetrics

__all__ = ["TelemetryStore"]


class _Record:
    __slots__ = ("calls", "compiles", "speedup_sum", "total_ms", "last_compiled")

    def __init__(self):
        self.calls = 0
        self.compiles = 0
        self.speedup_sum = 0.0
        self.total_ms = 0.0
        self.last_compiled = 0.0


class TelemetryStore:
    """Thread-safe call and compilation counts per function id."""

    def __init__(self):
        self._records = {}
        self._lock = threading.Lock()

    def _record(self, func_id):
        rec = self._records.get(func_id)
        if rec is None:
            rec = self._records[func_id] = _Record()
        return rec

    def record_call(self, func_id, execution_time_ms: float = 0.0) -> None:
        """Count one call of ``func_id`` that took ``execution_time_ms``."""
        ms = float(execution_time_ms)
        with self._lock:
            rec = self._record(func_id)
            rec.calls += 1
            rec.total_ms += ms

    def record_compilation(self, func_id, speedup: float, timestamp=None) -> None:
        """Count one compilation of ``func_id`` that brought ``speedup``.

        ``timestamp`` defaults to ``time.time()``.
        """
        s = float(speedup)
        when = time.time() if timestamp is None else float(timestamp)
        with self._lock:
            rec = self._record(func_id)
            rec.compiles += 1
            rec.speedup_sum += s
            rec.last_compiled = when

    def get_metrics(self, func_id) -> FunctionMetrics:
        """Snapshot of ``func_id``'s record; zeros for an unknown id.

        The average speed-up is the mean of the recorded speed-ups, 1.0 before
        the first compilation.
        """
        with self._lock:
            rec = self._records.get(func_id)
            if rec is None:
                return FunctionMetrics()
            avg = rec.speedup_sum / rec.compiles if rec.compiles else 1.0
            # Passed as last_compile_time so that any recorded value (a negative
            # or NaN one too) is what the snapshot reads.
            return FunctionMetrics(rec.calls, rec.compiles, avg, rec.total_ms, rec.last_compiled)

    def clear(self) -> None:
        """Forget every function."""
        with self._lock:
            self._records.clear()

    def __len__(self):
        with self._lock:
            return len(self._records)
