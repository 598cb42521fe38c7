// Native classes: heap types whose instances hold a C++ payload, with their
// methods as function objects in the class dict.
//
//   kv::Class<Counter> c("korvane.memory.lockless_ops.AtomicCounter", doc);
//   c.ctor<&init>("__cinit__(self, initial_value=0)");
//   c.create(module);
//   c.method<&increment>("increment(self, delta=1) -> int", doc);
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "function.hpp"

namespace kv {

// A native instance: the interpreter's header followed by the C++ payload T,
// which is constructed after allocation and destroyed before the memory goes.
template <class T>
struct Instance {
  PyObject_HEAD alignas(T) unsigned char storage[sizeof(T)];
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
      check_no_args(s, nargs, kwnames);
      return invoke_and_box<typename Tr::Ret>([&] { return Fn(me); });
    } else {
      PyObject* vals[N];
      bind_fast<N>(s, args, nargs, kwnames, vals);
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

template <class T>
struct CtorSig {
  static inline Signature* sig = nullptr;  // lives as long as the type
};

template <class T>
PyObject* alloc_instance(PyTypeObject* type) {
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  try {
    new (reinterpret_cast<Instance<T>*>(o)->storage) T;
  } catch (...) {
    // The payload never came to life: free the raw object without the destructor.
    type->tp_free(o);
    Py_DECREF(type);
    return translate_exception();
  }
  return o;
}

// A new instance of the exact class with a default payload, made without a
// call (the class must have been created).
template <class T>
Ref new_instance() {
  return check(alloc_instance<T>(type_of<T>));
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

// Slot adapters: the C++ function sees `self`; its exceptions become errors.
template <auto Fn>
Py_ssize_t len_slot(PyObject* self) noexcept {
  return entry(Py_ssize_t{-1}, [&] { return static_cast<Py_ssize_t>(Fn(self)); });
}
template <auto Fn>
int bool_slot(PyObject* self) noexcept {
  return entry(-1, [&] { return Fn(self) ? 1 : 0; });
}
template <auto Fn>
PyObject* repr_slot(PyObject* self) noexcept {
  return entry<PyObject*>(nullptr, [&] { return Fn(self).release(); });
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
    std::unique_ptr<Signature> sig = parse_signature(signature, true);
    sig->message_name = "__cinit__";
    delete CtorSig<T>::sig;
    CtorSig<T>::sig = sig.release();
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
  // len(obj), bool(obj) and repr(obj): Fn(PyObject* self) returning an
  // integer, a bool and a Ref; set before create().
  template <auto Fn>
  Class& len() {
    b_.slot(Py_sq_length, reinterpret_cast<void*>(&len_slot<Fn>));
    return *this;
  }
  template <auto Fn>
  Class& boolean() {
    b_.slot(Py_nb_bool, reinterpret_cast<void*>(&bool_slot<Fn>));
    return *this;
  }
  template <auto Fn>
  Class& repr() {
    b_.slot(Py_tp_repr, reinterpret_cast<void*>(&repr_slot<Fn>));
    return *this;
  }

  // Makes the type ready and binds it as a module attribute.
  PyTypeObject* create(PyObject* module);

  template <auto Fn>
  PyObject* method(const char* signature, const char* doc = nullptr) {
    Ref f = make_function(&method_impl<Fn>, Kind::Method, type_, signature, doc, b_.short_name());
    check_int(PyDict_SetItem(type_->tp_dict, function_name(f), f.get()));
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
  // A static method: Fn's parameters all come from the signature.
  template <auto Fn>
  void static_method(const char* signature, const char* doc = nullptr) {
    Ref f = make_plain_function<Fn>(signature, doc, b_.short_name());
    Ref sm = check(PyStaticMethod_New(f.get()));
    check_int(PyDict_SetItem(type_->tp_dict, function_name(f), sm.get()));
    PyType_Modified(type_);
  }
  // Binds another name to the very same function object.
  void alias(const char* alias_name, const char* existing) {
    type_set(type_, alias_name, type_get(type_, existing).get());
  }
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

}  // namespace kv
