import math

import pytest
from hypothesis import given, strategies as st

from korvane.gpu import device_memory as dm
from korvane._baselines import device_memory as base

import leakcheck
from leakcheck import I32_OVER, U64_OVER, RaisingBool, bad, ok

MAX63 = 2**63 - 1
U64 = 2**64 - 1
u64 = st.integers(0, U64)
ratios = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from([0.0, 0.2, 0.99, 1.0]))

DIRECT = (0, 0, 1, "Allocation fits in GPU memory")
NO_GPU = (2, 0, 1, "No GPU memory available")
NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


# ---------------------------------------------------------------- estimates

@pytest.mark.parametrize("args, expected", [
    (((1000, 1000), 8), 8_000_000),
    (((1000, 1000), 8, 1.5), 12_000_000),
    (((1000, 1000), 8, 0.5), 8_000_000),
    (((1000, 1000), 8, float("nan")), 8_000_000),
    (((10, 0, 10), 8), 0),
    (((10, -3), 8), 0),
    (((0, "not reached"), 8), 0),
    (((), 8), 8),
    (((5,), 0), 0),
    (((2**31 - 1,) * 3, 1), MAX63),
    (((2**31 - 1,) * 2, 2**31 - 1), MAX63),
    (((1000, 1000), 8, 1e300), MAX63),
    (((1000, 1000), 8, float("inf")), MAX63),
    (((2**31 - 1, 2**31 - 1), 2, 1.5), MAX63),
])
def test_estimate_allocation_bytes(args, expected):
    assert dm.estimate_allocation_bytes(*args) == expected


@pytest.mark.parametrize("args, exc, msg", [
    ((None, 8), TypeError, "object of type 'NoneType' has no len()"),
    (([10], 8), TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)"),
    (((10,), -1), ValueError, "element_size must not be negative"),
    (((2**31,), 8), OverflowError, None),
    ((("a",), 8), TypeError, None),
])
def test_estimate_allocation_bytes_rejects(args, exc, msg):
    with pytest.raises(exc) as info:
        dm.estimate_allocation_bytes(*args)
    if msg:
        assert str(info.value) == msg


# ---------------------------------------------------------------- limits

@pytest.mark.parametrize("available, ratio, expected", [
    (1000, 0.2, 800),
    (1000, 1.0, 10),
    (1000, -1, 1000),
    (1000, float("nan"), 10),
    (1000, float("inf"), 10),
    (1000, float("-inf"), 1000),
    (0, 0.5, 0),
    (U64, 0.0, U64),              # the double product rounds up to 2**64
    (2**53 + 3, 0.0, 2**53 + 3),  # and here to 2**53 + 4
])
def test_calculate_safe_limit(available, ratio, expected):
    assert dm.calculate_safe_limit(available, ratio) == expected


@given(u64, ratios)
def test_safe_limit_never_exceeds_available(available, ratio):
    limit = dm.calculate_safe_limit(available, ratio)
    assert 0 <= limit <= available
    assert limit == base.calculate_safe_limit(available, ratio)


@pytest.mark.parametrize("fn, args", [
    (dm.calculate_safe_limit, (-1, 0.1)),
    (dm.calculate_safe_limit, (2**64, 0.1)),
    (dm.calculate_memory_pressure, (1, -5)),
    (dm.decide_allocation_strategy, (-1, 10, 0.0, True)),
    (dm.calculate_optimal_chunks, (-1, 10, 0.0)),
    (dm.compute_chunk_shapes, ((10,), 8, -1)),
    (dm.score_gpu_suitability, (10, "zeros", -1, 0.0)),
])
def test_negative_byte_counts_overflow(fn, args):
    with pytest.raises(OverflowError):
        fn(*args)


@pytest.mark.parametrize("used, total, expected", [
    (5, 0, 1.0), (150, 100, 1.0), (25, 100, 0.25), (0, 100, 0.0), (U64, U64, 1.0),
])
def test_calculate_memory_pressure(used, total, expected):
    assert dm.calculate_memory_pressure(used, total) == expected


@pytest.mark.parametrize("args, expected", [
    ((0.9,), 0.8), ((0.7,), 0.6), ((0.5,), 0.5), ((0.1,), 0.4), ((0.1, 0.35), 0.3),
    ((0.8,), 0.65), ((0.3,), 0.4), ((0.5, 2.0), 0.8), ((0.5, -1.0), 0.3),
    ((float("nan"),), 0.4),
])
def test_recommend_headroom(args, expected):
    assert dm.recommend_headroom(*args) == pytest.approx(expected, abs=1e-15)


