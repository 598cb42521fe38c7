// korvane.plugins.analyzer.pattern_scoring: indicator vocabularies and
// framework patterns applied to source text, and the classification of the
// scores into a workload pattern code.
#include "frame.hpp"
#include "pattern_rules.hpp"

#include <optional>

namespace {

using kv::Ref;
namespace pat = kv::pattern;

// clang-format off
#define SCORING_NAMES(NAME, TEXT)                                                                           \
  NAME(lower) NAME(findall) NAME(pattern) NAME(flags) NAME(re) NAME(compile) NAME(IGNORECASE) NAME(Pattern)
// clang-format on

struct State {
  KV_NAMES(SCORING_NAMES)
  // The compiled framework patterns, built once by the module body and kept
  // until the interpreter ends (never rebound, never mutated); compiled[i]
  // is the pattern of pat::framework_patterns()[i], and own[i] says whether
  // it is the module's own regular expression, which the native matcher may
  // answer for.
  Ref framework_patterns;
  PyObject* compiled[3] = {};  // held by framework_patterns
  bool own[3] = {};
};
State& S() noexcept { return kv::state<State>(); }

// Words of `a` found in `s` (an exact str from kv::OptStr, so ready) as
// `s.lower()` would read.
pat::WordSet scan_lowered(PyObject* s, const pat::Automaton& a) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
    // No Latin-1 character lower-cases to ASCII, and ASCII upper case is
    // folded by the automaton, so the text is scanned in place.
    return a.scan(PyUnicode_1BYTE_DATA(s), static_cast<std::size_t>(n));
  }
  // Wider text may hold characters whose lower case is ASCII (the Kelvin
  // sign) or more than one character (dotted capital I): lower-case it the
  // standard way first.
  Ref low = kv::call_method(s, S().lower);  // a new exact str
  const void* data = PyUnicode_DATA(low.get());
  const auto len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(low.get()));
  switch (PyUnicode_KIND(low.get())) {
    case PyUnicode_1BYTE_KIND:
      return a.scan(static_cast<const Py_UCS1*>(data), len);
    case PyUnicode_2BYTE_KIND:
      return a.scan(static_cast<const Py_UCS2*>(data), len);
    default:
      return a.scan(static_cast<const Py_UCS4*>(data), len);
  }
}

// `str.lower(None)` fails with this message; so does scoring None.
[[noreturn]] void raise_lower_none() {
  kv::raise(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
}

template <class T, std::size_t N>
Ref py_tuple(const std::array<T, N>& values) {
  Ref t = kv::new_tuple(static_cast<Py_ssize_t>(N));
  for (std::size_t i = 0; i < N; ++i) kv::set_item(t, static_cast<Py_ssize_t>(i), kv::obj(values[i]).get());
  return t;
}

// ---- scoring of source text ---------------------------------------------------

// Matches of the module's own pattern i in `code`, any text width.
std::size_t native_matches(std::size_t i, PyObject* code) {
  const auto& p = pat::framework_patterns()[i];
  const void* data = PyUnicode_DATA(code);
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(code));
  auto word_hi = [](uint32_t c) { return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) != 0; };
  switch (PyUnicode_KIND(code)) {
    case PyUnicode_1BYTE_KIND:
      return pat::count_pattern_matches(p, static_cast<const Py_UCS1*>(data), n, word_hi);
    case PyUnicode_2BYTE_KIND:
      return pat::count_pattern_matches(p, static_cast<const Py_UCS2*>(data), n, word_hi);
    default:
      return pat::count_pattern_matches(p, static_cast<const Py_UCS4*>(data), n, word_hi);
  }
}

double quick_framework_score(kv::OptStr code, kv::OptStr framework) {
  if (!framework.value) return 0.0;
  PyObject* found = nullptr;
  if (kv::check_int(PyDict_GetItemRef(S().framework_patterns.get(), framework.value, &found)) == 0) return 0.0;
  Ref pattern = Ref::steal(found);
  if (code.value) {
    // The module's own patterns are searched natively, with the very
    // results of findall; anything else re.compile gave is asked itself.
    for (std::size_t i = 0; i < 3; ++i)
      if (S().compiled[i] == pattern.get() && S().own[i]) return pat::quick_score(native_matches(i, code.value));
  }
  Ref matches = kv::call_method(pattern.get(), S().findall, code.value ? code.value : Py_None);
  const Py_ssize_t n = PyObject_Length(matches.get());
  if (n < 0) kv::throw_error();
  return pat::quick_score(static_cast<std::size_t>(n));
}

