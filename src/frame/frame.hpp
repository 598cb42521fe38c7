// The module frame: one declared signature per function, function objects that
// carry their Python-visible metadata, native classes, and the import sequence.
//
//   static int64_t increment(Counter& self, int64_t delta) { ... }
//   cls.method<&increment>("increment(self, delta=1) -> int", "Atomically ...");
//
// The signature text reads like Python: parameter names, literal defaults and
// optional annotations. Defaults feed `__defaults__` and the missing-argument
// path; annotations feed `__annotations__`. The C++ parameter types pick the
// converters (int64_t, uint32_t, double, bool, PyObject*, kv::Int, kv::OptStr,
// ...). Errors are C++ exceptions (kv::Error with a Python error set) caught
// once at the entry point.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "ref.hpp"

namespace kv {

// ---- signatures ------------------------------------------------------------

struct Signature {
  const char* name = "";           // for messages ("__cinit__" for constructors)
  PyObject* name_owner = nullptr;  // keeps `name` valid when __name__ is reassigned
  Py_ssize_t nparams = 0;  // positional-or-keyword parameters (self excluded for methods)
  Py_ssize_t nrequired = 0;
  std::vector<PyObject*> names;     // interned, owned
  std::vector<PyObject*> defaults;  // owned or null where required
  std::vector<const char*> cnames;  // UTF-8 names for conversion messages
};

// Parses "name(self, a, b: int = 1) -> int" into `sig`. `drop_self` removes a
// leading `self` from the counted parameters (methods of native classes).
// Returns the annotations dict (possibly empty) and fills `text_signature`.
struct ParsedSignature {
  Signature* sig;
  Ref annotations;
  Ref defaults_tuple;
  Ref name;
  Ref text_signature;
};
ParsedSignature parse_signature(const char* text, bool drop_self);

// Fills out[0..nparams) with borrowed arguments (null where a default applies),
// raising the standard count and keyword errors.
void bind_args(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// The same for a tuple and a keyword dict (constructors).
void bind_args_dict(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out);
// Rejects any keyword (functions that take no arguments besides self).
void reject_keywords(const char* fname, PyObject* kwnames);
[[noreturn]] void raise_count(const char* fname, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given);

// ---- function objects ------------------------------------------------------

struct FunctionObject;
using Impl = PyObject* (*)(FunctionObject*, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

enum class Kind { Function, Method };

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;
  Kind kind;
  PyTypeObject* owner;  // methods: the class `self` must be an instance of
  Signature* sig;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;
  PyObject* annotations;
  PyObject* text_signature;
  PyObject* dict;
};

extern PyTypeObject* function_type;

PyObject* translate_exception() noexcept;

// ---- templates that turn a C++ function into an entry point ---------------

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Ret = R;
  using Args = std::tuple<A...>;
  static constexpr std::size_t arity = sizeof...(A);
};

template <class T>
using bare = std::remove_cvref_t<T>;

template <class A>
inline bare<A> convert_arg(PyObject* given, const Signature& s, std::size_t i) {
  PyObject* o = given ? given : s.defaults[i];
  return Conv<bare<A>>::from(o, s.cnames[i]);
}

template <class R, class Call>
inline PyObject* invoke_and_box(Call&& call) {
  if constexpr (std::is_void_v<R>) {
    call();
    Py_RETURN_NONE;
  } else {
    return to_py(call());
  }
}

// Module functions and methods of plain Python classes: every C++ parameter
// comes from the signature.
template <auto Fn>
PyObject* function_impl(FunctionObject* f, PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  using Tr = FnTraits<decltype(Fn)>;
  constexpr std::size_t N = Tr::arity;
  try {
    const Signature& s = *f->sig;
    if constexpr (N == 0) {
      if (nargs != 0) raise_count(s.name, 0, 0, nargs);
      if (kwnames && PyTuple_GET_SIZE(kwnames)) reject_keywords(s.name, kwnames);
      return invoke_and_box<typename Tr::Ret>([] { return Fn(); });
    } else {
      PyObject* vals[N];
      if (!kwnames && nargs >= s.nrequired && nargs <= static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) vals[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
      } else {
        bind_args(s, args, nargs, kwnames, vals);
      }
      return [&]<std::size_t... I>(std::index_sequence<I...>) {
        // Braced initialisation converts left to right, as the messages expect.
        typename Tr::Args conv{convert_arg<std::tuple_element_t<I, typename Tr::Args>>(vals[I], s, I)...};
        return invoke_and_box<typename Tr::Ret>([&] { return Fn(std::get<I>(conv)...); });
      }(std::make_index_sequence<N>{});
    }
  } catch (...) {
    return translate_exception();
  }
}

// ---- native classes --------------------------------------------------------

// A native instance: the interpreter's header followed by the C++ payload T,
// which is constructed after allocation and destroyed before the memory goes.
template <class T>
struct Instance {
  PyObject_HEAD
  alignas(T) unsigned char storage[sizeof(T)];
  T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
};

template <class T>
inline PyTypeObject* type_of = nullptr;

template <class T>
inline T& payload(PyObject* o) noexcept {
  return reinterpret_cast<Instance<T>*>(o)->value();
}
// The Python object that holds a payload (for calls that must go through
// Python-level lookup, so subclass overrides are honoured).
template <class T>
inline PyObject* self_of(T& v) noexcept {
  return reinterpret_cast<PyObject*>(reinterpret_cast<char*>(&v) - offsetof(Instance<T>, storage));
}

// Methods of native classes: the first C++ parameter is `T&` (the payload of
// `self`); the rest come from the signature, which excludes `self`.
template <auto Fn>
PyObject* method_impl(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  using Tr = FnTraits<decltype(Fn)>;
  using SelfT = bare<std::tuple_element_t<0, typename Tr::Args>>;
  constexpr std::size_t N = Tr::arity - 1;
  try {
    const Signature& s = *f->sig;
    SelfT& me = payload<SelfT>(self);
    if constexpr (N == 0) {
      if (nargs != 0) raise_count(s.name, 0, 0, nargs);
      if (kwnames && PyTuple_GET_SIZE(kwnames)) reject_keywords(s.name, kwnames);
      return invoke_and_box<typename Tr::Ret>([&] { return Fn(me); });
    } else {
      PyObject* vals[N];
      if (!kwnames && nargs >= s.nrequired && nargs <= static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) vals[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
      } else {
        bind_args(s, args, nargs, kwnames, vals);
      }
      return [&]<std::size_t... I>(std::index_sequence<I...>) {
        using Rest = std::tuple<bare<std::tuple_element_t<I + 1, typename Tr::Args>>...>;
        Rest conv{convert_arg<std::tuple_element_t<I + 1, typename Tr::Args>>(vals[I], s, I)...};
        return invoke_and_box<typename Tr::Ret>([&] { return Fn(me, std::get<I>(conv)...); });
      }(std::make_index_sequence<N>{});
    }
  } catch (...) {
    return translate_exception();
  }
}

// Creates a function object. `kind` Method binds the owner type for the
// `self` check; qualname_prefix is the class name for methods ("" otherwise).
Ref make_function(Impl impl, Kind kind, PyTypeObject* owner, const char* signature, const char* doc,
                  const char* qualname_prefix);

template <class T>
struct CtorSig {
  static inline Signature* sig = nullptr;
};

template <class T>
PyObject* alloc_instance(PyTypeObject* type) {
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  try {
    new (reinterpret_cast<Instance<T>*>(o)->storage) T;
  } catch (...) {
    // The payload never came to life: free the raw object without the destructor.
    Py_SET_TYPE(o, type);
    type->tp_free(o);
    Py_DECREF(type);
    return translate_exception();
  }
  return o;
}

template <class T>
PyObject* plain_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return alloc_instance<T>(type);
}

