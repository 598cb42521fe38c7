// korvane.memory.block_index: free blocks indexed by size.
//
// FastRedBlackTree keeps one native tree node per distinct size (rb_tree.hpp)
// and chains further blocks of that size off it. One writer at a time holds
// `_write_lock` inside a bracket that makes `seq_counter` odd; readers take no
// lock and validate against the counter.
//
// Readers keep the interpreter lock for their descent: it is far shorter than
// a hand-over of the lock. Every change of tree fields also runs with the
// interpreter lock held, so a reader can only meet a write in progress when
// the writer's thread gave the interpreter lock away inside its bracket (while
// `==` runs Python code, for instance). Then the counter is odd and the reader
// sleeps and retries.
#include <cstdint>
#include <utility>
#include <vector>

#include "atomic_counter_api.hpp"
#include "frame.hpp"
#include "rb_tree.hpp"

#include <pythread.h>

namespace {

using kv::Ref;

constexpr int MAX_RETRIES = 100;

struct PyMemAlloc {
  static void* allocate(std::size_t n) noexcept { return PyMem_Malloc(n); }
  static void release(void* p) noexcept { PyMem_Free(p); }
};
using Core = kv::rb::Tree<PyObject*, PyMemAlloc>;
using CoreNode = Core::NodeT;

// ---- module state -----------------------------------------------------------------------

// clang-format off
#define BLOCK_INDEX_NAMES(NAME, TEXT)                                                                      \
  NAME(total_blocks) NAME(total_insertions) NAME(total_deletions) NAME(total_searches)                     \
  NAME(operation_count) NAME(circuit_breaker_trips) NAME(node_count) NAME(height) NAME(sampled_operations) \
  NAME(is_valid) TEXT(sanitize_size, "_sanitize_size") NAME(size) NAME(increment) NAME(load) NAME(sleep)   \
  NAME(time) NAME(threading) NAME(Lock) NAME(AtomicCounter) NAME(ATOMIC_AVAILABLE) NAME(copy)              \
  NAME(_native_api) TEXT(lockless_ops, "korvane.memory.lockless_ops")
// clang-format on

using korvane::CounterNativeApi;

struct State {
  KV_NAMES(BLOCK_INDEX_NAMES)
  const Ref sleep_arg = kv::obj(0.0001);
  // The counted entries of a fresh `stats` dict, in their order.
  kv::DictShape counters{"total_blocks", "total_insertions", "total_deletions", "total_searches",
                         "bucket_hits",  "tree_hits",        "operation_count"};
  // Set by the module body: the AtomicCounter class it imported and that
  // class's native API, when it offers one.
  Ref counter_type;
  const CounterNativeApi* counter_api = nullptr;
};
State& S() noexcept { return kv::state<State>(); }

// ---- the instance ----------------------------------------------------------------------

struct BlockTree {
  Core tree;
  uint64_t seq_counter = 0;
  bool writing = false;      // inside a write bracket (or holding _write_lock)
  unsigned long writer = 0;  // the thread that is, while `writing`
  uint32_t sample_rate = 0;
  bool use_atomic = false;
  Ref write_lock, op_counter, sample_counter, stats_lock, stats;
  // The counted entries of `stats` live here; the dict keeps the key order,
  // the entries nobody counts and the ones reset_circuit_breaker adds.
  // get_stats merges them. A dict update per operation would cost more than
  // the tree work itself.
  struct Counts {
    int64_t total_blocks = 0, total_insertions = 0, total_deletions = 0, total_searches = 0, operation_count = 0;
  } counts;

