// Adaptation rules on plain C++ values: trend and degradation accumulators,
// workload-change arithmetic, the decision formulas and the resource forecast.
// Nothing here knows about Python; the module glue unpacks the histories and
// feeds these types one entry at a time.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace kv::adapt {

// Least-squares slope of metric over time, relative to the mean metric, over
// the entries whose timestamp is at or after the window start. Timestamps are
// taken relative to the first windowed entry, so one pass suffices.
class TrendWindow {
 public:
  explicit TrendWindow(double window_start) noexcept : start_(window_start) {}

  void add(double t, double m) noexcept {
    if (!(t >= start_)) return;
    if (count_ == 0) t0_ = t;
    const double x = t - t0_;
    sum_x_ += x;
    sum_y_ += m;
    sum_xy_ += x * m;
    sum_xx_ += x * x;
    ++count_;
  }

  std::size_t count() const noexcept { return count_; }

  double trend() const noexcept {
    if (count_ < 3) return 0.0;
    const double n = static_cast<double>(count_);
    const double mean_x = sum_x_ / n;
    const double k = mean_x * n;
    const double denominator = sum_xx_ - k * mean_x;
    if (std::fabs(denominator) < 1e-10) return 0.0;
    const double mean_y = sum_y_ / n;
    if (std::fabs(mean_y) < 1e-10) return 0.0;
    double trend = (sum_xy_ - k * mean_y) / denominator / mean_y;
    // Written as "not below"/"not above" on purpose: a NaN trend clamps to 1.0.
    if (!(trend < 1.0)) trend = 1.0;
    if (!(trend > -1.0)) trend = -1.0;
    return trend;
  }

 private:
  double start_;
  double t0_ = 0.0;
  std::size_t count_ = 0;
  double sum_x_ = 0.0, sum_y_ = 0.0, sum_xy_ = 0.0, sum_xx_ = 0.0;
};

// Mean of the windowed metrics against a baseline.
class DegradationWindow {
 public:
  explicit DegradationWindow(double window_start) noexcept : start_(window_start) {}

  void add(double t, double m) noexcept {
    if (t >= start_) {
      sum_ += m;
      ++count_;
    }
  }

  bool degraded(double baseline, double threshold) const noexcept {
    if (count_ < 5) return false;
    const double average = sum_ / static_cast<double>(count_);
    return (baseline - average) / baseline > threshold;
  }

 private:
  double start_;
  double sum_ = 0.0;
  std::size_t count_ = 0;
};

// |recent/3 - older/3| for one key of the pattern history.
inline double characteristic_change(double recent_sum, double older_sum) noexcept {
  return std::fabs(recent_sum / 3.0 - older_sum / 3.0);
}

// Into [0, 1]; NaN and +inf go to 1.0, -inf to 0.0.
inline double unit_clamp(double x) noexcept {
  if (!(x < 1.0)) x = 1.0;
  if (!(x > 0.0)) x = 0.0;
  return x;
}

inline double final_clamp(double x) noexcept {
  if (x < 0.0) return 0.0;
  if (x > 1.0) return 1.0;
  return x;
}

// The bar a recommendation score must clear (strictly) once the pools differ
// and the confidence is high enough.
inline double improvement_bar(long trigger_code, double estimate, double min_ratio) noexcept {
  if (trigger_code == 0) return 0.5;
  if (estimate > 0.0) return min_ratio * estimate;
  return 0.6;
}

inline double pool_score(double workload, double memory, double threads, double history) noexcept {
  const double score = ((unit_clamp(workload) * 0.35 + unit_clamp(memory) * 0.3) + unit_clamp(threads) * 0.2) +
                       unit_clamp(history) * 0.15;
  return final_clamp(score);
}

inline double urgency(double degradation, double pressure, double fragmentation, bool workload_changed) noexcept {
  double u = ((0.0 + unit_clamp(degradation) * 0.4) + unit_clamp(pressure) * 0.3) + unit_clamp(fragmentation) * 0.15;
  if (workload_changed) u += 0.15;
  return final_clamp(u);
}

