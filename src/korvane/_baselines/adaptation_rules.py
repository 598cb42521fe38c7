"""Pure-Python equivalent of ``korvane.plugins.analyzer.adaptation_rules``.

Same functions, defaults and results as the native module; used by the
benchmarks and by the main job when the native module is missing. Error types
match the native module; some messages are Python's own wording.
"""
from __future__ import annotations

import logging
import math

_NO_CHANGE = (False, 0.0, 0.0, 0.0)
_NO_PREDICTION = (0, 0, 0.0)
_KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def _check(name, value, kind):
    if value is not None and type(value) is not kind:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {kind.__name__}, "
            f"got {type(value).__name__})")


def _real(x):
    # float() would also parse strings; a history item must be a number.
    if isinstance(x, (str, bytes, bytearray)):
        raise TypeError(f"must be real number, not {type(x).__name__}")
    return float(x)


def detect_performance_degradation(performance_history, baseline_performance,
                                   threshold, window_start_time):
    _check("performance_history", performance_history, list)
    baseline_performance = float(baseline_performance)
    threshold = float(threshold)
    window_start_time = float(window_start_time)
    if not performance_history or baseline_performance <= 0 or len(performance_history) < 5:
        return False
    total = 0.0
    count = 0
    for t, m in performance_history:
        t = _real(t)
        m = _real(m)
        if t >= window_start_time:
            total += m
            count += 1
    if count < 5:
        return False
    average = total / count
    return (baseline_performance - average) / baseline_performance > threshold


def calculate_performance_trend(performance_history, window_start_time):
    _check("performance_history", performance_history, list)
    window_start_time = float(window_start_time)
    if performance_history is None or len(performance_history) < 3:
        return 0.0
    window = []
    for t, m in performance_history:
        t = _real(t)
        m = _real(m)
        if t >= window_start_time:
            window.append((t, m))
    if len(window) < 3:
        return 0.0
    t0 = window[0][0]
    sum_x = sum_y = sum_xy = sum_xx = 0.0
    for t, m in window:
        x = t - t0
        sum_x += x
        sum_y += m
        sum_xy += x * m
        sum_xx += x * x
    n = float(len(window))
    mean_x = sum_x / n
    k = mean_x * n
    denominator = sum_xx - k * mean_x
    if abs(denominator) < 1e-10:
        return 0.0
    mean_y = sum_y / n
    if abs(mean_y) < 1e-10:
        return 0.0
    trend = (sum_xy - k * mean_y) / denominator / mean_y
    if not trend < 1.0:
        trend = 1.0
    if not trend > -1.0:
        trend = -1.0
    return trend


def detect_workload_characteristics_change(pattern_history, change_threshold=0.3):
    _check("pattern_history", pattern_history, list)
    change_threshold = float(change_threshold)
    n = len(pattern_history)
    if n < 6:
        return _NO_CHANGE
    entries = pattern_history[n - 6:]
    for entry in entries:
        if entry is None:
            raise TypeError("'NoneType' object is not iterable")
        if type(entry) is not dict:
            raise TypeError(f"Expected dict, got {type(entry).__name__}")
        for key in _KEYS:
            if key not in entry:
                return _NO_CHANGE
    recent = [0.0, 0.0, 0.0]
    older = [0.0, 0.0, 0.0]
    for entry in entries[3:]:
        for i, key in enumerate(_KEYS):
            recent[i] = recent[i] + entry[key]
    for entry in entries[:3]:
        for i, key in enumerate(_KEYS):
            older[i] = older[i] + entry[key]
    changes = [float(abs(r / 3 - o / 3)) for r, o in zip(recent, older)]
    changed = any(c > change_threshold for c in changes)
    return (changed, changes[0], changes[1], changes[2])


def detect_dominant_pattern(patterns, window_size=5):
    _check("patterns", patterns, list)
    window_size = int(window_size)
    n = len(patterns)
    if n == 0:
        return "mixed"
    counts = {}
    for name in patterns[max(0, n - window_size):]:
        if name is not None and type(name) is not str:
            raise TypeError(f"Expected str, got {type(name).__name__}")
        counts[name] = counts.get(name, 0) + 1
    dominant = "mixed"
    best = 0
    for name, count in counts.items():
        if count > best:
            best = count
            dominant = name
    return dominant


def is_adaptation_beneficial(current_pool, recommended_pool, recommendation_score,
                             recommendation_confidence, current_performance_estimate,
                             trigger_code, min_improvement_ratio=1.1, min_confidence=0.6):
    _check("current_pool", current_pool, str)
    _check("recommended_pool", recommended_pool, str)
    if current_pool == recommended_pool:
        return False
    if recommendation_confidence < min_confidence:
        return False
    if trigger_code == 0:
        bar = 0.5
    elif current_performance_estimate > 0:
        bar = min_improvement_ratio * current_performance_estimate
    else:
        bar = 0.6
    return recommendation_score > bar


def _unit(x):
    if not x < 1.0:
        x = 1.0
    if not x > 0.0:
        x = 0.0
    return x


def _final(x):
    if x < 0:
        return 0.0
    if x > 1:
        return 1.0
    return x


def score_pool_recommendation(workload_fit, memory_fit, thread_count_fit,
                              historical_success_rate):
    score = (_unit(float(workload_fit)) * 0.35 + _unit(float(memory_fit)) * 0.3
             + _unit(float(thread_count_fit)) * 0.2
             + _unit(float(historical_success_rate)) * 0.15)
    return _final(score)


def calculate_adaptation_urgency(performance_degradation, memory_pressure,
                                 fragmentation_ratio, workload_changed):
    urgency = (0.0 + _unit(float(performance_degradation)) * 0.4
               + _unit(float(memory_pressure)) * 0.3
               + _unit(float(fragmentation_ratio)) * 0.15)
    if workload_changed:
        urgency += 0.15
    return _final(urgency)


def should_skip_adaptation(last_adaptation_time, current_time, min_interval):
    return float(min_interval) > float(current_time) - float(last_adaptation_time)


def detect_memory_pressure(current_usage, peak_usage, pressure_threshold=0.8):
    current_usage = float(current_usage)
    peak_usage = float(peak_usage)
    if peak_usage <= 0 or current_usage < 0:
        return False
    return current_usage / peak_usage > pressure_threshold


def detect_fragmentation_threshold(fragmentation_ratio, threshold=0.3):
    if fragmentation_ratio < 0:
        return False
    return fragmentation_ratio > threshold


def predict_resource_requirements(allocation_history, prediction_horizon_seconds):
    _check("allocation_history", allocation_history, list)
    horizon = float(prediction_horizon_seconds)
    n = len(allocation_history)
    if n < 10:
        return _NO_PREDICTION
    t_first = float(allocation_history[0][0])
    span = float(allocation_history[n - 1][0]) - t_first
    if not (span > 0 and math.isfinite(span)):
        return _NO_PREDICTION
    rate = n / span
    if not math.isfinite(rate):
        return _NO_PREDICTION
    total = 0.0
    for _t, size in allocation_history:
        _real(_t)
        total += _real(size)
    expected = rate * horizon
    if not (math.isfinite(horizon) and math.isfinite(total) and math.isfinite(expected)):
        return _NO_PREDICTION
    allocations = int(expected)
    total_bytes = total / n * float(allocations)
    if not math.isfinite(total_bytes):
        return _NO_PREDICTION
    return (allocations, int(total_bytes), min(n / 100.0, 1.0) * 0.8)


logger = logging.getLogger(__name__)
