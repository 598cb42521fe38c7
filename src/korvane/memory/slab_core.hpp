// Slab engine core: slab headers, CRC-16/MODBUS, bucket arithmetic and the
// bucket table. Plain C++, no Python: the module glue converts arguments and
// results around these.
//
// Every size and offset arrives as a signed 32-bit value; the arithmetic on
// them runs in 64 bits, so sums near 2**31 give the exact answer instead of a
// wrapped one, and no division can trap.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace slab {

// ---------------------------------------------------------------- CRC-16/MODBUS

using CrcTable = std::array<uint16_t, 256>;

constexpr CrcTable make_crc_table() noexcept {
  CrcTable t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int k = 0; k < 8; ++k)
      crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<uint16_t>(crc >> 1);
    t[i] = crc;
  }
  return t;
}

inline uint16_t crc16_modbus(const CrcTable& t, const uint8_t* p, std::size_t n) noexcept {
  uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ t[(crc ^ p[i]) & 0xFFu]);
  return crc;
}

// ---------------------------------------------------------------- slab header

constexpr uint8_t kFlagInUse = 0x10;     // took a slot since it was last all free
constexpr uint8_t kFlagCorrupt = 0x80;   // a checksum mismatch was seen on unpack
constexpr std::size_t kPackedSize = 16;  // "<BBLHQ"

// Slot indices outside 0..63 (negative ones included) name no bit.
constexpr bool slot_in_range(int64_t i) noexcept { return i >= 0 && i < 64; }
constexpr uint64_t slot_bit(int64_t i) noexcept { return slot_in_range(i) ? (uint64_t{1} << i) : 0; }

constexpr uint64_t full_mask(int32_t n) noexcept {
  if (n <= 0) return 0;
  if (n >= 64) return ~uint64_t{0};
  return (uint64_t{1} << n) - 1;
}

constexpr int32_t lowest_set_bit(uint64_t bitmap) noexcept {
  return bitmap == 0 ? -1 : static_cast<int32_t>(std::countr_zero(bitmap));
}

struct Fields {
  uint8_t size_class_index;
  uint8_t flags;
  uint32_t version;
  uint16_t checksum;
  uint64_t free_bitmap;
};

struct Header {
  uint8_t size_class_index = 0;
  uint8_t flags = 0;
  uint32_t version = 0;
  uint16_t checksum = 0;
  uint64_t free_bitmap = 0;
  int32_t objects_per_slab = 0;

  Header() = default;
  Header(int32_t size_class, int32_t objects) noexcept
      : size_class_index(static_cast<uint8_t>(static_cast<uint32_t>(size_class) & 0xFFu)),
        free_bitmap(full_mask(objects)),
        objects_per_slab(objects) {}

  int32_t find_free() const noexcept { return lowest_set_bit(free_bitmap); }
  bool is_free(int64_t i) const noexcept { return (free_bitmap & slot_bit(i)) != 0; }

  void allocate_at(int64_t i) noexcept {
    free_bitmap &= ~slot_bit(i);
    flags = static_cast<uint8_t>(flags | kFlagInUse);
    version = version + 1u;  // unsigned: wraps modulo 2**32
  }

  void deallocate_at(int64_t i) noexcept {
    free_bitmap |= slot_bit(i);
    version = version + 1u;
    if (free_bitmap == full_mask(objects_per_slab)) flags = static_cast<uint8_t>(flags & ~kFlagInUse);
  }

  // The checksum covers size class, flags and version (little-endian).
  uint16_t compute_checksum(const CrcTable& t) const noexcept {
    const uint8_t b[6] = {size_class_index,
                          flags,
                          static_cast<uint8_t>(version),
                          static_cast<uint8_t>(version >> 8),
                          static_cast<uint8_t>(version >> 16),
                          static_cast<uint8_t>(version >> 24)};
    return crc16_modbus(t, b, sizeof b);
  }

  // Stores the checksum, then writes the 16 packed bytes.
  void pack(const CrcTable& t, uint8_t out[kPackedSize]) noexcept {
    checksum = compute_checksum(t);
    out[0] = size_class_index;
    out[1] = flags;
    for (int k = 0; k < 4; ++k) out[2 + k] = static_cast<uint8_t>(version >> (8 * k));
    out[6] = static_cast<uint8_t>(checksum);
    out[7] = static_cast<uint8_t>(checksum >> 8);
    for (int k = 0; k < 8; ++k) out[8 + k] = static_cast<uint8_t>(free_bitmap >> (8 * k));
  }