# ---------------------------------------------------------------- strategy

@pytest.mark.parametrize("args, expected", [
    ((2500, 1000, 0.0, True), (1, 1000, 3, "Chunking into 3 GPU passes")),
    ((2500, 1000, 0.0, False), NOT_CHUNKABLE),
    ((800, 1000, 0.2, False), DIRECT),
    ((801, 1000, 0.2, 1), (1, 800, 2, "Chunking into 2 GPU passes")),
    ((0, 0, 0.0, True), NO_GPU),
    ((10**18, 0, 0.0, True), NO_GPU),
    ((5, 1000, 1.0, True), DIRECT),
    # the double quotient would give 3 and leave the last byte uncovered
    ((3 * 2**62 + 1, 2**62, 0.0, True), (1, 2**62, 4, "Chunking into 4 GPU passes")),
    ((U64, 1, 0.0, True), (1, 1, U64, f"Chunking into {U64} GPU passes")),
])
def test_decide_allocation_strategy(args, expected):
    assert dm.decide_allocation_strategy(*args) == expected


def test_constant_strategy_results_are_shared(refcount):
    first = dm.decide_allocation_strategy(1, 1000, 0.0, True)
    assert dm.decide_allocation_strategy(2, 1000, 0.0, False) is first
    assert dm.decide_allocation_strategy(5000, 1000, 0.0, False) is \
        dm.decide_allocation_strategy(6000, 1000, 0.0, False)
    assert dm.decide_allocation_strategy(1, 0, 0.0, False) is dm.decide_allocation_strategy(1, 0, 0.0, True)
    before = refcount(first)
    for _ in range(1000):
        dm.decide_allocation_strategy(1, 1000, 0.0, True)
    assert refcount(first) == before


@given(u64, u64, ratios, st.booleans())
def test_chunked_strategy_covers_the_request(requested, available, ratio, chunkable):
    code, size, count, msg = dm.decide_allocation_strategy(requested, available, ratio, chunkable)
    assert (code, size, count, msg) == base.decide_allocation_strategy(requested, available, ratio, chunkable)
    if code == 1:
        assert size * count >= requested > size * (count - 1)
        assert msg == f"Chunking into {count} GPU passes"


# ---------------------------------------------------------------- chunking

@pytest.mark.parametrize("args, expected", [
    (((10, 4), 8, 64), [(2, 4)] * 5),
    (((10,), 8, 24), [(3,), (3,), (3,), (1,)]),
    (((5, 100), 8, 10), [(1, 100)] * 5),
    (((0, 4), 8, 64), []),
    (((-2, 4), 8, 64), []),
    (((7, 2, 3), 1, 12), [(2, 2, 3)] * 3 + [(1, 2, 3)]),
    # a zero-sized row puts every row into one chunk
    (((10, 0), 8, 64), [(10, 0)]),
    (((10, 0, 5), 8, 1), [(10, 0, 5)]),
    # a row too large for 64 bits saturates: one row per chunk
    (((3, 2**40, 2**40), 8, 2**40), [(1, 2**40, 2**40)] * 3),
    # rows per chunk saturate at 2**31 - 1 and the loop ends
    (((5,), 1, U64), [(5,)]),
    (((2**31 - 1,), 1, U64), [(2**31 - 1,)]),
])
def test_compute_chunk_shapes(args, expected):
    assert dm.compute_chunk_shapes(*args) == expected


def test_compute_chunk_shapes_empty_shape_is_returned_itself():
    shape = ()
    result = dm.compute_chunk_shapes(shape, 8, 64)
    assert result == [()] and result[0] is shape


def test_compute_chunk_shapes_keeps_other_extents(refcount):
    extent = 2**40 + 7  # not a cached small int
    shape = (9, extent)
    before = refcount(extent)
    chunks = dm.compute_chunk_shapes(shape, 1, 3 * extent)
    assert [c[0] for c in chunks] == [3, 3, 3]
    assert all(c[1] is extent for c in chunks)
    del chunks
    assert refcount(extent) == before


