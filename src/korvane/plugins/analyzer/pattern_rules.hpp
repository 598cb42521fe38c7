// Workload scoring rules on plain C++ values: the indicator and framework
// vocabularies, the counting over one scan of the text, and the
// classification formulas. Python-free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "pattern_automaton.hpp"
#include "pattern_fold_table.hpp"  // generated at build time from re

namespace kv::pattern {

using Vocabulary = std::vector<std::string_view>;

// Indicator vocabularies, in result order. A word listed in several
// vocabularies counts in each of them.
inline const std::array<Vocabulary, 7>& indicator_vocabularies() {
  static const std::array<Vocabulary, 7> v{{
      // 0: CPU_INDICATORS (15)
      {"for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum", "prod", "dot",
       "matmul", "fft", "linalg"},
      // 1: MEMORY_INDICATORS (10)
      {"array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"},
      // 2: PARALLEL_INDICATORS (11)
      {"multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk", "batch",
       "processpoolexecutor", "threadpoolexecutor"},
      // 3: GPU_OPERATION_INDICATORS (36), also searched in the name
      {"matmul", "dot",      "tensordot", "@",      "fft",   "ifft", "rfft", "convolve", "correlate", "sum",
       "mean",   "std",      "var",       "sin",    "cos",   "exp",  "log",  "sqrt",     "power",     "**",
       "add",    "subtract", "multiply",  "divide", "/",     "*",    "+",    "-",        "linalg",    "linear_algebra",
       "array",  "asarray",  "zeros",     "ones",   "empty", "full"},
      // 4: LARGE_DATA_INDICATORS (13)
      {"reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024", "megabyte",
       "mb"},
      // 5: EMBARRASSINGLY_PARALLEL_INDICATORS (8), also searched in the name
      {"workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"},
      // 6: SEQUENTIAL_INDICATORS (8)
      {"global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"},
  }};
  return v;
}

inline constexpr std::array<bool, 7> kAlsoInName{false, false, false, true, false, true, false};

// Framework vocabularies: NumPy (25), pandas (18), scikit-learn (18).
inline const std::array<Vocabulary, 3>& framework_vocabularies() {
  static const std::array<Vocabulary, 3> v{{
      {"numpy",  "np.",    "ndarray", "array",     "matrix",      "vectorize", "broadcast", "ufunc", "dot",
       "matmul", "linalg", "fft",     "sum",       "mean",        "std",       "var",       "min",   "max",
       "argmax", "argmin", "reshape", "transpose", "concatenate", "stack",     "split"},
      {"pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat",
       "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"},
      {"sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv", "pipeline",
       "featureunion", "train_test_split", "classification", "regression", "clustering", "preprocessing",
       "model_selection", "metrics", "ensemble"},
  }};
  return v;
}

// An automaton over the union of some vocabularies, with one word set per
// vocabulary for counting.
template <std::size_t N>
class VocabularyMatcher {
 public:
  explicit VocabularyMatcher(const std::array<Vocabulary, N>& vocabs) : automaton_(flatten(vocabs)) {
    for (std::size_t i = 0; i < N; ++i) {
      sizes_[i] = vocabs[i].size();
      for (auto w : vocabs[i]) masks_[i].add(automaton_.id_of(w));
    }
  }
  const Automaton& automaton() const noexcept { return automaton_; }
  unsigned count(std::size_t vocab, const WordSet& found) const noexcept { return (found & masks_[vocab]).count(); }
  std::size_t size(std::size_t vocab) const noexcept { return sizes_[vocab]; }

