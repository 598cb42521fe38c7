// The one owning reference type.
#pragma once

#include <utility>

#include "error.hpp"

namespace kv {

// An owned reference. Construction says whether the reference is stolen (the
// caller hands over a new reference) or borrowed (we take one of our own).
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // Drops the reference now (Py_CLEAR semantics: the field is null before the
  // old object's destructor can run).
  void reset() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    Py_XDECREF(p);
  }
  // Replaces the held reference; the old one is released after the swap.
  void reset_to(Ref other) noexcept { std::swap(p_, other.p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Steals a new reference returned by the C API; throws if it is NULL.
inline Ref check(PyObject* p) {
  if (!p) throw_error();
  return Ref::steal(p);
}
// For C API calls returning -1 on error.
inline int check_int(int r) {
  if (r < 0) throw_error();
  return r;
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref py_bool(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// `try: body() except type as e: return e`: the exception when `body` raised
// an instance of `type` (cleared), null when it finished; any other error is
// thrown on.
template <class F>
Ref catching(PyObject* type, F&& body) {
  try {
    body();
    return Ref();
  } catch (const Error&) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(type)) throw;
  } catch (...) {
    translate_exception();
    if (!PyErr_ExceptionMatches(type)) throw_error();
  }
  return Ref::steal(PyErr_GetRaisedException());
}

}  // namespace kv