  // Installs the unpacked fields (the checksum field keeps its value) and
  // returns the checksum computed over them; the caller compares it with
  // the stored one and reports a mismatch.
  uint16_t install(const CrcTable& t, const Fields& f) noexcept {
    size_class_index = f.size_class_index;
    flags = f.flags;
    version = f.version;
    free_bitmap = f.free_bitmap;
    const uint16_t computed = compute_checksum(t);
    if (computed != f.checksum) flags = static_cast<uint8_t>(flags | kFlagCorrupt);
    return computed;
  }
};

inline Fields unpack_fields(const uint8_t in[kPackedSize]) noexcept {
  Fields f{};
  f.size_class_index = in[0];
  f.flags = in[1];
  for (int k = 0; k < 4; ++k) f.version |= static_cast<uint32_t>(in[2 + k]) << (8 * k);
  f.checksum = static_cast<uint16_t>(in[6] | (in[7] << 8));
  for (int k = 0; k < 8; ++k) f.free_bitmap |= static_cast<uint64_t>(in[8 + k]) << (8 * k);
  return f;
}

// ---------------------------------------------------------------- size arithmetic

// x mod m with the remainder truncated toward zero (sign of x); m != 0.
constexpr int64_t trunc_mod(int64_t x, int64_t m) noexcept { return x % m; }

// size rounded up to a multiple of step (for size >= 0); step != 0.
constexpr int64_t round_up(int64_t size, int64_t step) noexcept {
  const int64_t s = size + step - 1;
  return s - trunc_mod(s, step);
}

// (x + a - 1) AND -a; an alignment of 0 or less means no alignment.
constexpr int64_t align_up(int64_t x, int64_t alignment) noexcept {
  if (alignment <= 0) alignment = 1;
  return (x + alignment - 1) & -alignment;
}

constexpr bool is_power_of_two(int64_t a) noexcept { return a > 0 && (a & (a - 1)) == 0; }

constexpr bool can_fit_aligned(int64_t offset, int64_t block_size, int64_t alloc_size, int64_t alignment) noexcept {
  return align_up(offset, alignment) + alloc_size < offset + block_size;
}

// ---------------------------------------------------------------- bucket table

// The bucket sizes are step, 2*step, ... up to small_max, then small_max + step,
// ... up to medium_max. The table keeps that set as arithmetic and stores a
// stack only for buckets that have been used, so a huge range of sizes costs
// nothing until it is used.
class BucketTable {
 public:
  BucketTable() noexcept = default;  // no buckets: every request misses
  BucketTable(int32_t step, int32_t small_max, int32_t medium_max) noexcept
      : step_(step), small_max_(small_max), medium_max_(medium_max) {}

  int32_t step() const noexcept { return step_; }

  // Bucket size of a request; -1 above the medium limit or for a step <= 0.
  int64_t bucket_size(int64_t size) const noexcept {
    if (size > medium_max_ || step_ <= 0) return -1;
    return round_up(size, step_);
  }

  // Whether k is one of the bucket sizes (after init_buckets).
  bool is_bucket(int64_t k) const noexcept {
    if (!initialised_ || step_ <= 0 || k <= 0) return false;
    if (k <= small_max_) return k % step_ == 0;
    return k <= medium_max_ && (k - small_max_) % step_ == 0;
  }

  // (Re)creates every bucket as an empty stack; false for a step of 0.
  bool init_buckets() noexcept {
    if (step_ == 0) return false;
    for (auto& e : used_) e.stack.clear();
    initialised_ = true;
    return true;
  }

  bool add(int32_t offset, int32_t size) {
    const int64_t b = bucket_size(size);
    if (b <= 0 || b != size || !is_bucket(b)) return false;
    stack_for(b).push_back(offset);
    return true;
  }

  std::optional<int32_t> remove(int32_t size) noexcept {
    const int64_t b = bucket_size(size);
    if (b <= 0) return std::nullopt;
    auto it = lower(b);
    if (it == used_.end() || it->key != b || it->stack.empty()) return std::nullopt;
    return take(it->stack);
  }

  // The request's own bucket first, then every larger bucket in ascending
  // order; only the last offset of each is tried, and a rejected one stays
  // where it was (last in its stack), so it is tried first again next time.
  std::optional<int32_t> best_fit(int32_t size, int32_t alignment) noexcept {
    const int64_t b = bucket_size(size);
    if (b <= 0) return std::nullopt;
    for (auto it = lower(b); it != used_.end(); ++it) {
      if (it->stack.empty()) continue;
      const int64_t o = it->stack.back();
      if (align_up(o, alignment) + size <= o + it->key) return take(it->stack);
    }
    return std::nullopt;
  }

 private:
  using Stack = std::vector<int32_t>;
  struct Entry {
    int64_t key;
    Stack stack;
  };

  static int32_t take(Stack& s) noexcept {
    const int32_t o = s.back();
    s.pop_back();
    return o;
  }

  std::vector<Entry>::iterator lower(int64_t key) noexcept {
    return std::lower_bound(used_.begin(), used_.end(), key, [](const Entry& e, int64_t k) { return e.key < k; });
  }

  Stack& stack_for(int64_t key) {
    auto it = lower(key);
    if (it == used_.end() || it->key != key) it = used_.insert(it, Entry{key, Stack()});
    return it->stack;
  }

  int32_t step_ = 0, small_max_ = 0, medium_max_ = 0;
  bool initialised_ = false;
  std::vector<Entry> used_;  // buckets used so far, ascending by key; emptied stacks stay
};

// ---------------------------------------------------------------- statistics

struct StatsCounters {
  uint64_t total_allocations = 0;
  uint64_t total_deallocations = 0;
  uint64_t bucketed_allocations = 0;
  uint64_t fallback_allocations = 0;
  uint64_t alignment_padding_bytes = 0;

  void record_allocation(int32_t padding, bool bucketed) noexcept {
    // Unsigned running sum: a negative padding subtracts, modulo 2**64.
    alignment_padding_bytes += static_cast<uint64_t>(static_cast<int64_t>(padding));
    total_allocations += 1;
    if (bucketed)
      bucketed_allocations += 1;
    else
      fallback_allocations += 1;
  }
  void record_deallocation() noexcept { total_deallocations += 1; }
  void reset() noexcept { *this = StatsCounters{}; }

  // Percentage of bucketed allocations; 0 when nothing was recorded.
  double bucketed_ratio() const noexcept {
    if (total_allocations == 0) return 0.0;
    return static_cast<double>(bucketed_allocations) / static_cast<double>(total_allocations) * 100.0;
  }
};

// Writes r as format(r, ".1f") + "%" would, without a float-to-decimal
// conversion: r = m / 2**s exactly, so r * 10 is rounded half to even on the
// exact binary value, as Python's correctly rounded formatting does. Returns
// the length, or 0 for values it does not handle (negative, huge, not finite).
inline std::size_t format_percent_1dp(double r, char* out) noexcept {
  if (!(r >= 0.0 && r < 1e15)) return 0;
  int e = 0;
  const double frac = std::frexp(r, &e);  // r = frac * 2**e, frac in [0.5, 1)
  const auto m = static_cast<uint64_t>(std::ldexp(frac, 53));
  const int s = 53 - e;         // r = m / 2**s, s > 3 below 1e15
  const uint64_t num = m * 10;  // < 2**57
  uint64_t q = 0;
  if (s < 59) {  // otherwise num < 2**57 <= half: rounds to 0
    const uint64_t den = uint64_t{1} << s;
    const uint64_t rem = num & (den - 1), half = den >> 1;
    q = num >> s;
    if (rem > half || (rem == half && (q & 1))) q += 1;
  }
  char digits[24];
  std::size_t n = 0;
  uint64_t whole = q / 10;
  do {
    digits[n++] = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole);
  std::size_t len = 0;
  while (n) out[len++] = digits[--n];
  out[len++] = '.';
  out[len++] = static_cast<char>('0' + q % 10);
  out[len++] = '%';
  return len;
}

}  // namespace slab
