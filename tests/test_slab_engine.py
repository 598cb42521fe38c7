import logging
import pickle
import struct

import pytest
from hypothesis import example, given, settings, strategies as st

import korvane._baselines.slab_engine as base
import korvane.memory.slab_engine as se

import leakcheck
from leakcheck import I32_OVER, U64_OVER, RaisingBool, bad, cycle, native_class_cases, ok
# the CRC is recomputed bit by bit, independently of the table both modules build
from support import crc16_modbus, run_together

LOGGER = "korvane.memory.slab_engine"
I32 = st.integers(-2**31, 2**31 - 1)
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


@pytest.fixture(params=[se, base], ids=["native", "python"])
def mod(request):
    return request.param


def fields(h):
    """(size_class, flags, version, checksum, bitmap) as packed now."""
    return struct.unpack("<BBLHQ", h.pack_header())


def warnings_of(caplog, mod):
    return [r for r in caplog.records if r.name == mod.logger.name and r.levelno == logging.WARNING]


# ---------------------------------------------------------------- slab header

def test_crc_reference_value():
    assert crc16_modbus(b"123456789") == 0x4B37


def test_slot_lifecycle(mod):
    h = mod.FastSlabHeaderOps(3, 10)
    assert fields(h)[4] == 0x3FF
    assert (h.py_find_free_object(), h.py_is_object_free(9), h.py_is_object_free(10)) == (0, True, False)
    h.py_allocate_object_at(0)
    h.py_allocate_object_at(1)
    sc, flags, version, _, bitmap = fields(h)
    assert (h.py_find_free_object(), flags, version, bitmap) == (2, 0x10, 2, 0x3FC)
    h.py_deallocate_object_at(0)
    assert fields(h)[1] == 0x10          # not all free yet
    h.py_deallocate_object_at(1)
    assert fields(h)[1:3] == (0, 4) and fields(h)[4] == 0x3FF


@pytest.mark.parametrize("sc, n, stored, mask", [
    (0, 0, 0, 0), (255, -5, 255, 0), (256, 1, 0, 1), (-1, 63, 255, 2**63 - 1), (INT32_MAX, 64, 255, 2**64 - 1),
    (7, 1000, 7, 2**64 - 1)])
def test_new_header(mod, sc, n, stored, mask):
    h = mod.FastSlabHeaderOps(sc, n)
    sc_, flags, version, crc, bitmap = fields(h)
    assert (sc_, flags, version, crc, bitmap) == (stored, 0, 0, crc16_modbus(bytes([stored, 0, 0, 0, 0, 0])), mask)
    assert h.py_find_free_object() == (-1 if mask == 0 else 0)


@pytest.mark.parametrize("index", [64, 65, -1, -64, INT32_MIN])
def test_slot_index_outside_bitmap(mod, index):
    h = mod.FastSlabHeaderOps(0, 64)
    assert h.py_is_object_free(index) is False
    h.py_allocate_object_at(index)
    assert fields(h)[1:] == (0x10, 1, fields(h)[3], 2**64 - 1)
    # all bits still free, so the release clears the in-use flag
    h.py_deallocate_object_at(index)
    assert fields(h)[1:3] == (0, 2)


def test_full_slab_and_version_wrap(mod):
    h = mod.FastSlabHeaderOps(0, 2)
    h.py_allocate_object_at(0)
    h.py_allocate_object_at(1)
    assert h.py_find_free_object() == -1
    raw = bytearray(h.pack_header())
    raw[2:6] = (2**32 - 1).to_bytes(4, "little")
    raw[6:8] = crc16_modbus(raw[:6]).to_bytes(2, "little")
    h.unpack_header(bytes(raw))
    h.py_deallocate_object_at(0)
    assert fields(h)[2] == 0


@pytest.mark.parametrize("sc, n, taken", [(0, 1, []), (7, 10, [0, 3]), (255, 64, [63, 5, 0]),
                                          (42, 200, list(range(64)))])
def test_pack_exact_bytes(mod, sc, n, taken):
    h = mod.FastSlabHeaderOps(sc, n)
    for i in taken:
        h.py_allocate_object_at(i)
    mask = 2**min(n, 64) - 1
    for i in taken:
        mask &= ~(1 << i)
    flags = 0x10 if taken else 0
    head = struct.pack("<BBL", sc, flags, len(taken))
    expected = head + struct.pack("<HQ", crc16_modbus(head), mask)
    assert h.pack_header() == expected


