"""Native device memory planning against its pure-Python equivalent."""
from __future__ import annotations

from korvane._benchmarks.harness import Table, pick_level
from korvane._baselines import device_memory as py
from korvane.gpu import device_memory as nat

CONST = "<= 1.5x floor"
MSG = "RuntimeError: CUDA error: an illegal memory access was encountered while running kernel"


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    t = Table.at("korvane.gpu.device_memory", pick_level(quick, level))
    shape = (1000, 1000)
    big = 8 * 2**30

    # Floors: a cheap builtin of the same arity, so the row shows the cost of
    # the call itself.
    one, two, three = 7, 9, 11
    t.add("floor: abs(x) (1 arg)", lambda: abs(one))
    t.add("floor: divmod(a, b) (2 args)", lambda: divmod(one, two))
    t.add("floor: max(a, b, c) (3 args)", lambda: max(one, two, three))
    t.add("floor: max(a, b, c, d) (4 args)", lambda: max(one, two, three, one))

    f, g = nat.estimate_allocation_bytes, py.estimate_allocation_bytes
    t.add("estimate_allocation_bytes((1000,1000), 8, 1.5)",
          lambda: f(shape, 8, 1.5), lambda: g(shape, 8, 1.5), CONST + " (3 args)")
    f, g = nat.calculate_safe_limit, py.calculate_safe_limit
    t.add("calculate_safe_limit(8 GiB, 0.2)", lambda: f(big, 0.2), lambda: g(big, 0.2), CONST + " (2 args)")
    f, g = nat.calculate_memory_pressure, py.calculate_memory_pressure
    t.add("calculate_memory_pressure(3 GiB, 8 GiB)",
          lambda: f(3 * 2**30, big), lambda: g(3 * 2**30, big), CONST + " (2 args)")
    f, g = nat.recommend_headroom, py.recommend_headroom
    t.add("recommend_headroom(0.7)", lambda: f(0.7), lambda: g(0.7), CONST + " (1 arg)")
    f, g = nat.decide_allocation_strategy, py.decide_allocation_strategy
    t.add("decide_allocation_strategy(fits)",
          lambda: f(2**30, big, 0.2, True), lambda: g(2**30, big, 0.2, True), CONST + " (4 args)")
    t.add("decide_allocation_strategy(chunked)",
          lambda: f(20 * 2**30, big, 0.2, True), lambda: g(20 * 2**30, big, 0.2, True), CONST + " (4 args)")
    f, g = nat.calculate_optimal_chunks, py.calculate_optimal_chunks
    t.add("calculate_optimal_chunks(20 GiB, 8 GiB, 0.2)",
          lambda: f(20 * 2**30, big, 0.2), lambda: g(20 * 2**30, big, 0.2), CONST + " (3 args)")
    f, g = nat.is_chunkable_operation, py.is_chunkable_operation
    t.add('is_chunkable_operation("random.randn")',
          lambda: f("random.randn"), lambda: g("random.randn"), CONST + " (1 arg)")
    f, g = nat.score_gpu_suitability, py.score_gpu_suitability
    t.add('score_gpu_suitability(1 GiB, "matmul", 8 GiB, 0.2)',
          lambda: f(2**30, "matmul", big, 0.2), lambda: g(2**30, "matmul", big, 0.2), CONST + " (4 args)")

    f, g = nat.compute_chunk_shapes, py.compute_chunk_shapes
    t.add("compute_chunk_shapes((10000,256), 8, 256 KiB)",
          lambda: f((10000, 256), 8, 2**18), lambda: g((10000, 256), 8, 2**18), ">= 3x python")
    t.add("compute_chunk_shapes((10,4), 8, 64)",
          lambda: f((10, 4), 8, 64), lambda: g((10, 4), 8, 64), ">= 3x python")
    f, g = nat.is_oom_error, py.is_oom_error
    t.add("is_oom_error(88-char miss, 'RuntimeError')",
          lambda: f(MSG, "RuntimeError"), lambda: g(MSG, "RuntimeError"), ">= 3x python")
    t.add("is_oom_error('CUDA out of memory', ...)",
          lambda: f("CUDA out of memory", "RuntimeError"),
          lambda: g("CUDA out of memory", "RuntimeError"), ">= 3x python")
    return t

