// korvane.memory.slab_engine: slab headers, size buckets, allocation counters
// and the size helpers the Python allocator calls on its hot paths.
//
// The arithmetic lives in slab_core.hpp; this file converts arguments and
// builds results. The bucket table and the counters are native, so each
// object's lock is a native mutex: taking it costs no Python call, and nothing
// inside a critical section calls back into Python.
#include <array>
#include <cstring>
#include <mutex>

#include "frame.hpp"
#include "slab_core.hpp"

namespace {

using kv::Ref;

constexpr slab::CrcTable kCrcTable = slab::make_crc_table();

// ---- module state ----------------------------------------------------------------

// clang-format off
#define SLAB_NAMES(NAME, TEXT)                                                                        \
  TEXT(struct_module, "struct") NAME(unpack) TEXT(header_format, "<BBLHQ") NAME(logger) NAME(warning) \
  NAME(_init_buckets)
// clang-format on

struct State {
  KV_NAMES(SLAB_NAMES)
  kv::DictShape stats{"total_allocations",    "total_deallocations",       "bucketed_allocations",
                      "fallback_allocations", "bucketed_allocation_ratio", "alignment_padding_bytes"};
};
State& S() noexcept { return kv::state<State>(); }

// ---- a native lock ------------------------------------------------------------

// Guards native fields only and is never held across a call into Python, so
// taking it while holding the interpreter lock cannot deadlock.
class NativeLock {
 public:
  class Hold {
   public:
    explicit Hold(NativeLock& l) : g_(l.m_) {}

   private:
    std::lock_guard<std::mutex> g_;
  };

 private:
  std::mutex m_;
};

// ---- FastSlabHeaderOps ------------------------------------------------------------

struct HeaderObj {
  slab::Header h;
};

void header_init(HeaderObj& o, int32_t size_class_index, int32_t objects_per_slab) {
  o.h = slab::Header(size_class_index, objects_per_slab);
}

Ref header_pack(HeaderObj& o) {
  uint8_t buf[slab::kPackedSize];
  o.h.pack(kCrcTable, buf);
  return kv::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), sizeof buf));
}

// The five items of a five-target assignment from `seq`, with the
// interpreter's messages when there are more or fewer.
std::array<Ref, 5> unpack_five(PyObject* seq) {
  std::array<Ref, 5> items;
  auto too_few = [](Py_ssize_t n) {
    kv::raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
  };
  if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n > 5) kv::raise(PyExc_ValueError, "too many values to unpack (expected 5)");
    if (n < 5) too_few(n);
    for (std::size_t i = 0; i < 5; ++i)
      items[i] = Ref::borrow(PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(i)));
    return items;
  }
  Ref it = kv::check(PyObject_GetIter(seq));
  for (std::size_t i = 0; i < 5; ++i) {
    items[i] = Ref::steal(PyIter_Next(it.get()));
    if (!items[i]) {
      if (PyErr_Occurred()) kv::throw_error();
      too_few(static_cast<Py_ssize_t>(i));
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) kv::raise(PyExc_ValueError, "too many values to unpack (expected 5)");
  if (PyErr_Occurred()) kv::throw_error();
  return items;
}

// Reads the five fields of a 16-byte header; anything but bytes or bytearray
// goes through struct.unpack, so its errors are the struct module's own, and
// a value that does not fit its field is an OverflowError, never truncated.
slab::Fields read_fields(PyObject* data) {
  if (PyBytes_CheckExact(data)) return slab::unpack_fields(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)));
  if (PyByteArray_CheckExact(data))
    return slab::unpack_fields(reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(data)));
  Ref structmod = kv::check(PyImport_Import(S().struct_module));  // `import struct`, at each call
  Ref t = kv::call_method(structmod.get(), S().unpack, S().header_format, data);
  const std::array<Ref, 5> v = unpack_five(t.get());
  return slab::Fields{kv::Conv<uint8_t>::from(v[0].get(), nullptr), kv::Conv<uint8_t>::from(v[1].get(), nullptr),
                      kv::Conv<uint32_t>::from(v[2].get(), nullptr), kv::Conv<uint16_t>::from(v[3].get(), nullptr),
                      kv::Conv<uint64_t>::from(v[4].get(), nullptr)};
}