Ref score_indicators(kv::OptStr code, kv::OptStr function_name) {
  if (!code.value) raise_lower_none();
  const auto& m = pat::indicator_matcher();
  const pat::WordSet in_code = scan_lowered(code.value, m.automaton());
  pat::WordSet in_name;
  if (function_name.value && PyUnicode_GET_LENGTH(function_name.value) > 0)
    in_name = scan_lowered(function_name.value, m.automaton());
  return py_tuple(pat::indicator_counts(in_code, in_name));
}

Ref score_framework_patterns(kv::OptStr code) {
  if (!code.value) raise_lower_none();
  return py_tuple(pat::framework_scores(scan_lowered(code.value, pat::framework_matcher().automaton())));
}

// ---- classification ------------------------------------------------------------

Ref normalize_scores(int32_t cpu_score, int32_t memory_score, int32_t parallel_score, int32_t gpu_op_score,
                     int32_t large_data_score) {
  return py_tuple(pat::normalize_scores(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score));
}

double calculate_parallelization_potential(double base_parallel_score, double embarrassing_bonus,
                                           double sequential_penalty, double loop_chunking_potential) {
  return pat::parallelization_potential(base_parallel_score, embarrassing_bonus, sequential_penalty,
                                        loop_chunking_potential);
}

// int(capability.split(".")[0]) as a 32-bit number; nothing when that text is
// not a number. A number outside 32 bits is an OverflowError.
std::optional<int32_t> capability_major(PyObject* cap) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(cap);
  Py_ssize_t dot = PyUnicode_FindChar(cap, '.', 0, n, 1);
  if (dot == -2) kv::throw_error();
  if (dot < 0) dot = n;
  // Plain ASCII digits ("8.6") are read directly; anything else (signs,
  // spaces, underscores, other scripts' digits) goes to int().
  if (dot > 0 && dot <= 9 && PyUnicode_KIND(cap) == PyUnicode_1BYTE_KIND) {
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(cap);
    int32_t v = 0;
    Py_ssize_t i = 0;
    for (; i < dot && p[i] >= '0' && p[i] <= '9'; ++i) v = v * 10 + (p[i] - '0');
    if (i == dot) return v;
  }
  Ref head = kv::check(PyUnicode_Substring(cap, 0, dot));
  Ref number = Ref::steal(PyLong_FromUnicodeObject(head.get(), 10));
  if (!number) {
    kv::clear_error_if(PyExc_ValueError);  // not a number: no major version
    return std::nullopt;
  }
  return static_cast<int32_t>(kv::Conv<int32_t>::from(number.get(), "major"));
}

double calculate_gpu_suitability(double gpu_operation_score, double gpu_data_size_score, double cpu_intensity,
                                 bool gpu_available, kv::OptStr compute_capability) {
  if (!gpu_available) return 0.0;
  std::optional<int32_t> major;
  if (compute_capability.value && PyUnicode_GET_LENGTH(compute_capability.value) > 0)
    major = capability_major(compute_capability.value);
  return pat::gpu_suitability(gpu_operation_score, gpu_data_size_score, cpu_intensity, true, major);
}

double estimate_gpu_speedup(double gpu_operation_score, double gpu_data_size_score, bool gpu_available) {
  return pat::gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available);
}

int determine_workload_pattern(double cpu_intensity, double memory_intensity, double parallelization_potential,
                               double gpu_suitability, double gpu_operation_score, double numpy_score,
                               double pandas_score, double sklearn_score, int32_t sequential_count,
                               int32_t embarrassing_count, double cpu_threshold, double memory_threshold,
                               double gpu_threshold, double numpy_threshold, double pandas_threshold,
                               double sklearn_threshold, bool gpu_available) {
  return pat::workload_pattern({cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability,
                                gpu_operation_score, numpy_score, pandas_score, sklearn_score, sequential_count,
                                embarrassing_count, cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold,
                                pandas_threshold, sklearn_threshold, gpu_available});
}

double update_adaptive_threshold(double current_threshold, double success_rate, double learning_rate,
                                 double min_threshold, double max_threshold) {
  return pat::adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold, max_threshold);
}

// ---- module body -----------------------------------------------------------------

// Whether `compiled` is what re.compile(regex, re.IGNORECASE) gives: an exact
// re.Pattern with that text and flags. A replaced re.compile or re.IGNORECASE
// can give anything else, and then only its findall knows the answer.
bool is_own_pattern(PyObject* compiled, PyObject* pattern_type, const char* regex) {
  // A str pattern compiled with IGNORECASE alone carries IGNORECASE | UNICODE.
  constexpr int64_t kIgnoreCaseUnicode = 2 | 32;
  if (!PyType_Check(pattern_type) || Py_TYPE(compiled) != reinterpret_cast<PyTypeObject*>(pattern_type)) return false;
  Ref text = kv::getattr(compiled, S().pattern);
  Ref flags = kv::getattr(compiled, S().flags);
  if (!PyUnicode_CheckExact(text.get()) || PyUnicode_CompareWithASCIIString(text.get(), regex) != 0) return false;
  int64_t v = 0;
  return PyLong_CheckExact(flags.get()) && kv::int64_of(flags.get(), v) && v == kIgnoreCaseUnicode;
}

void body(kv::Body& b) {
  b.import("re");
  {
    Ref re = kv::global(S().re);
    Ref compile = kv::getattr(re.get(), S().compile);
    Ref flags = kv::getattr(re.get(), S().IGNORECASE);
    Ref patterns = kv::check(PyDict_New());
    const auto& fp = pat::framework_patterns();
    for (std::size_t i = 0; i < fp.size(); ++i) {
      Ref compiled = kv::call(compile.get(), kv::obj(fp[i].regex), flags);
      kv::check_int(PyDict_SetItem(patterns.get(), kv::intern(fp[i].key), compiled.get()));
      S().compiled[i] = compiled.get();  // the dict keeps it
    }
    Ref pattern_type = kv::getattr_opt(re.get(), S().Pattern);
    for (std::size_t i = 0; i < fp.size(); ++i)
      S().own[i] = pattern_type && is_own_pattern(S().compiled[i], pattern_type.get(), fp[i].regex);
    S().framework_patterns = std::move(patterns);
  }
  // The matchers are built now rather than on the first call.
  pat::indicator_matcher();
  pat::framework_matcher();

  b.def<&quick_framework_score>("quick_framework_score(code: str, framework: str) -> float",
                                "Share of ten matches of the framework's pattern in the code, at most 1.0.");
  b.def<&calculate_gpu_suitability>(
      "calculate_gpu_suitability(gpu_operation_score: float, gpu_data_size_score: float, "
      "cpu_intensity: float, gpu_available: bool, compute_capability: str) -> float",
      "GPU suitability in [0, 1] from operation and data scores, CPU intensity and compute capability.");
  b.def<&estimate_gpu_speedup>(
      "estimate_gpu_speedup(gpu_operation_score: float, gpu_data_size_score: float, "
      "gpu_available: bool) -> float",
      "Static GPU speed-up estimate; 1.0 when none is expected.");
  b.def<&calculate_parallelization_potential>(
      "calculate_parallelization_potential(base_parallel_score: float, embarrassing_bonus: float, "
      "sequential_penalty: float, loop_chunking_potential: float) -> float",
      "Parallelisation potential in [0, 1].");
  b.def<&score_indicators>("score_indicators(code: str, function_name: str) -> tuple",
                           "Distinct words of the seven indicator vocabularies found in the code (and name).");
  b.def<&normalize_scores>(
      "normalize_scores(cpu_score: int, memory_score: int, parallel_score: int, gpu_op_score: int, "
      "large_data_score: int) -> tuple",
      "Indicator counts divided by their vocabulary sizes, clamped to [0, 1].");
  b.def<&score_framework_patterns>("score_framework_patterns(code: str) -> tuple",
                                   "NumPy, pandas and scikit-learn vocabulary shares found in the code.");
  b.def<&determine_workload_pattern>(
      "determine_workload_pattern(cpu_intensity: float, memory_intensity: float, "
      "parallelization_potential: float, gpu_suitability: float, gpu_operation_score: float, "
      "numpy_score: float, pandas_score: float, sklearn_score: float, sequential_count: int, "
      "embarrassing_count: int, cpu_threshold: float, memory_threshold: float, "
      "gpu_threshold: float, numpy_threshold: float, pandas_threshold: float, "
      "sklearn_threshold: float, gpu_available: bool) -> int",
      "Workload pattern code: the first classification rule that holds.");
  b.def<&update_adaptive_threshold>(
      "update_adaptive_threshold(current_threshold: float, success_rate: float, "
      "learning_rate: float, min_threshold: float, max_threshold: float) -> float",
      "Detection threshold moved by the success rate, clamped to its bounds.");

  b.import("logging");
  b.logger();
  b.log_info("Korvane Pattern Scoring Cython module loaded - IP protected");
}

}  // namespace

KV_MODULE(pattern_scoring, State,
          (kv::ModuleInfo{"pattern_scoring", "korvane.plugins.analyzer.pattern_scoring", nullptr, nullptr, &body}))