 private:
  static std::vector<std::string_view> flatten(const std::array<Vocabulary, N>& vocabs) {
    std::vector<std::string_view> all;
    for (auto& v : vocabs) all.insert(all.end(), v.begin(), v.end());
    return all;
  }
  Automaton automaton_;
  std::array<WordSet, N> masks_{};
  std::array<std::size_t, N> sizes_{};
};

inline const VocabularyMatcher<7>& indicator_matcher() {
  static const VocabularyMatcher<7> m(indicator_vocabularies());
  return m;
}

inline const VocabularyMatcher<3>& framework_matcher() {
  static const VocabularyMatcher<3> m(framework_vocabularies());
  return m;
}

// Counts per indicator vocabulary from the words found in the lower-cased
// code and in the lower-cased name.
inline std::array<int, 7> indicator_counts(const WordSet& in_code, const WordSet& in_name) {
  const auto& m = indicator_matcher();
  std::array<int, 7> r{};
  for (std::size_t v = 0; v < 7; ++v)
    r[v] = static_cast<int>(m.count(v, kAlsoInName[v] ? (in_code | in_name) : in_code));
  return r;
}

// The clamp of the classification rules: strict comparisons, low bound first,
// so a NaN passes through.
inline double clamp(double x, double lo, double hi) noexcept {
  if (x < lo) return lo;
  if (x > hi) return hi;
  return x;
}

inline std::array<double, 3> framework_scores(const WordSet& in_code) {
  const auto& m = framework_matcher();
  static constexpr double kDiv[3] = {25.0, 18.0, 18.0};
  std::array<double, 3> r{};
  for (std::size_t v = 0; v < 3; ++v) r[v] = clamp(m.count(v, in_code) / kDiv[v], 0.0, 1.0);
  return r;
}

// The framework patterns: "\b(alt1|alt2|...)\b", case-insensitive. The
// regular expressions are the reference; this is the same search written out,
// with re's rules for str patterns: a character matches a pattern letter when
// re's IGNORECASE matching says so (the table of those above U+007F comes from
// re itself at build time, and holds only alphanumeric characters), and \b
// stands between a word character (alphanumeric or "_") and a non-word
// character or either end of the text.

// ASCII word characters: letters, digits and "_".
inline constexpr std::array<bool, 128> kAsciiWord = [] {
  std::array<bool, 128> t{};
  for (unsigned c = 0; c < 128; ++c)
    t[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  return t;
}();

// ASCII case folding: upper-case letters to lower case, the rest unchanged.
inline constexpr std::array<uint8_t, 128> kAsciiFold = [] {
  std::array<uint8_t, 128> t{};
  for (unsigned c = 0; c < 128; ++c) t[c] = static_cast<uint8_t>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
  return t;
}();

inline constexpr uint32_t kWideFoldMin = [] {
  uint32_t m = kWideFold[0].code_point;
  for (const auto& f : kWideFold) m = f.code_point < m ? f.code_point : m;
  return m;
}();
inline constexpr uint32_t kWideFoldMax = [] {
  uint32_t m = 0;
  for (const auto& f : kWideFold) m = f.code_point > m ? f.code_point : m;
  return m;
}();
static_assert(kWideFoldMin >= 0x80, "the wide case table holds only characters above U+007F");

// The pattern character that `c` matches case-insensitively: ASCII upper
// case folds to lower case, the few wider characters that re matches to an
// ASCII letter fold to that letter, other ASCII stays itself, and any other
// character folds to 0, which no pattern holds.
inline uint32_t fold_to_ascii(uint32_t c) noexcept {
  if (c < 0x80) return kAsciiFold[c];
  // Below the table's first entry (all of Latin-1, for one-byte text, where
  // the compiler then drops the search) or above its last, nothing folds.
  if (c < kWideFoldMin || c > kWideFoldMax) return 0;
  for (const auto& f : kWideFold)
    if (f.code_point == c) return static_cast<unsigned char>(f.letter);
  return 0;
}

// One framework pattern, and which characters can start a match of it.
struct FrameworkPattern {
  FrameworkPattern(const char* key_, const char* regex_, std::vector<std::string_view> alts_)
      : key(key_), regex(regex_), alts(std::move(alts_)) {
    for (auto a : alts) first[static_cast<unsigned char>(a[0])] = true;
    for (uint32_t c = 0; c < 256; ++c) narrow_starts[c] = first[fold_to_ascii(c)];
  }

  // Whether the character `c` can start one of the alternatives.
  bool can_start(uint32_t c) const noexcept { return c < 256 ? narrow_starts[c] : first[fold_to_ascii(c)]; }

  const char* key;
  const char* regex;                   // as compiled with re.IGNORECASE
  std::vector<std::string_view> alts;  // the alternatives, lower-cased, in order

 private:
  std::array<bool, 128> first{};          // first characters of the alternatives
  std::array<bool, 256> narrow_starts{};  // can_start() below U+0100, by one look-up
};

inline const std::array<FrameworkPattern, 3>& framework_patterns() {
  static const std::array<FrameworkPattern, 3> p{{
      {"numpy",
       R"(\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b)",
       {"numpy", "np.", "ndarray", "array", "vectorize", "matmul", "linalg"}},
      {"pandas",
       R"(\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b)",
       {"pandas", "pd.", "dataframe", "series", "groupby", "merge", "pivot"}},
      {"sklearn",
       R"(\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b)",
       {"sklearn", "fit", "predict", "transform", "gridsearchcv", "randomforest"}},
  }};
  return p;
}

// Number of non-overlapping matches of `p` in text[0..n), as findall counts
// them: leftmost first, alternatives tried in order, each needing a word
// boundary after it. `word_hi(c)` tells whether a character of U+0080 and
// above is a word character (alphanumeric). CharT is the code unit of the
// text (one, two or four bytes), each one a character.
template <class CharT, class WordHi>
std::size_t count_pattern_matches(const FrameworkPattern& p, const CharT* s, std::size_t n, WordHi&& word_hi) {
  auto is_word = [&](uint32_t c) { return c < 0x80 ? kAsciiWord[c] : word_hi(c); };

  std::size_t count = 0;
  std::size_t i = 0;
  while (i < n) {
    const auto c = static_cast<uint32_t>(s[i]);
    // Every alternative starts with a letter, and every character that
    // matches a letter is a word character, so a match needs a non-word
    // character (or nothing) before it.
    if (!p.can_start(c) || (i > 0 && is_word(static_cast<uint32_t>(s[i - 1])))) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    for (auto a : p.alts) {
      if (a.size() > n - i) continue;
      std::size_t k = 0;
      for (; k < a.size(); ++k)
        if (fold_to_ascii(static_cast<uint32_t>(s[i + k])) != static_cast<unsigned char>(a[k])) break;
      if (k != a.size()) continue;
      // The text's last character here is a word character exactly
      // when the alternative's is (the same reason).
      const std::size_t e = i + a.size();
      const bool before = is_word(static_cast<unsigned char>(a.back()));
      const bool after = e < n && is_word(static_cast<uint32_t>(s[e]));
      if (before != after) {
        len = a.size();
        break;
      }
    }
    if (len) {
      ++count;
      i += len;
    } else {
      ++i;
    }
  }
  return count;
}

inline double quick_score(std::size_t matches) noexcept {
  const double score = static_cast<double>(matches) / 10.0;
  return score > 1.0 ? 1.0 : score;
}

inline std::array<double, 5> normalize_scores(int32_t cpu, int32_t memory, int32_t parallel, int32_t gpu_op,
                                              int32_t large_data) noexcept {
  return {clamp(cpu / 15.0, 0.0, 1.0), clamp(memory / 10.0, 0.0, 1.0), clamp(parallel / 11.0, 0.0, 1.0),
          clamp(gpu_op / 36.0, 0.0, 1.0), clamp(large_data / 13.0, 0.0, 1.0)};
}

inline double parallelization_potential(double base, double embarrassing_bonus, double sequential_penalty,
                                        double loop_chunking) noexcept {
  const double bonus = clamp(embarrassing_bonus * 0.3, 0.0, 0.7);
  const double penalty = clamp(sequential_penalty * 0.2, 0.0, 0.5);
  const double raw = ((base + bonus) - penalty) + loop_chunking * 0.4;
  return clamp(raw, 0.0, 1.0);
}

// Multiplier for a parsed compute-capability major number; no number parsed
// (absent, empty or not numeric) gives 1.0.
inline double capability_multiplier(std::optional<int32_t> major) noexcept {
  if (!major) return 1.0;
  if (*major >= 8) return 1.2;
  if (*major >= 7) return 1.1;
  if (*major >= 6) return 1.0;
  return 0.8;
}

inline double gpu_suitability(double op_score, double size_score, double cpu_intensity, bool gpu_available,
                              std::optional<int32_t> major) noexcept {
  if (!gpu_available) return 0.0;
  const double base = op_score * 0.6 + size_score * 0.4;
  const double cpu_bonus = clamp(cpu_intensity * 0.3, 0.0, 0.3);
  return clamp((base + cpu_bonus) * capability_multiplier(major), 0.0, 1.0);
}

inline double gpu_speedup(double op_score, double size_score, bool gpu_available) noexcept {
  if (!gpu_available || op_score == 0.0) return 1.0;
  double base = 2.0;
  if (op_score > 0.8)
    base = 15.0;
  else if (op_score > 0.6)
    base = 8.0;
  else if (op_score > 0.3)
    base = 4.0;
  return (size_score * 0.5 + 1.0) * base;
}

enum WorkloadPattern : int {
  MIXED = 0,
  CPU_INTENSIVE = 1,
  MEMORY_INTENSIVE = 2,
  PARALLEL_FRIENDLY = 3,
  SEQUENTIAL = 4,
  GPU_SUITABLE = 5,
  GPU_COMPUTE_INTENSIVE = 6,
  GPU_MEMORY_BOUND = 7,
  NUMPY_VECTORIZED = 8,
  PANDAS_DATAFRAME = 10,
  SKLEARN_TRAINING = 12,
};

struct WorkloadInputs {
  double cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability, gpu_operation_score, numpy_score,
      pandas_score, sklearn_score;
  int32_t sequential_count, embarrassing_count;
  double cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold, sklearn_threshold;
  bool gpu_available;
};

inline int workload_pattern(const WorkloadInputs& in) noexcept {
  if (in.sklearn_score > in.sklearn_threshold) return SKLEARN_TRAINING;
  if (in.pandas_score > in.pandas_threshold) return PANDAS_DATAFRAME;
  if (in.numpy_score > in.numpy_threshold) return NUMPY_VECTORIZED;
  if (in.gpu_available && in.gpu_suitability > in.gpu_threshold) {
    if (in.gpu_operation_score > 0.7 && in.cpu_intensity > 0.6) return GPU_COMPUTE_INTENSIVE;
    if (in.memory_intensity > 0.5) return GPU_MEMORY_BOUND;
    return GPU_SUITABLE;
  }
  if (in.embarrassing_count > 0 || in.parallelization_potential > 0.6) return PARALLEL_FRIENDLY;
  if (in.cpu_intensity > in.cpu_threshold) return CPU_INTENSIVE;
  if (in.memory_intensity > in.memory_threshold) return MEMORY_INTENSIVE;
  if (in.sequential_count > 2) return SEQUENTIAL;
  return MIXED;
}

inline double adaptive_threshold(double current, double success_rate, double learning_rate, double min_threshold,
                                 double max_threshold) noexcept {
  double next = current;
  if (success_rate > 0.8)
    next = current + learning_rate;
  else if (success_rate < 0.4)
    next = current - learning_rate;
  return clamp(next, min_threshold, max_threshold);
}

}  // namespace kv::pattern
