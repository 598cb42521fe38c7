"""The main job's self-benchmark: each native module's hot calls against the
pure-Python equivalents in korvane._baselines, timed in this process at fixed
inputs. One function per module fills a Table; `quick` shortens every loop.
"""
from __future__ import annotations

import threading
import time

from korvane._bench import Row, Table, ns_per_call


def bench_lockless_ops(t: Table) -> None:
    from korvane._baselines import lockless_ops as py
    from korvane.memory import lockless_ops as lo

    c, pc = lo.AtomicCounter(), py.AtomicCounter()
    t.add("AtomicCounter.increment()", c.increment, pc.increment)
    t.add("AtomicCounter.load()", c.load, pc.load)
    t.add("AtomicCounter.compare_and_swap(7, 7)", lambda: c.compare_and_swap(7, 7),
          lambda: pc.compare_and_swap(7, 7))
    obj = object()
    p, pp = lo.AtomicPointer(obj), py.AtomicPointer(obj)
    t.add("AtomicPointer.load()", p.load, pp.load, "<= 100 ns")
    t.add("AtomicPointer.store(obj)", lambda: p.store(obj), lambda: pp.store(obj), "<= 100 ns")
    s, ps = lo.LockFreeStack(), py.LockFreeStack()
    t.add("LockFreeStack.push(obj) + pop()", lambda: (s.push(obj), s.pop()), lambda: (ps.push(obj), ps.pop()),
          "<= 450 ns")
    st, pst = lo.LockFreeStatistics(), py.LockFreeStatistics()
    t.add("LockFreeStatistics.record_allocation(64)", lambda: st.record_allocation(64),
          lambda: pst.record_allocation(64), "<= 100 ns")
    t.add("LockFreeStatistics.get_snapshot()", st.get_snapshot, pst.get_snapshot, "<= 500 ns")

    stop = False

    def busy():
        while not stop:
            pass

    th = threading.Thread(target=busy, daemon=True)
    th.start()
    try:
        time.sleep(0.005)
        native = ns_per_call(c.increment, min_time=t.min_time)
        python = ns_per_call(pc.increment, min_time=t.min_time)
    finally:
        stop = True
        th.join()
    t.rows.append(Row("AtomicCounter.increment() beside a busy thread", native, python, "< 2000 ns"))


BENCHES = {
    "lockless_ops": ("korvane.memory.lockless_ops", bench_lockless_ops),
}