  ~BlockTree() {
    // Nothing can reach a tree that is being destroyed, so blocks may run any
    // finaliser while they go.
    Core::free_subtree(tree.detach(), [](PyObject* b) { Ref::steal(b).reset(); });
  }
  int traverse(visitproc visit, void* arg) {
    Py_VISIT(write_lock.get());
    Py_VISIT(op_counter.get());
    Py_VISIT(sample_counter.get());
    Py_VISIT(stats_lock.get());
    Py_VISIT(stats.get());
    return 0;
  }
  void clear() {
    write_lock.reset_to(kv::none());
    op_counter.reset_to(kv::none());
    sample_counter.reset_to(kv::none());
    stats_lock.reset_to(kv::none());
    stats.reset_to(kv::none());
  }
};

bool is_exact(BlockTree& t) { return Py_TYPE(kv::self_of(t)) == kv::type_of<BlockTree>; }

Ref counters_dict() {
  Ref zero = kv::obj(int64_t{0});
  PyObject* z = zero.get();
  return S().counters.make({z, z, z, z, z, z, z});
}

// ---- the write bracket ------------------------------------------------------------------

[[noreturn]] void raise_reentry() {
  kv::raise(PyExc_RuntimeError, "FastRedBlackTree is already being modified by this thread");
}

// Holds `_write_lock` through its context protocol. A thread that already
// holds it gets a RuntimeError instead of waiting forever on itself.
//
// `gil_atomic` says that the work runs no Python code and never lets the
// interpreter lock go. Such work cannot interleave with anything, so when no
// writer is inside the bracket and the lock is a plain threading.Lock that
// only this tree uses, taking and giving back the lock changes nothing that
// any thread could observe, and is skipped. A writer that is inside (paused
// in `==`, say) always makes the others wait on the real lock.
class WriteLock {
 public:
  WriteLock(BlockTree& t, bool gil_atomic) : t_(t), guard_(lock_to_take(t, gil_atomic), kv::ExitWith::Exception) {
    t.writing = true;
    t.writer = PyThread_get_thread_ident();
  }
  ~WriteLock() { t_.writing = false; }  // the guard gives the lock back afterwards
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  static PyObject* lock_to_take(BlockTree& t, bool gil_atomic) {
    if (t.writing) {
      if (t.writer == PyThread_get_thread_ident()) raise_reentry();
    } else if (gil_atomic && kv::is_builtin_lock(t.write_lock.get())) {
      return nullptr;
    }
    return t.write_lock.get();
  }
  BlockTree& t_;
  kv::LockGuard guard_;  // holds nothing when the lock was not needed
};

// The write bracket: the lock, and `seq_counter` odd while the work runs.
// References that the work drops must live in objects declared before the
// bracket, so that they are released after the lock is given back.
class WriteBracket {
 public:
  WriteBracket(BlockTree& t, bool gil_atomic) : lock_(t, gil_atomic), t_(t) { t_.seq_counter += 1; }
  ~WriteBracket() noexcept(false) { t_.seq_counter += 1; }  // before the lock goes
  WriteBracket(const WriteBracket&) = delete;
  WriteBracket& operator=(const WriteBracket&) = delete;