void header_unpack(HeaderObj& o, PyObject* data) {
  const Py_ssize_t n = PyObject_Length(data);
  if (n < 0) kv::throw_error();
  if (n != static_cast<Py_ssize_t>(slab::kPackedSize))
    kv::raise_format(PyExc_ValueError, "Slab header must be 16 bytes, got %zd", n);
  const slab::Fields f = read_fields(data);
  const uint16_t computed = o.h.install(kCrcTable, f);
  if (computed != f.checksum) {
    // A corrupted header is reported, not raised: the values stay installed.
    Ref msg = kv::check(PyUnicode_FromFormat("Header corruption detected: stored=%04x, computed=%04x",
                                             static_cast<unsigned>(f.checksum), static_cast<unsigned>(computed)));
    kv::call_method(kv::global(S().logger).get(), S().warning, msg);
  }
}

bool header_is_free(HeaderObj& o, int32_t i) { return o.h.is_free(i); }
int32_t header_find_free(HeaderObj& o) { return o.h.find_free(); }
void header_allocate_at(HeaderObj& o, int32_t i) { o.h.allocate_at(i); }
void header_deallocate_at(HeaderObj& o, int32_t i) { o.h.deallocate_at(i); }

// ---- FastBucketAllocator ------------------------------------------------------------

struct Allocator {
  slab::BucketTable table;
  NativeLock lock;
};

void allocator_init(Allocator& a, int32_t bucket_size_step, int32_t small_block_max, int32_t medium_block_max) {
  a.table = slab::BucketTable(bucket_size_step, small_block_max, medium_block_max);
  kv::call_method(kv::self_of(a), S()._init_buckets);  // an override in a subclass is honoured
}

void allocator_init_buckets(Allocator& a) {
  bool ok = false;
  {
    NativeLock::Hold g(a.lock);
    ok = a.table.init_buckets();
  }
  if (!ok) kv::raise(PyExc_ValueError, "range() arg 3 must not be zero");
}

// The bucket size is computed before the lock is taken: requests that no
// bucket can serve never touch it.
bool allocator_add(Allocator& a, int32_t offset, int32_t size) {
  if (a.table.bucket_size(size) != size || size <= 0) return false;
  NativeLock::Hold g(a.lock);
  return a.table.add(offset, size);
}

Ref offset_or_none(std::optional<int32_t> o) { return o ? kv::obj(*o) : kv::none(); }

Ref allocator_remove(Allocator& a, int32_t size) {
  if (a.table.bucket_size(size) <= 0) return kv::none();
  std::optional<int32_t> o;
  {
    NativeLock::Hold g(a.lock);
    o = a.table.remove(size);
  }
  return offset_or_none(o);
}

Ref allocator_best_fit(Allocator& a, int32_t size, int32_t alignment) {
  if (a.table.bucket_size(size) <= 0) return kv::none();
  std::optional<int32_t> o;
  {
    NativeLock::Hold g(a.lock);
    o = a.table.best_fit(size, alignment);
  }
  return offset_or_none(o);
}

// ---- FastStatsCollector ------------------------------------------------------------

struct Collector {
  slab::StatsCounters c;
  NativeLock lock;
};

void collector_init(Collector&) {}

void collector_record_allocation(Collector& s, int32_t /*size*/, int32_t padding, bool is_bucketed) {
  NativeLock::Hold g(s.lock);
  s.c.record_allocation(padding, is_bucketed);
}

void collector_record_deallocation(Collector& s) {
  NativeLock::Hold g(s.lock);
  s.c.record_deallocation();
}

Ref ratio_text(double ratio) {
  char buf[32];
  if (std::size_t n = slab::format_percent_1dp(ratio, buf))
    return kv::check(PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(n)));
  char* text = PyOS_double_to_string(ratio, 'f', 1, 0, nullptr);
  if (!text) kv::throw_error();
  PyObject* r = PyUnicode_FromFormat("%s%%", text);
  PyMem_Free(text);
  return kv::check(r);
}

Ref collector_get_stats(Collector& s) {
  slab::StatsCounters c;
  {
    NativeLock::Hold g(s.lock);
    c = s.c;
  }
  Ref values[] = {kv::obj(c.total_allocations),    kv::obj(c.total_deallocations), kv::obj(c.bucketed_allocations),
                  kv::obj(c.fallback_allocations), ratio_text(c.bucketed_ratio()), kv::obj(c.alignment_padding_bytes)};
  return S().stats.make(
      {values[0].get(), values[1].get(), values[2].get(), values[3].get(), values[4].get(), values[5].get()});
}

void collector_reset(Collector& s) {
  NativeLock::Hold g(s.lock);
  s.c.reset();
}

// ---- module functions ------------------------------------------------------------

int64_t fast_align_size(int32_t size, int32_t alignment) {
  if (!slab::is_power_of_two(alignment)) kv::raise(PyExc_ValueError, "Alignment must be a power of 2");
  return slab::align_up(size, alignment);
}

int64_t fast_get_bucket_size(int32_t size, int32_t step) {
  if (step == 0) kv::raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  return slab::round_up(size, step);
}

