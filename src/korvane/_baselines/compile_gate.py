"""Adaptive JIT threshold policy (pure-Python equivalent).

Same classes, functions, results and messages as ``korvane.jit.compile_gate``;
used by the benchmarks and as a fallback. Native integer widths are checked
explicitly so that both sides reject the same values.
"""
import logging
import math
import threading
import time
from typing import Dict, Optional

logger = logging.getLogger(__name__)

_RECOMPILE_INTERVAL = 600.0


def _native_int(value, lo, hi, cname):
    if isinstance(value, int):
        v = int(value)
    elif hasattr(type(value), "__int__"):
        v = type(value).__int__(value)
        if not isinstance(v, int):
            raise TypeError("__int__ returned non-int (type %.200s)" % type(v).__name__)
    else:
        raise TypeError("an integer is required")
    # The native module's messages: first the C long (or unsigned long) read,
    # then the narrower width.
    if lo == 0:
        if v < 0:
            raise OverflowError("can't convert negative value to %s" % cname)
        if v >= 1 << 64:
            raise OverflowError("Python int too large to convert to C unsigned long")
    elif not -(1 << 63) <= v < 1 << 63:
        raise OverflowError("Python int too large to convert to C long")
    if v < lo or v > hi:
        raise OverflowError("value too large to convert to %s" % cname)
    return v


def _i32(value):
    return _native_int(value, -(1 << 31), (1 << 31) - 1, "int")


def _u32(value):
    return _native_int(value, 0, (1 << 32) - 1, "uint32_t")


def _u64(value):
    return _native_int(value, 0, (1 << 64) - 1, "uint64_t")


def _f(value):
    # float(), minus the parsing of strings: non-numbers are a TypeError.
    if type(value) is float:
        return value
    if hasattr(type(value), "__float__") or hasattr(type(value), "__index__"):
        return float(value)
    raise TypeError("must be real number, not %.200s" % type(value).__name__)


def _no_delete(name):
    def deleter(self):
        raise NotImplementedError("__del__")
    return deleter


def _field(slot, convert, doc=None):
    def getter(self):
        return getattr(self, slot)

    def setter(self, value):
        setattr(self, slot, convert(value))

    return property(getter, setter, _no_delete(slot), doc)


class PolicyConfig:
    """Configuration for adaptive threshold policy."""

    __slots__ = ("_initial", "_min", "_max", "_rate", "_target")

    def __init__(self, initial_threshold=100, min_threshold=10, max_threshold=10000,
                 learning_rate=0.1, target_speedup=2.0):
        initial, lo, hi = _i32(initial_threshold), _i32(min_threshold), _i32(max_threshold)
        rate, target = _f(learning_rate), _f(target_speedup)
        if lo <= 0:
            raise ValueError("min_threshold must be positive")
        if lo >= hi:
            raise ValueError("max_threshold must be greater than min_threshold")
        if not (rate > 0.0 and rate <= 1.0):
            raise ValueError("learning_rate must be in (0, 1]")
        if target <= 0.0:
            raise ValueError("target_speedup must be positive")
        if initial < lo or initial > hi:
            raise ValueError("initial_threshold must be within bounds")
        self._initial, self._min, self._max = initial, lo, hi
        self._rate, self._target = rate, target

    def __reduce__(self):
        raise TypeError("no default __reduce__ due to non-trivial __cinit__")

    initial_threshold = _field("_initial", _i32)
    min_threshold = _field("_min", _i32)
    max_threshold = _field("_max", _i32)
    learning_rate = _field("_rate", _f)
    target_speedup = _field("_target", _f)


class FunctionMetrics:
    """Per-function performance metrics."""

    __slots__ = ("_calls", "_compiles", "_speedup", "_total_ms", "_stamp")

    def __init__(self, call_count=0, compile_count=0, avg_speedup=1.0,
                 total_execution_time_ms=0.0, last_compile_time=0.0, last_compiled=-1.0):
        self._calls = _u64(call_count)
        self._compiles = _u32(compile_count)
        self._speedup = _f(avg_speedup)
        self._total_ms = _f(total_execution_time_ms)
        older, newer = _f(last_compile_time), _f(last_compiled)
        self._stamp = newer if newer >= 0.0 else older

    def __reduce__(self):
        raise TypeError("no default __reduce__ due to non-trivial __cinit__")

    call_count = _field("_calls", _u64)
    compile_count = _field("_compiles", _u32)
    avg_speedup = _field("_speedup", _f)
    total_execution_time_ms = _field("_total_ms", _f)
    last_compiled = _field(
        "_stamp", _f, "Timestamp of last compilation (matches TelemetryStore interface).")
    last_compile_time = _field(
        "_stamp", _f, "Alias for last_compiled for backward compatibility.")


class _LockOwner:
    """The gate's lock plus the id of the thread holding it (refuses re-entry)."""

    __slots__ = ("lock", "owner")

    def __init__(self, lock):
        self.lock = lock
        self.owner = None

    def __enter__(self):
        me = threading.get_ident()
        if self.owner == me:
            raise RuntimeError("CompileGate is already in use by this thread")
        self.lock.__enter__()
        self.owner = me

    def __exit__(self, *exc):
        self.owner = None
        return self.lock.__exit__(*exc)