template <class T, auto Fn>
PyObject* ctor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  using Tr = FnTraits<decltype(Fn)>;
  constexpr std::size_t N = Tr::arity - 1;
  Ref self = Ref::steal(alloc_instance<T>(type));
  if (!self) return nullptr;
  try {
    const Signature& s = *CtorSig<T>::sig;
    PyObject* vals[N > 0 ? N : 1];
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if ((!kwargs || PyDict_GET_SIZE(kwargs) == 0) && nargs >= s.nrequired && nargs <= static_cast<Py_ssize_t>(N)) {
      for (std::size_t i = 0; i < N; ++i)
        vals[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    } else {
      bind_args_dict(s, args, kwargs, vals);
    }
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      using Rest = std::tuple<bare<std::tuple_element_t<I + 1, typename Tr::Args>>...>;
      Rest conv{convert_arg<std::tuple_element_t<I + 1, typename Tr::Args>>(vals[I], s, I)...};
      Fn(payload<T>(self.get()), std::get<I>(conv)...);
    }(std::make_index_sequence<N>{});
  } catch (...) {
    return translate_exception();
  }
  return self.release();
}

// Constructors that accept and ignore any arguments: Fn(T&).
template <class T, auto Fn>
PyObject* ctor_any_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  Ref self = Ref::steal(alloc_instance<T>(type));
  if (!self) return nullptr;
  try {
    Fn(payload<T>(self.get()));
  } catch (...) {
    return translate_exception();
  }
  return self.release();
}