// `u` comes from a kv::OptStr, ready for the kind and data macros.
bool str_is(PyObject* u, const char* s) {
  const auto n = static_cast<Py_ssize_t>(std::strlen(s));
  return PyUnicode_GET_LENGTH(u) == n && PyUnicode_IS_ASCII(u) &&
         std::memcmp(PyUnicode_DATA(u), s, static_cast<std::size_t>(n)) == 0;
}

Ref fast_bitmap_operations(uint64_t bitmap, int32_t index, kv::OptStr operation) {
  PyObject* op = operation.value;
  if (op) {
    if (str_is(op, "is_set")) return kv::py_bool((bitmap & slab::slot_bit(index)) != 0);
    if (str_is(op, "set")) return kv::obj(bitmap | slab::slot_bit(index));
    if (str_is(op, "clear")) return kv::obj(bitmap & ~slab::slot_bit(index));
    if (str_is(op, "find_first")) return kv::obj(slab::lowest_set_bit(bitmap));
    kv::raise_format(PyExc_ValueError, "Unknown operation: %U", op);
  }
  kv::raise(PyExc_ValueError, "Unknown operation: None");
}

bool fast_can_fit_aligned(int32_t block_offset, int32_t block_size, int32_t alloc_size, int32_t alignment) {
  return slab::can_fit_aligned(block_offset, block_size, alloc_size, alignment);
}

// ---- the module ----------------------------------------------------------------------------------

void make_types(PyObject* m) {
  {
    kv::Class<HeaderObj> c("korvane.memory.slab_engine.FastSlabHeaderOps",
                           "Fast operations on compressed slab headers.");
    c.ctor<&header_init>("__cinit__(self, size_class_index, objects_per_slab)");
    c.create(m);
    c.method<&header_pack>("pack_header(self)", "Pack header into bytes for storage.");
    c.method<&header_unpack>("unpack_header(self, data)", "Unpack header from bytes.");
    c.method<&header_is_free>("py_is_object_free(self, object_index)",
                              "Check if object at index is free (Python interface).");
    c.method<&header_find_free>("py_find_free_object(self)", "Find first free object index (Python interface).");
    c.method<&header_allocate_at>("py_allocate_object_at(self, object_index)",
                                  "Mark object as allocated (Python interface).");
    c.method<&header_deallocate_at>("py_deallocate_object_at(self, object_index)",
                                    "Mark object as free (Python interface).");
  }
  {
    kv::Class<Allocator> c("korvane.memory.slab_engine.FastBucketAllocator",
                           "Bucketed allocation in constant time: free blocks filed by size class.");
    c.ctor<&allocator_init>("__cinit__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096)");
    c.create(m);
    c.method<&allocator_init_buckets>("_init_buckets(self)", "Initialize size-class buckets.");
    c.method<&allocator_add>("add_to_bucket(self, offset, size)", "Add block to appropriate bucket.");
    c.method<&allocator_remove>("remove_from_bucket(self, size)", "Remove block from appropriate bucket.");
    c.method<&allocator_best_fit>("find_best_fit_bucket(self, size, alignment)",
                                  "Find best fit bucket for allocation.");
  }
  {
    kv::Class<Collector> c("korvane.memory.slab_engine.FastStatsCollector", "Fast statistics collection.");
    c.ctor<&collector_init>("__cinit__(self)");
    c.create(m);
    c.method<&collector_record_allocation>("py_record_allocation(self, size, padding, is_bucketed)");
    c.method<&collector_record_deallocation>("py_record_deallocation(self)");
    c.method<&collector_get_stats>("get_stats(self)");
    c.method<&collector_reset>("reset_stats(self)");
  }
}

void body(kv::Body& b) {
  b.import("threading");
  b.import("logging");
  b.logger();
  b.def<&fast_align_size>("fast_align_size(size, alignment)");
  b.def<&fast_get_bucket_size>("fast_get_bucket_size(size, step=8)");
  b.def<&fast_bitmap_operations>("fast_bitmap_operations(bitmap, index, operation)");
  b.def<&fast_can_fit_aligned>("fast_can_fit_aligned(block_offset, block_size, alloc_size, alignment)");
  // The CRC table is a compile-time constant: nothing is left to build here.
  b.log_info("Korvane Slab Engine Cython module loaded - targeting 1.8-3\u00d7 performance improvement");
}

}  // namespace

KV_MODULE(slab_engine, State,
          (kv::ModuleInfo{"slab_engine", "korvane.memory.slab_engine",
                          "Bucket allocator helpers: slab headers, size buckets and statistics.", &make_types, &body}))
