"""ns per call of korvane.memory.lockless_ops against threading.Lock-guarded Python."""
from __future__ import annotations

import threading
import time

from korvane._baselines import lockless_ops as py
from korvane._benchmarks.harness import Row, Table, pick_level
from korvane.memory import lockless_ops as lo


def rows(quick: bool = False, *, level: str | None = None) -> Table:
    t = Table.at("korvane.memory.lockless_ops", pick_level(quick, level))
    big = 1e10
    d = {1: 2}
    # The floor any such call pays: an empty native method returning a new int.
    t.add("floor: 0-arg method returning a new int (float.__trunc__)", big.__trunc__)
    t.add("floor: lambda around a 2-arg method (dict.get)", lambda: d.get(7, 7))

    c, pc = lo.AtomicCounter(), py.AtomicCounter()
    t.add("AtomicCounter.increment()", c.increment, pc.increment, "<= 1.3x floor")
    t.add("AtomicCounter.increment(5)", lambda: c.increment(5), lambda: pc.increment(5))
    t.add("AtomicCounter.load()", c.load, pc.load, "<= 1.3x floor")
    t.add("AtomicCounter.store(7)", lambda: c.store(7), lambda: pc.store(7))
    t.add("AtomicCounter.compare_and_swap(7, 7)", lambda: c.compare_and_swap(7, 7),
          lambda: pc.compare_and_swap(7, 7), "<= 1.3x lambda floor")
    t.add("AtomicCounter.fetch_and_add(1)", lambda: c.fetch_and_add(1), lambda: pc.fetch_and_add(1))

    obj = object()
    p, pp = lo.AtomicPointer(obj), py.AtomicPointer(obj)
    t.add("AtomicPointer.load()", p.load, pp.load, "<= 100 ns")
    t.add("AtomicPointer.store(obj)", lambda: p.store(obj), lambda: pp.store(obj), "<= 100 ns")
    t.add("AtomicPointer.compare_and_swap(obj, obj)", lambda: p.compare_and_swap(obj, obj),
          lambda: pp.compare_and_swap(obj, obj), "<= 150 ns")

    s, ps = lo.LockFreeStack(), py.LockFreeStack()
    for _ in range(1000):
        s.push(obj)
        ps.push(obj)
    t.add("LockFreeStack.push(obj) + pop()", lambda: (s.push(obj), s.pop()),
          lambda: (ps.push(obj), ps.pop()), "<= 450 ns")
    t.add("LockFreeStack.size()", s.size, ps.size, "<= 1.3x floor")
    t.add("LockFreeStack.is_empty()", s.is_empty, ps.is_empty)

    st, pst = lo.LockFreeStatistics(), py.LockFreeStatistics()
    t.add("LockFreeStatistics.record_allocation(64)", lambda: st.record_allocation(64),
          lambda: pst.record_allocation(64), "<= 100 ns")
    t.add("LockFreeStatistics.get_snapshot()", st.get_snapshot, pst.get_snapshot, "<= 500 ns")

    tm, ptm = lo.PerformanceTimer(), py.PerformanceTimer()
    t.add("PerformanceTimer.elapsed_ns()", tm.elapsed_ns, ptm.elapsed_ns)

    # Beside one busy pure-Python thread: the counter never gives up the
    # interpreter lock, so it does not join the hand-off convoy.
    stop = False

    def busy():
        x = 0
        while not stop:
            x += 1

    th = threading.Thread(target=busy, daemon=True)
    th.start()
    try:
        time.sleep(0.01)
        native = t.time(c.increment)
        python = t.time(pc.increment)
    finally:
        stop = True
        th.join()
    t.rows.append(Row("AtomicCounter.increment() beside a busy thread", native, python, "< 2000 ns"))
    return t