template <class T>
concept Traversable = requires(T& t, visitproc v, void* a) {
  { t.traverse(v, a) } -> std::same_as<int>;
  t.clear();
};

template <class T>
void instance_destroy(PyObject* o) noexcept {
  PyTypeObject* tp = Py_TYPE(o);
  payload<T>(o).~T();
  tp->tp_free(o);
  Py_DECREF(tp);
}

// Destroys `o` with `destroy`, unless this thread is already deep inside
// nested deallocations: then `o` waits and the outermost deallocation frees
// it, so a chain of any length never exhausts the C stack.
void dealloc_bounded(PyObject* o, void (*destroy)(PyObject*) noexcept) noexcept;

template <class T>
void instance_dealloc(PyObject* o) noexcept {
  if constexpr (Traversable<T>) {
    PyObject_GC_UnTrack(o);
    dealloc_bounded(o, &instance_destroy<T>);
  } else {
    instance_destroy<T>(o);
  }
}

template <class T>
int instance_traverse(PyObject* o, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(o));
  return payload<T>(o).traverse(visit, arg);
}
template <class T>
int instance_clear(PyObject* o) noexcept {
  payload<T>(o).clear();
  return 0;
}

// Getters and setters: `R get(T&)`, `void set(T&, V)`. Deleting an attribute
// with a setter raises NotImplementedError "__del__" unless the setter takes
// kv::Object and handles a null value itself.
template <auto Get>
PyObject* getter_impl(PyObject* self, void*) noexcept {
  using Tr = FnTraits<decltype(Get)>;
  using SelfT = bare<std::tuple_element_t<0, typename Tr::Args>>;
  try {
    return to_py(Get(payload<SelfT>(self)));
  } catch (...) {
    return translate_exception();
  }
}
template <auto Set>
int setter_impl(PyObject* self, PyObject* value, void* closure) noexcept {
  using Tr = FnTraits<decltype(Set)>;
  using SelfT = bare<std::tuple_element_t<0, typename Tr::Args>>;
  using V = bare<std::tuple_element_t<1, typename Tr::Args>>;
  try {
    if (!value && !std::is_same_v<V, Object>) raise(PyExc_NotImplementedError, "__del__");
    if constexpr (std::is_same_v<V, Object>) {
      Set(payload<SelfT>(self), Object{value});
    } else {
      Set(payload<SelfT>(self), Conv<V>::from(value, static_cast<const char*>(closure)));
    }
    return 0;
  } catch (...) {
    translate_exception();
    return -1;
  }
}

// Builds one native class. Methods are added after the type exists, as
// function objects in the class dict, so they carry defaults, annotations and
// docstrings like Python-level functions.
class ClassBuilder {
 public:
  ClassBuilder(const char* qualified_name, const char* doc, Py_ssize_t basicsize, unsigned flags);
  void slot(int id, void* fn) { slots_.push_back({id, fn}); }
  void getset(const char* name, getter g, setter s, const char* doc);
  PyTypeObject* create();  // makes the type ready; returns a new reference
  const char* short_name() const { return short_name_; }

 private:
  const char* qualified_name_;
  const char* short_name_;
  const char* doc_;
  Py_ssize_t basicsize_;
  unsigned flags_;
  std::vector<PyType_Slot> slots_;
  std::vector<PyGetSetDef> getsets_;
};

// Adds a function object (or any value) to a type's dict.
void type_set(PyTypeObject* type, const char* name, PyObject* value);
Ref type_get(PyTypeObject* type, const char* name);  // throws AttributeError if missing
// `__reduce_cython__`/`__setstate_cython__` (and `__reduce__`/`__setstate__`) refuse pickling.
void refuse_pickling(PyTypeObject* type);

