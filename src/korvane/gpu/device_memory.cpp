// korvane.gpu.device_memory: GPU memory planning for the package's GPU layer.
// The rules live in device_memory_plan.hpp; this file converts arguments,
// builds results and runs the module body.
#include "frame.hpp"

#include <charconv>
#include <string>
#include <utility>

#include "device_memory_plan.hpp"

namespace kv {

// A `tuple` parameter that also admits None (exact tuples, like `str`).
struct OptTuple {
  PyObject* value;  // borrowed; null for None
};

template <>
struct Conv<OptTuple> {
  static OptTuple from(PyObject* o, const char* name) {
    if (o == Py_None) return {nullptr};
    if (!PyTuple_CheckExact(o)) raise_arg_type(name, "tuple", o);
    return {o};
  }
};

}  // namespace kv

namespace {

namespace dm = kv::devmem;
using kv::OptStr;
using kv::OptTuple;
using kv::Ref;

// (code, 0, 1, message): a strategy result that needs no arithmetic.
Ref strategy_tuple(int code, const char* message) {
  Ref c = kv::obj(code);
  Ref zero = kv::obj(0);
  Ref one = kv::obj(1);
  Ref m = kv::obj(message);
  return kv::tuple_of({c.get(), zero.get(), one.get(), m.get()});
}

// Module state: built once at import and kept until the interpreter ends (one
// interpreter per process). The constant strategy results are shared.
struct State {
  Ref no_gpu_memory = strategy_tuple(dm::CPU_FALLBACK, "No GPU memory available");
  Ref fits = strategy_tuple(dm::GPU_DIRECT, "Allocation fits in GPU memory");
  Ref not_chunkable = strategy_tuple(dm::CPU_FALLBACK, "Operation not chunkable, falling back to CPU");
};
State& S() noexcept { return kv::state<State>(); }

// The "object of type 'NoneType' has no len()" of a None shape.
[[noreturn]] void raise_no_len() { kv::raise(PyExc_TypeError, "object of type 'NoneType' has no len()"); }

// What `None.lower()` raises.
[[noreturn]] void raise_none_lower() { kv::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'lower'"); }

int32_t to_int32(PyObject* o) { return kv::Conv<int32_t>::from(o, nullptr); }

// ---------------------------------------------------------------- estimates and strategy

int64_t estimate_allocation_bytes(OptTuple shape, int32_t element_size, double overhead_factor) {
  if (element_size < 0) kv::raise(PyExc_ValueError, "element_size must not be negative");
  if (!shape.value) raise_no_len();
  int64_t elements = 1;
  Py_ssize_t n = PyTuple_GET_SIZE(shape.value);
  for (Py_ssize_t i = 0; i < n; ++i) {
    int64_t early;
    if (!dm::multiply_extent(elements, to_int32(PyTuple_GET_ITEM(shape.value, i)), early)) return early;
  }
  return dm::apply_element_size(elements, element_size, overhead_factor);
}

uint64_t calculate_safe_limit(uint64_t available_bytes, double headroom_ratio) {
  return dm::safe_limit(available_bytes, headroom_ratio);
}

double calculate_memory_pressure(uint64_t used_bytes, uint64_t total_bytes) {
  return dm::memory_pressure(used_bytes, total_bytes);
}

double recommend_headroom(double current_pressure, double base_headroom) {
  return dm::recommend_headroom(current_pressure, base_headroom);
}

Ref decide_allocation_strategy(uint64_t requested_bytes, uint64_t available_bytes, double headroom_ratio,
                               bool is_chunkable) {
  dm::Decision d;
  switch (dm::decide(requested_bytes, available_bytes, headroom_ratio, is_chunkable, d)) {
    case dm::Outcome::NoMemory:
      return S().no_gpu_memory;
    case dm::Outcome::Fits:
      return S().fits;
    case dm::Outcome::NotChunkable:
      return S().not_chunkable;
    case dm::Outcome::Chunked:
      break;
  }
  char text[64] = "Chunking into ";
  constexpr size_t prefix = sizeof("Chunking into ") - 1;
  auto [end, ec] = std::to_chars(text + prefix, text + sizeof(text), d.chunk_count);
  (void)ec;  // 20 digits always fit
  static constexpr char suffix[] = " GPU passes";
  std::char_traits<char>::copy(end, suffix, sizeof(suffix) - 1);
  end += sizeof(suffix) - 1;
  Ref code = kv::obj(static_cast<int>(d.strategy));
  Ref size = kv::obj(d.chunk_size);
  Ref count = kv::obj(d.chunk_count);
  Ref message = kv::obj(std::string_view(text, static_cast<size_t>(end - text)));
  return kv::tuple_of({code.get(), size.get(), count.get(), message.get()});
}

// ---------------------------------------------------------------- chunking, operations, OOM texts

Ref compute_chunk_shapes(OptTuple shape, int32_t element_size, uint64_t max_chunk_bytes) {
  if (element_size <= 0) kv::raise(PyExc_ValueError, "element_size must be positive");
  if (max_chunk_bytes == 0) kv::raise(PyExc_ValueError, "max_chunk_bytes must be positive");
  if (!shape.value) raise_no_len();
  PyObject* t = shape.value;
  Py_ssize_t ndim = PyTuple_GET_SIZE(t);
  if (ndim == 0) {
    Ref list = kv::new_list(1);
    kv::set_item(list, 0, t);
    return list;
  }
  uint64_t row_bytes = static_cast<uint64_t>(element_size);
  for (Py_ssize_t i = 1; i < ndim; ++i) row_bytes = dm::saturating_mul(row_bytes, kv::to_u64(PyTuple_GET_ITEM(t, i)));
  int32_t rows = dm::rows_per_chunk(row_bytes, max_chunk_bytes);
  int32_t remaining = to_int32(PyTuple_GET_ITEM(t, 0));

  int64_t count = dm::chunk_total(remaining, rows);
  Ref list = kv::new_list(static_cast<Py_ssize_t>(count));
  if (count == 0) return list;

  // One shape object serves every full chunk: chunks are immutable tuples.
  auto make_shape = [&](int32_t n) -> Ref {
    Ref chunk = kv::new_tuple(ndim);
    kv::set_item(chunk, 0, kv::obj(n));
    for (Py_ssize_t i = 1; i < ndim; ++i) kv::set_item(chunk, i, PyTuple_GET_ITEM(t, i));
    return chunk;
  };
  if (count == 1) {
    kv::set_item(list, 0, make_shape(remaining));
    return list;
  }
  Ref full = make_shape(rows);
  Py_ssize_t n_full = static_cast<Py_ssize_t>(count - 1);
  kv::fill_items(list, 0, n_full, full.get());
  auto last_rows = static_cast<int32_t>(remaining - (count - 1) * rows);
  Ref last = last_rows == rows ? full : make_shape(last_rows);
  kv::set_item(list, n_full, std::move(last));
  return list;
}

int32_t calculate_optimal_chunks(uint64_t total_bytes, uint64_t available_bytes, double headroom_ratio,
                                 int32_t min_chunks, int32_t max_chunks) {
  return dm::optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks, max_chunks);
}

// The operation class of an exact str; anything not ASCII is in neither set.
dm::OpClass classify(PyObject* name) {
  if (!name || !PyUnicode_IS_ASCII(name)) return dm::OpClass::Other;
  auto data = static_cast<const char*>(PyUnicode_DATA(name));
  return dm::classify_operation(std::string_view(data, static_cast<size_t>(PyUnicode_GET_LENGTH(name))));
}

bool is_chunkable_operation(OptStr operation) { return classify(operation.value) == dm::OpClass::Chunkable; }

// `text.lower()` as far as the out-of-memory tests can see it. Every needle is
// ASCII, and the only characters beyond ASCII whose lower case holds ASCII
// letters are U+0130 (to "i" and a combining dot) and U+212A KELVIN SIGN (to
// "k"); every other character becomes a byte no needle contains.
class Lowered {
 public:
  explicit Lowered(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    size_t cap = static_cast<size_t>(n) * 2;  // U+0130 takes two places
    char* out = cap <= sizeof(small_) ? small_ : (big_.resize(cap), big_.data());
    size_t len = 0;
    if (PyUnicode_IS_ASCII(s)) {
      dm::ascii_lower(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(n), out);
      len = static_cast<size_t>(n);
    } else {
      int kind = PyUnicode_KIND(s);
      const void* data = PyUnicode_DATA(s);
      for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
          out[len++] = static_cast<char>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
        } else if (c == 0x212A) {
          out[len++] = 'k';
        } else if (c == 0x130) {
          out[len++] = 'i';
          out[len++] = '\x80';
        } else {
          out[len++] = '\x80';
        }
      }
    }
    view_ = std::string_view(out, len);
  }
  Lowered(const Lowered&) = delete;
  Lowered& operator=(const Lowered&) = delete;
  std::string_view view() const { return view_; }

 private:
  char small_[512];
  std::string big_;
  std::string_view view_;
};