def test_round_trip_on_other_instance(mod, caplog):
    a = mod.FastSlabHeaderOps(17, 30)
    for i in (4, 9, 29):
        a.py_allocate_object_at(i)
    a.py_deallocate_object_at(9)
    raw = a.pack_header()
    b = mod.FastSlabHeaderOps(0, 30)
    with caplog.at_level(logging.DEBUG):
        b.unpack_header(raw)
        b.unpack_header(bytearray(raw))
        b.unpack_header(memoryview(raw))
    assert not warnings_of(caplog, mod)
    assert b.pack_header() == raw
    assert b.py_find_free_object() == 0 and not b.py_is_object_free(4) and b.py_is_object_free(9)


@pytest.mark.parametrize("pos", range(16))
def test_corruption_detection(mod, pos, caplog):
    a = mod.FastSlabHeaderOps(5, 12)
    a.py_allocate_object_at(2)
    raw = bytearray(a.pack_header())
    raw[pos] ^= 0x01
    b = mod.FastSlabHeaderOps(0, 12)
    with caplog.at_level(logging.WARNING, logger=mod.logger.name):
        b.unpack_header(bytes(raw))
    sc, flags, version, _, bitmap = fields(b)
    covered = pos < 8           # header bytes and the checksum itself
    assert bool(flags & 0x80) == covered
    assert (sc, flags & 0x7F, version, bitmap) == (raw[0], raw[1] & 0x7F,
                                                   int.from_bytes(raw[2:6], "little"),
                                                   int.from_bytes(raw[8:], "little"))
    recs = warnings_of(caplog, mod)
    if covered:
        stored = int.from_bytes(raw[6:8], "little")
        computed = crc16_modbus(raw[:6])
        assert [r.getMessage() for r in recs] == [
            f"Header corruption detected: stored={stored:04x}, computed={computed:04x}"]
    else:
        assert recs == []


@pytest.mark.parametrize("data, exc, msg", [
    (b"\0" * 15, ValueError, "Slab header must be 16 bytes, got 15"),
    (b"", ValueError, "Slab header must be 16 bytes, got 0"),
    (None, TypeError, "object of type 'NoneType' has no len()"),
    (5, TypeError, "object of type 'int' has no len()"),
    ("x" * 16, TypeError, "a bytes-like object is required, not 'str'"),
])
def test_unpack_rejects(mod, data, exc, msg):
    h = mod.FastSlabHeaderOps(1, 8)
    before = h.pack_header()
    with pytest.raises(exc, match="^" + msg.replace("(", r"\(").replace(")", r"\)") + "$"):
        h.unpack_header(data)
    assert h.pack_header() == before


@pytest.mark.parametrize("result, exc, msg", [
    ((1, 2, 3), ValueError, "need more than 3 values to unpack"),
    ((1,), ValueError, "need more than 1 value to unpack"),
    (iter([1, 0, 0]), ValueError, "need more than 3 values to unpack"),
    ((1, 0, 0, 0, 0, 0), ValueError, "too many values to unpack (expected 5)"),
    (iter(range(9)), ValueError, "too many values to unpack (expected 5)"),
    (5, TypeError, "'int' object is not iterable"),
    ((300, 0, 0, 0, 0), OverflowError, "value too large to convert to uint8_t"),
    ((1, -1, 0, 0, 0), OverflowError, "can't convert negative value to uint8_t"),
    ((1, 0, 2**32, 0, 0), OverflowError, "value too large to convert to uint32_t"),
    ((1, 0, 0, 2**16, 0), OverflowError, "value too large to convert to uint16_t"),
])
def test_unpack_result_is_checked_not_truncated(monkeypatch, result, exc, msg):
    # Objects other than bytes/bytearray are read through struct.unpack.
    h = se.FastSlabHeaderOps(1, 8)
    before = h.pack_header()
    monkeypatch.setattr(struct, "unpack", lambda fmt, data: result)
    with pytest.raises(exc) as e:
        h.unpack_header(memoryview(before))
    assert str(e.value) == msg
    monkeypatch.undo()
    assert h.pack_header() == before


