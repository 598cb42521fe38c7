// korvane.plugins.analyzer.adaptation_rules: the orchestrator's history
// readers (trend, degradation, workload change, dominant pattern) and its
// decision rules. The arithmetic lives in adaptation_core.hpp; this file reads
// the caller's lists and dicts and builds the results.
//
// Histories belong to the caller. An entry's __float__, __iter__, __eq__ or
// __hash__ can run arbitrary code, including code that shrinks the list, so
// every entry is held by a reference of our own while such code may run, and
// list positions are re-checked against the current length.
#include <cmath>
#include <cstdint>

#include "adaptation_core.hpp"
#include "frame.hpp"

namespace {

// A `list` parameter: an exact list, or None (value null).
struct OptList {
  PyObject* value;
};

}  // namespace

namespace kv {
template <>
struct Conv<OptList> {
  static OptList from(PyObject* o, const char* name) {
    if (o == Py_None) return {nullptr};
    if (!PyList_CheckExact(o)) raise_arg_type(name, "list", o);
    return {o};
  }
};
}  // namespace kv

namespace {

using kv::Ref;
namespace core = kv::adapt;

// ---- module state --------------------------------------------------------------

// clang-format off
#define ADAPTATION_NAMES(NAME, TEXT)                                                     \
  NAME(parallelization_potential) NAME(cpu_intensity) NAME(memory_intensity) NAME(mixed)
// clang-format on

// Built once at import; it lives as long as the interpreter.
struct State {
  KV_NAMES(ADAPTATION_NAMES)
  // The keys of a pattern-history entry, in the order they are tested.
  PyObject* const keys[3] = {parallelization_potential, cpu_intensity, memory_intensity};
  Ref no_change = kv::check(Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0));
  Ref no_prediction = kv::check(Py_BuildValue("(iid)", 0, 0, 0.0));
};
State& S() noexcept { return kv::state<State>(); }

[[noreturn]] void raise_no_len() { kv::raise(PyExc_TypeError, "object of type 'NoneType' has no len()"); }

// ---- numbers -----------------------------------------------------------------

// The float conversion of a typed double: numbers and objects with __float__
// or __index__; strings are not numbers here.
double to_real(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const double d = PyLong_CheckExact(o) ? PyLong_AsDouble(o) : PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) kv::throw_error();
  return d;
}

// Converts without running any Python code (an int too big for a double
// still raises), or reports that it cannot.
bool to_real_quiet(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyLong_CheckExact(o)) {
    out = PyLong_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) kv::throw_error();
    return true;
  }
  return false;
}

// float(x), as the forecast reads its first and last timestamps.
double float_of(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  Ref f = kv::check(PyNumber_Float(o));
  return PyFloat_AS_DOUBLE(f.get());
}

// An exact int for a whole number held in a double, of any size.
Ref whole_to_int(double x) {
  if (x > -9.2e18 && x < 9.2e18) return kv::check(PyLong_FromLongLong(static_cast<long long>(x)));
  return kv::check(PyLong_FromDouble(x));
}

// ---- (timestamp, value) entries ------------------------------------------------

struct Pair {
  double first, second;
};

[[noreturn]] void raise_unpack(Py_ssize_t got) {
  if (got > 2) kv::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  kv::raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

// Next item of an unpacking iterator; null when it is exhausted.
Ref next_item(PyObject* it) {
  Ref item = Ref::steal(Py_TYPE(it)->tp_iternext(it));
  if (!item && PyErr_Occurred()) kv::clear_error_if(PyExc_StopIteration);
  return item;
}

Pair unpack_slow(PyObject* entry) {
  Ref a, b;
  if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
    const Py_ssize_t size = Py_SIZE(entry);
    if (size != 2) raise_unpack(size);
    PyObject** items = PySequence_Fast_ITEMS(entry);
    a = Ref::borrow(items[0]);
    b = Ref::borrow(items[1]);
  } else {
    Ref it = kv::check(PyObject_GetIter(entry));
    a = next_item(it.get());
    if (!a) raise_unpack(0);
    b = next_item(it.get());
    if (!b) raise_unpack(1);
    if (next_item(it.get())) raise_unpack(3);
  }
  const double first = to_real(a.get());
  return {first, to_real(b.get())};
}

