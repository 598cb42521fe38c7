"""Workload scoring: native module against its pure-Python equivalent."""
from __future__ import annotations


from korvane._benchmarks.harness import Table, pick_level
from korvane._baselines import pattern_scoring as py
from korvane.plugins.analyzer import pattern_scoring as nat

_SOURCE = '''\
def blocked_matmul(a, b, block=64):
    """Multiply two matrices block by block; falls back to numpy.dot for tails."""
    n, m = a.shape
    out = np.zeros((n, b.shape[1]), dtype=a.dtype)
    for i in range(0, n, block):
        for j in range(0, m, block):
            tile = a[i:i + block, j:j + block]
            out[i:i + block] += tile @ b[j:j + block]
    total = float(np.sum(out)) / max(1, out.size)
    frame = pd.DataFrame({"total": [total], "rows": [n]})
    summary = frame.groupby("rows").agg("mean")
    with ThreadPoolExecutor(max_workers=4) as pool:
        parts = list(pool.map(process_chunk, np.array_split(out, 4)))
    model = LinearRegression().fit(summary.values, [total])
    return out, parts, model.predict(summary.values)

'''


def source_of(size: int) -> str:
    """Real-looking Python source of exactly ``size`` characters."""
    text = _SOURCE * (size // len(_SOURCE) + 1)
    return text[:size]


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    t = Table.at("pattern_scoring", pick_level(quick, level))
    for size, label in ((200, "200 B"), (2_000, "2 KB"), (20_000, "20 KB")):
        code = source_of(size)
        target = ">= 3x python" if size == 2_000 else ""
        t.add(f"score_indicators({label}, name)",
              lambda: nat.score_indicators(code, "blocked_matmul"),
              lambda: py.score_indicators(code, "blocked_matmul"), target)
        t.add(f"score_framework_patterns({label})",
              lambda: nat.score_framework_patterns(code),
              lambda: py.score_framework_patterns(code), target)
    code = source_of(2_000)
    t.add("quick_framework_score(2 KB, 'numpy')",
          lambda: nat.quick_framework_score(code, "numpy"),
          lambda: py.quick_framework_score(code, "numpy"), "< 100000 ns")
    # One character above U+00FF makes the whole text two or four bytes wide.
    wide = code[:-1] + "\u2014"
    t.add("quick_framework_score(2 KB + U+2014, 'numpy')",
          lambda: nat.quick_framework_score(wide, "numpy"),
          lambda: py.quick_framework_score(wide, "numpy"), ">= 3x python")
    wider = code[:-1] + "\U0001F600"
    t.add("quick_framework_score(2 KB + U+1F600, 'sklearn')",
          lambda: nat.quick_framework_score(wider, "sklearn"),
          lambda: py.quick_framework_score(wider, "sklearn"), ">= 3x python")
    t.add("score_indicators(2 KB + U+2014, name)",
          lambda: nat.score_indicators(wide, "blocked_matmul"),
          lambda: py.score_indicators(wide, "blocked_matmul"))
    t.add("quick_framework_score(2 KB, 'torch')",
          lambda: nat.quick_framework_score(code, "torch"),
          lambda: py.quick_framework_score(code, "torch"))

    a, b, c, d, e = 0.4, 0.7, 0.2, 0.9, 0.5
    t.add("floor: max(a, b, c) [3 args]", lambda: max(a, b, c))
    t.add("floor: max(a, b, c, d) [4 args]", lambda: max(a, b, c, d))
    t.add("floor: max(a, b, c, d, e) [5 args]", lambda: max(a, b, c, d, e))
    t.add("floor: max(17 floats) [17 args]",
          lambda: max(a, b, c, d, e, a, b, c, d, e, a, b, c, d, e, a, b))
    t.add("normalize_scores(5 ints)", lambda: nat.normalize_scores(4, 2, 1, 9, 13),
          lambda: py.normalize_scores(4, 2, 1, 9, 13), "<= 2x floor[5]")
    t.add("calculate_parallelization_potential(4)",
          lambda: nat.calculate_parallelization_potential(a, b, c, d),
          lambda: py.calculate_parallelization_potential(a, b, c, d), "<= 2x floor[4]")
    t.add("calculate_gpu_suitability(.., '8.6')",
          lambda: nat.calculate_gpu_suitability(a, b, c, True, "8.6"),
          lambda: py.calculate_gpu_suitability(a, b, c, True, "8.6"), "<= 2x floor[5]")
    t.add("calculate_gpu_suitability(.., None)",
          lambda: nat.calculate_gpu_suitability(a, b, c, True, None),
          lambda: py.calculate_gpu_suitability(a, b, c, True, None), "<= 2x floor[5]")
    t.add("estimate_gpu_speedup(3)", lambda: nat.estimate_gpu_speedup(d, b, True),
          lambda: py.estimate_gpu_speedup(d, b, True), "<= 2x floor[3]")
    f, n, g = 0.1, 3, False
    t.add("determine_workload_pattern(17, to rule 7)",
          lambda: nat.determine_workload_pattern(a, b, c, d, e, f, f, f, n, 0, e, e, e, e, e, e, g),
          lambda: py.determine_workload_pattern(a, b, c, d, e, f, f, f, n, 0, e, e, e, e, e, e, g),
          "<= 2x floor[17]")
    t.add("update_adaptive_threshold(5)",
          lambda: nat.update_adaptive_threshold(e, d, 0.05, 0.1, 0.9),
          lambda: py.update_adaptive_threshold(e, d, 0.05, 0.1, 0.9), "<= 2x floor[5]")
    return t

