// korvane.monitoring.counter_hub: running statistics over numbered counters,
// guarded by one threading.Lock per aggregator.
#include "frame.hpp"

#include "counter_hub_core.hpp"

#include <utility>

namespace {

using korvane::counter_hub::CounterStats;
using korvane::counter_hub::CounterTable;

struct Keys {
    PyObject* count;
    PyObject* mean;
    PyObject* variance;
    PyObject* std;
    PyObject* min;
    PyObject* max;
    PyObject* get_stats;
    PyObject* threading;
    PyObject* Lock;
};
Keys keys;

struct Aggregator {
    CounterTable table;
    kv::Ref lock;  // threading.Lock; None after a GC clear

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(lock.get());
        return 0;
    }
    void clear() {
        lock.reset_to(kv::none());
    }

    void check_id(int32_t counter_id) const {
        if (!table.in_range(counter_id))
            kv::raise_format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(counter_id));
    }
};

void construct(Aggregator& self, int32_t num_counters) {
    if (!self.table.allocate(num_counters)) kv::raise(PyExc_MemoryError, "Failed to allocate counter storage");
    kv::Ref lock_class = kv::getattr(kv::global(keys.threading).get(), keys.Lock);
    kv::Ref lock = kv::call(lock_class.get());
    self.lock = std::move(lock);
}

void update(Aggregator& self, int32_t counter_id, double value) {
    self.check_id(counter_id);
    kv::LockGuard guard(self.lock.get());
    self.table.update(counter_id, value);
}

kv::Ref stats_dict(const CounterStats& s) {
    kv::Ref d = kv::check(PyDict_New());
    const std::pair<PyObject*, kv::Ref> items[] = {
        {keys.count, kv::obj(s.count)},       {keys.mean, kv::obj(s.mean)},
        {keys.variance, kv::obj(s.variance)}, {keys.std, kv::obj(s.std_dev)},
        {keys.min, kv::obj(s.min)},           {keys.max, kv::obj(s.max)},
    };
    for (const auto& [key, value] : items) kv::check_int(PyDict_SetItem(d.get(), key, value.get()));
    return d;
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
    kv::Ref result = kv::check(PyList_New(0));
    for (int32_t id = 0; id < self.table.size(); ++id) {
        // Counts are read without the lock; get_stats takes it per counter.
        if (self.table.count(id) == 0) continue;
        kv::Ref key = kv::obj(id);
        kv::Ref stats = exact ? get_stats(self, id) : kv::call_method(me, keys.get_stats, key);
        if (stats.get() != Py_None && !PyDict_Check(stats.get()))
            kv::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(stats.get())->tp_name);
        kv::Ref pair = kv::check(PyTuple_Pack(2, key.get(), stats.get()));
        kv::check_int(PyList_Append(result.get(), pair.get()));
    }
    return result;
}

kv::Ref create_aggregator(PyObject* num_counters) {
    return kv::call(reinterpret_cast<PyObject*>(kv::type_of<Aggregator>), num_counters);
}

void make_types(PyObject* module) {
    keys = Keys{kv::intern("count"),     kv::intern("mean"),      kv::intern("variance"),
                kv::intern("std"),       kv::intern("min"),       kv::intern("max"),
                kv::intern("get_stats"), kv::intern("threading"), kv::intern("Lock")};
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

KV_MODULE(counter_hub, void, (kv::ModuleInfo{"counter_hub", "korvane.monitoring.counter_hub", nullptr, &make_types, &body}))