// Both items of an entry, each converted to float: the shape must be exactly
// two items, checked before any conversion.
Pair unpack_pair(PyObject* entry) {
  if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
    Pair p;
    if (to_real_quiet(PyTuple_GET_ITEM(entry, 0), p.first) && to_real_quiet(PyTuple_GET_ITEM(entry, 1), p.second))
      return p;
  }
  Ref keep = Ref::borrow(entry);
  return unpack_slow(entry);
}

// Feeds every entry of a history to sink(t, m), in list order. The length is
// read afresh each step, as a Python for-loop would.
template <class Sink>
void for_each_pair(PyObject* list, Sink&& sink) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    const Pair p = unpack_pair(PyList_GET_ITEM(list, i));
    sink(p.first, p.second);
  }
}

// history[i][0] for the forecast's span.
double timestamp_at(PyObject* list, Py_ssize_t i) {
  if (i >= PyList_GET_SIZE(list)) kv::raise(PyExc_IndexError, "list index out of range");
  Ref entry = Ref::borrow(PyList_GET_ITEM(list, i));
  Ref item;
  if (PyTuple_CheckExact(entry.get()) || PyList_CheckExact(entry.get())) {
    if (Py_SIZE(entry.get()) == 0)
      kv::raise(PyExc_IndexError,
                PyTuple_CheckExact(entry.get()) ? "tuple index out of range" : "list index out of range");
    item = Ref::borrow(PySequence_Fast_ITEMS(entry.get())[0]);
  } else {
    Ref zero = kv::check(PyLong_FromLong(0));
    item = kv::check(PyObject_GetItem(entry.get(), zero.get()));
  }
  return float_of(item.get());
}

// ---- history functions ---------------------------------------------------------

double calculate_performance_trend(OptList history, double window_start_time) {
  if (!history.value || PyList_GET_SIZE(history.value) < 3) return 0.0;
  core::TrendWindow window(window_start_time);
  for_each_pair(history.value, [&](double t, double m) { window.add(t, m); });
  return window.trend();
}

bool detect_performance_degradation(OptList history, double baseline_performance, double threshold,
                                    double window_start_time) {
  if (!history.value || PyList_GET_SIZE(history.value) == 0) return false;
  if (baseline_performance <= 0.0) return false;
  if (PyList_GET_SIZE(history.value) < 5) return false;
  core::DegradationWindow window(window_start_time);
  for_each_pair(history.value, [&](double t, double m) { window.add(t, m); });
  return window.degraded(baseline_performance, threshold);
}

// A running total that stays a double while every value is an int or exact
// float (where float addition is what Python would do) and becomes a Python
// object, added with the number protocol, once any other value turns up.
class Total {
 public:
  void add(PyObject* v) {
    if (!obj_) {
      double x;
      if (PyFloat_CheckExact(v)) {
        sum_ += PyFloat_AS_DOUBLE(v);
        return;
      }
      if (PyLong_Check(v)) {  // float + int is float addition, even for int subclasses
        x = PyLong_AsDouble(v);
        if (x == -1.0 && PyErr_Occurred()) kv::throw_error();
        sum_ += x;
        return;
      }
      obj_ = kv::check(PyFloat_FromDouble(sum_));
    }
    obj_ = kv::check(PyNumber_Add(obj_.get(), v));
  }
  bool is_double() const { return !obj_; }
  double value() const { return sum_; }
  Ref object() const { return obj_ ? obj_ : kv::check(PyFloat_FromDouble(sum_)); }

 private:
  double sum_ = 0.0;
  Ref obj_;
};

double change_between(const Total& recent, const Total& older) {
  if (recent.is_double() && older.is_double()) return core::characteristic_change(recent.value(), older.value());
  Ref three = kv::check(PyLong_FromLong(3));
  Ref r = kv::check(PyNumber_TrueDivide(recent.object().get(), three.get()));
  Ref o = kv::check(PyNumber_TrueDivide(older.object().get(), three.get()));
  Ref diff = kv::check(PyNumber_Subtract(r.get(), o.get()));
  Ref mag = kv::check(PyNumber_Absolute(diff.get()));
  return to_real(mag.get());
}

Ref detect_workload_characteristics_change(OptList history, double change_threshold) {
  if (!history.value) raise_no_len();
  const Py_ssize_t n = PyList_GET_SIZE(history.value);
  if (n < 6) return S().no_change;
  // The last six entries and their values are read once, into references of
  // our own: key comparisons inside the dicts and the additions below may run
  // Python code that changes the list or the dicts.
  Ref entries[6];
  for (Py_ssize_t i = 0; i < 6; ++i) entries[i] = Ref::borrow(PyList_GET_ITEM(history.value, n - 6 + i));
  Ref values[6][3];
  for (int i = 0; i < 6; ++i) {
    PyObject* e = entries[i].get();
    if (e == Py_None) kv::raise(PyExc_TypeError, "'NoneType' object is not iterable");
    if (!PyDict_CheckExact(e))
      kv::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(e)->tp_name);
    for (int k = 0; k < 3; ++k) {
      PyObject* v = PyDict_GetItemWithError(e, S().keys[k]);
      if (!v) {
        if (PyErr_Occurred()) kv::throw_error();
        return S().no_change;
      }
      values[i][k] = Ref::borrow(v);
    }
  }
  Total recent[3], older[3];
  for (int i = 3; i < 6; ++i)
    for (int k = 0; k < 3; ++k) recent[k].add(values[i][k].get());
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) older[k].add(values[i][k].get());
  double change[3];
  for (int k = 0; k < 3; ++k) change[k] = change_between(recent[k], older[k]);
  const bool changed = change[0] > change_threshold || change[1] > change_threshold || change[2] > change_threshold;
  Ref result = kv::new_tuple(4);
  kv::set_item(result, 0, changed ? Py_True : Py_False);
  for (int k = 0; k < 3; ++k) kv::set_item(result, k + 1, kv::obj(change[k]));
  return result;
}

bool same_name(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (a == Py_None || b == Py_None) return false;
  const int c = PyUnicode_Compare(a, b);
  if (c == -1 && PyErr_Occurred()) kv::throw_error();
  return c == 0;
}

Ref detect_dominant_pattern(OptList patterns, int32_t window_size) {
  if (!patterns.value) raise_no_len();
  const Py_ssize_t n = PyList_GET_SIZE(patterns.value);
  if (n == 0) return Ref::borrow(S().mixed);
  const Py_ssize_t start = n - static_cast<Py_ssize_t>(window_size) > 0 ? n - window_size : 0;
  // Names are exact str or None, whose hashing and comparison run no Python
  // code, so the list cannot change under the loop and borrowed names are safe.
  core::FirstSeenCounter<PyObject*, bool (*)(PyObject*, PyObject*)> counts(&same_name);
  for (Py_ssize_t i = start; i < n; ++i) {
    PyObject* name = PyList_GET_ITEM(patterns.value, i);
    std::size_t hash = 0;
    if (name != Py_None) {
      if (!PyUnicode_CheckExact(name))
        kv::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name)->tp_name);
      const Py_hash_t h = PyObject_Hash(name);
      if (h == -1) kv::throw_error();
      hash = static_cast<std::size_t>(h);
    }
    counts.add(name, hash);
  }
  PyObject* const* best = counts.most_common();
  return Ref::borrow(best ? *best : S().mixed);
}

// ---- decision functions ------------------------------------------------------------

bool is_adaptation_beneficial(kv::OptStr current_pool, kv::OptStr recommended_pool, double recommendation_score,
                              double recommendation_confidence, double current_performance_estimate,
                              int32_t trigger_code, double min_improvement_ratio, double min_confidence) {
  PyObject* cur = current_pool.value ? current_pool.value : Py_None;
  PyObject* rec = recommended_pool.value ? recommended_pool.value : Py_None;
  if (same_name(cur, rec)) return false;
  if (recommendation_confidence < min_confidence) return false;
  return recommendation_score >
         core::improvement_bar(trigger_code, current_performance_estimate, min_improvement_ratio);
}

double score_pool_recommendation(double workload_fit, double memory_fit, double thread_count_fit,
                                 double historical_success_rate) {
  return core::pool_score(workload_fit, memory_fit, thread_count_fit, historical_success_rate);
}