def _check_func_id(func_id):
    if func_id is not None and type(func_id) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                        % ("func_id", "str", type(func_id).__name__))


class CompileGate:
    """Adaptive compilation threshold policy."""

    __slots__ = ("_config", "_thresholds", "_lock", "_interval")

    def __init__(self, config=None):
        if config is None:
            config = PolicyConfig()
        elif not isinstance(config, PolicyConfig):
            config = PolicyConfig(
                initial_threshold=getattr(config, "initial_threshold", 100),
                min_threshold=getattr(config, "min_threshold", 10),
                max_threshold=getattr(config, "max_threshold", 10000),
                learning_rate=getattr(config, "learning_rate", 0.1),
                target_speedup=getattr(config, "target_speedup", 2.0))
        self._config = config
        self._thresholds = {}
        self._lock = _LockOwner(threading.Lock())
        self._interval = _RECOMPILE_INTERVAL

    def __reduce__(self):
        raise TypeError("no default __reduce__ due to non-trivial __cinit__")

    @property
    def config(self):
        """Get policy configuration."""
        return self._config

    def _get_threshold_fast(self, func_id):
        t = self._thresholds.get(func_id)
        return self._config._initial if t is None else t

    def get_threshold(self, func_id: str) -> int:
        _check_func_id(func_id)
        with self._lock:
            t = self._thresholds.get(func_id)
            return self._config.initial_threshold if t is None else t

    def should_compile(self, func_id: str, telemetry_store) -> bool:
        _check_func_id(func_id)
        now = time.time()
        with self._lock:
            threshold = self._get_threshold_fast(func_id)
            metrics = telemetry_store.get_metrics(func_id)
            calls = _u64(metrics.call_count)
            compiles = _u32(metrics.compile_count)
            _f(metrics.avg_speedup)
            last = _f(getattr(metrics, "last_compiled", 0.0))
        if calls < threshold:
            return False
        if compiles == 0:
            return True
        return not (self._interval > now - last)

    def update(self, func_id: str, telemetry_store):
        _check_func_id(func_id)
        with self._lock:
            metrics = telemetry_store.get_metrics(func_id)
            if metrics.compile_count == 0:
                return None
            old = self._get_threshold_fast(func_id)
            compiles = _u32(metrics.compile_count)
            speedup = _f(metrics.avg_speedup)
            cfg = self._config
            target = cfg._target if cfg._target > 0.0 else 1.0
            rate = cfg._rate
            step = -rate if speedup / target > 1.0 else rate
            damping = 1.0 - min(compiles / 10.0, 1.0)
            proposed = (step * old) * damping + old
            if proposed < cfg._min:
                new = cfg._min
            elif proposed > cfg._max:
                new = cfg._max
            elif math.isnan(proposed):
                new = old
            else:
                new = int(proposed)
            self._thresholds[func_id] = new
        logger.debug("Updated threshold for " + str(func_id) + ": " + str(old) + " -> "
                     + str(new) + " (speedup: " + format(speedup, ".2f") + "x)")

    def get_statistics(self) -> Dict:
        with self._lock:
            if not self._thresholds:
                cfg = self._config
                return {"tracked_functions": 0, "avg_threshold": cfg.initial_threshold,
                        "min_threshold": cfg.min_threshold, "max_threshold": cfg.max_threshold}
            values = list(self._thresholds.values())
            return {"tracked_functions": len(self._thresholds),
                    "avg_threshold": sum(values) / len(values),
                    "min_threshold": min(values), "max_threshold": max(values)}


_global_policy: Optional[CompileGate] = None
_policy_lock = threading.Lock()


def get_compile_gate() -> CompileGate:
    """Get or create the global policy instance (always under the lock)."""
    global _global_policy
    with _policy_lock:
        if _global_policy is None:
            _global_policy = CompileGate()
        return _global_policy


def reset_compile_gate():
    """Reset the global policy (for tests)."""
    global _global_policy
    with _policy_lock:
        _global_policy = None


def _int_arg(name, value):
    if type(value) is int:
        return value
    if hasattr(type(value), "__int__") or hasattr(type(value), "__index__"):
        return int(value)
    raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                    % (name, "int", type(value).__name__))


def create_function_metrics(call_count: int = 0, compile_count: int = 0, avg_speedup: float = 1.0,
                            total_execution_time_ms: float = 0.0,
                            last_compile_time: float = 0.0) -> FunctionMetrics:
    """Factory function to create FunctionMetrics."""
    return FunctionMetrics(call_count=_int_arg("call_count", call_count),
                           compile_count=_int_arg("compile_count", compile_count),
                           avg_speedup=_f(avg_speedup),
                           total_execution_time_ms=_f(total_execution_time_ms),
                           last_compile_time=_f(last_compile_time))


def create_policy_config(initial_threshold: int = 100, min_threshold: int = 10,
                         max_threshold: int = 10000, learning_rate: float = 0.1,
                         target_speedup: float = 2.0) -> PolicyConfig:
    """Factory function to create PolicyConfig."""
    return PolicyConfig(initial_threshold=_int_arg("initial_threshold", initial_threshold),
                        min_threshold=_int_arg("min_threshold", min_threshold),
                        max_threshold=_int_arg("max_threshold", max_threshold),
                        learning_rate=_f(learning_rate), target_speedup=_f(target_speedup))
