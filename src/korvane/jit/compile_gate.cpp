// korvane.jit.compile_gate: the JIT layer's adaptive compile policy.
//
// PolicyConfig and FunctionMetrics are plain native records; CompileGate keeps
// one learned call-count threshold per function id and reads everything else
// from the caller's telemetry store. The arithmetic lives in
// compile_gate_core.hpp; this file is the Python glue.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "compile_gate_core.hpp"
#include "frame.hpp"

namespace {

using kv::check;
using kv::check_int;
using kv::OptStr;
using kv::Ref;
namespace core = korvane::compile_gate;

constexpr const char* kReentry = "CompileGate is already in use by this thread";

// ---- module state -----------------------------------------------------------------

struct CompileGate;

// clang-format off
#define GATE_NAMES(NAME, TEXT)                                                                              \
  NAME(get_metrics) NAME(call_count) NAME(compile_count) NAME(avg_speedup) NAME(last_compiled)              \
  NAME(initial_threshold) NAME(min_threshold) NAME(max_threshold) NAME(learning_rate) NAME(target_speedup)  \
  NAME(total_execution_time_ms) NAME(last_compile_time) NAME(time) NAME(logger) NAME(debug) NAME(threading) \
  NAME(Lock) NAME(_policy_lock) TEXT(none_text, "None")
// clang-format on

struct State {
  KV_NAMES(GATE_NAMES)
  // Keywords of PolicyConfig(...) built from an object, and of
  // FunctionMetrics(...) in the factory.
  Ref config_kwnames = kv::tuple_of({initial_threshold, min_threshold, max_threshold, learning_rate, target_speedup});
  Ref metrics_kwnames =
      kv::tuple_of({call_count, compile_count, avg_speedup, total_execution_time_ms, last_compile_time});
  Ref zero_int = kv::obj(0);      // compared with compile_count
  Ref zero_float = kv::obj(0.0);  // getattr default of last_compiled
  kv::DictShape statistics{"tracked_functions", "avg_threshold", "min_threshold", "max_threshold"};
  // The process-wide policy; guarded by the module's `_policy_lock`.
  Ref policy;
  // The CompileGate class from its creation to the end of the body, which
  // attaches its methods.
  std::unique_ptr<kv::Class<CompileGate>> gate_class;
};
State& S() noexcept { return kv::state<State>(); }

// ---- PolicyConfig -----------------------------------------------------------------

struct PolicyConfig {
  core::PolicyFields f;
};

// Native getters for other native code, in field order; reached through the
// capsule `PolicyConfig._native_api`.
struct ConfigNativeApi {
  int32_t (*initial_threshold)(PyObject*) noexcept;
  int32_t (*min_threshold)(PyObject*) noexcept;
  int32_t (*max_threshold)(PyObject*) noexcept;
  double (*learning_rate)(PyObject*) noexcept;
  double (*target_speedup)(PyObject*) noexcept;
};
const ConfigNativeApi config_api = {
    [](PyObject* o) noexcept { return kv::payload<PolicyConfig>(o).f.initial_threshold; },
    [](PyObject* o) noexcept { return kv::payload<PolicyConfig>(o).f.min_threshold; },
    [](PyObject* o) noexcept { return kv::payload<PolicyConfig>(o).f.max_threshold; },
    [](PyObject* o) noexcept { return kv::payload<PolicyConfig>(o).f.learning_rate; },
    [](PyObject* o) noexcept { return kv::payload<PolicyConfig>(o).f.target_speedup; },
};

void config_init(PolicyConfig& c, int32_t initial, int32_t lo, int32_t hi, double rate, double target) {
  core::PolicyFields f{initial, lo, hi, rate, target};
  if (const char* msg = core::validate(f)) kv::raise(PyExc_ValueError, msg);
  c.f = f;
}

int32_t cfg_initial(PolicyConfig& c) { return c.f.initial_threshold; }
int32_t cfg_min(PolicyConfig& c) { return c.f.min_threshold; }
int32_t cfg_max(PolicyConfig& c) { return c.f.max_threshold; }
double cfg_rate(PolicyConfig& c) { return c.f.learning_rate; }
double cfg_target(PolicyConfig& c) { return c.f.target_speedup; }
void cfg_set_initial(PolicyConfig& c, int32_t v) { c.f.initial_threshold = v; }
void cfg_set_min(PolicyConfig& c, int32_t v) { c.f.min_threshold = v; }
void cfg_set_max(PolicyConfig& c, int32_t v) { c.f.max_threshold = v; }
void cfg_set_rate(PolicyConfig& c, double v) { c.f.learning_rate = v; }
void cfg_set_target(PolicyConfig& c, double v) { c.f.target_speedup = v; }

// ---- FunctionMetrics --------------------------------------------------------------

struct FunctionMetrics {
  uint64_t call_count = 0;
  uint32_t compile_count = 0;
  double avg_speedup = 1.0;
  double total_ms = 0.0;
  double stamp = 0.0;  // last compilation, seconds since the epoch
};

// Native getters (no accessor for the total execution time); capsule
// `FunctionMetrics._native_api`.
struct MetricsNativeApi {
  uint64_t (*call_count)(PyObject*) noexcept;
  uint32_t (*compile_count)(PyObject*) noexcept;
  double (*avg_speedup)(PyObject*) noexcept;
  double (*last_compiled)(PyObject*) noexcept;
};
const MetricsNativeApi metrics_api = {
    [](PyObject* o) noexcept { return kv::payload<FunctionMetrics>(o).call_count; },
    [](PyObject* o) noexcept { return kv::payload<FunctionMetrics>(o).compile_count; },
    [](PyObject* o) noexcept { return kv::payload<FunctionMetrics>(o).avg_speedup; },
    [](PyObject* o) noexcept { return kv::payload<FunctionMetrics>(o).stamp; },
};

void metrics_init(FunctionMetrics& m, uint64_t calls, uint32_t compiles, double speedup, double total_ms,
                  double last_compile_time, double last_compiled) {
  m.call_count = calls;
  m.compile_count = compiles;
  m.avg_speedup = speedup;
  m.total_ms = total_ms;
  m.stamp = core::pick_timestamp(last_compile_time, last_compiled);
}

uint64_t fm_calls(FunctionMetrics& m) { return m.call_count; }
uint32_t fm_compiles(FunctionMetrics& m) { return m.compile_count; }
double fm_speedup(FunctionMetrics& m) { return m.avg_speedup; }
double fm_total(FunctionMetrics& m) { return m.total_ms; }
double fm_stamp(FunctionMetrics& m) { return m.stamp; }
void fm_set_calls(FunctionMetrics& m, uint64_t v) { m.call_count = v; }
void fm_set_compiles(FunctionMetrics& m, uint32_t v) { m.compile_count = v; }
void fm_set_speedup(FunctionMetrics& m, double v) { m.avg_speedup = v; }
void fm_set_total(FunctionMetrics& m, double v) { m.total_ms = v; }
void fm_set_stamp(FunctionMetrics& m, double v) { m.stamp = v; }

// ---- CompileGate ------------------------------------------------------------------

struct CompileGate {
  Ref config;      // a PolicyConfig (or subclass) once constructed
  Ref thresholds;  // dict: func_id -> int
  Ref lock;        // threading.Lock()
  double interval = 0.0;
  // The thread inside the lock, so that a call back into the gate from that
  // thread is refused instead of waiting on itself forever.
  unsigned long owner = 0;
  bool held = false;

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(config.get());
    Py_VISIT(thresholds.get());
    Py_VISIT(lock.get());
    return 0;
  }
  void clear() {
    config.reset();
    thresholds.reset();
    lock.reset();
  }
};

