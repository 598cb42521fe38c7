// Calling into Python: interned names, calls, attributes, imports and the
// `with lock:` guard.
#pragma once

#include <exception>
#include <initializer_list>
#include <type_traits>

#include "ref.hpp"

namespace kv {

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
// Finds the builtin lock's type and methods (the import sequence calls it).
void resolve_builtin_lock();

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

}  // namespace kv