double calculate_adaptation_urgency(double performance_degradation, double memory_pressure, double fragmentation_ratio,
                                    bool workload_changed) {
  return core::urgency(performance_degradation, memory_pressure, fragmentation_ratio, workload_changed);
}

bool should_skip_adaptation(double last_adaptation_time, double current_time, double min_interval) {
  return core::skip_adaptation(last_adaptation_time, current_time, min_interval);
}

bool detect_memory_pressure(double current_usage, double peak_usage, double pressure_threshold) {
  return core::memory_pressure(current_usage, peak_usage, pressure_threshold);
}

bool detect_fragmentation_threshold(double fragmentation_ratio, double threshold) {
  return core::fragmentation_exceeded(fragmentation_ratio, threshold);
}

Ref predict_resource_requirements(OptList history, double prediction_horizon_seconds) {
  if (!history.value) raise_no_len();
  const Py_ssize_t n = PyList_GET_SIZE(history.value);
  if (n < 10) return S().no_prediction;
  const double t_first = timestamp_at(history.value, 0);
  const double span = timestamp_at(history.value, n - 1) - t_first;
  const double count = static_cast<double>(n);
  // A span that is not a positive finite number, or one so small that the
  // rate overflows, predicts nothing (and reads no further).
  if (!(span > 0.0) || !std::isfinite(span) || !std::isfinite(count / span)) return S().no_prediction;
  double size_sum = 0.0;
  for_each_pair(history.value, [&](double, double size) { size_sum += size; });
  const core::Forecast f = core::forecast(static_cast<std::size_t>(n), span, size_sum, prediction_horizon_seconds);
  if (f.neutral) return S().no_prediction;
  Ref allocations = whole_to_int(f.allocations);
  Ref bytes = whole_to_int(f.total_bytes);
  Ref confidence = kv::check(PyFloat_FromDouble(f.confidence));
  return kv::tuple_of({allocations.get(), bytes.get(), confidence.get()});
}

// ---- module body -------------------------------------------------------------------

void body(kv::Body& b) {
  b.def<&detect_performance_degradation>(
      "detect_performance_degradation(performance_history: list, baseline_performance: float, "
      "threshold: float, window_start_time: float) -> bool");
  b.def<&calculate_performance_trend>(
      "calculate_performance_trend(performance_history: list, window_start_time: float) -> float");
  b.def<&detect_workload_characteristics_change>(
      "detect_workload_characteristics_change(pattern_history: list, change_threshold: float = 0.3) -> tuple");
  b.def<&detect_dominant_pattern>("detect_dominant_pattern(patterns: list, window_size: int = 5) -> str");
  b.def<&is_adaptation_beneficial>(
      "is_adaptation_beneficial(current_pool: str, recommended_pool: str, recommendation_score: float, "
      "recommendation_confidence: float, current_performance_estimate: float, trigger_code: int, "
      "min_improvement_ratio: float = 1.1, min_confidence: float = 0.6) -> bool");
  b.def<&should_skip_adaptation>(
      "should_skip_adaptation(last_adaptation_time: float, current_time: float, min_interval: float) -> bool");
  b.def<&detect_memory_pressure>(
      "detect_memory_pressure(current_usage: float, peak_usage: float, pressure_threshold: float = 0.8) -> bool");
  b.def<&detect_fragmentation_threshold>(
      "detect_fragmentation_threshold(fragmentation_ratio: float, threshold: float = 0.3) -> bool");
  b.def<&calculate_adaptation_urgency>(
      "calculate_adaptation_urgency(performance_degradation: float, memory_pressure: float, "
      "fragmentation_ratio: float, workload_changed: bool) -> float");
  b.def<&score_pool_recommendation>(
      "score_pool_recommendation(workload_fit: float, memory_fit: float, thread_count_fit: float, "
      "historical_success_rate: float) -> float");
  b.def<&predict_resource_requirements>(
      "predict_resource_requirements(allocation_history: list, prediction_horizon_seconds: float) -> tuple");

  b.import("logging");
  b.logger();
  b.log_info("Korvane Adaptation Rules Cython module loaded - IP protected");
}

}  // namespace

KV_MODULE(adaptation_rules, State,
          (kv::ModuleInfo{"adaptation_rules", "korvane.plugins.analyzer.adaptation_rules", nullptr, nullptr, &body}))