const PolicyConfig& fields_of(PyObject* config) { return kv::payload<PolicyConfig>(config); }

// Learned threshold, else the configuration's initial threshold read natively.
// Takes no lock: its callers hold the gate's. Keys are str or None, whose
// lookup cannot fail.
int32_t get_threshold_fast(CompileGate& g, PyObject* func_id) noexcept {
  PyObject* v = PyDict_GetItemWithError(g.thresholds.get(), func_id);
  if (v) return static_cast<int32_t>(PyLong_AsLong(v));  // stored by update: int32 range
  PyErr_Clear();
  return fields_of(g.config.get()).f.initial_threshold;
}

// The gate's native method table (capsule `CompileGate._native_api`).
struct GateNativeApi {
  int32_t (*get_threshold_fast)(PyObject* self, PyObject* func_id) noexcept;
};
const GateNativeApi gate_api = {
    [](PyObject* o, PyObject* func_id) noexcept { return get_threshold_fast(kv::payload<CompileGate>(o), func_id); },
};

// `with self._lock:` plus the re-entry check. Objects that the guarded work
// drops must be declared before the guard, so that they go after the lock is
// given back.
class GateLock {
 public:
  explicit GateLock(CompileGate& g) : g_(g), guard_(lock_to_take(g)) {
    g.owner = PyThread_get_thread_ident();
    g.held = true;
  }
  ~GateLock() noexcept(false) {  // before the guard gives the lock back
    g_.held = false;
    g_.owner = 0;
  }
  GateLock(const GateLock&) = delete;
  GateLock& operator=(const GateLock&) = delete;

