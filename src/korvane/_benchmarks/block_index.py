"""Block size tree: native FastRedBlackTree against a sorted-list pool.

The pool is what a pure-Python allocator would use: a sortedcontainers
SortedList of the distinct sizes plus a dict of block lists (a plain list kept
sorted with ``bisect`` where sortedcontainers is not installed; the table's
title says which). Each row times a batch of calls on a freshly filled
structure (best of several rounds), so inserts and removals see the stated
fill and not a tree that drifts over a calibration loop. Rows marked
"pure-Python tree" compare with the baseline module (the same red-black
algorithms written in Python).
"""
from __future__ import annotations

import bisect
import random
import time

from korvane._baselines import block_index as baseline
from korvane._benchmarks.harness import Row, Table, pick_level
from korvane.memory.block_index import FastRedBlackTree
from korvane.memory.block_record import MemoryBlock

try:
    from sortedcontainers import SortedList
except ImportError:
    SortedList = None


class BisectList(list):
    """The part of SortedList's interface that the pool uses, on a plain list."""

    def add(self, value):
        bisect.insort(self, value)

    def bisect_left(self, value):
        return bisect.bisect_left(self, value)


class SortedListPool:
    """Best-fit pool from a SortedList of sizes and a dict of block lists."""

    def __init__(self):
        self.sizes = SortedList() if SortedList is not None else BisectList()
        self.blocks = {}

    def insert(self, size, block):
        lst = self.blocks.get(size)
        if lst is None:
            self.sizes.add(size)
            self.blocks[size] = [block]
        else:
            lst.append(block)
        return True

    def find_best_fit(self, size):
        i = self.sizes.bisect_left(size)
        if i == len(self.sizes):
            return None
        return self.blocks[self.sizes[i]][0]

    def remove_ge(self, size):
        i = self.sizes.bisect_left(size)
        if i == len(self.sizes):
            return (None, None)
        found = self.sizes[i]
        lst = self.blocks[found]
        block = lst.pop()
        if not lst:
            del self.blocks[found]
            del self.sizes[i]
        return (found, block)

    def delete(self, size, block):
        lst = self.blocks.get(size)
        if lst is None:
            return False
        try:
            lst.remove(block)
        except ValueError:
            return False
        if not lst:
            del self.blocks[size]
            self.sizes.remove(size)
        return True


def _workload(n_blocks, n_sizes, seed):
    rnd = random.Random(seed)
    sizes = [64 * rnd.randrange(1, 16 * n_sizes) for _ in range(n_sizes)]
    fill = [(s, MemoryBlock(i * 4096, s)) for i, s in enumerate(sizes[i % n_sizes] for i in range(n_blocks))]
    rnd.shuffle(fill)
    return sizes, fill, rnd


def _filled(factory, fill):
    pool = factory()
    if fill:
        ins = pool.insert
        for s, b in fill:
            ins(s, b)
    return pool


def _batch(factory, fill, op, args, rounds):
    """ns per call of ``op(pool)(*a)`` over ``args`` on a fresh fill."""
    best = float("inf")
    for _ in range(rounds):
        pool = _filled(factory, fill)
        fn = op(pool)
        t0 = time.perf_counter_ns()
        for a in args:
            fn(*a)
        best = min(best, (time.perf_counter_ns() - t0) / len(args))
        del pool, fn
    return best


OPS = {
    "insert": lambda p: p.insert,
    "find_best_fit": lambda p: p.find_best_fit,
    "remove_ge": lambda p: p.remove_ge,
    "delete": lambda p: p.delete,
}


def _args(name, sizes, fill, rnd, k):
    top = max(sizes)
    if name == "insert":
        return [(s, MemoryBlock(-i, s)) for i, s in enumerate(rnd.choices(sizes, k=k))]
    if name in ("find_best_fit", "remove_ge"):
        return [(rnd.randrange(0, top + 1),) for _ in range(k)]
    return list(rnd.sample(fill, k))


TARGETS = {
    ("find_best_fit", 1_000): "<=150 ns at 1,000 sizes; >=5x",
    ("find_best_fit", 500): ">=5x",
    ("insert", 0): ">=3x",
    ("remove_ge", 0): ">=3x",
}


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    lv = pick_level(quick, level)
    pool_kind = "SortedList pool" if SortedList is not None else "bisect-list pool"
    t = Table.at(f"korvane.memory.block_index: FastRedBlackTree vs {pool_kind} (ns per call)", lv)
    rounds = {"full": 5, "quick": 3, "glance": 2}[lv]
    batch = {"full": 20_000, "quick": 2_000, "glance": 300}[lv]
    # A glance skips the large fill: building it takes most of a second.
    configs = [(1_000, 500)] + ([] if lv == "glance" else [(100_000, 1_000)])
    for n_blocks, n_sizes in configs:
        sizes, fill, rnd = _workload(n_blocks, n_sizes, seed=n_blocks)
        k = min(n_blocks // 2, batch)
        for name, op in OPS.items():
            args = _args(name, sizes, fill, rnd, k)
            native = _batch(FastRedBlackTree, fill, op, args, rounds)
            pool = _batch(SortedListPool, fill, op, args, rounds)
            target = TARGETS.get((name, n_sizes), TARGETS.get((name, 0), ""))
            t.rows.append(Row(f"{name} ({n_blocks:,} blocks, {n_sizes:,} sizes)", native, pool, target))
        if n_blocks == 100_000:
            # Inserts of sizes not yet stored: the pool must grow its sorted list.
            fresh = [(64 * rnd.randrange(1, 16 * n_sizes) + 32, MemoryBlock(-i, 0)) for i in range(k)]
            native = _batch(FastRedBlackTree, fill, OPS["insert"], fresh, rounds)
            pool = _batch(SortedListPool, fill, OPS["insert"], fresh, rounds)
            t.rows.append(Row(f"insert, new sizes ({n_blocks:,} blocks)", native, pool, ">=3x"))
    # Against the pure-Python tree, at the small fill only (building the large
    # one in Python takes seconds).
    sizes, fill, rnd = _workload(1_000, 500, seed=7)
    for name, op in OPS.items():
        args = _args(name, sizes, fill, rnd, min(500, batch))
        native = _batch(FastRedBlackTree, fill, op, args, rounds)
        py = _batch(baseline.FastRedBlackTree, fill, op, args, rounds)
        t.rows.append(Row(f"{name} vs pure-Python tree (1,000 blocks)", native, py, ""))
    # Floor: the cheapest 1-argument builtin call in the same batch loop.
    args = [(i,) for i in range(min(20_000, 10 * batch))]
    floor = _batch(lambda: None, [], lambda _p: abs, args, rounds)
    t.rows.append(Row("floor: abs(x), 1-arg builtin call", floor, None, ""))
    return t