bool is_oom_error(OptStr error_message, OptStr error_type) {
  if (!error_message.value || !error_type.value) raise_none_lower();
  Lowered m(error_message.value);
  if (dm::contains(m.view(), "out of memory")) return true;
  Lowered t(error_type.value);
  return dm::oom_texts_match(m.view(), t.view());
}

double score_gpu_suitability(uint64_t data_size_bytes, OptStr operation_type, uint64_t available_gpu_memory,
                             double headroom_ratio) {
  return dm::gpu_suitability(data_size_bytes, classify(operation_type.value), available_gpu_memory, headroom_ratio);
}

// ---------------------------------------------------------------- module body

void body(kv::Body& b) {
  b.def<&estimate_allocation_bytes>(
      "estimate_allocation_bytes(shape: tuple, element_size: int, overhead_factor: float = 1.0) -> int",
      "Bytes needed for an array of `shape` with `element_size`-byte items, scaled by an overhead factor "
      "above 1.0; saturates at 2**63 - 1.");
  b.def<&calculate_safe_limit>(
      "calculate_safe_limit(available_bytes: int, headroom_ratio: float) -> int",
      "Bytes usable after keeping `headroom_ratio` (clamped to [0, 0.99]) of the available memory back.");
  b.def<&decide_allocation_strategy>(
      "decide_allocation_strategy(requested_bytes: int, available_bytes: int, headroom_ratio: float, "
      "is_chunkable: bool) -> tuple",
      "(strategy, chunk_size, chunk_count, message): 0 direct, 1 chunked, 2 CPU fallback.");
  b.def<&compute_chunk_shapes>("compute_chunk_shapes(shape: tuple, element_size: int, max_chunk_bytes: int) -> list",
                               "Split `shape` along its first axis into chunk shapes of at most `max_chunk_bytes` each "
                               "(one row at least).");
  b.def<&calculate_optimal_chunks>(
      "calculate_optimal_chunks(total_bytes: int, available_bytes: int, headroom_ratio: float, "
      "min_chunks: int = 1, max_chunks: int = 1000) -> int",
      "Number of chunks needed to process `total_bytes` within the safe limit, bounded by "
      "`min_chunks` and `max_chunks`.");
  b.def<&is_oom_error>("is_oom_error(error_message: str, error_type: str) -> bool",
                       "Whether an error's message or type name reads as out-of-memory.");
  b.def<&calculate_memory_pressure>("calculate_memory_pressure(used_bytes: int, total_bytes: int) -> float",
                                    "Fraction of the memory in use, in [0.0, 1.0]; 1.0 when total is 0.");
  b.def<&recommend_headroom>("recommend_headroom(current_pressure: float, base_headroom: float = 0.5) -> float",
                             "Head-room fraction for the given memory pressure, in [0.3, 0.8].");
  b.def<&is_chunkable_operation>("is_chunkable_operation(operation: str) -> bool",
                                 "Whether an array operation can run in chunks.");
  b.def<&score_gpu_suitability>(
      "score_gpu_suitability(data_size_bytes: int, operation_type: str, available_gpu_memory: int, "
      "headroom_ratio: float) -> float",
      "How well a workload suits the GPU, from 0.0 to 0.9.");

  b.import("logging");
  b.logger();
  b.log_info("Korvane Device Memory Cython module loaded - IP protected");
}

}  // namespace

KV_MODULE(device_memory, State,
          (kv::ModuleInfo{"device_memory", "korvane.gpu.device_memory",
                          "GPU memory planning: estimates, head-room, strategy and chunking.", nullptr, &body}))