template <class T>
class Class {
 public:
  Class(const char* qualified_name, const char* doc)
      : b_(qualified_name, doc, sizeof(Instance<T>),
           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (Traversable<T> ? Py_TPFLAGS_HAVE_GC : 0u)) {
    b_.slot(Py_tp_new, reinterpret_cast<void*>(&plain_new<T>));
    b_.slot(Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<T>));
    if constexpr (Traversable<T>) {
      b_.slot(Py_tp_traverse, reinterpret_cast<void*>(&instance_traverse<T>));
      b_.slot(Py_tp_clear, reinterpret_cast<void*>(&instance_clear<T>));
    }
  }

  // Constructor arguments ("__cinit__(self, initial_value=0)"): Fn(T&, args...).
  template <auto Fn>
  Class& ctor(const char* signature) {
    auto p = parse_signature(signature, true);
    p.sig->name = "__cinit__";
    CtorSig<T>::sig = p.sig;
    b_.slot(Py_tp_new, reinterpret_cast<void*>(&ctor_new<T, Fn>));
    return *this;
  }
  // Constructor that ignores its arguments: Fn(T&).
  template <auto Fn>
  Class& ctor_any() {
    b_.slot(Py_tp_new, reinterpret_cast<void*>(&ctor_any_new<T, Fn>));
    return *this;
  }
  template <auto Get, auto Set = nullptr>
  Class& property(const char* name, const char* doc = nullptr) {
    if constexpr (Set == nullptr)
      b_.getset(name, &getter_impl<Get>, nullptr, doc);
    else
      b_.getset(name, &getter_impl<Get>, &setter_impl<Set>, doc);
    return *this;
  }
  void slot(int id, void* fn) { b_.slot(id, fn); }

  // Makes the type ready and binds it as a module attribute.
  PyTypeObject* create(PyObject* module);

  template <auto Fn>
  PyObject* method(const char* signature, const char* doc = nullptr) {
    Ref f = make_function(&method_impl<Fn>, Kind::Method, type_, signature, doc, b_.short_name());
    PyObject* name = reinterpret_cast<FunctionObject*>(f.get())->name;
    check_int(PyDict_SetItem(type_->tp_dict, name, f.get()));
    PyType_Modified(type_);
    return f.get();  // borrowed: the class dict holds it
  }
  // Binds the function under another key than its __name__.
  template <auto Fn>
  PyObject* method_as(const char* key, const char* signature, const char* doc = nullptr) {
    Ref f = make_function(&method_impl<Fn>, Kind::Method, type_, signature, doc, b_.short_name());
    type_set(type_, key, f.get());
    return f.get();
  }
  // Binds another name to the very same function object.
  void alias(const char* alias_name, const char* existing) { type_set(type_, alias_name, type_get(type_, existing).get()); }
  PyTypeObject* type() const { return type_; }

 private:
  ClassBuilder b_;
  PyTypeObject* type_ = nullptr;
};

PyTypeObject* finish_class(ClassBuilder& b, PyObject* module);

template <class T>
PyTypeObject* Class<T>::create(PyObject* module) {
  type_ = finish_class(b_, module);
  type_of<T> = type_;
  return type_;
}

// ---- calling Python ----------------------------------------------------------

// Interned strings that live until the interpreter ends.
PyObject* intern(const char* s);

template <class A>
inline PyObject* arg_ptr(const A& a) {
  if constexpr (std::is_same_v<A, Ref>)
    return a.get();
  else
    return a;
}