inline bool skip_adaptation(double last, double now, double min_interval) noexcept {
  return min_interval > (now - last);
}

inline bool memory_pressure(double current, double peak, double threshold) noexcept {
  if (peak <= 0.0) return false;
  if (current < 0.0) return false;
  return current / peak > threshold;
}

inline bool fragmentation_exceeded(double ratio, double threshold) noexcept {
  if (ratio < 0.0) return false;
  return ratio > threshold;
}

// The resource forecast. Counts are whole numbers held in doubles (already
// truncated toward zero); the glue turns them into exact integers of any size.
struct Forecast {
  bool neutral = true;
  double allocations = 0.0;
  double total_bytes = 0.0;
  double confidence = 0.0;
};

// n entries over span seconds with sizes summing to size_sum, projected over
// horizon seconds. A non-finite span, rate, horizon, size sum or byte total
// gives the neutral forecast instead of a meaningless number.
inline Forecast forecast(std::size_t n, double span, double size_sum, double horizon) noexcept {
  Forecast f;
  if (!(span > 0.0) || !std::isfinite(span)) return f;
  const double count = static_cast<double>(n);
  const double rate = count / span;
  if (!std::isfinite(rate) || !std::isfinite(size_sum) || !std::isfinite(horizon)) return f;
  const double expected = rate * horizon;
  if (!std::isfinite(expected)) return f;
  const double allocations = std::trunc(expected);
  const double bytes = std::trunc(size_sum / count * allocations);
  if (!std::isfinite(bytes)) return f;
  f.neutral = false;
  f.allocations = allocations + 0.0;  // -0.0 becomes 0.0
  f.total_bytes = bytes + 0.0;
  const double share = count / 100.0;
  f.confidence = (share < 1.0 ? share : 1.0) * 0.8;
  return f;
}

// Counts keys in order of first occurrence and names the most frequent one,
// the earliest first-seen key winning ties. Eq decides key equality; hashes
// are supplied by the caller. Few distinct keys are found by a linear scan;
// past that an open-addressing index takes over.
template <class Key, class Eq>
class FirstSeenCounter {
 public:
  explicit FirstSeenCounter(Eq eq) : eq_(eq) {}

  void add(Key key, std::size_t hash) {
    if (index_.empty()) {
      for (auto& s : slots_)
        if (s.hash == hash && eq_(s.key, key)) {
          ++s.count;
          return;
        }
      slots_.push_back({key, hash, 1});
      if (slots_.size() > kLinear) rebuild(64);
      return;
    }
    std::size_t mask = index_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::size_t at = index_[i];
      if (at == 0) {
        slots_.push_back({key, hash, 1});
        index_[i] = slots_.size();
        if (slots_.size() * 2 > index_.size()) rebuild(index_.size() * 2);
        return;
      }
      Slot& s = slots_[at - 1];
      if (s.hash == hash && eq_(s.key, key)) {
        ++s.count;
        return;
      }
    }
  }

  // The key with the strictly highest count, or nullptr when nothing was added.
  const Key* most_common() const noexcept {
    const Key* best = nullptr;
    std::size_t best_count = 0;
    for (const auto& s : slots_)
      if (s.count > best_count) {
        best_count = s.count;
        best = &s.key;
      }
    return best;
  }

 private:
  struct Slot {
    Key key;
    std::size_t hash;
    std::size_t count;
  };
  static constexpr std::size_t kLinear = 16;

  void rebuild(std::size_t size) {
    index_.assign(size, 0);
    const std::size_t mask = size - 1;
    for (std::size_t k = 0; k < slots_.size(); ++k) {
      std::size_t i = slots_[k].hash & mask;
      while (index_[i] != 0) i = (i + 1) & mask;
      index_[i] = k + 1;
    }
  }

  Eq eq_;
  std::vector<Slot> slots_;
  std::vector<std::size_t> index_;  // slot number + 1; 0 marks a free cell
};

}  // namespace kv::adapt
