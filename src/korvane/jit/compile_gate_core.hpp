// Threshold arithmetic of the compile gate on plain C++ types (no Python).
#pragma once

#include <cmath>
#include <cstdint>

namespace korvane::compile_gate {

// Seconds that must pass after a compilation before a recompilation is allowed.
inline constexpr double kRecompileInterval = 600.0;

struct PolicyFields {
  int32_t initial_threshold = 100;
  int32_t min_threshold = 10;
  int32_t max_threshold = 10000;
  double learning_rate = 0.1;
  double target_speedup = 2.0;
};

// The first broken rule's message, or nullptr when the configuration is valid.
inline const char* validate(const PolicyFields& f) noexcept {
  if (f.min_threshold <= 0) return "min_threshold must be positive";
  if (f.min_threshold >= f.max_threshold) return "max_threshold must be greater than min_threshold";
  if (!(f.learning_rate > 0.0 && f.learning_rate <= 1.0)) return "learning_rate must be in (0, 1]";
  if (f.target_speedup <= 0.0) return "target_speedup must be positive";  // NaN passes
  if (f.initial_threshold < f.min_threshold || f.initial_threshold > f.max_threshold)
    return "initial_threshold must be within bounds";
  return nullptr;
}

// An explicit last_compiled (>= 0) wins; the default -1.0 and NaN mean "not given".
inline double pick_timestamp(double last_compile_time, double last_compiled) noexcept {
  return last_compiled >= 0.0 ? last_compiled : last_compile_time;
}

// Compared as mathematical values: a threshold made negative is always reached.
inline bool threshold_reached(uint64_t calls, int32_t threshold) noexcept {
  return threshold < 0 || calls >= static_cast<uint64_t>(threshold);
}

inline bool decide(uint64_t calls, int32_t threshold, uint32_t compiles, double now, double last_compiled,
                   double interval = kRecompileInterval) noexcept {
  if (!threshold_reached(calls, threshold)) return false;
  if (compiles == 0) return true;
  // Written as the negation so that a NaN difference allows recompilation.
  return !(interval > now - last_compiled);
}

// The new threshold of a function whose current threshold is `current`, after
// `compiles` compilations with average speed-up `speedup`.
inline int32_t learn_threshold(const PolicyFields& f, int32_t current, uint32_t compiles, double speedup) noexcept {
  const double target = f.target_speedup > 0.0 ? f.target_speedup : 1.0;
  const double ratio = speedup / target;
  const double step = ratio > 1.0 ? -f.learning_rate : f.learning_rate;
  const double scaled = static_cast<double>(compiles) / 10.0;
  const double damping = 1.0 - (scaled < 1.0 ? scaled : 1.0);
  const double t = static_cast<double>(current);
  const double proposed = (step * t) * damping + t;
  if (proposed < static_cast<double>(f.min_threshold)) return f.min_threshold;
  if (proposed > static_cast<double>(f.max_threshold)) return f.max_threshold;
  // NaN (a rate made NaN or infinite through the setters) keeps the threshold.
  if (std::isnan(proposed)) return current;
  // Here min <= proposed <= max, both int32, so the truncation is defined.
  return static_cast<int32_t>(proposed);
}

}  // namespace korvane::compile_gate