@pytest.mark.parametrize("args, exc, msg", [
    (((10,), 0, 64), ValueError, "element_size must be positive"),
    (((10,), -8, 64), ValueError, "element_size must be positive"),
    (((10,), 8, 0), ValueError, "max_chunk_bytes must be positive"),
    ((None, 0, 0), ValueError, "element_size must be positive"),
    ((None, 8, 64), TypeError, "object of type 'NoneType' has no len()"),
    (([10], 8, 64), TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)"),
    (((10, -4), 8, 64), OverflowError, "can't convert negative value to uint64_t"),
    (((2**31, 4), 8, 64), OverflowError, None),
    (((10, "x"), 8, 64), TypeError, None),
])
def test_compute_chunk_shapes_rejects(args, exc, msg):
    with pytest.raises(exc) as info:
        dm.compute_chunk_shapes(*args)
    if msg:
        assert str(info.value) == msg


@given(st.lists(st.integers(0, 50), min_size=1, max_size=4), st.integers(1, 16), st.integers(1, 4096))
def test_chunk_shapes_partition_the_rows(shape, element_size, max_bytes):
    shape = tuple(shape)
    chunks = dm.compute_chunk_shapes(shape, element_size, max_bytes)
    assert chunks == base.compute_chunk_shapes(shape, element_size, max_bytes)
    assert sum(c[0] for c in chunks) == shape[0]
    assert all(c[1:] == shape[1:] and c[0] > 0 for c in chunks)
    row = element_size * math.prod(shape[1:])
    if 0 < row <= max_bytes:
        assert all(c[0] * row <= max_bytes for c in chunks)


@pytest.mark.parametrize("args, expected", [
    ((2500, 1000, 0.0), 3),
    ((2500, 0, 0.0), 1000),
    ((100, 1000, 0.0), 1),
    ((0, 1000, 0.0), 1),
    ((0, 1000, 0.0, 0), 0),
    ((10**9, 1000, 0.0, 1, 50), 50),
    ((100, 1000, 0.0, 20, 10), 20),      # the lower bound is tested first
    ((10**13, 1000, 0.0), 1000),         # far beyond 32 bits
    ((U64, 1, 0.0, 1, 2**31 - 1), 2**31 - 1),
    ((3 * 2**62 + 1, 2**62, 0.0), 4),
    ((5, 1000, 0.0, -3, -2), -2),
])
def test_calculate_optimal_chunks(args, expected):
    assert dm.calculate_optimal_chunks(*args) == expected


@given(u64, u64, ratios, st.integers(-2**31, 2**31 - 1), st.integers(-2**31, 2**31 - 1))
def test_optimal_chunks_matches_baseline(total, available, ratio, lo, hi):
    assert dm.calculate_optimal_chunks(total, available, ratio, lo, hi) == \
        base.calculate_optimal_chunks(total, available, ratio, lo, hi)


# ---------------------------------------------------------------- operations

@pytest.mark.parametrize("op, expected", [
    ("random.randn", True), ("zeros", True), ("linspace", True), ("random.standard_normal", True),
    ("matmul", False), ("Zeros", False), ("zeros ", False), (None, False), ("", False),
    ("random", False), ("zéros", False),
])
def test_is_chunkable_operation(op, expected):
    assert dm.is_chunkable_operation(op) is expected


