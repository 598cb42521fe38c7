// korvane.monitoring.counter_hub: running statistics over numbered counters,
// guarded by one threading.Lock per aggregator.
#include "frame.hpp"

#include "counter_hub_core.hpp"

#include <utility>

namespace {

using korvane::counter_hub::CounterStats;
using korvane::counter_hub::CounterTable;

// clang-format off
#define COUNTER_HUB_NAMES(NAME, TEXT)        \
  NAME(get_stats) NAME(threading) NAME(Lock)
// clang-format on

struct State {
  KV_NAMES(COUNTER_HUB_NAMES)
  kv::DictShape stats{"count", "mean", "variance", "std", "min", "max"};
};
State& S() noexcept { return kv::state<State>(); }

struct Aggregator {
  CounterTable table;
  kv::Ref lock;  // threading.Lock; None after a GC clear

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(lock.get());
    return 0;
  }
  void clear() { lock.reset_to(kv::none()); }

  void check_id(int32_t counter_id) const {
    if (!table.in_range(counter_id))
      kv::raise_format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(counter_id));
  }
};

void construct(Aggregator& self, int32_t num_counters) {
  if (!self.table.allocate(num_counters)) kv::raise(PyExc_MemoryError, "Failed to allocate counter storage");
  kv::Ref lock_class = kv::getattr(kv::global(S().threading).get(), S().Lock);
  kv::Ref lock = kv::call(lock_class.get());
  self.lock = std::move(lock);
}

void update(Aggregator& self, int32_t counter_id, double value) {
  self.check_id(counter_id);
  kv::LockGuard guard(self.lock.get());
  self.table.update(counter_id, value);
}

kv::Ref stats_dict(const CounterStats& s) {
  const kv::Ref count = kv::obj(s.count), mean = kv::obj(s.mean), variance = kv::obj(s.variance),
                std_dev = kv::obj(s.std_dev), min = kv::obj(s.min), max = kv::obj(s.max);
  return S().stats.make({count.get(), mean.get(), variance.get(), std_dev.get(), min.get(), max.get()});
}

kv::Ref get_stats(Aggregator& self, int32_t counter_id) {
  self.check_id(counter_id);
  CounterStats s;
  {
    // The record is read under the lock; the dict is built after it is released.
    kv::LockGuard guard(self.lock.get());
    s = self.table.stats(counter_id);
  }
  return stats_dict(s);
}

void reset(Aggregator& self, int32_t counter_id) {
  self.check_id(counter_id);
  kv::LockGuard guard(self.lock.get());
  self.table.reset(counter_id);
}

void reset_all(Aggregator& self) {
  kv::LockGuard guard(self.lock.get());
  self.table.reset_all();
}

kv::Ref get_all_stats(Aggregator& self) {
  PyObject* me = kv::self_of(self);
  // A subclass may override get_stats; only the exact class goes straight to the records.
  const bool exact = Py_TYPE(me) == kv::type_of<Aggregator>;
  kv::Ref result = kv::new_list(0);
  for (int32_t id = 0; id < self.table.size(); ++id) {
    // Counts are read without the lock; get_stats takes it per counter.
    if (self.table.count(id) == 0) continue;
    kv::Ref key = kv::obj(id);
    kv::Ref stats = exact ? get_stats(self, id) : kv::call_method(me, S().get_stats, key);
    if (stats.get() != Py_None && !PyDict_Check(stats.get()))
      kv::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(stats.get())->tp_name);
    kv::Ref pair = kv::tuple_of({key.get(), stats.get()});
    kv::check_int(PyList_Append(result.get(), pair.get()));
  }
  return result;
}

kv::Ref create_aggregator(PyObject* num_counters) {
  return kv::call(reinterpret_cast<PyObject*>(kv::type_of<Aggregator>), num_counters);
}

void make_types(PyObject* module) {
  kv::Class<Aggregator> c("korvane.monitoring.counter_hub.CounterAggregator",
                          "Running count, mean, variance, std, min and max over numbered counters.");
  c.ctor<&construct>("__cinit__(self, num_counters=1000)");
  c.create(module);
  c.method<&update>("update(self, counter_id, value)",
                    "Update counter with new value.\nThread-safe via lock (correctness over performance).");
  c.method<&get_stats>("get_stats(self, counter_id)",
                       "Get statistics for a counter.\nReturns dict with count, mean, variance, min, max.");
  c.method<&reset>("reset(self, counter_id)", "Reset a specific counter.");
  c.method<&reset_all>("reset_all(self)", "Reset all counters.");
  c.method<&get_all_stats>("get_all_stats(self)", "Get statistics for all counters.");
}

void body(kv::Body& b) {
  b.import("threading");
  b.def<&create_aggregator>("create_aggregator(num_counters=1000)", "Create a new CounterAggregator instance.");
}

}  // namespace

KV_MODULE(counter_hub, State,
          (kv::ModuleInfo{"counter_hub", "korvane.monitoring.counter_hub", nullptr, &make_types, &body}))