def test_unpack_accepts_any_five_item_iterable(monkeypatch, caplog):
    h = se.FastSlabHeaderOps(0, 8)
    monkeypatch.setattr(struct, "unpack", lambda fmt, data: iter([9, 0, 3, 0, 7]))
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        h.unpack_header(memoryview(bytes(16)))
    monkeypatch.undo()
    assert fields(h)[0:3] == (9, 0x80, 3) and fields(h)[4] == 7
    assert len(warnings_of(caplog, se)) == 1


# ---------------------------------------------------------------- bucket allocator

@pytest.mark.parametrize("offset, size, ok", [(0, 64, True), (64, 60, False), (0, 5000, False),
                                              (0, 0, False), (0, -8, False), (0, 8, True),
                                              (0, 256, True), (0, 264, True), (0, 4096, True),
                                              (0, 4104, False), (INT32_MIN, 16, True)])
def test_add_to_bucket(mod, offset, size, ok):
    assert mod.FastBucketAllocator().add_to_bucket(offset, size) is ok


def test_remove_is_last_in_first_out(mod):
    a = mod.FastBucketAllocator()
    a.add_to_bucket(100, 64)
    a.add_to_bucket(200, 64)
    assert [a.remove_from_bucket(57), a.remove_from_bucket(64), a.remove_from_bucket(64)] == [200, 100, None]
    assert a.remove_from_bucket(5000) is None and a.remove_from_bucket(-3) is None


def test_best_fit_search_order(mod):
    a = mod.FastBucketAllocator()
    assert a.find_best_fit_bucket(60, 8) is None
    a.add_to_bucket(0, 128)
    assert a.find_best_fit_bucket(60, 8) == 0       # the 64 bucket is empty
    a.add_to_bucket(1000, 512)
    a.add_to_bucket(2000, 256)
    assert a.find_best_fit_bucket(100, 8) == 2000   # smallest larger bucket first
    assert a.find_best_fit_bucket(5000, 8) is None


def test_alignment_rejection_puts_back(mod):
    a = mod.FastBucketAllocator()
    for off in (8, 4):
        a.add_to_bucket(off, 64)
    a.add_to_bucket(1024, 128)
    # 4 is last in the 64 bucket and cannot hold 64 bytes at a 16-byte start
    assert a.find_best_fit_bucket(64, 16) == 1024
    assert a.find_best_fit_bucket(64, 16) is None    # 8 is never tried: 4 stays last
    assert a.find_best_fit_bucket(64, 4) == 4
    assert a.find_best_fit_bucket(64, 16) is None    # 8 at 16 needs 80 > 72
    assert a.remove_from_bucket(64) == 8


@pytest.mark.parametrize("alignment", [0, -1, INT32_MIN, 1])
def test_best_fit_without_alignment(mod, alignment):
    a = mod.FastBucketAllocator()
    a.add_to_bucket(3, 64)
    assert a.find_best_fit_bucket(64, alignment) == 3


@pytest.mark.parametrize("args", [(16, 64, 256), (10, 255, 300), (1, 4, 9), (8, -5, 100),
                                  (-8, 256, 4096), (8, 256, 0)])
@settings(max_examples=30)
@given(ops=st.lists(st.tuples(st.sampled_from("arf"), st.integers(-20, 400),
                              st.integers(-1, 300), st.sampled_from([0, 1, 4, 8, 16, 64])),
                    max_size=40))
def test_allocator_matches_model(args, ops):
    nat, ref = se.FastBucketAllocator(*args), base.FastBucketAllocator(*args)
    for op, size, off, align in ops:
        if op == "a":
            assert nat.add_to_bucket(off, size) == ref.add_to_bucket(off, size)
        elif op == "r":
            assert nat.remove_from_bucket(size) == ref.remove_from_bucket(size)
        else:
            assert nat.find_best_fit_bucket(size, align) == ref.find_best_fit_bucket(size, align)


