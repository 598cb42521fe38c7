// Native classes: type creation, pickling refusal, bounded deallocation.
#include "native_class.hpp"

#include <cstring>

namespace kv {

ClassBuilder::ClassBuilder(const char* qualified_name, const char* doc, Py_ssize_t basicsize, unsigned flags)
    : qualified_name_(qualified_name), doc_(doc), basicsize_(basicsize), flags_(flags) {
  const char* dot = std::strrchr(qualified_name, '.');
  short_name_ = dot ? dot + 1 : qualified_name;
}

void ClassBuilder::getset(const char* name, getter g, setter s, const char* doc) {
  getsets_.push_back({name, g, s, doc, const_cast<char*>(name)});
}

PyTypeObject* ClassBuilder::create() {
  std::vector<PyType_Slot> slots = slots_;
  if (doc_) slots.push_back({Py_tp_doc, const_cast<char*>(doc_)});
  if (!getsets_.empty()) {
    // The type keeps a pointer to its getset table for its whole life.
    auto* table = new PyGetSetDef[getsets_.size() + 1];
    for (std::size_t i = 0; i < getsets_.size(); ++i) table[i] = getsets_[i];
    table[getsets_.size()] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    slots.push_back({Py_tp_getset, table});
  }
  slots.push_back({0, nullptr});
  PyType_Spec spec = {qualified_name_, static_cast<int>(basicsize_), 0,
                      static_cast<unsigned>(flags_ | Py_TPFLAGS_IMMUTABLETYPE), slots.data()};
  return reinterpret_cast<PyTypeObject*>(type_from_spec(&spec).release());
}

void type_set(PyTypeObject* type, const char* name, PyObject* value) {
  check_int(PyDict_SetItemString(type->tp_dict, name, value));
  PyType_Modified(type);
}

Ref type_get(PyTypeObject* type, const char* name) {
  PyObject* v = nullptr;
  if (check_int(PyDict_GetItemStringRef(type->tp_dict, name, &v)) == 0)
    raise_format(PyExc_AttributeError, "type object '%s' has no attribute '%s'", type->tp_name, name);
  return Ref::steal(v);
}

static PyObject* refuse_pickle_impl(FunctionObject*, PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

void refuse_pickling(PyTypeObject* type) {
  const char* cls = std::strrchr(type->tp_name, '.');
  cls = cls ? cls + 1 : type->tp_name;
  Ref reduce = make_function(&refuse_pickle_impl, Kind::Method, type, "__reduce_cython__(self)", nullptr, cls);
  Ref setstate =
      make_function(&refuse_pickle_impl, Kind::Method, type, "__setstate_cython__(self, __pyx_state)", nullptr, cls);
  type_set(type, "__reduce_cython__", reduce.get());
  type_set(type, "__setstate_cython__", setstate.get());
  type_set(type, "__reduce__", reduce.get());
  type_set(type, "__setstate__", setstate.get());
}

PyTypeObject* finish_class(ClassBuilder& b, PyObject* module) {
  PyTypeObject* type = b.create();
  Ref keep = Ref::steal(reinterpret_cast<PyObject*>(type));
  refuse_pickling(type);
  check_int(PyModule_AddObjectRef(module, b.short_name(), keep.get()));
  return type;  // the module (and our static) keep it alive
}

// ---- bounded deallocation ------------------------------------------------------------

namespace {
constexpr int kDeallocDepth = 50;  // nested native deallocations before objects wait

struct DeallocState {
  int depth = 0;
  std::vector<std::pair<PyObject*, void (*)(PyObject*) noexcept>> waiting;
};
thread_local DeallocState t_dealloc;
}  // namespace

void dealloc_bounded(PyObject* o, void (*destroy)(PyObject*) noexcept) noexcept {
  DeallocState& st = t_dealloc;
  if (st.depth >= kDeallocDepth) {
    try {
      st.waiting.emplace_back(o, destroy);
      return;
    } catch (const std::bad_alloc&) {
      // No room to wait: free it now, one level deeper.
    }
  }
  ++st.depth;
  destroy(o);
  if (st.depth == 1) {
    // The outermost deallocation frees what waited; those may queue more.
    while (!st.waiting.empty()) {
      auto [next, fn] = st.waiting.back();
      st.waiting.pop_back();
      fn(next);
    }
  }
  --st.depth;
}

}  // namespace kv
