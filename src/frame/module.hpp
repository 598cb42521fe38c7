// A module: its state, its body run in source order, and the import sequence.
//
//   #define NAMES(NAME, TEXT) NAME(increment) TEXT(mode, "lock-free C11 atomics")
//   struct State {
//     KV_NAMES(NAMES)                       // PyObject* const increment, mode
//     kv::DictShape stats{"count", "mean"};
//   };
//   KV_MODULE(lockless_ops, State, (kv::ModuleInfo{"lockless_ops", "korvane.memory.lockless_ops",
//                                                  "doc", &make_types, &body}))
//
// The state is built once at import, before the native classes and the body,
// and lives as long as the interpreter; module code reaches it through
// kv::state<State>().
#pragma once

#include <initializer_list>

#include "call.hpp"
#include "function.hpp"

namespace kv {

// The module being built or run (one per extension, one interpreter).
PyObject* this_module();
// A module global looked up at call time (so tests can substitute it), then
// a builtin; NameError when neither exists.
Ref global(PyObject* interned_name);

template <class S>
inline S* module_state = nullptr;
template <class S>
inline S& state() noexcept {
  return *module_state<S>;
}
template <class S>
void build_state() {
  if (!module_state<S>) module_state<S> = new S();
}

// The fields of a state struct for interned names, each name written once:
// NAME(id) is the str "id", TEXT(id, "text") any other text.
#define KV_NAME_FIELD(id) PyObject* const id = ::kv::intern(#id);
#define KV_TEXT_FIELD(id, text) PyObject* const id = ::kv::intern(text);
#define KV_NAMES(LIST) LIST(KV_NAME_FIELD, KV_TEXT_FIELD)

// Helpers for module bodies, run in source order.
class Body {
 public:
  explicit Body(PyObject* m) : m_(m) {}
  PyObject* module() const { return m_; }
  void set(const char* name, Ref value);
  Ref import(const char* name);  // import name (binds the top name)
  void from_import(const char* module, std::initializer_list<const char*> names);
  template <auto Fn>
  PyObject* def(const char* signature, const char* doc = nullptr) {
    Ref f = make_plain_function<Fn>(signature, doc, "");
    check_int(PyObject_SetAttr(m_, function_name(f), f.get()));
    return f.get();  // borrowed: the module holds it
  }
  // The module logger (`logger = logging.getLogger(__name__)`), bound as `logger`.
  PyObject* logger();
  void log_info(const char* msg);

 private:
  PyObject* m_;
  Ref logger_;
};

// A plain Python class built with type(name, (object,), namespace).
class PlainClass {
 public:
  PlainClass(Body& body, const char* name, const char* doc);
  template <auto Fn>
  void def(const char* signature, const char* doc = nullptr) {
    Ref f = make_plain_function<Fn>(signature, doc, name_);
    check_int(PyDict_SetItem(ns_.get(), function_name(f), f.get()));
  }
  void set(const char* name, Ref value);
  Ref create();  // builds the class and binds it in the module

 private:
  Body& body_;
  const char* name_;
  Ref ns_;
};

struct ModuleInfo {
  const char* short_name;
  const char* qualified_name;
  const char* doc;
  void (*make_types)(PyObject* module);  // native classes, before the body
  void (*body)(Body& body);              // the module body, in source order
  void (*make_state)() = nullptr;        // set by KV_MODULE
};

PyObject* module_create(PyObject* spec, PyModuleDef* def, const ModuleInfo& info) noexcept;
int module_exec(PyObject* module, const ModuleInfo& info) noexcept;

}  // namespace kv

// Declares PyInit_<name> for a module with state type `State` (`void` for
// none), described by a kv::ModuleInfo.
#define KV_MODULE(shortname, State, info_expr)                                                              \
  static const ::kv::ModuleInfo& kv_module_info() {                                                         \
    static const ::kv::ModuleInfo i = [] {                                                                  \
      ::kv::ModuleInfo m = info_expr;                                                                       \
      m.make_state = ::kv::state_builder<State>();                                                          \
      return m;                                                                                             \
    }();                                                                                                    \
    return i;                                                                                               \
  }                                                                                                         \
  static PyModuleDef kv_module_def;                                                                         \
  static PyObject* kv_module_create(PyObject* spec, PyModuleDef* def) {                                     \
    return ::kv::module_create(spec, def, kv_module_info());                                                \
  }                                                                                                         \
  static int kv_module_exec(PyObject* m) { return ::kv::module_exec(m, kv_module_info()); }                 \
  static PyModuleDef_Slot kv_module_slots[] = {{Py_mod_create, reinterpret_cast<void*>(&kv_module_create)}, \
                                               {Py_mod_exec, reinterpret_cast<void*>(&kv_module_exec)},     \
                                               {0, nullptr}};                                               \
  PyMODINIT_FUNC PyInit_##shortname() {                                                                     \
    kv_module_def = PyModuleDef{PyModuleDef_HEAD_INIT,                                                      \
                                kv_module_info().qualified_name,                                            \
                                kv_module_info().doc,                                                       \
                                0,                                                                          \
                                nullptr,                                                                    \
                                kv_module_slots,                                                            \
                                nullptr,                                                                    \
                                nullptr,                                                                    \
                                nullptr};                                                                   \
    return PyModuleDef_Init(&kv_module_def);                                                                \
  }

namespace kv {
template <class S>
constexpr void (*state_builder())() {
  if constexpr (std::is_void_v<S>)
    return nullptr;
  else
    return &build_state<S>;
}
}  // namespace kv