def test_init_buckets(mod):
    with pytest.raises(ValueError, match="arg 3 must not be zero"):
        mod.FastBucketAllocator(0)
    if mod is se:
        a = se.FastBucketAllocator(1, 10, 2**31 - 1)   # two billion sizes, none built up front
        assert a.add_to_bucket(7, 2**31 - 2) and a.remove_from_bucket(2**31 - 2) == 7
    a = mod.FastBucketAllocator()
    a.add_to_bucket(1, 16)
    assert a._init_buckets() is None
    assert a.remove_from_bucket(16) is None          # buckets start empty again

    calls = []

    class NoBuckets(mod.FastBucketAllocator):
        def _init_buckets(self):
            calls.append(self)

    nb = NoBuckets()
    assert calls == [nb] and nb.add_to_bucket(0, 64) is False


@pytest.mark.stress
@pytest.mark.timeout(120)
def test_allocator_threads_lose_nothing():
    a = se.FastBucketAllocator()
    n_threads, per = 4, 500
    taken = [[] for _ in range(n_threads)]

    def work(k):
        for i in range(per):
            a.add_to_bucket(k * per + i, 64)
            o = a.remove_from_bucket(64) if i % 2 else a.find_best_fit_bucket(64, 1)
            taken[k].append(o)

    run_together(work, n_threads)
    rest = []
    while (o := a.remove_from_bucket(64)) is not None:
        rest.append(o)
    got = [o for lst in taken for o in lst if o is not None] + rest
    assert sorted(got) == list(range(n_threads * per))


# ---------------------------------------------------------------- statistics

EMPTY_STATS = {"total_allocations": 0, "total_deallocations": 0, "bucketed_allocations": 0,
               "fallback_allocations": 0, "bucketed_allocation_ratio": "0.0%",
               "alignment_padding_bytes": 0}


def test_stats(mod):
    c = mod.FastStatsCollector()
    assert c.get_stats() == EMPTY_STATS
    for _ in range(3):
        c.py_record_allocation(64, 8, True)
    c.py_record_allocation(5000, 0, [])
    c.py_record_deallocation()
    s = c.get_stats()
    assert list(s) == list(EMPTY_STATS)
    assert list(s.values()) == [4, 1, 3, 1, "75.0%", 24]
    assert c.reset_stats() is None and c.get_stats() == EMPTY_STATS


def test_stats_dicts_are_independent(mod):
    c = mod.FastStatsCollector()
    first = c.get_stats()
    first["total_allocations"] = 99
    del first["bucketed_allocation_ratio"]
    first["extra"] = 1
    assert c.get_stats() == EMPTY_STATS and list(c.get_stats()) == list(EMPTY_STATS)
    assert c.get_stats() is not c.get_stats()


@settings(max_examples=40)
@given(bucketed=st.integers(0, 150), fallback=st.integers(0, 150))
@example(1, 15).via("6.25: a tie, rounds to even")
@example(3, 13).via("18.75")
@example(1, 2001).via("0.0499...")
@pytest.mark.parametrize("mod", [se, base], ids=["native", "python"])
def test_ratio_format(mod, bucketed, fallback):
    c = mod.FastStatsCollector()
    for i in range(bucketed + fallback):
        c.py_record_allocation(0, 0, i < bucketed)
    total = bucketed + fallback
    ratio = bucketed / total * 100 if total else 0
    assert c.get_stats()["bucketed_allocation_ratio"] == f"{ratio:.1f}%"


@pytest.mark.stress
@pytest.mark.timeout(120)
def test_collector_threads():
    c = se.FastStatsCollector()

    def work(_):
        for i in range(1000):
            c.py_record_allocation(8, 2, i % 4 == 0)
            c.py_record_deallocation()

    run_together(work, 4)
    assert list(c.get_stats().values()) == [4000, 4000, 1000, 3000, "25.0%", 8000]


def test_record_allocation_converts_first(mod):
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")

    c = mod.FastStatsCollector()
    with pytest.raises(RuntimeError):
        c.py_record_allocation(1, 8, Bad())
    if mod is se:
        with pytest.raises(OverflowError):
            c.py_record_allocation(2**31, 8, True)
    assert c.get_stats() == EMPTY_STATS


# ---------------------------------------------------------------- module functions

