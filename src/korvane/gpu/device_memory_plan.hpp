// Device memory planning rules on plain C++ types: byte estimates, safe
// limits, pressure, head-room, the direct/chunked/CPU decision, chunk sizing,
// operation classes and out-of-memory text recognition. Nothing here knows
// about Python; the module glue converts arguments and builds results.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace kv::devmem {

inline constexpr int64_t kSaturated = std::numeric_limits<int64_t>::max();  // 2**63 - 1
inline constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
inline constexpr uint64_t kUint64Max = std::numeric_limits<uint64_t>::max();
// 2**63 and 2**64 as doubles: the first values a cast to int64/uint64 cannot hold.
inline constexpr double kTwoPow63 = 9223372036854775808.0;
inline constexpr double kTwoPow64 = 18446744073709551616.0;

enum Strategy : int { GPU_DIRECT = 0, GPU_CHUNKED = 1, CPU_FALLBACK = 2 };

// ---------------------------------------------------------------- estimates

// One step of the element product. Returns false when the caller must stop:
// `result` then holds the early answer (0 for an empty extent, saturation for
// an overflowing product).
inline bool multiply_extent(int64_t& elements, int32_t extent, int64_t& result) {
  if (extent <= 0) {
    result = 0;
    return false;
  }
  if (elements > kSaturated / extent) {
    result = kSaturated;
    return false;
  }
  elements *= extent;
  return true;
}

// Bytes for `elements` items of `element_size` (>= 0) bytes, scaled up by an
// overhead factor above 1.0. Saturates at 2**63 - 1.
inline int64_t apply_element_size(int64_t elements, int32_t element_size, double overhead_factor) {
  if (element_size > 0 && elements > kSaturated / element_size) return kSaturated;
  int64_t total = elements * element_size;
  if (overhead_factor > 1.0) {
    double scaled = static_cast<double>(total) * overhead_factor;
    // A huge or infinite factor saturates rather than overflowing the cast.
    if (!(scaled < kTwoPow63)) return kSaturated;
    total = static_cast<int64_t>(scaled);
  }
  return total;
}

// ---------------------------------------------------------------- limits

inline double clamp_headroom_ratio(double ratio) {
  if (std::isnan(ratio)) return 0.99;  // keep the most back when the ratio is unknown
  if (ratio < 0.0) return 0.0;
  if (ratio > 0.99) return 0.99;
  return ratio;
}

inline uint64_t safe_limit(uint64_t available_bytes, double headroom_ratio) {
  double ratio = clamp_headroom_ratio(headroom_ratio);
  double limit = (1.0 - ratio) * static_cast<double>(available_bytes);
  // The double product can round above the count itself (2**64 - 1 becomes
  // 2**64); the limit never promises more than is there.
  if (!(limit < kTwoPow64)) return available_bytes;
  uint64_t result = static_cast<uint64_t>(limit);
  return result < available_bytes ? result : available_bytes;
}

inline double memory_pressure(uint64_t used_bytes, uint64_t total_bytes) {
  if (total_bytes == 0) return 1.0;
  double pressure = static_cast<double>(used_bytes) / static_cast<double>(total_bytes);
  if (pressure < 0.0) return 0.0;
  if (pressure > 1.0) return 1.0;
  return pressure;
}

inline double recommend_headroom(double current_pressure, double base_headroom) {
  double h;
  if (current_pressure > 0.8) {
    h = 0.8;
  } else if (current_pressure > 0.6) {
    h = (current_pressure - 0.5) * 0.5 + base_headroom;
  } else if (current_pressure > 0.3) {
    h = base_headroom;
  } else {
    h = base_headroom - 0.1;
    if (!(h > 0.3)) h = 0.3;
  }
  if (h < 0.3) return 0.3;
  if (h > 0.8) return 0.8;
  return h;
}

// Exact ceil(a / b) for b > 0, without the a + b - 1 overflow.
inline uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1u : 0u); }

struct Decision {
  Strategy strategy;
  uint64_t chunk_size;   // bytes per chunk, 0 when not chunking
  uint64_t chunk_count;  // 1 when not chunking
};

enum class Outcome { NoMemory, Fits, NotChunkable, Chunked };

inline Outcome decide(uint64_t requested_bytes, uint64_t available_bytes, double headroom_ratio, bool is_chunkable,
                      Decision& out) {
  uint64_t safe = safe_limit(available_bytes, headroom_ratio);
  if (safe == 0) {
    out = {CPU_FALLBACK, 0, 1};
    return Outcome::NoMemory;
  }
  if (safe >= requested_bytes) {
    out = {GPU_DIRECT, 0, 1};
    return Outcome::Fits;
  }
  if (!is_chunkable) {
    out = {CPU_FALLBACK, 0, 1};
    return Outcome::NotChunkable;
  }
  // The exact ceiling: a double quotient can undercount large requests and
  // leave their tail uncovered.
  out = {GPU_CHUNKED, safe, ceil_div(requested_bytes, safe)};
  return Outcome::Chunked;
}

