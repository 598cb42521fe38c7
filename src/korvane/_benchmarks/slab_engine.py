"""ns per call of korvane.memory.slab_engine against its pure-Python equivalent.

The module functions are compared with a cheap builtin of the same arity (the
"floor": about what any native call with that many arguments costs); the
classes' methods with the pure-Python classes, measured in the same run.
"""
from __future__ import annotations


from korvane._benchmarks.harness import Table, pick_level
from korvane._baselines import slab_engine as py
from korvane.memory import slab_engine as se


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    t = Table.at("korvane.memory.slab_engine", pick_level(quick, level))

    # Module functions against floors of the same arity.
    floors = {
        1: t.add("floor: 1 arg, abs(13)", lambda: abs(13)),
        2: t.add("floor: 2 args, divmod(13, 8)", lambda: divmod(13, 8)),
        3: t.add("floor: 3 args, pow(13, 8, 7)", lambda: pow(13, 8, 7)),
        4: t.add("floor: 4 args, max(4, 64, 56, 8)", lambda: max(4, 64, 56, 8)),
    }

    def fn_row(label, nargs, native, python):
        row = t.add(label, native, python)
        floor = floors[nargs].native_ns
        row.target = f"<= 1.5x floor: {row.native_ns / floor:.2f}x"

    fn_row("fast_align_size(13, 8)", 2, lambda: se.fast_align_size(13, 8), lambda: py.fast_align_size(13, 8))
    fn_row("fast_get_bucket_size(13)", 1, lambda: se.fast_get_bucket_size(13), lambda: py.fast_get_bucket_size(13))
    fn_row("fast_get_bucket_size(100, 32)", 2, lambda: se.fast_get_bucket_size(100, 32),
           lambda: py.fast_get_bucket_size(100, 32))
    fn_row("fast_bitmap_operations(10, 1, 'is_set')", 3, lambda: se.fast_bitmap_operations(10, 1, "is_set"),
           lambda: py.fast_bitmap_operations(10, 1, "is_set"))
    fn_row("fast_bitmap_operations(10, 0, 'set')", 3, lambda: se.fast_bitmap_operations(10, 0, "set"),
           lambda: py.fast_bitmap_operations(10, 0, "set"))
    fn_row("fast_bitmap_operations(10, 0, 'find_first')", 3,
           lambda: se.fast_bitmap_operations(10, 0, "find_first"),
           lambda: py.fast_bitmap_operations(10, 0, "find_first"))
    fn_row("fast_can_fit_aligned(4, 64, 56, 8)", 4, lambda: se.fast_can_fit_aligned(4, 64, 56, 8),
           lambda: py.fast_can_fit_aligned(4, 64, 56, 8))

    # Allocator and collector methods: at least 3x the pure-Python classes.
    goal = ">= 3x python"
    a, pa = se.FastBucketAllocator(), py.FastBucketAllocator()
    for x in (a, pa):
        for off in range(0, 64 * 100, 64):
            x.add_to_bucket(off, 64)
    t.add("add_to_bucket(0, 64) + remove_from_bucket(64)", lambda: (a.add_to_bucket(0, 64), a.remove_from_bucket(64)),
          lambda: (pa.add_to_bucket(0, 64), pa.remove_from_bucket(64)), goal)
    t.add("add_to_bucket(0, 64) + find_best_fit_bucket(60, 8)",
          lambda: (a.add_to_bucket(0, 64), a.find_best_fit_bucket(60, 8)),
          lambda: (pa.add_to_bucket(0, 64), pa.find_best_fit_bucket(60, 8)), goal)
    t.add("add_to_bucket(64, 60) (not a bucket size)", lambda: a.add_to_bucket(64, 60),
          lambda: pa.add_to_bucket(64, 60), goal)
    t.add("remove_from_bucket(128) (empty bucket)", lambda: a.remove_from_bucket(128),
          lambda: pa.remove_from_bucket(128), goal)
    t.add("find_best_fit_bucket(100, 8) (nothing fits)", lambda: a.find_best_fit_bucket(100, 8),
          lambda: pa.find_best_fit_bucket(100, 8), goal)
    t.add("FastBucketAllocator() (512 buckets)", se.FastBucketAllocator, py.FastBucketAllocator, goal)

    c, pc = se.FastStatsCollector(), py.FastStatsCollector()
    t.add("py_record_allocation(64, 8, True)", lambda: c.py_record_allocation(64, 8, True),
          lambda: pc.py_record_allocation(64, 8, True), goal)
    t.add("py_record_deallocation()", c.py_record_deallocation, pc.py_record_deallocation, goal)
    t.add("get_stats()", c.get_stats, pc.get_stats, goal)
    t.add("reset_stats()", c.reset_stats, pc.reset_stats, goal)

    # Slab header methods (no target).
    h, ph = se.FastSlabHeaderOps(3, 64), py.FastSlabHeaderOps(3, 64)
    raw = h.pack_header()
    t.add("py_allocate_object_at(5) + py_deallocate_object_at(5)",
          lambda: (h.py_allocate_object_at(5), h.py_deallocate_object_at(5)),
          lambda: (ph.py_allocate_object_at(5), ph.py_deallocate_object_at(5)))
    t.add("py_find_free_object()", h.py_find_free_object, ph.py_find_free_object)
    t.add("py_is_object_free(5)", lambda: h.py_is_object_free(5), lambda: ph.py_is_object_free(5))
    t.add("pack_header()", h.pack_header, ph.pack_header)
    t.add("unpack_header(raw)", lambda: h.unpack_header(raw), lambda: ph.unpack_header(raw))
    return t

