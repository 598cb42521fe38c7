"""Thread stress for every stateful native class.

Several threads hammer one object for a bounded time, each keeping a log of what
it did and what it got back; afterwards the object's state must agree exactly
with the logs (no lost or duplicated updates, items or blocks), every object
that left the structure must have been released, and no thread may be stuck.
The interpreter's switch interval is shortened so that threads interleave inside
the methods that hold the interpreter lock as well.
"""
import gc
import math
import os
import random
import sys
import time
import weakref
from collections import Counter

import pytest

from support import run_together

SANITIZED = os.environ.get("KORVANE_SANITIZED") == "1"
# seconds of hammering per phase; KORVANE_STRESS_SECONDS sets a longer run by hand
DURATION = float(os.environ.get("KORVANE_STRESS_SECONDS") or (0.3 if SANITIZED else 1.0))
THREADS = 4
GRACE = 20.0                             # a thread not done by then is stuck

pytestmark = [pytest.mark.stress, pytest.mark.timeout(60 + 4 * DURATION)]

I64_MAX = 2**63 - 1


def wrap64(x):
    return (x + 2**63) % 2**64 - 2**63


def hammer(worker, threads=THREADS, duration=DURATION):
    """Runs worker(index, deadline) in `threads` threads started together and
    returns their results in thread order; the first error of any thread is raised."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        return run_together(lambda i: worker(i, time.monotonic() + duration), threads,
                            timeout=duration + GRACE)
    finally:
        sys.setswitchinterval(interval)


def running(deadline, n):
    """Loop condition: the clock is read once every 32 iterations."""
    return n % 32 or time.monotonic() < deadline


class Token:
    __slots__ = ("tid", "k", "__weakref__")

    def __init__(self, tid, k):
        self.tid, self.k = tid, k


# ---- lockless_ops --------------------------------------------------------------------

def test_atomic_counter_totals_and_unique_results():
    lo = pytest.importorskip("korvane.memory.lockless_ops")
    start = I64_MAX - 1000          # the run wraps past the top
    c = lo.AtomicCounter(start)

    def mixed(i, deadline):
        net = n = 0
        while running(deadline, n):
            op = n % 5
            if op == 0:
                c.increment()
                net += 1
            elif op == 1:
                c.decrement(3)
                net -= 3
            elif op == 2:
                c.fetch_and_add(7)
                net += 7
            elif op == 3:
                c.py_increment(-2)
                net -= 2
            else:
                while True:
                    v = c.load()
                    if c.compare_and_swap(v, wrap64(v + 5)):
                        break
                net += 5
            n += 1
        return net

    net = sum(hammer(mixed))
    assert c.load() == wrap64(start + net)

    # Every fetch_and_add sees a value of its own: the results are exactly a range.
    c.store(start)

    def tickets(i, deadline):
        got, n = [], 0
        while len(got) < 200_000 and running(deadline, n):
            got.append(c.fetch_and_add(1) if i % 2 else wrap64(c.increment() - 1))
            n += 1
        return got

    seen = [v for got in hammer(tickets) for v in got]
    assert len(set(seen)) == len(seen), "two calls saw the same value"
    assert set(seen) == {wrap64(start + k) for k in range(len(seen))}
    assert c.load() == wrap64(start + len(seen))


def test_atomic_pointer_compare_and_swap_chain():
    lo = pytest.importorskip("korvane.memory.lockless_ops")
    first = Token(-1, 0)
    p = lo.AtomicPointer(first)
    refs = [weakref.ref(first)]

    def swap(i, deadline):
        done, mine, n = [], [], 0
        while running(deadline, n):
            cur = p.load()
            new = Token(i, n)
            mine.append(weakref.ref(new))
            if p.compare_and_swap(cur, new):
                done.append((cur, new))
            n += 1
        return done, mine

    results = hammer(swap)
    swaps = [pair for done, _ in results for pair in done]
    refs += [r for _, mine in results for r in mine]
    successor = {id(cur): new for cur, new in swaps}
    assert len(successor) == len(swaps), "one value was replaced twice"
    x = first
    for _ in range(len(swaps)):
        x = successor[id(x)]
    assert x is p.load()
    assert p.get_version() == len(swaps)

    # Only the value still held survives; every replaced one was released.
    del results, swaps, successor, x, first
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    assert alive == [p.load()]


def test_atomic_pointer_store_releases_replaced_values():
    lo = pytest.importorskip("korvane.memory.lockless_ops")
    p = lo.AtomicPointer()

    def store(i, deadline):
        mine, n = [], 0
        while running(deadline, n):
            t = Token(i, n)
            mine.append(weakref.ref(t))
            p.store(t)
            if n % 7 == 0:
                assert isinstance(p.load(), Token)
            n += 1
        return mine

    refs = [r for mine in hammer(store) for r in mine]
    assert p.get_version() == len(refs)
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    assert alive == [p.load()]


def test_lock_free_stack_loses_and_duplicates_nothing():
    lo = pytest.importorskip("korvane.memory.lockless_ops")
    s = lo.LockFreeStack()

    def work(i, deadline):
        rng = random.Random(i)
        pushed, popped, sizes, n = [], [], [], 0
        while running(deadline, n):
            if i == THREADS - 1:            # a watcher
                sizes.append(s.size())
                s.is_empty()
            elif rng.random() < 0.55:
                t = Token(i, n)
                pushed.append(weakref.ref(t))
                s.push(t)
            else:
                item = s.pop()
                if item is not None:
                    popped.append(item)
            n += 1
        return pushed, popped, sizes

    results = hammer(work)
    pushed = [r for p, _, _ in results for r in p]
    popped = [t for _, q, _ in results for t in q]
    assert all(0 <= v <= len(pushed) for _, _, sizes in results for v in sizes)
    drained = []
    while not s.is_empty():
        drained.append(s.pop())
    assert s.size() == 0 and s.pop() is None
    got = Counter((t.tid, t.k) for t in popped + drained)
    assert max(got.values(), default=1) == 1, "an item came out twice"
    assert len(got) == len(pushed), "an item was lost"
    del results, popped, drained, got
    gc.collect()
    assert not [r for r in pushed if r() is not None], "a popped item was not released"


def test_lock_free_statistics_exact_counts_and_peaks():
    lo = pytest.importorskip("korvane.memory.lockless_ops")
    st = lo.LockFreeStatistics()

    def work(i, deadline):
        if i == THREADS - 1:                # reads snapshots while the others record
            n = 0
            while running(deadline, n):
                snap = st.get_snapshot()
                assert snap["allocation_mode"] == "lock-free C11 atomics"
                assert snap["bucketed_allocation_ratio"].endswith("%")
                n += 1
            return Counter()
        tot, n = Counter(), 0
        while running(deadline, n):
            size = 8 * (i + 1)
            if n % 3 == 2:
                st.record_deallocation(size, 2)
                tot.update(deallocs=1, bytes=-size, dtime=2)
            else:
                bucketed = n % 2 == 0
                st.record_allocation(size, bucketed, i, 5)
                tot.update(allocs=1, bytes=size, bucketed=int(bucketed), padding=i, atime=5)
            n += 1
        return tot

    tot = sum(hammer(work), Counter())
    snap = st.get_snapshot()
    assert snap["total_allocations"] == tot["allocs"]
    assert snap["total_deallocations"] == tot["deallocs"]
    assert snap["current_allocations"] == tot["allocs"] - tot["deallocs"]
    assert snap["bytes_allocated"] == tot["bytes"]
    assert snap["bucketed_allocations"] == tot["bucketed"]
    assert snap["fallback_allocations"] == tot["allocs"] - tot["bucketed"]
    assert snap["alignment_padding_bytes"] == tot["padding"]
    assert st.total_allocation_time_ns.load() == tot["atime"]
    assert st.total_deallocation_time_ns.load() == tot["dtime"]
    # Every raise of current is followed by a peak update that reads it afterwards,
    # so the peaks cannot be below the final values nor above what was recorded.
    assert snap["current_allocations"] <= snap["peak_allocations"] <= tot["allocs"]
    assert snap["bytes_allocated"] <= snap["peak_bytes_allocated"]


def test_lock_free_statistics_native_twins_and_reset():
    lo = pytest.importorskip("korvane.memory.lockless_ops")
    st = lo.LockFreeStatistics()

    def work(i, deadline):
        tot, n = Counter(), 0
        while running(deadline, n):
            if n % 2:
                st.py_record_deallocation(3, 1)
                tot.update(deallocs=1, bytes=-3)
            else:
                st.py_record_allocation(5, True, 1, 1)
                tot.update(allocs=1, bytes=5)
            n += 1
        return tot

    tot = sum(hammer(work), Counter())
    snap = st.get_snapshot()
    assert (snap["total_allocations"], snap["total_deallocations"], snap["bytes_allocated"]) == \
        (tot["allocs"], tot["deallocs"], tot["bytes"])
    assert snap["current_allocations"] == tot["allocs"] - tot["deallocs"]
    assert snap["peak_allocations"] == snap["bucketed_allocations"] == 0

    # reset under recording: no deadlock, and a final reset leaves everything at 0.
    def with_reset(i, deadline):
        n = 0
        while running(deadline, n):
            if i == 0:
                st.reset()
            else:
                st.record_allocation(1)
                st.record_deallocation(1)
            n += 1

    hammer(with_reset, duration=DURATION / 2)
    st.reset()
    assert all(v == 0 for k, v in st.get_snapshot().items() if isinstance(v, int))


# ---- block_index -------------------------------------------------------------------

SIZES = (0, 8, 16, 16, 24, 64, 64, 64, 4096)


def _block_type(bi):
    class Block(bi.MemoryBlock):
        __slots__ = ("__weakref__",)
    return Block


def test_red_black_tree_agrees_with_the_operation_log():
    bi = pytest.importorskip("korvane.memory.block_index")
    Block = _block_type(bi)
    tree = bi.FastRedBlackTree(sample_rate=1)

    def work(i, deadline):
        rng = random.Random(i)
        log = {"inserted": [], "deleted": [], "missed": [], "taken": []}
        live, n = [], 0
        role = ("owner", "owner", "taker", "reader")[i % 4]
        while running(deadline, n):
            n += 1
            req = rng.choice(SIZES) + rng.choice((0, 1))
            if role == "reader":
                b = tree.find_best_fit(req)
                assert b is None or b.size >= req
                same = tree.find_all_exact(req)
                assert all(x.size == req for x in same)
                assert len({id(x) for x in same}) == len(same)
                if n % 50 == 0:
                    assert tree.get_stats()["is_valid"] is True
                    assert len(tree) >= 0
                continue
            if role == "taker" and n % 2:
                size, b = tree.remove_ge(req)
                if b is not None:
                    assert size == b.size >= req
                    log["taken"].append(b)
                continue
            if len(live) < 40 and (len(live) < 5 or rng.random() < 0.6):
                size = rng.choice(SIZES)
                b = Block((i << 40) + n, size)
                assert tree.insert(size, b) is True
                log["inserted"].append(b)
                live.append(b)
            elif live:
                b = live.pop(rng.randrange(len(live)))
                log["deleted" if tree.delete(b.size, b) else "missed"].append(b)
        return log

    logs = hammer(work)
    merged = {k: [b for log in logs for b in log[k]] for k in logs[0]}
    inserted, deleted, taken = merged["inserted"], merged["deleted"], merged["taken"]
    removed = Counter(map(id, deleted + taken))
    assert max(removed.values(), default=1) == 1, "a block left the tree twice"
    assert {id(b) for b in merged["missed"]} <= {id(b) for b in taken}, \
        "delete() failed for a block that nobody else removed"

    expected = {id(b) for b in inserted} - set(removed)
    remaining = [b for size in sorted(set(SIZES)) for b in tree.find_all_exact(size)]
    assert {id(b) for b in remaining} == expected and len(remaining) == len(expected)
    assert tree.size() == len(expected) == sum(tree.get_size_distribution().values())
    stats = tree.get_stats()
    assert stats["total_blocks"] == stats["node_count"] == len(expected)
    assert stats["total_insertions"] == len(inserted) == stats["sampled_operations"]
    assert stats["total_deletions"] == len(removed)
    if hasattr(bi, "_check_invariants"):
        assert bi._check_invariants(tree) == ""

    refs = [weakref.ref(b) for b in inserted]
    del logs, merged, inserted, deleted, taken, remaining
    tree.clear()
    assert tree.size() == 0
    gc.collect()
    assert not [r for r in refs if r() is not None], "a removed block was not released"


def test_red_black_tree_clear_under_readers_and_writers():
    bi = pytest.importorskip("korvane.memory.block_index")
    Block = _block_type(bi)
    tree = bi.FastRedBlackTree()

    def work(i, deadline):
        rng = random.Random(100 + i)
        n = 0
        while running(deadline, n):
            n += 1
            if i == 0 and n % 40 == 0:
                tree.clear()
            elif i == 1:
                b = tree.find_best_fit(rng.choice(SIZES))
                assert b is None or isinstance(b, Block)
                tree.get_size_distribution()
            else:
                size = rng.choice(SIZES)
                tree.insert(size, Block(n, size))
                if n % 3 == 0:
                    tree.remove_ge(rng.choice(SIZES))

    hammer(work)
    remaining = [b for size in sorted(set(SIZES)) for b in tree.find_all_exact(size)]
    assert tree.size() == len(remaining) == sum(tree.get_size_distribution().values())
    assert tree.get_stats()["node_count"] == len(remaining)
    if hasattr(bi, "_check_invariants"):
        assert bi._check_invariants(tree) == ""


# ---- slab_engine -------------------------------------------------------------------

def test_bucket_allocator_hands_out_each_offset_once():
    se = pytest.importorskip("korvane.memory.slab_engine")
    a = se.FastBucketAllocator()
    sizes = (8, 16, 64, 128, 256, 264, 4096)

    def bucket(size):
        return -(-size // 8) * 8

    def work(i, deadline):
        rng = random.Random(i)
        added, got, n = {}, [], 0
        while running(deadline, n):
            n += 1
            if rng.random() < 0.5:
                off = 64 * (len(added) * THREADS + i) + rng.choice((0, 4, 8))   # unique
                size = rng.choice(sizes)
                assert a.add_to_bucket(off, size) is True
                added[off] = size
            elif rng.random() < 0.5:
                size = rng.randrange(1, 300)
                off = a.remove_from_bucket(size)
                if off is not None:
                    got.append((off, "exact", bucket(size), 1))
            else:
                size, align = rng.randrange(1, 300), rng.choice((1, 8, 16, 64))
                off = a.find_best_fit_bucket(size, align)
                if off is not None:
                    got.append((off, "fit", size, align))
        return added, got

    results = hammer(work)
    added = {off: size for add, _ in results for off, size in add.items()}
    got = [g for _, gs in results for g in gs]
    for off, kind, size, align in got:
        k = added[off]
        if kind == "exact":
            assert k == size
        else:
            assert k >= bucket(size) and ((off + align - 1) & -align) + size <= off + k
    drained = []
    for k in sizes:
        while (off := a.remove_from_bucket(k)) is not None:
            assert added[off] == k
            drained.append(off)
    out = Counter([g[0] for g in got] + drained)
    assert max(out.values(), default=1) == 1, "an offset was handed out twice"
    assert set(out) == set(added), "an offset was lost"


def test_stats_collector_exact_counts():
    se = pytest.importorskip("korvane.memory.slab_engine")
    c = se.FastStatsCollector()

    def work(i, deadline):
        tot, n = Counter(), 0
        while running(deadline, n):
            n += 1
            if i == THREADS - 1:
                stats = c.get_stats()
                assert stats["bucketed_allocations"] + stats["fallback_allocations"] == \
                    stats["total_allocations"]
            elif n % 4 == 0:
                c.py_record_deallocation()
                tot["deallocs"] += 1
            else:
                bucketed = n % 3 != 0
                c.py_record_allocation(64, i + 1, bucketed)
                tot.update(allocs=1, bucketed=int(bucketed), padding=i + 1)
        return tot

    tot = sum(hammer(work), Counter())
    stats = c.get_stats()
    assert stats["total_allocations"] == tot["allocs"]
    assert stats["total_deallocations"] == tot["deallocs"]
    assert stats["bucketed_allocations"] == tot["bucketed"]
    assert stats["fallback_allocations"] == tot["allocs"] - tot["bucketed"]
    assert stats["alignment_padding_bytes"] == tot["padding"]


# ---- compile_gate ------------------------------------------------------------------

class _Store:
    def __init__(self, metrics):
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


def test_compile_gate_updates_are_atomic_and_thresholds_stay_in_bounds():
    cg = pytest.importorskip("korvane.jit.compile_gate")
    # With this rate every update of "shared" lowers its threshold by exactly one
    # (the step is a fraction of one, truncated away), so a lost update shows.
    top = 2_000_000_000
    cfg = cg.PolicyConfig(initial_threshold=top, min_threshold=10, max_threshold=top,
                          learning_rate=1e-10, target_speedup=2.0)
    gate = cg.CompileGate(cfg)
    shared = _Store(cg.FunctionMetrics(call_count=50, compile_count=1, avg_speedup=3.0))

    def work(i, deadline):
        rng = random.Random(i)
        own = _Store(cg.FunctionMetrics(call_count=rng.randrange(20000), compile_count=rng.randrange(12),
                                        avg_speedup=rng.choice((0.5, 2.0, 3.0, math.nan))))
        updates, n = 0, 0
        while running(deadline, n):
            n += 1
            if n % 2:
                gate.update("shared", shared)
                updates += 1
            else:
                func = f"f{i}-{n % 8}"
                gate.update(func, own)
                gate.should_compile(func, own)
                t = gate.get_threshold(rng.choice((func, "shared", None)))
                assert cfg.min_threshold <= t <= cfg.max_threshold
                stats = gate.get_statistics()
                assert cfg.min_threshold <= stats["min_threshold"] <= stats["max_threshold"] <= cfg.max_threshold
        return updates

    updates = sum(hammer(work))
    assert gate.get_threshold("shared") == top - updates
    stats = gate.get_statistics()
    assert cfg.min_threshold <= stats["min_threshold"] <= stats["avg_threshold"] <= stats["max_threshold"] \
        <= cfg.max_threshold


def test_compile_gate_singleton_created_once():
    cg = pytest.importorskip("korvane.jit.compile_gate")

    def work(i, deadline):
        seen, n = set(), 0
        while running(deadline, n):
            n += 1
            seen.add(id(cg.get_compile_gate()))
        return seen

    for _ in range(3):
        cg.reset_compile_gate()
        seen = set().union(*hammer(work, duration=DURATION / 3))
        assert seen == {id(cg.get_compile_gate())}
    cg.reset_compile_gate()


# ---- counter_hub -------------------------------------------------------------------

def test_counter_aggregator_exact_statistics():
    ch = pytest.importorskip("korvane.monitoring.counter_hub")
    agg = ch.CounterAggregator(16)
    watched = range(8)

    def work(i, deadline):
        rng = random.Random(i)
        samples, n = {k: [] for k in watched}, 0
        while running(deadline, n):
            n += 1
            if i == THREADS - 1:
                if n % 2:
                    listed = agg.get_all_stats()
                    ids = [k for k, _ in listed]
                    assert ids == sorted(ids) and all(s["count"] > 0 for _, s in listed)
                else:
                    agg.update(8 + n % 8, 1.0)     # ids outside the watched ones
                    agg.reset(8 + (n + 3) % 8)
                continue
            k = rng.choice(watched)
            v = float(rng.randrange(-1000, 1000))  # integer-valued: sums are exact
            agg.update(k, v)
            samples[k].append(v)
        return samples

    results = hammer(work)
    for k in watched:
        xs = [v for r in results if r for v in r[k]]
        stats = agg.get_stats(k)
        assert stats["count"] == len(xs)
        if not xs:
            continue
        mean = sum(xs) / len(xs)
        variance = sum(v * v for v in xs) / len(xs) - mean * mean
        assert (stats["mean"], stats["variance"], stats["min"], stats["max"]) == \
            (mean, variance, min(xs), max(xs))