@pytest.mark.parametrize("size, alignment, out", [
    (13, 8, 16), (16, 8, 16), (0, 1, 0), (-13, 8, -8), (1, 2**30, 2**30),
    (INT32_MAX, 8, 2**31), (INT32_MAX, 2**30, 2**31), (INT32_MIN, 8, INT32_MIN)])
def test_align_size(mod, size, alignment, out):
    assert mod.fast_align_size(size, alignment) == out


@pytest.mark.parametrize("alignment", [6, 0, -8, INT32_MIN, 3])
def test_align_size_rejects(mod, alignment):
    with pytest.raises(ValueError, match="^Alignment must be a power of 2$"):
        mod.fast_align_size(13, alignment)


@pytest.mark.parametrize("args, out", [
    ((13,), 16), ((16,), 16), ((100, 32), 128), ((0,), 0), ((-13,), 0), ((-1,), 0),
    ((13, -8), 0), ((INT32_MAX,), 2**31), ((INT32_MIN, -1), INT32_MIN - 2), ((5, 1), 5)])
def test_get_bucket_size(mod, args, out):
    assert mod.fast_get_bucket_size(*args) == out


def test_get_bucket_size_step_zero(mod):
    with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$"):
        mod.fast_get_bucket_size(13, 0)


@pytest.mark.parametrize("bitmap, index, op, out", [
    (0b1010, 1, "is_set", True), (0b1010, 0, "is_set", False), (2**63, 63, "is_set", True),
    (2**64 - 1, 64, "is_set", False), (2**64 - 1, -1, "is_set", False), (2**64 - 1, -64, "is_set", False),
    (0b1010, 0, "set", 11), (0, 63, "set", 2**63), (5, 64, "set", 5), (5, -1, "set", 5),
    (0b1010, 3, "clear", 2), (2**64 - 1, 63, "clear", 2**63 - 1), (5, -3, "clear", 5), (5, 99, "clear", 5),
    (0b1010, 0, "find_first", 1), (1, 7, "find_first", 0), (0, 0, "find_first", -1), (2**63, -9, "find_first", 63)])
def test_bitmap_operations(mod, bitmap, index, op, out):
    r = mod.fast_bitmap_operations(bitmap, index, op)
    assert r == out and type(r) is type(out)


@pytest.mark.parametrize("op, text", [("toggle", "Unknown operation: toggle"), (None, "Unknown operation: None"),
                                      ("", "Unknown operation: "), ("IS_SET", "Unknown operation: IS_SET")])
def test_bitmap_unknown_operation(mod, op, text):
    with pytest.raises(ValueError) as e:
        mod.fast_bitmap_operations(1, 0, op)
    assert str(e.value) == text


@pytest.mark.parametrize("args, out", [
    ((0, 64, 64, 8), False), ((0, 64, 63, 8), True), ((4, 64, 56, 8), True), ((4, 64, 60, 8), False),
    ((4, 64, 62, 0), True), ((4, 64, 62, -16), True), ((4, 64, 62, INT32_MIN), True),
    ((INT32_MAX - 3, 4, 1, 1), True), ((INT32_MAX - 8, 16, 8, 16), False), ((INT32_MAX, INT32_MAX, INT32_MAX - 1, 1), True)])
def test_can_fit_aligned(mod, args, out):
    assert mod.fast_can_fit_aligned(*args) is out


@settings(max_examples=80)
@given(a=I32, b=I32, c=I32, d=I32, bitmap=st.integers(0, 2**64 - 1),
       op=st.sampled_from(["is_set", "set", "clear", "find_first"]))
def test_functions_match_python(a, b, c, d, bitmap, op):
    for fn, args in ((se.fast_can_fit_aligned, (a, b, c, d)), (se.fast_bitmap_operations, (bitmap, b % 70 - 3, op)),
                     (se.fast_get_bucket_size, (a, d or 1)), (se.fast_align_size, (a, 1 << (b % 31)))):
        assert fn(*args) == getattr(base, fn.__name__)(*args)


# ---------------------------------------------------------------- native surface