template <class... A>
inline Ref call(PyObject* callable, const A&... args) {
  PyObject* argv[sizeof...(A) + 1] = {nullptr, arg_ptr(args)...};
  return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// obj.name(args...) where `name` is an interned str.
template <class... A>
inline Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
  PyObject* argv[sizeof...(A) + 1] = {obj, arg_ptr(args)...};
  return check(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
// getattr(obj, name, None) without the None: a null Ref when the attribute is
// missing (AttributeError only; any other error is thrown).
Ref getattr_opt(PyObject* obj, PyObject* name);
// `import name` that yields a null Ref on ImportError (any other error is thrown).
Ref import_opt(PyObject* name);
// A new tuple of the given objects (each gets a reference of the tuple's own).
Ref tuple_of(std::initializer_list<PyObject*> items);

// The interpreter's own lock type (what threading.Lock() makes) and its
// __enter__ and __exit__, looked up once on the type, as the with statement
// does; resolved at import, before any module code runs.
struct BuiltinLock {
  PyTypeObject* type = nullptr;
  PyObject* enter = nullptr;
  PyObject* exit = nullptr;
};
extern BuiltinLock builtin_lock;

// Whether `o` is the interpreter's own lock.
inline bool is_builtin_lock(PyObject* o) { return Py_TYPE(o) == builtin_lock.type; }

// What a lock's __exit__ is given when the block raises: three Nones, or, as
// the with statement gives, the exception's type, value and traceback. (A
// true result of __exit__ never swallows the error.)
enum class ExitWith { Nones, Exception };

// A `with lock:` block: __enter__ now, __exit__ on every exit (three Nones on
// a normal exit). As in the with statement, both methods are found before the
// lock is entered. A null lock makes a guard that holds nothing. The
// interpreter's own lock takes an inline road; its __exit__ ignores its
// arguments, so it gets none.
class LockGuard {
 public:
  explicit LockGuard(PyObject* lock, ExitWith mode = ExitWith::Nones) : mode_(mode) {
    if (!lock) return;
    if (is_builtin_lock(lock))
      check(PyObject_Vectorcall(builtin_lock.enter, &lock, 1, nullptr));
    else
      enter_other(lock);
    lock_ = Ref::borrow(lock);
  }
  ~LockGuard() noexcept(false) {
    if (!lock_) return;
    if (std::uncaught_exceptions() > 0) {
      exit_unwinding();
      return;
    }
    PyObject* r = exit_call();
    if (!r) throw Error{};
    Py_DECREF(r);
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  void enter_other(PyObject* lock);
  // Already unwinding with an error set: releases the lock, keeps that error.
  void exit_unwinding() noexcept;
  PyObject* exit_call() noexcept {
    PyObject* lock = lock_.get();
    if (!exit_) return PyObject_Vectorcall(builtin_lock.exit, &lock, 1, nullptr);
    PyObject* argv[4] = {nullptr, Py_None, Py_None, Py_None};
    return PyObject_Vectorcall(exit_.get(), argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  }

  ExitWith mode_;
  Ref lock_;
  Ref exit_;  // bound __exit__; null for the interpreter's own lock
};

// ---- modules -----------------------------------------------------------------

// The module being built or run (one per extension, one interpreter).
PyObject* this_module();
// A module global looked up at call time (so tests can substitute it).
Ref global(PyObject* interned_name);

// Helpers for module bodies, run in source order.
class Body {
 public:
  explicit Body(PyObject* m) : m_(m) {}
  PyObject* module() const { return m_; }
  void set(const char* name, Ref value);
  Ref import(const char* name);                                  // import name (binds the top name)
  void from_import(const char* module, std::initializer_list<const char*> names);
  template <auto Fn>
  PyObject* def(const char* signature, const char* doc = nullptr) {
    Ref f = make_function(&function_impl<Fn>, Kind::Function, nullptr, signature, doc, "");
    PyObject* name = reinterpret_cast<FunctionObject*>(f.get())->name;
    PyObject* borrowed = f.get();
    check_int(PyObject_SetAttr(m_, name, f.get()));
    return borrowed;
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
    Ref f = make_function(&function_impl<Fn>, Kind::Function, nullptr, signature, doc, name_);
    PyObject* fname = reinterpret_cast<FunctionObject*>(f.get())->name;
    check_int(PyDict_SetItem(ns_.get(), fname, f.get()));
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
};

PyObject* module_create(PyObject* spec, PyModuleDef* def, const ModuleInfo& info) noexcept;
int module_exec(PyObject* module, const ModuleInfo& info) noexcept;

}  // namespace kv

// Declares PyInit_<name> for a module described by a kv::ModuleInfo.
#define KV_MODULE(shortname, info_expr)                                                              \
  static const ::kv::ModuleInfo& kv_module_info() {                                                 \
    static const ::kv::ModuleInfo i = info_expr;                                                    \
    return i;                                                                                        \
  }                                                                                                  \
  static PyModuleDef kv_module_def;                                                                 \
  static PyObject* kv_module_create(PyObject* spec, PyModuleDef* def) {                             \
    return ::kv::module_create(spec, def, kv_module_info());                                        \
  }                                                                                                  \
  static int kv_module_exec(PyObject* m) { return ::kv::module_exec(m, kv_module_info()); }         \
  static PyModuleDef_Slot kv_module_slots[] = {                                                     \
      {Py_mod_create, reinterpret_cast<void*>(&kv_module_create)},                                  \
      {Py_mod_exec, reinterpret_cast<void*>(&kv_module_exec)},                                      \
      {0, nullptr}};                                                                                 \
  PyMODINIT_FUNC PyInit_##shortname() {                                                  \
    kv_module_def = PyModuleDef{PyModuleDef_HEAD_INIT, kv_module_info().qualified_name,             \
                                kv_module_info().doc, 0, nullptr, kv_module_slots,                  \
                                nullptr, nullptr, nullptr};                                          \
    return PyModuleDef_Init(&kv_module_def);                                                        \
  }
