"""Pure-Python equivalent of ``korvane.plugins.analyzer.pattern_scoring``.

Same functions, arguments and results as the native module for well-typed
arguments; used by the benchmarks and by the main job where the native module
is unavailable. Argument conversion is the plain Python one (no 32-bit range
checks on the ``int`` arguments).
"""
import re

_FRAMEWORK_PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b",
                          re.IGNORECASE),
}

CPU_INDICATORS = (
    "for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm",
    "sum", "prod", "dot", "matmul", "fft", "linalg")
MEMORY_INDICATORS = (
    "array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append",
    "extend")
PARALLEL_INDICATORS = (
    "multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk",
    "batch", "processpoolexecutor", "threadpoolexecutor")
GPU_OPERATION_INDICATORS = (
    "matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum",
    "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract",
    "multiply", "divide", "/", "*", "+", "-", "linalg", "linear_algebra", "array", "asarray",
    "zeros", "ones", "empty", "full")
LARGE_DATA_INDICATORS = (
    "reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9",
    "1024", "megabyte", "mb")
EMBARRASSINGLY_PARALLEL_INDICATORS = (
    "workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize",
    "broadcast")
SEQUENTIAL_INDICATORS = (
    "global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered",
    "dependencies")

NUMPY_INDICATORS = (
    "numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot",
    "matmul", "linalg", "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin",
    "reshape", "transpose", "concatenate", "stack", "split")
PANDAS_INDICATORS = (
    "pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge",
    "join", "concat", "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values")
SKLEARN_INDICATORS = (
    "sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv",
    "randomizedsearchcv", "pipeline", "featureunion", "train_test_split", "classification",
    "regression", "clustering", "preprocessing", "model_selection", "metrics", "ensemble")


def _clamp(x, lo, hi):
    if x < lo:
        return lo
    if x > hi:
        return hi
    return x


def _lower(s):
    # str.lower(None) raises the TypeError that the native module raises.
    return str.lower(s) if s is None else s.lower()


def quick_framework_score(code, framework):
    pattern = _FRAMEWORK_PATTERNS.get(framework) if framework is not None else None
    if pattern is None:
        return 0.0
    score = len(pattern.findall(code)) / 10.0
    return 1.0 if score > 1.0 else score


def calculate_gpu_suitability(gpu_operation_score, gpu_data_size_score, cpu_intensity,
                              gpu_available, compute_capability):
    if not gpu_available:
        return 0.0
    base = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4
    cpu_bonus = _clamp(cpu_intensity * 0.3, 0.0, 0.3)
    multiplier = 1.0
    if compute_capability:
        try:
            major = int(compute_capability.split(".")[0])
        except (ValueError, IndexError):
            pass
        else:
            if not -2**31 <= major < 2**31:
                raise OverflowError("value too large to convert to int")
            multiplier = 1.2 if major >= 8 else 1.1 if major >= 7 else 1.0 if major >= 6 else 0.8
    return _clamp((base + cpu_bonus) * multiplier, 0.0, 1.0)


def estimate_gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available):
    if not gpu_available or gpu_operation_score == 0.0:
        return 1.0
    if gpu_operation_score > 0.8:
        base = 15.0
    elif gpu_operation_score > 0.6:
        base = 8.0
    elif gpu_operation_score > 0.3:
        base = 4.0
    else:
        base = 2.0
    return (gpu_data_size_score * 0.5 + 1.0) * base


def calculate_parallelization_potential(base_parallel_score, embarrassing_bonus,
                                        sequential_penalty, loop_chunking_potential):
    bonus = _clamp(embarrassing_bonus * 0.3, 0.0, 0.7)
    penalty = _clamp(sequential_penalty * 0.2, 0.0, 0.5)
    raw = ((base_parallel_score + bonus) - penalty) + loop_chunking_potential * 0.4
    return float(_clamp(raw, 0.0, 1.0))


def score_indicators(code, function_name):
    text = _lower(code)
    name = function_name.lower() if function_name else ""
    cpu = sum(1 for w in CPU_INDICATORS if w in text)
    memory = sum(1 for w in MEMORY_INDICATORS if w in text)
    parallel = sum(1 for w in PARALLEL_INDICATORS if w in text)
    gpu_op = sum(1 for w in GPU_OPERATION_INDICATORS if w in text or w in name)
    large = sum(1 for w in LARGE_DATA_INDICATORS if w in text)
    embarrassing = sum(1 for w in EMBARRASSINGLY_PARALLEL_INDICATORS if w in text or w in name)
    sequential = sum(1 for w in SEQUENTIAL_INDICATORS if w in text)
    return (cpu, memory, parallel, gpu_op, large, embarrassing, sequential)


def normalize_scores(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score):
    return (_clamp(cpu_score / 15.0, 0.0, 1.0), _clamp(memory_score / 10.0, 0.0, 1.0),
            _clamp(parallel_score / 11.0, 0.0, 1.0), _clamp(gpu_op_score / 36.0, 0.0, 1.0),
            _clamp(large_data_score / 13.0, 0.0, 1.0))


def score_framework_patterns(code):
    text = _lower(code)
    numpy_count = sum(1 for w in NUMPY_INDICATORS if w in text)
    pandas_count = sum(1 for w in PANDAS_INDICATORS if w in text)
    sklearn_count = sum(1 for w in SKLEARN_INDICATORS if w in text)
    return (_clamp(numpy_count / 25.0, 0.0, 1.0), _clamp(pandas_count / 18.0, 0.0, 1.0),
            _clamp(sklearn_count / 18.0, 0.0, 1.0))


def determine_workload_pattern(cpu_intensity, memory_intensity, parallelization_potential,
                               gpu_suitability, gpu_operation_score, numpy_score, pandas_score,
                               sklearn_score, sequential_count, embarrassing_count, cpu_threshold,
                               memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold,
                               sklearn_threshold, gpu_available):
    if sklearn_score > sklearn_threshold:
        return 12
    if pandas_score > pandas_threshold:
        return 10
    if numpy_score > numpy_threshold:
        return 8
    if gpu_available and gpu_suitability > gpu_threshold:
        if gpu_operation_score > 0.7 and cpu_intensity > 0.6:
            return 6
        if memory_intensity > 0.5:
            return 7
        return 5
    if embarrassing_count > 0 or parallelization_potential > 0.6:
        return 3
    if cpu_intensity > cpu_threshold:
        return 1
    if memory_intensity > memory_threshold:
        return 2
    if sequential_count > 2:
        return 4
    return 0


def update_adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold,
                              max_threshold):
    new = current_threshold
    if success_rate > 0.8:
        new = current_threshold + learning_rate
    elif success_rate < 0.4:
        new = current_threshold - learning_rate
    return float(_clamp(new, min_threshold, max_threshold))