@pytest.mark.parametrize("call, exc, msg", [
    (lambda: se.FastSlabHeaderOps(1), TypeError, "__cinit__() takes exactly 2 positional arguments (1 given)"),
    (lambda: se.FastStatsCollector(1), TypeError, "__cinit__() takes exactly 0 positional arguments (1 given)"),
    (lambda: se.fast_bitmap_operations(1, 0, 5), TypeError,
     "Argument 'operation' has incorrect type (expected str, got int)"),
    (lambda: se.FastSlabHeaderOps(2**31, 1), OverflowError, None),
    (lambda: se.fast_bitmap_operations(-1, 0, "set"), OverflowError, "can't convert negative value to uint64_t"),
])
def test_argument_errors(call, exc, msg):
    with pytest.raises(exc) as e:
        call()
    if msg is not None:
        assert str(e.value) == msg


@pytest.mark.parametrize("cls, args", [(se.FastSlabHeaderOps, (0, 8)), (se.FastBucketAllocator, ()),
                                       (se.FastStatsCollector, ())])
def test_native_classes(cls, args):
    obj = cls(*args)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(obj)
    sub = type("Sub", (cls,), {"extra": lambda self: 1})(*args)
    assert sub.extra() == 1 and isinstance(sub, cls)


def test_no_leaked_references(refcount):
    data, h = bytes(range(16)), se.FastSlabHeaderOps(0, 8)
    before = refcount(data)
    for _ in range(100):
        h.unpack_header(memoryview(data))
    assert refcount(data) == before


@pytest.mark.subprocess
def test_load_line_logged_once(fresh_import):
    records, names = fresh_import("korvane.memory.slab_engine")
    assert records == [(LOGGER, "INFO",
                        "Korvane Slab Engine Cython module loaded - targeting 1.8-3\u00d7 performance improvement")]
    assert names.index("threading") < names.index("logger")


# ---- reference leaks ---------------------------------------------------------------