@pytest.mark.parametrize("fn, args, msg", [
    (dm.is_chunkable_operation, (1,), "Argument 'operation' has incorrect type (expected str, got int)"),
    (dm.is_oom_error, ("x", b"y"), "Argument 'error_type' has incorrect type (expected str, got bytes)"),
    (dm.score_gpu_suitability, (1, 2, 3, 0.0), "Argument 'operation_type' has incorrect type (expected str, got int)"),
    (dm.is_oom_error, ("x",), "is_oom_error() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_errors(fn, args, msg):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == msg


@pytest.mark.parametrize("message, type_name, expected", [
    ("CUDA Out Of Memory while allocating", "", True),
    ("", "torch.cuda.OutOfMemoryError", True),
    ("boom", "OUTOFMEMORYERROR", True),
    ("cuda: device MEMORY exhausted", "RuntimeError", True),
    ("Allocation FAILED", "RuntimeError", True),
    ("insufficient device memory", "Error", True),
    ("GPU ran low on Memory", "Error", True),
    ("cuda launch failed", "RuntimeError", False),
    ("allocator ok", "OutOfMemory", False),
    ("memory leak detected", "MemoryError", False),
    ("out of memory", None, True),                     # the type is lowered first
    ("x" * 5000 + "Out of MEMORY", "", True),            # a long text
    ("Ошибка: GPU memory exhausted", "", True),          # non-ASCII text
    ("CUDA MÉMORY", "", False),
    ("ＧＰＵ memory", "", False),                       # full-width letters stay full-width
])
def test_is_oom_error(message, type_name, expected):
    if type_name is None:
        with pytest.raises(AttributeError):
            dm.is_oom_error(message, type_name)
        return
    assert dm.is_oom_error(message, type_name) is expected
    assert base.is_oom_error(message, type_name) is expected


def test_is_oom_error_none_message_raises_first():
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'lower'"):
        dm.is_oom_error(None, None)


@given(st.text(alphabet=st.sampled_from("outfmemorycdagpilsn AOUTMEGPUİK\u212a\u00e9"), max_size=40),
       st.text(alphabet=st.sampled_from("outfmemoryrOUTERROR"), max_size=20))
def test_is_oom_error_matches_baseline(message, type_name):
    assert dm.is_oom_error(message, type_name) is base.is_oom_error(message, type_name)


@pytest.mark.parametrize("args, expected", [
    ((800, "zeros", 1000, 0.0), 0.9),
    ((2000, "matmul", 1000, 0.0), 0.35),
    ((400, "other", 1000, 0.0), 0.25),
    ((400, None, 1000, 0.0), 0.25),
    ((800, "zeros", 0, 0.0), 0.0),
    ((0, "zeros", 1000, 0.0), 0.0),
    ((10**6, "zeros", 1000, 0.2), 0.9 * 800 / 10**6),
])
def test_score_gpu_suitability(args, expected):
    assert dm.score_gpu_suitability(*args) == pytest.approx(expected, rel=1e-12)


# ---------------------------------------------------------------- module

def test_module_surface():
    names = {"estimate_allocation_bytes", "calculate_safe_limit", "calculate_memory_pressure",
             "recommend_headroom", "decide_allocation_strategy", "calculate_optimal_chunks",
             "compute_chunk_shapes", "is_chunkable_operation", "is_oom_error", "score_gpu_suitability"}
    assert names <= set(dir(dm))
    assert dm.logger.name == "korvane.gpu.device_memory"
    assert not [v for v in vars(dm).values() if isinstance(v, (set, frozenset))]


@pytest.mark.subprocess
def test_load_line_logged_once(fresh_import):
    records, _ = fresh_import("korvane.gpu.device_memory")
    assert records == [("korvane.gpu.device_memory", "INFO",
                        "Korvane Device Memory Cython module loaded - IP protected")]


# ---- reference leaks ---------------------------------------------------------------

def leak_cases(m):
    return [
        ok("estimate_allocation_bytes", m.estimate_allocation_bytes, (1000, 1000), 8),
        ok("estimate_allocation_bytes overhead", m.estimate_allocation_bytes, (1000, 1000), 8, 1.5),
        ok("estimate_allocation_bytes empty shape", m.estimate_allocation_bytes, (), 8),
        ok("estimate_allocation_bytes zero dim", m.estimate_allocation_bytes, (0, 4), 8),
        ok("estimate_allocation_bytes saturates", m.estimate_allocation_bytes, (2**30, 2**30, 2**30), 8),
        bad("estimate_allocation_bytes(None, 8)", TypeError, m.estimate_allocation_bytes, None, 8),
        bad("estimate_allocation_bytes(list, 8)", TypeError, m.estimate_allocation_bytes, [1, 2], 8),
        bad("estimate_allocation_bytes bad dim", TypeError, m.estimate_allocation_bytes, (1, "a"), 8),
        bad("estimate_allocation_bytes dim 2**31", OverflowError, m.estimate_allocation_bytes, (I32_OVER,), 8),
        bad("estimate_allocation_bytes element 2**31", OverflowError, m.estimate_allocation_bytes, (1,), I32_OVER),
        ok("calculate_safe_limit", m.calculate_safe_limit, 1000, 0.2),
        ok("calculate_safe_limit big", m.calculate_safe_limit, U64_OVER - 1, -1),
        bad("calculate_safe_limit(-1, 0.2)", OverflowError, m.calculate_safe_limit, -1, 0.2),
        bad("calculate_safe_limit(2**64, 0.2)", OverflowError, m.calculate_safe_limit, U64_OVER, 0.2),
        bad("calculate_safe_limit('a', 0.2)", TypeError, m.calculate_safe_limit, "a", 0.2),
        ok("calculate_memory_pressure", m.calculate_memory_pressure, 25, 100),
        ok("calculate_memory_pressure total 0", m.calculate_memory_pressure, 5, 0),
        ok("recommend_headroom", m.recommend_headroom, 0.7),
        bad("recommend_headroom('a')", TypeError, m.recommend_headroom, "a"),
        ok("decide_allocation_strategy chunked", m.decide_allocation_strategy, 2500, 1000, 0.0, True),
        ok("decide_allocation_strategy fits", m.decide_allocation_strategy, 800, 1000, 0.2, False),
        ok("decide_allocation_strategy no memory", m.decide_allocation_strategy, 1, 0, 0.0, True),
        ok("decide_allocation_strategy not chunkable", m.decide_allocation_strategy, 2500, 1000, 0.0, 0),
        bad("decide_allocation_strategy raising truth", ArithmeticError,
            m.decide_allocation_strategy, 2500, 1000, 0.0, RaisingBool()),
        bad("decide_allocation_strategy(-1, ...)", OverflowError, m.decide_allocation_strategy, -1, 1, 0.0, True),
        ok("compute_chunk_shapes", m.compute_chunk_shapes, (10, 4), 8, 64),
        ok("compute_chunk_shapes 1-d", m.compute_chunk_shapes, (10,), 8, 24),
        ok("compute_chunk_shapes empty", m.compute_chunk_shapes, (), 8, 64),
        ok("compute_chunk_shapes zero rows", m.compute_chunk_shapes, (0, 4), 8, 64),
        bad("compute_chunk_shapes element 0", ValueError, m.compute_chunk_shapes, (10,), 0, 64),
        bad("compute_chunk_shapes max 0", ValueError, m.compute_chunk_shapes, (10,), 8, 0),
        bad("compute_chunk_shapes(None, ...)", TypeError, m.compute_chunk_shapes, None, 8, 64),
        bad("compute_chunk_shapes bad extent", TypeError, m.compute_chunk_shapes, (10, "a"), 8, 64),
        bad("compute_chunk_shapes negative extent", OverflowError, m.compute_chunk_shapes, (10, -1), 8, 64),
        bad("compute_chunk_shapes first extent 2**31", OverflowError,
            m.compute_chunk_shapes, (I32_OVER, 4), 8, 64),
        ok("calculate_optimal_chunks", m.calculate_optimal_chunks, 2500, 1000, 0.0),
        ok("calculate_optimal_chunks capped", m.calculate_optimal_chunks, 10**9, 1000, 0.0, 1, 50),
        ok("calculate_optimal_chunks no memory", m.calculate_optimal_chunks, 1, 0, 0.0),
        bad("calculate_optimal_chunks min 2**31", OverflowError,
            m.calculate_optimal_chunks, 1, 1, 0.0, I32_OVER),
        ok("is_chunkable_operation", m.is_chunkable_operation, "random.randn"),
        ok("is_chunkable_operation None", m.is_chunkable_operation, None),
        bad("is_chunkable_operation(5)", TypeError, m.is_chunkable_operation, 5),
        ok("is_oom_error", m.is_oom_error, "CUDA out of memory", "RuntimeError"),
        ok("is_oom_error no match", m.is_oom_error, "nothing here", "ValueError"),
        bad("is_oom_error(None, 'x')", AttributeError, m.is_oom_error, None, "x"),
        bad("is_oom_error(5, 'x')", TypeError, m.is_oom_error, 5, "x"),
        ok("score_gpu_suitability", m.score_gpu_suitability, 800, "zeros", 1000, 0.0),
        ok("score_gpu_suitability None", m.score_gpu_suitability, 400, None, 1000, 0.0),
        bad("score_gpu_suitability op 5", TypeError, m.score_gpu_suitability, 1, 5, 1, 0.0),
        bad("score_gpu_suitability(-1, ...)", OverflowError, m.score_gpu_suitability, -1, None, 1, 0.0),
    ]


test_no_leak = leakcheck.no_leak_test("korvane.gpu.device_memory", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.gpu.device_memory", leak_cases)