 private:
  WriteLock lock_;
  BlockTree& t_;
};

// A detached subtree, freed (and its blocks released) when this goes.
struct DetachedTree {
  CoreNode* root = nullptr;
  ~DetachedTree() {
    Core::free_subtree(root, [](PyObject* b) { Ref::steal(b).reset(); });
  }
};

// ---- size validation -----------------------------------------------------------------------

enum class Miss { Raise, Report };

// The `_sanitize_size` of the exact class, without the call.
bool native_key(PyObject* size, uint64_t& key, Miss miss) {
  int64_t v = 0;
  if (kv::int64_of(size, v)) {
    if (v >= 0) {
      key = static_cast<uint64_t>(v);
      return true;
    }
  } else if (kv::int_sign(size) > 0) {  // beyond 2**63: the unsigned range decides
    key = kv::to_u64(size);
    return true;
  }
  if (miss == Miss::Report) return false;
  kv::raise_format(PyExc_ValueError, "Invalid size: %S", size);
}

// self._sanitize_size(size), then the unsigned 64-bit key. With Miss::Report a
// ValueError from the validation means "no such size" (false).
bool tree_key(BlockTree& t, kv::Int& size, uint64_t& key, Miss miss) {
  if (is_exact(t)) return native_key(size.value.get(), key, miss);
  PyObject* argv[2] = {kv::self_of(t), size.value.get()};
  Ref r = Ref::steal(PyObject_VectorcallMethod(S().sanitize_size, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!r) {
    if (miss == Miss::Raise) kv::throw_error();
    kv::clear_error_if(PyExc_ValueError);
    return false;
  }
  Ref checked = kv::int_result(std::move(r));
  key = kv::to_u64(checked.get());
  return true;
}

// ---- read loop helpers -------------------------------------------------------------------

void reader_sleep() {
  Ref time = kv::global(S().time);  // looked up at each call
  kv::call_method(time.get(), S().sleep, S().sleep_arg);
}

// ---- methods -----------------------------------------------------------------------------

void tree_init(BlockTree& t, uint32_t sample_rate) {
  Ref threading = kv::global(S().threading);
  t.write_lock = kv::call_method(threading.get(), S().Lock);
  t.seq_counter = 0;
  t.sample_rate = sample_rate;
  Ref available = kv::global(S().ATOMIC_AVAILABLE);
  Ref counter_cls = kv::global(S().AtomicCounter);
  if (kv::to_truth(available.get()) && kv::to_truth(counter_cls.get())) {
    Ref zero = kv::obj(int64_t{0});
    t.op_counter = kv::call(counter_cls.get(), zero);
    t.sample_counter = kv::call(counter_cls.get(), zero);
    t.use_atomic = true;
  } else {
    t.op_counter = kv::none();
    t.sample_counter = kv::none();
    t.use_atomic = false;
  }
  t.stats_lock = kv::call_method(threading.get(), S().Lock);
  t.stats = counters_dict();
}

Ref sanitize_size(kv::Int size) {
  PyObject* s = size.value.get();
  int sign = kv::int_sign(s);
  if (sign == 0) return kv::obj(int64_t{0});
  if (sign < 0) kv::raise_format(PyExc_ValueError, "Invalid size: %S", s);
  return std::move(size.value);
}

bool is_native_counter(PyObject* c) {
  const State& st = S();
  return st.counter_api && reinterpret_cast<PyObject*>(Py_TYPE(c)) == st.counter_type.get();
}

// counter.increment() on an AtomicCounter (natively for the exact class).
Ref counter_increment(PyObject* counter) {
  if (is_native_counter(counter)) return kv::obj(S().counter_api->increment(counter, 1));
  return kv::call_method(counter, S().increment);
}

bool is_sampled(PyObject* count, uint32_t rate) {
  int64_t c = 0;
  if (PyLong_CheckExact(count) && kv::int64_of(count, c)) return c % static_cast<int64_t>(rate) == 0;
  Ref r = kv::check(PyNumber_Remainder(count, kv::obj(rate).get()));
  Ref zero = kv::obj(int64_t{0});
  return kv::to_truth(kv::check(PyObject_RichCompare(r.get(), zero.get(), Py_EQ)).get());
}

bool tree_insert(BlockTree& t, kv::Int size, kv::Object block) {
  uint64_t key = 0;
  tree_key(t, size, key, Miss::Raise);
  // A refused re-entrant insert must not count either (it would shift sampling).
  if (t.writing && t.writer == PyThread_get_thread_ident()) raise_reentry();
  bool sample = false;
  if (t.use_atomic) {
    // Counted before the lock, so concurrent inserts never wait for this.
    PyObject* ops = t.op_counter.get();
    if (is_native_counter(ops)) {
      int64_t count = S().counter_api->increment(ops, 1);
      if (t.sample_rate != 0) sample = count % static_cast<int64_t>(t.sample_rate) == 0;
    } else {
      Ref count = kv::call_method(ops, S().increment);
      if (t.sample_rate != 0) sample = is_sampled(count.get(), t.sample_rate);
    }
  }
  bool sample_call = sample && t.use_atomic;
  WriteBracket bracket(t, !sample_call || is_native_counter(t.sample_counter.get()));
  Ref owned = Ref::borrow(block.value);
  if (!t.tree.insert(key, owned.get())) kv::raise(PyExc_MemoryError, "Failed to allocate RB node");
  (void)owned.release();  // the node holds it now
  t.counts.total_blocks += 1;
  t.counts.total_insertions += 1;
  t.counts.operation_count += 1;
  if (sample_call) counter_increment(t.sample_counter.get());
  return true;
}

Ref tree_find_best_fit(BlockTree& t, kv::Int size, kv::Int /*alignment*/) {
  uint64_t key = 0;
  if (!tree_key(t, size, key, Miss::Report)) return kv::none();
  for (int attempt = 0; attempt < MAX_RETRIES; ++attempt) {
    uint64_t start = t.seq_counter;
    if (start & 1u) {
      reader_sleep();
      continue;
    }
    CoreNode* n = t.tree.best_fit(key);
    if (t.seq_counter == start) {
      // The reference is ours before anything else can run.
      Ref found = Ref::borrow(n ? n->block : Py_None);
      t.counts.total_searches += 1;
      return found;
    }
  }
  return kv::none();
}

Ref tree_find_all_exact(BlockTree& t, kv::Int size) {
  uint64_t key = 0;
  if (!tree_key(t, size, key, Miss::Report)) return kv::new_list(0);
  for (int attempt = 0; attempt < MAX_RETRIES; ++attempt) {
    uint64_t start = t.seq_counter;
    if (start & 1u) {
      reader_sleep();
      continue;
    }
    CoreNode* n = t.tree.find(key);
    // The list may start a collection, and a finaliser may change the tree:
    // allocate first, validate, then fill without any further call.
    uint64_t count = Core::chain_length(n);
    Ref list = kv::new_list(static_cast<Py_ssize_t>(count));
    if (t.seq_counter != start) continue;
    Py_ssize_t i = 0;
    for (CoreNode* c = n; c; c = c->next) kv::set_item(list, i++, c->block);
    t.counts.total_searches += 1;
    return list;
  }
  return kv::new_list(0);
}

bool blocks_equal(PyObject* stored, PyObject* given) {
  Ref r = kv::check(PyObject_RichCompare(stored, given, Py_EQ));
  return kv::to_truth(r.get());
}

bool tree_delete(BlockTree& t, kv::Int size, kv::Object block) {
  uint64_t key = 0;
  if (!tree_key(t, size, key, Miss::Report)) return false;
  Ref keep_self = Ref::borrow(kv::self_of(t));  // `==` may run any code
  Ref dropped;                                  // released after the bracket
  {
    WriteBracket bracket(t, false);
    CoreNode* n = t.tree.find(key);
    if (!n) return false;
    // While `==` runs, other writers wait on the lock and this thread's own
    // writes are refused, so `n` and the chain stay as they are.
    if (blocks_equal(n->block, block.value)) {
      dropped = Ref::steal(t.tree.take_front(n));
    } else {
      for (CoreNode* prev = n; prev->next; prev = prev->next) {
        if (blocks_equal(prev->next->block, block.value)) {
          dropped = Ref::steal(t.tree.take_after(prev));
          break;
        }
      }
    }
    if (!dropped) return false;
    t.counts.total_blocks -= 1;
    t.counts.total_deletions += 1;
  }
  return true;
}

Ref tree_remove_ge(BlockTree& t, kv::Int size) {
  uint64_t key = 0;
  Ref block;
  uint64_t found = 0;
  if (tree_key(t, size, key, Miss::Report)) {
    WriteBracket bracket(t, true);
    if (CoreNode* n = t.tree.best_fit(key)) {
      found = n->size;
      block = Ref::steal(t.tree.take_front(n));  // the tree's reference goes to the caller
      t.counts.total_blocks -= 1;
      t.counts.total_deletions += 1;
    }
  }
  // The result is built outside the bracket: its allocation may run finalisers.
  if (!block) return kv::tuple_of({Py_None, Py_None});
  Ref size_obj = kv::obj(found);
  return kv::tuple_of({size_obj.get(), block.get()});
}

Ref tree_get_stats(BlockTree& t) {
  const State& st = S();
  Ref out = kv::check(PyDict_New());  // allocated before the lock is taken
  kv::LockGuard guard(t.stats_lock.get());
  if (PyDict_CheckExact(t.stats.get())) {
    kv::check_int(PyDict_Update(out.get(), t.stats.get()));
  } else {
    Ref copy = kv::call_method(t.stats.get(), st.copy);
    kv::check_int(PyDict_Update(out.get(), copy.get()));
  }
  const auto& c = t.counts;
  for (auto [key, value] :
       {std::pair{st.total_blocks, c.total_blocks}, std::pair{st.total_insertions, c.total_insertions},
        std::pair{st.total_deletions, c.total_deletions}, std::pair{st.total_searches, c.total_searches},
        std::pair{st.operation_count, c.operation_count}})
    kv::check_int(PyDict_SetItem(out.get(), key, kv::obj(value).get()));
  kv::check_int(PyDict_SetItem(out.get(), st.node_count, kv::obj(t.tree.count()).get()));
  kv::check_int(PyDict_SetItem(out.get(), st.height, kv::obj(Core::height(t.tree.root())).get()));
  Ref sampled;
  if (t.use_atomic) {
    PyObject* counter = t.sample_counter.get();
    if (is_native_counter(counter))
      sampled = kv::obj(st.counter_api->load(counter));
    else
      sampled = kv::call_method(counter, st.load);
  } else {
    PyObject* v = nullptr;
    if (PyDict_CheckExact(t.stats.get())) kv::check_int(PyDict_GetItemRef(t.stats.get(), st.sampled_operations, &v));
    sampled = v ? Ref::steal(v) : kv::obj(int64_t{0});
  }
  kv::check_int(PyDict_SetItem(out.get(), st.sampled_operations, sampled.get()));
  kv::check_int(PyDict_SetItem(out.get(), st.is_valid, Py_True));
  return out;
}

uint64_t tree_size(BlockTree& t) { return t.tree.count(); }

void tree_clear(BlockTree& t) {
  DetachedTree old_nodes;             // freed after the bracket
  Ref old_stats, old_op, old_sample;  // likewise
  Ref fresh = counters_dict();        // allocated before the bracket
  WriteBracket bracket(t, false);
  old_nodes.root = t.tree.detach();
  old_stats = std::exchange(t.stats, std::move(fresh));
  t.counts = {};
  if (t.use_atomic) {
    Ref cls = kv::global(S().AtomicCounter);
    Ref zero = kv::obj(int64_t{0});
    Ref op = kv::call(cls.get(), zero);
    old_op = std::exchange(t.op_counter, std::move(op));
    Ref sample = kv::call(cls.get(), zero);
    old_sample = std::exchange(t.sample_counter, std::move(sample));
  }
}

Ref tree_get_size_distribution(BlockTree& t) {
  std::vector<std::pair<uint64_t, uint64_t>> items;
  {
    WriteLock lock(t, true);  // the lock alone: readers need not retry
    items.reserve(64);
    Core::preorder(t.tree.root(), [&](const CoreNode* n) {
      items.emplace_back(n->size, Core::chain_length(n));
      return true;
    });
  }
  // Built after the lock is given back: the allocations may run finalisers.
  Ref d = kv::check(PyDict_New());
  for (const auto& [size, count] : items)
    kv::check_int(PyDict_SetItem(d.get(), kv::obj(size).get(), kv::obj(count).get()));
  return d;
}

void tree_reset_circuit_breaker(BlockTree& t) {
  kv::LockGuard guard(t.stats_lock.get());
  Ref zero = kv::obj(int64_t{0});
  kv::check_int(PyObject_SetItem(t.stats.get(), S().circuit_breaker_trips, zero.get()));
  kv::check_int(PyObject_SetItem(t.stats.get(), S().operation_count, zero.get()));
  t.counts.operation_count = 0;
}

Ref tree_get_statistics(BlockTree&) { return kv::check(PyDict_New()); }

// ---- slots -----------------------------------------------------------------------------------

// len() and bool() go through `self.size()`, so a subclass's override counts.
Ref size_via_method(PyObject* self) { return kv::call_method(self, S().size); }

Py_ssize_t tree_len(PyObject* self) {
  if (Py_TYPE(self) == kv::type_of<BlockTree>) {
    uint64_t n = kv::payload<BlockTree>(self).tree.count();
    return static_cast<Py_ssize_t>(n);  // a count of allocated nodes fits
  }
  Ref r = size_via_method(self);
  Py_ssize_t n = PyNumber_AsSsize_t(r.get(), PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) kv::throw_error();
  // len() takes a negative result for an error already set.
  if (n < 0) kv::raise(PyExc_ValueError, "__len__() should return >= 0");
  return n;
}

bool tree_bool(PyObject* self) {
  if (Py_TYPE(self) == kv::type_of<BlockTree>) return kv::payload<BlockTree>(self).tree.count() > 0;
  Ref r = size_via_method(self);
  Ref zero = kv::obj(int64_t{0});
  return kv::to_truth(kv::check(PyObject_RichCompare(r.get(), zero.get(), Py_GT)).get());
}

Ref tree_repr(PyObject* self) {
  return kv::check(PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                        static_cast<unsigned long long>(kv::payload<BlockTree>(self).tree.count())));
}

// Debug hook for tests: "" when the red-black invariants hold.
Ref check_invariants(kv::Object tree) {
  if (!PyObject_TypeCheck(tree.value, kv::type_of<BlockTree>))
    kv::raise_format(PyExc_TypeError, "expected FastRedBlackTree, got %.200s", Py_TYPE(tree.value)->tp_name);
  return kv::obj(kv::payload<BlockTree>(tree.value).tree.check());
}

// ---- the module ------------------------------------------------------------------------------

const char* const kTreeDoc =
    "Red-black tree of free memory blocks keyed by size, with lock-free readers.\n"
    "\n"
    "Nodes are native records (one allocation per stored block), not Python objects.\n"
    "Readers take no lock: they read a sequence counter, search, and retry when the\n"
    "counter shows a write in progress or a completed one. Writers hold a single-writer\n"
    "mutex and make the counter odd while they change the tree. Blocks of the same size\n"
    "share one tree node through an intrusive list.\n"
    "\n"
    "Insert, delete and best-fit search are O(log n) in the number of distinct sizes;\n"
    "adding or removing among blocks of one size is O(1).";

void make_types(PyObject* m) {
  kv::Class<BlockTree> c("korvane.memory.block_index.FastRedBlackTree", kTreeDoc);
  c.ctor<&tree_init>("__cinit__(self, sample_rate=100)");
  c.len<&tree_len>();
  c.boolean<&tree_bool>();
  c.repr<&tree_repr>();
  c.create(m);
  c.static_method<&sanitize_size>("_sanitize_size(size: int) -> int", "Validate size.");
  c.method<&tree_insert>("insert(self, size: int, block: MemoryBlock) -> bool",
                         "Insert a block under its size (O(log n); O(1) when the size is present).");
  c.method<&tree_find_best_fit>("find_best_fit(self, size: int, alignment: int = 1) -> Optional[MemoryBlock]",
                                "Lock-free best-fit lookup: a block of the smallest stored size >= size, or None.");
  c.method<&tree_find_all_exact>("find_all_exact(self, size: int) -> List[MemoryBlock]",
                                 "Lock-free lookup of every block stored under exactly this size.");
  c.method<&tree_delete>("delete(self, size: int, block: MemoryBlock) -> bool",
                         "Delete a specific block (compared with ==); True if one was removed.");
  c.method<&tree_remove_ge>("remove_ge(self, size: int) -> Tuple[Optional[int], Optional[MemoryBlock]]",
                            "Remove and return the best fit as (size, block), or (None, None).");
  c.method<&tree_get_stats>("get_stats(self) -> Dict[str, Any]", "Get tree statistics.");
  c.method<&tree_size>("size(self) -> int", "Get total block count.");
  c.method<&tree_clear>("clear(self) -> None", "Clear all blocks.");
  c.method<&tree_get_size_distribution>("get_size_distribution(self) -> Dict[int, int]", "Get size distribution.");
  c.method<&tree_reset_circuit_breaker>("reset_circuit_breaker(self) -> None", "Reset circuit breaker stats.");
  c.method<&tree_get_statistics>("get_statistics(self) -> Dict[int, List[float]]",
                                 "Get timing statistics (empty for sampling mode).");
}

void body(kv::Body& b) {
  b.import("threading");
  b.import("time");
  b.import("math");
  b.from_import("typing", {"List", "Optional", "Tuple", "Dict", "Any"});
  b.from_import("korvane.memory.block_record", {"MemoryBlock"});

  // AtomicCounter is optional: without it trees count nothing.
  // A module without the name counts as an ImportError, as `from ... import` has it.
  Ref lockless = kv::import_opt(S().lockless_ops);
  Ref counter_cls = lockless ? kv::getattr_opt(lockless.get(), S().AtomicCounter) : Ref();
  if (!counter_cls) {
    b.set("ATOMIC_AVAILABLE", kv::py_bool(false));
    b.set("AtomicCounter", kv::none());
  } else {
    b.set("AtomicCounter", counter_cls);
    b.set("ATOMIC_AVAILABLE", kv::py_bool(true));
    // The native API is a shortcut: a class that fails to offer a valid one,
    // for whatever reason, is called through Python.
    Ref cap = Ref::steal(PyObject_GetAttr(counter_cls.get(), S()._native_api));
    if (!cap) PyErr_Clear();
    if (cap && PyCapsule_IsValid(cap.get(), korvane::kCounterApiCapsule)) {
      S().counter_api =
          static_cast<const CounterNativeApi*>(PyCapsule_GetPointer(cap.get(), korvane::kCounterApiCapsule));
      S().counter_type = counter_cls;
    }
  }

  b.def<&check_invariants>("_check_invariants(tree)", "Debug hook: '' when the red-black invariants hold.");
}

}  // namespace

KV_MODULE(block_index, State,
          (kv::ModuleInfo{"block_index", "korvane.memory.block_index",
                          "Free memory blocks indexed by size: a native red-black tree with "
                          "lock-free readers.",
                          &make_types, &body}))