def leak_cases(m):
    H = m.FastSlabHeaderOps
    A = m.FastBucketAllocator
    C = m.FastStatsCollector
    cases = native_class_cases(H, (3, 10)) + native_class_cases(A) + native_class_cases(C)

    h = H(3, 10)
    packed = h.pack_header()
    corrupt = bytes([packed[0] ^ 1]) + packed[1:]
    other = H(0, 64)
    cases += [
        bad("FastSlabHeaderOps(3)", TypeError, H, 3),
        bad("FastSlabHeaderOps(2**31, 1)", OverflowError, H, I32_OVER, 1),
        bad("FastSlabHeaderOps('a', 1)", TypeError, H, "a", 1),
        bad("FastSlabHeaderOps(x=1)", TypeError, H, 1, 2, x=1),
        ok("pack_header", h.pack_header),
        ok("unpack_header", other.unpack_header, packed),
        ok("unpack_header corrupted (logs)", other.unpack_header, corrupt),
        ok("py_is_object_free", h.py_is_object_free, 9),
        ok("py_is_object_free(64)", h.py_is_object_free, 64),
        ok("py_find_free_object", h.py_find_free_object),
        bad("unpack_header(None)", TypeError, other.unpack_header, None),
        bad("unpack_header(short)", ValueError, other.unpack_header, b"short"),
        bad("unpack_header(str)", TypeError, other.unpack_header, "x" * 16),
        bad("py_is_object_free(2**31)", OverflowError, h.py_is_object_free, I32_OVER),
        bad("py_is_object_free('a')", TypeError, h.py_is_object_free, "a"),
    ]

    def take_release():
        h.py_allocate_object_at(0)
        h.py_allocate_object_at(70)
        h.py_deallocate_object_at(0)
        h.py_deallocate_object_at(70)
    cases.append(cycle("py_allocate_object_at/py_deallocate_object_at", take_release, h))

    a = A()
    a.add_to_bucket(4, 64)      # misaligned for 16: tried and put back on every search
    cases += [
        ok("FastBucketAllocator(16, 128, 1024)", A, 16, 128, 1024),
        bad("FastBucketAllocator(0)", ValueError, A, 0),
        bad("FastBucketAllocator(2**31)", OverflowError, A, I32_OVER),
        bad("FastBucketAllocator('a')", TypeError, A, "a"),
        bad("FastBucketAllocator(1, 2, 3, 4)", TypeError, A, 1, 2, 3, 4),
        bad("FastBucketAllocator(x=1)", TypeError, A, x=1),
        ok("add_to_bucket not a bucket size", a.add_to_bucket, 64, 60),
        ok("add_to_bucket too large", a.add_to_bucket, 0, 5000),
        ok("remove_from_bucket too large", a.remove_from_bucket, 5000),
        ok("remove_from_bucket empty", a.remove_from_bucket, 128),
        ok("find_best_fit_bucket misaligned put back", a.find_best_fit_bucket, 64, 16),
        ok("find_best_fit_bucket too large", a.find_best_fit_bucket, 5000, 8),
        ok("_init_buckets", A(8, 64, 128)._init_buckets),
        bad("add_to_bucket('a', 1)", TypeError, a.add_to_bucket, "a", 1),
        bad("add_to_bucket(2**31, 8)", OverflowError, a.add_to_bucket, I32_OVER, 8),
    ]

    def add_remove():
        a.add_to_bucket(100, 64)
        a.add_to_bucket(200, 64)
        a.remove_from_bucket(57)
        a.remove_from_bucket(64)

    def add_best_fit():
        a.add_to_bucket(1000, 128)
        a.find_best_fit_bucket(60, 8)
    cases += [
        cycle("add/remove", add_remove, a),
        cycle("add/find_best_fit_bucket", add_best_fit, a),
    ]

    s = C()
    cases += [
        ok("py_record_allocation", s.py_record_allocation, 64, 8, True),
        ok("py_record_allocation falsy", s.py_record_allocation, 64, 0, []),
        ok("py_record_deallocation", s.py_record_deallocation),
        ok("get_stats", s.get_stats),
        ok("reset_stats", s.reset_stats),
        bad("py_record_allocation('a', 8, True)", TypeError, s.py_record_allocation, "a", 8, True),
        bad("py_record_allocation(2**31, 0, True)", OverflowError, s.py_record_allocation, I32_OVER, 0, True),
        bad("py_record_allocation raising truth", ArithmeticError, s.py_record_allocation, 1, 1, RaisingBool()),
    ]

    f = m
    cases += [
        ok("fast_align_size", f.fast_align_size, 13, 8),
        bad("fast_align_size(13, 6)", ValueError, f.fast_align_size, 13, 6),
        bad("fast_align_size(13, 0)", ValueError, f.fast_align_size, 13, 0),
        bad("fast_align_size('a', 8)", TypeError, f.fast_align_size, "a", 8),
        bad("fast_align_size(2**31, 8)", OverflowError, f.fast_align_size, I32_OVER, 8),
        ok("fast_get_bucket_size", f.fast_get_bucket_size, 13),
        ok("fast_get_bucket_size step", f.fast_get_bucket_size, 100, 32),
        bad("fast_get_bucket_size(13, 0)", (ValueError, ZeroDivisionError), f.fast_get_bucket_size, 13, 0),
        ok("fast_bitmap_operations is_set", f.fast_bitmap_operations, 0b1010, 1, "is_set"),
        ok("fast_bitmap_operations set", f.fast_bitmap_operations, 2**63, 0, "set"),
        ok("fast_bitmap_operations clear", f.fast_bitmap_operations, 0b1010, 3, "clear"),
        ok("fast_bitmap_operations find_first", f.fast_bitmap_operations, 0b1010, 0, "find_first"),
        bad("fast_bitmap_operations unknown", ValueError, f.fast_bitmap_operations, 1, 1, "bogus"),
        bad("fast_bitmap_operations None", ValueError, f.fast_bitmap_operations, 1, 1, None),
        bad("fast_bitmap_operations(-1, ...)", OverflowError, f.fast_bitmap_operations, -1, 0, "set"),
        bad("fast_bitmap_operations(2**64, ...)", OverflowError, f.fast_bitmap_operations, U64_OVER, 0, "set"),
        bad("fast_bitmap_operations operation 5", TypeError, f.fast_bitmap_operations, 1, 1, 5),
        ok("fast_can_fit_aligned", f.fast_can_fit_aligned, 4, 64, 56, 8),
        bad("fast_can_fit_aligned overflow", OverflowError, f.fast_can_fit_aligned, 1, 2, 3, I32_OVER),
    ]
    return cases


test_no_leak = leakcheck.no_leak_test("korvane.memory.slab_engine", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.memory.slab_engine", leak_cases)
