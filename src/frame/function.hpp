// Function objects: what every module-level function and every method of
// korvane is. They carry their Python-visible metadata (__name__,
// __qualname__, __module__, __doc__, __defaults__, __annotations__,
// __text_signature__), bind like Python functions, are called through
// vectorcall, pickle by reference, and cannot be created from Python.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "signature.hpp"

namespace kv {

// ---- function objects ------------------------------------------------------

struct FunctionObject;
using Impl = PyObject* (*)(FunctionObject*, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

enum class Kind { Function, Method };

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  Impl impl;
  Kind kind;
  PyTypeObject* owner;  // methods: the class `self` must be an instance of
  Signature* sig;       // owned
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
  PyObject* o = given ? given : s.defaults[i].get();
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

// Binds the arguments of a call to N parameters: positional calls that need
// no defaults' reordering take the direct road, everything else the binder.
template <std::size_t N>
inline void bind_fast(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** vals) {
  if (!kwnames && nargs >= s.nrequired && nargs <= static_cast<Py_ssize_t>(N)) {
    for (std::size_t i = 0; i < N; ++i) vals[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  } else {
    bind_args(s, args, nargs, kwnames, vals);
  }
}

// A function without parameters: no positional argument, no keyword.
inline void check_no_args(const Signature& s, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0) raise_count(s.message_name, 0, 0, nargs);
  if (kwnames && PyTuple_GET_SIZE(kwnames)) reject_keywords(s.message_name, kwnames);
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
      check_no_args(s, nargs, kwnames);
      return invoke_and_box<typename Tr::Ret>([] { return Fn(); });
    } else {
      PyObject* vals[N];
      bind_fast<N>(s, args, nargs, kwnames, vals);
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

// PyType_FromSpec, except that a NULL without an exception (3.11 does that
// when it cannot copy the type's name) is reported as the MemoryError it is.
Ref type_from_spec(PyType_Spec* spec);

// Creates a function object. `kind` Method binds the owner type for the
// `self` check; qualname_prefix is the class name for methods ("" otherwise).
Ref make_function(Impl impl, Kind kind, PyTypeObject* owner, const char* signature, const char* doc,
                  const char* qualname_prefix);

// A function of the module (or a static method of a class): every C++
// parameter comes from the signature.
template <auto Fn>
Ref make_plain_function(const char* signature, const char* doc, const char* qualname_prefix) {
  return make_function(&function_impl<Fn>, Kind::Function, nullptr, signature, doc, qualname_prefix);
}

// The function object's __name__ (for binding it under its own name).
inline PyObject* function_name(const Ref& f) { return reinterpret_cast<FunctionObject*>(f.get())->name; }

}  // namespace kv