 private:
  static PyObject* lock_to_take(CompileGate& g) {
    if (g.held && g.owner == PyThread_get_thread_ident()) kv::raise(PyExc_RuntimeError, kReentry);
    if (!g.lock) kv::raise(PyExc_AttributeError, "__enter__");  // cleared by the collector
    return g.lock.get();
  }

  CompileGate& g_;
  kv::LockGuard guard_;
};

PyObject* config_class() { return reinterpret_cast<PyObject*>(kv::type_of<PolicyConfig>); }
PyObject* metrics_class() { return reinterpret_cast<PyObject*>(kv::type_of<FunctionMetrics>); }

// getattr(o, name, default): only AttributeError selects the default.
Ref getattr_or(PyObject* o, PyObject* name, PyObject* dflt) {
  Ref v = kv::getattr_opt(o, name);
  return v ? v : Ref::borrow(dflt);
}

uint32_t to_u32(PyObject* o) { return kv::Conv<uint32_t>::from(o, nullptr); }

void gate_init(CompileGate& g, kv::Object config) {
  PyObject* c = config.value;
  Ref cfg;
  if (c == Py_None) {
    cfg = kv::call(config_class());
  } else if (PyObject_TypeCheck(c, kv::type_of<PolicyConfig>)) {
    cfg = Ref::borrow(c);  // shared with the caller, never copied
  } else {
    // Read in this order, each with its default, then validated as usual.
    PyObject* const names[5] = {S().initial_threshold, S().min_threshold, S().max_threshold, S().learning_rate,
                                S().target_speedup};
    Ref defaults[5] = {kv::obj(100), kv::obj(10), kv::obj(10000), kv::obj(0.1), kv::obj(2.0)};
    Ref vals[5];
    for (int i = 0; i < 5; ++i) vals[i] = getattr_or(c, names[i], defaults[i].get());
    PyObject* argv[5] = {vals[0].get(), vals[1].get(), vals[2].get(), vals[3].get(), vals[4].get()};
    cfg = check(PyObject_Vectorcall(config_class(), argv, 0, S().config_kwnames.get()));
  }
  Ref table = check(PyDict_New());
  Ref threading = kv::global(S().threading);
  Ref lock = kv::call_method(threading.get(), S().Lock);
  g.config.reset_to(std::move(cfg));
  g.thresholds.reset_to(std::move(table));
  g.lock.reset_to(std::move(lock));
  g.interval = core::kRecompileInterval;
}

Ref gate_config(CompileGate& g) { return Ref::borrow(g.config ? g.config.get() : Py_None); }

Ref get_threshold(CompileGate& g, OptStr func_id) {
  PyObject* key = func_id.value ? func_id.value : Py_None;
  Ref r;
  bool through_property = false;
  {
    GateLock guard(g);
    PyObject* v = PyDict_GetItemWithError(g.thresholds.get(), key);
    if (v) {
      r = Ref::borrow(v);
    } else if (PyErr_Occurred()) {
      kv::throw_error();
    } else if (Py_IS_TYPE(g.config.get(), kv::type_of<PolicyConfig>)) {
      r = kv::obj(fields_of(g.config.get()).f.initial_threshold);
    } else {
      r = kv::getattr(g.config.get(), S().initial_threshold);  // a subclass may override it
      through_property = true;
    }
  }
  return through_property ? kv::int_result(std::move(r)) : r;
}

double current_time() {
  Ref mod = kv::global(S().time);  // looked up per call, so the clock can be substituted
  Ref t = kv::call_method(mod.get(), S().time);
  return kv::to_double(t.get());
}

bool should_compile(CompileGate& g, OptStr func_id, PyObject* store) {
  PyObject* key = func_id.value ? func_id.value : Py_None;
  const double now = current_time();
  int32_t threshold;
  uint64_t calls;
  uint32_t compiles;
  double last;
  Ref metrics;
  {
    GateLock guard(g);
    threshold = get_threshold_fast(g, key);
    metrics = kv::call_method(store, S().get_metrics, key);
    PyObject* m = metrics.get();
    if (Py_IS_TYPE(m, kv::type_of<FunctionMetrics>)) {
      const FunctionMetrics& fm = kv::payload<FunctionMetrics>(m);
      calls = fm.call_count;
      compiles = fm.compile_count;
      last = fm.stamp;
    } else {
      calls = kv::to_u64(kv::getattr(m, S().call_count).get());
      compiles = to_u32(kv::getattr(m, S().compile_count).get());
      (void)kv::to_double(kv::getattr(m, S().avg_speedup).get());  // read, not used
      last = kv::to_double(getattr_or(m, S().last_compiled, S().zero_float.get()).get());
    }
  }
  return core::decide(calls, threshold, compiles, now, last, g.interval);
}

// "Updated threshold for <id>: <T> -> <N> (speedup: <S:.2f>x)". The text after
// the id is ASCII and short, so it is formatted into a local buffer; an ASCII
// id (the usual case) makes the whole line one allocation.
Ref update_message(PyObject* key, int32_t old_t, int32_t new_t, double speedup) {
  char tail[400];
  char* p = tail;
  char* const end = tail + sizeof tail;
  auto put = [&](std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    p += s.size();
  };
  put(": ");
  p = std::to_chars(p, end, old_t).ptr;
  put(" -> ");
  p = std::to_chars(p, end, new_t).ptr;
  put(" (speedup: ");
  if (std::isnan(speedup)) {
    put("nan");  // format() prints no sign for NaN
  } else {
    // Exact decimal expansion, correctly rounded, as format(x, ".2f");
    // the largest double needs 309 digits before the point.
    auto r = std::to_chars(p, end - 2, speedup, std::chars_format::fixed, 2);
    if (r.ec != std::errc()) kv::raise(PyExc_SystemError, "speed-up does not fit the log line");
    p = r.ptr;
  }
  put("x)");
  const std::string_view prefix = "Updated threshold for ";
  const auto tail_len = static_cast<Py_ssize_t>(p - tail);
  PyObject* id = key == Py_None ? S().none_text : key;
  if (PyUnicode_IS_ASCII(id)) {
    const Py_ssize_t id_len = PyUnicode_GET_LENGTH(id);
    Ref out = check(PyUnicode_New(static_cast<Py_ssize_t>(prefix.size()) + id_len + tail_len, 127));
    auto* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
    std::memcpy(dst, prefix.data(), prefix.size());
    std::memcpy(dst + prefix.size(), PyUnicode_DATA(id), static_cast<std::size_t>(id_len));
    std::memcpy(dst + prefix.size() + static_cast<std::size_t>(id_len), tail, static_cast<std::size_t>(tail_len));
    return out;
  }
  Ref tail_obj = check(PyUnicode_FromStringAndSize(tail, tail_len));
  return check(PyUnicode_FromFormat("Updated threshold for %U%U", id, tail_obj.get()));
}

void update(CompileGate& g, OptStr func_id, PyObject* store) {
  PyObject* key = func_id.value ? func_id.value : Py_None;
  int32_t old_t, new_t;
  double speedup;
  Ref metrics, eq, value;
  {
    GateLock guard(g);
    metrics = kv::call_method(store, S().get_metrics, key);
    PyObject* m = metrics.get();
    uint32_t compiles;
    if (Py_IS_TYPE(m, kv::type_of<FunctionMetrics>)) {
      const FunctionMetrics& fm = kv::payload<FunctionMetrics>(m);
      if (fm.compile_count == 0) return;
      old_t = get_threshold_fast(g, key);
      compiles = fm.compile_count;
      speedup = fm.avg_speedup;
    } else {
      // An equality test, so 0.0 and False also mean "never compiled".
      eq = check(PyObject_RichCompare(kv::getattr(m, S().compile_count).get(), S().zero_int.get(), Py_EQ));
      if (kv::to_truth(eq.get())) return;
      old_t = get_threshold_fast(g, key);
      compiles = to_u32(kv::getattr(m, S().compile_count).get());
      speedup = kv::to_double(kv::getattr(m, S().avg_speedup).get());
    }
    new_t = core::learn_threshold(fields_of(g.config.get()).f, old_t, compiles, speedup);
    value = kv::obj(new_t);
    check_int(PyDict_SetItem(g.thresholds.get(), key, value.get()));
  }
  // Built whether or not DEBUG is enabled; the logger decides.
  Ref msg = update_message(key, old_t, new_t, speedup);
  Ref logger = kv::global(S().logger);
  kv::call_method(logger.get(), S().debug, msg);
}

Ref get_statistics(CompileGate& g) {
  Ref tracked, avg, lo, hi;
  {
    GateLock guard(g);
    PyObject* table = g.thresholds.get();
    const Py_ssize_t count = PyDict_GET_SIZE(table);
    if (count == 0) {
      PyObject* cfg = g.config.get();
      tracked = kv::obj(0);
      if (Py_IS_TYPE(cfg, kv::type_of<PolicyConfig>)) {
        const core::PolicyFields& f = fields_of(cfg).f;
        avg = kv::obj(f.initial_threshold);
        lo = kv::obj(f.min_threshold);
        hi = kv::obj(f.max_threshold);
      } else {
        avg = kv::getattr(cfg, S().initial_threshold);
        lo = kv::getattr(cfg, S().min_threshold);
        hi = kv::getattr(cfg, S().max_threshold);
      }
    } else {
      // The values are the int32 thresholds stored by update.
      int64_t sum = 0, vmin = INT64_MAX, vmax = INT64_MIN;
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(table, &pos, &k, &v)) {
        const int64_t x = PyLong_AsLongLong(v);
        sum += x;
        vmin = x < vmin ? x : vmin;
        vmax = x > vmax ? x : vmax;
      }
      tracked = kv::obj(static_cast<int64_t>(count));
      // Exact below 2**53, where the double quotient is the correctly
      // rounded true division; beyond that let the int division do it.
      constexpr int64_t exact = int64_t{1} << 53;
      if (sum > -exact && sum < exact)
        avg = kv::obj(static_cast<double>(sum) / static_cast<double>(count));
      else
        avg = check(PyNumber_TrueDivide(kv::obj(sum).get(), tracked.get()));
      lo = kv::obj(vmin);
      hi = kv::obj(vmax);
    }
  }
  return S().statistics.make({tracked.get(), avg.get(), lo.get(), hi.get()});
}

// ---- module functions -------------------------------------------------------------

Ref get_compile_gate() {
  Ref lock = kv::global(S()._policy_lock);
  Ref result;
  {
    kv::LockGuard guard(lock.get());
    Ref& slot = S().policy;
    if (!slot) slot = kv::call(reinterpret_cast<PyObject*>(kv::type_of<CompileGate>));
    result = slot;
  }
  return result;
}

void reset_compile_gate() {
  Ref lock = kv::global(S()._policy_lock);
  Ref old;  // released after the lock, so its teardown runs outside it
  {
    kv::LockGuard guard(lock.get());
    old = std::move(S().policy);
  }
}

Ref create_function_metrics(kv::Int call_count, kv::Int compile_count, double avg_speedup,
                            double total_execution_time_ms, double last_compile_time) {
  Ref s = kv::obj(avg_speedup), t = kv::obj(total_execution_time_ms), l = kv::obj(last_compile_time);
  PyObject* argv[5] = {call_count.value.get(), compile_count.value.get(), s.get(), t.get(), l.get()};
  return check(PyObject_Vectorcall(metrics_class(), argv, 0, S().metrics_kwnames.get()));
}

Ref create_policy_config(kv::Int initial_threshold, kv::Int min_threshold, kv::Int max_threshold, double learning_rate,
                         double target_speedup) {
  Ref r = kv::obj(learning_rate), t = kv::obj(target_speedup);
  PyObject* argv[5] = {initial_threshold.value.get(), min_threshold.value.get(), max_threshold.value.get(), r.get(),
                       t.get()};
  return check(PyObject_Vectorcall(config_class(), argv, 0, S().config_kwnames.get()));
}

// ---- module -----------------------------------------------------------------------

template <class Api>
void publish_api(PyTypeObject* t, const Api* api, const char* capsule_name) {
  Ref capsule = check(PyCapsule_New(const_cast<Api*>(api), capsule_name, nullptr));
  kv::type_set(t, "_native_api", capsule.get());
}

void make_types(PyObject* m) {
  kv::Class<PolicyConfig> pc("korvane.jit.compile_gate.PolicyConfig", "Configuration for adaptive threshold policy.");
  pc.ctor<&config_init>(
      "__cinit__(self, initial_threshold=100, min_threshold=10, max_threshold=10000, learning_rate=0.1, "
      "target_speedup=2.0)");
  pc.property<&cfg_initial, &cfg_set_initial>("initial_threshold");
  pc.property<&cfg_min, &cfg_set_min>("min_threshold");
  pc.property<&cfg_max, &cfg_set_max>("max_threshold");
  pc.property<&cfg_rate, &cfg_set_rate>("learning_rate");
  pc.property<&cfg_target, &cfg_set_target>("target_speedup");
  publish_api(pc.create(m), &config_api, "korvane.jit.compile_gate.PolicyConfig._native_api");

  kv::Class<FunctionMetrics> fm(
      "korvane.jit.compile_gate.FunctionMetrics",
      "Per-function performance metrics.\n\n"
      "Attributes:\n"
      "    call_count: Number of calls seen so far\n"
      "    compile_count: Number of compilations so far\n"
      "    avg_speedup: Average speed-up ratio that compilation brought\n"
      "    total_execution_time_ms: Total execution time in milliseconds\n"
      "    last_compile_time: Timestamp of the last compilation (name in the older interface)\n"
      "    last_compiled: Alias of the timestamp matching the TelemetryStore interface");
  fm.ctor<&metrics_init>(
      "__cinit__(self, call_count=0, compile_count=0, avg_speedup=1.0, total_execution_time_ms=0.0, "
      "last_compile_time=0.0, last_compiled=-1.0)");
  fm.property<&fm_calls, &fm_set_calls>("call_count");
  fm.property<&fm_compiles, &fm_set_compiles>("compile_count");
  fm.property<&fm_speedup, &fm_set_speedup>("avg_speedup");
  fm.property<&fm_total, &fm_set_total>("total_execution_time_ms");
  fm.property<&fm_stamp, &fm_set_stamp>("last_compiled",
                                        "Timestamp of last compilation (matches TelemetryStore interface).");
  fm.property<&fm_stamp, &fm_set_stamp>("last_compile_time", "Alias for last_compiled for backward compatibility.");
  publish_api(fm.create(m), &metrics_api, "korvane.jit.compile_gate.FunctionMetrics._native_api");

  auto gc =
      std::make_unique<kv::Class<CompileGate>>("korvane.jit.compile_gate.CompileGate",
                                               "Adaptive compilation threshold policy.\n\n"
                                               "Learns a call-count threshold per function from the speed-ups its\n"
                                               "compilations brought.\n\n"
                                               "Usage:\n"
                                               "    policy = CompileGate()\n"
                                               "    store.record_call(func_id)\n"
                                               "    if policy.should_compile(func_id, store):\n"
                                               "        compiled = compile(func)\n"
                                               "        store.record_compilation(func_id, measured_speedup)\n"
                                               "        policy.update(func_id, store)");
  gc->ctor<&gate_init>("__cinit__(self, config=None)");
  gc->property<&gate_config>("config", "Get policy configuration.");
  publish_api(gc->create(m), &gate_api, "korvane.jit.compile_gate.CompileGate._native_api");
  S().gate_class = std::move(gc);
}

void body(kv::Body& b) {
  b.import("time");
  b.import("logging");
  b.import("threading");
  b.from_import("typing", {"Dict", "Optional"});
  b.logger();

  kv::Class<CompileGate>& g = *S().gate_class;
  g.method<&get_threshold>("get_threshold(self, func_id: str) -> int",
                           "Get current threshold for a function.\n\n"
                           "Performance target: <100ns (dict lookup with lock)");
  g.method<&should_compile>("should_compile(self, func_id: str, telemetry_store) -> bool",
                            "Decide whether a function should be compiled now.\n\n"
                            "Performance target: <1\u03bcs (threshold check + metrics lookup)");
  g.method<&update>("update(self, func_id: str, telemetry_store)",
                    "Learn the function's threshold from its compilation results.\n\n"
                    "Performance target: <1\u03bcs");
  g.method<&get_statistics>("get_statistics(self) -> Dict", "Get policy statistics.");
  S().gate_class.reset();  // the class is complete

  // The global policy slot (S().policy) starts empty.
  Ref threading = kv::global(S().threading);
  b.set("_policy_lock", kv::call_method(threading.get(), S().Lock));
  b.def<&get_compile_gate>("get_compile_gate() -> CompileGate",
                           "Get the global policy instance (thread-safe).\n\n"
                           "Always takes the lock before checking or creating the single instance.");
  b.def<&reset_compile_gate>("reset_compile_gate()", "Reset the global policy (for tests).");
  b.def<&create_function_metrics>(
      "create_function_metrics(call_count: int = 0, compile_count: int = 0, avg_speedup: float = 1.0, "
      "total_execution_time_ms: float = 0.0, last_compile_time: float = 0.0) -> FunctionMetrics",
      "Factory function to create FunctionMetrics.\n\n"
      "Provides a Python-friendly interface for creating metrics objects.");
  b.def<&create_policy_config>(
      "create_policy_config(initial_threshold: int = 100, min_threshold: int = 10, max_threshold: int = 10000, "
      "learning_rate: float = 0.1, target_speedup: float = 2.0) -> PolicyConfig",
      "Factory function to create PolicyConfig.\n\n"
      "Provides a Python-friendly interface for creating config objects.");
  b.log_info("Korvane Compile Gate Cython module loaded - IP protected");
}

}  // namespace

KV_MODULE(compile_gate, State,
          (kv::ModuleInfo{"compile_gate", "korvane.jit.compile_gate",
                          "Adaptive JIT threshold policy.\n\n"
                          "Dynamically adjusts compilation thresholds based on observed performance.\n"
                          "Reduces compilation attempts while maximizing benefit.",
                          &make_types, &body}))