// ---------------------------------------------------------------- chunking

inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return kUint64Max;
  return r;
}

// Rows that fit in one chunk of `max_chunk_bytes` (> 0); always in [1, 2**31 - 1].
// A row of 0 bytes puts every row into one chunk.
inline int32_t rows_per_chunk(uint64_t row_bytes, uint64_t max_chunk_bytes) {
  if (row_bytes == 0) return kInt32Max;
  if (max_chunk_bytes < row_bytes) return 1;
  uint64_t rows = max_chunk_bytes / row_bytes;
  if (rows > static_cast<uint64_t>(kInt32Max)) return kInt32Max;
  return rows == 0 ? 1 : static_cast<int32_t>(rows);
}

// Number of chunks the loop produces for `remaining` rows (0 when none).
inline int64_t chunk_total(int32_t remaining, int32_t rows) {
  if (remaining <= 0) return 0;
  return (static_cast<int64_t>(remaining) + rows - 1) / rows;
}

inline int32_t optimal_chunks(uint64_t total_bytes, uint64_t available_bytes, double headroom_ratio, int32_t min_chunks,
                              int32_t max_chunks) {
  uint64_t safe = safe_limit(available_bytes, headroom_ratio);
  if (safe == 0) return max_chunks;
  // Compared at full width: the count can exceed what 32 bits hold.
  uint64_t n = ceil_div(total_bytes, safe);
  if (min_chunks > 0 && n < static_cast<uint64_t>(min_chunks)) return min_chunks;
  if (max_chunks > 0 && n < static_cast<uint64_t>(max_chunks)) return static_cast<int32_t>(n);
  return max_chunks;
}

// ---------------------------------------------------------------- operations

// 0: neither set, 1: chunkable, 2: not chunkable.
enum class OpClass { Other = 0, Chunkable = 1, NotChunkable = 2 };

inline constexpr std::string_view kChunkableOps[] = {
    "zeros",          "ones",        "empty",         "full",
    "random.randn",   "random.rand", "random.random", "random.standard_normal",
    "random.uniform", "arange",      "linspace",
};
inline constexpr std::string_view kNonChunkableOps[] = {
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort",
};

inline OpClass classify_operation(std::string_view name) {
  // Every name is at most 22 bytes; longer ones cannot match.
  if (name.size() > 22) return OpClass::Other;
  for (auto op : kChunkableOps)
    if (op == name) return OpClass::Chunkable;
  for (auto op : kNonChunkableOps)
    if (op == name) return OpClass::NotChunkable;
  return OpClass::Other;
}

inline double operation_factor(OpClass c) {
  switch (c) {
    case OpClass::Chunkable:
      return 0.9;
    case OpClass::NotChunkable:
      return 0.7;
    default:
      return 0.5;
  }
}

inline double gpu_suitability(uint64_t data_size_bytes, OpClass op, uint64_t available_gpu_memory,
                              double headroom_ratio) {
  uint64_t safe = safe_limit(available_gpu_memory, headroom_ratio);
  double s;
  if (safe == 0) {
    s = 0.0;
  } else if (safe < data_size_bytes) {
    s = static_cast<double>(safe) / static_cast<double>(data_size_bytes);
  } else {
    s = static_cast<double>(data_size_bytes) / (static_cast<double>(safe) * 0.8);
    if (s > 1.0) s = 1.0;
  }
  return operation_factor(op) * s;
}

// ---------------------------------------------------------------- OOM texts

inline bool contains(std::string_view hay, std::string_view needle) {
  return hay.find(needle) != std::string_view::npos;
}

// The six tests in their fixed order on already lower-cased texts; only the
// second reads the type.
inline bool oom_texts_match(std::string_view m, std::string_view t) {
  if (contains(m, "out of memory")) return true;
  if (contains(t, "outofmemoryerror")) return true;
  bool memory = contains(m, "memory");
  if (memory && contains(m, "cuda")) return true;
  if (contains(m, "allocat") && contains(m, "failed")) return true;
  if (memory && contains(m, "insufficient")) return true;
  if (memory && contains(m, "gpu")) return true;
  return false;
}

// ASCII lower-casing into `out` (of at least `n` bytes).
inline void ascii_lower(const char* in, size_t n, char* out) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    out[i] = static_cast<char>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
  }
}

}  // namespace kv::devmem
