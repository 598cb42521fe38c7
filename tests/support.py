"""Helpers shared by the test modules: threads started together, and the
bitwise CRC-16/MODBUS."""
import threading
import time

JOIN_SECONDS = 60.0      # a thread not done by then is stuck


def run_together(work, n, timeout=JOIN_SECONDS):
    """Runs work(i) for i in range(n), each in a thread of its own, released
    together from a barrier; returns the results in thread order. A thread
    still running `timeout` seconds after the start fails the test (deadlock
    or livelock); otherwise the first error of any thread is raised here."""
    barrier = threading.Barrier(n)
    results = [None] * n
    errors = []

    def run(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as exc:   # noqa: B036 - reported to the main thread
            errors.append(exc)

    pool = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(n)]
    for t in pool:
        t.start()
    deadline = time.monotonic() + timeout
    for t in pool:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = sum(t.is_alive() for t in pool)
    assert not stuck, f"{stuck} of {n} threads still running: deadlock or livelock"
    if errors:
        raise errors[0]
    return results


def crc16_modbus(data):
    """Bit by bit, without a table: independent of the table the module builds."""
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc
