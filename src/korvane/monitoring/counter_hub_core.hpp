// Running statistics over numbered counters: the plain C++ core of
// korvane.monitoring.counter_hub. Knows nothing of Python or of locking; the
// module serialises access to a CounterTable with the aggregator's lock.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

namespace korvane::counter_hub {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

struct CounterRecord {
  std::uint64_t count;
  double sum;
  double sum_sq;
  double min;
  double max;
};

struct CounterStats {
  std::uint64_t count;
  double mean;
  double variance;
  double std_dev;
  double min;
  double max;
};

// Storage comes zero-filled and untouched (calloc hands out fresh pages
// lazily), and a record with count 0 is empty whatever its other fields hold:
// a large table costs nothing until its counters are used.
class CounterTable {
 public:
  CounterTable() = default;
  CounterTable(const CounterTable&) = delete;
  CounterTable& operator=(const CounterTable&) = delete;
  ~CounterTable() { std::free(records_); }

  // False when the storage cannot be had (a negative size included).
  bool allocate(std::int32_t n) noexcept {
    if (n < 0) return false;
    if (n == 0) return true;
    const auto count = static_cast<std::size_t>(n);
    if (!machine_can_back(static_cast<double>(count) * sizeof(CounterRecord))) return false;
    records_ = static_cast<CounterRecord*>(std::calloc(count, sizeof(CounterRecord)));
    if (records_ == nullptr) return false;
    size_ = n;
    return true;
  }

  std::int32_t size() const noexcept { return size_; }
  bool in_range(std::int32_t id) const noexcept { return id >= 0 && id < size_; }
  std::uint64_t count(std::int32_t id) const noexcept { return records_[id].count; }

  void update(std::int32_t id, double value) noexcept {
    CounterRecord& r = records_[id];
    if (r.count == 0) {
      r.sum = 0.0;
      r.sum_sq = 0.0;
      r.min = kInf;
      r.max = -kInf;
    }
    r.count += 1;
    r.sum += value;
    r.sum_sq += value * value;
    // Strict comparisons: a NaN sample never becomes the minimum or maximum.
    if (r.min > value) r.min = value;
    if (value > r.max) r.max = value;
  }

  CounterStats stats(std::int32_t id) const noexcept { return stats_of(records_[id]); }

  void reset(std::int32_t id) noexcept { records_[id] = CounterRecord{0, 0.0, 0.0, kInf, -kInf}; }

  // Records already empty are left unwritten, so untouched pages stay untouched.
  void reset_all() noexcept {
    for (std::int32_t id = 0; id < size_; ++id) {
      if (records_[id].count != 0) reset(id);
    }
  }

  static CounterStats stats_of(const CounterRecord& r) noexcept {
    if (r.count == 0) return CounterStats{0, 0.0, 0.0, 0.0, kInf, -kInf};
    const double n = static_cast<double>(r.count);
    const double mean = r.sum / n;
    double variance = r.sum_sq / n - mean * mean;
    // The running-sum formula can dip below zero by rounding (three samples
    // of 0.1); a variance is never negative, so it is reported as 0.
    if (variance < 0.0) variance = 0.0;
    // pow rather than sqrt: the same function the interpreter uses for ** 0.5.
    const double std_dev = std::pow(variance, 0.5);
    return CounterStats{r.count, mean, variance, std_dev, r.min, r.max};
  }

 private:
  static bool machine_can_back(double bytes) noexcept {
#if defined(__linux__)
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return true;  // unknown: let the allocator decide
    const double total =
        (static_cast<double>(info.totalram) + static_cast<double>(info.totalswap)) * static_cast<double>(info.mem_unit);
    return bytes <= total;
#else
    (void)bytes;
    return true;
#endif
  }

  CounterRecord* records_ = nullptr;
  std::int32_t size_ = 0;
};

}  // namespace korvane::counter_hub
