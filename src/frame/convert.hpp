// Argument converters and result builders shared by every module.
//
// Each converter turns one borrowed argument into a C++ value, or throws
// kv::Error with the interpreter's standard message set. `name` is the
// parameter's name, used by the messages that quote it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ref.hpp"

namespace kv {

// ---- integers ------------------------------------------------------------

// Any object reaching a native integer parameter: an int (or bool, or an int
// subclass) directly, anything else through its type's __int__.
Ref as_int_object(PyObject* o);

int64_t to_i64(PyObject* o);
uint64_t to_u64(PyObject* o, const char* cname = "uint64_t");
// Range-checked narrow conversions; cname is the C type in the overflow text.
int64_t to_signed(PyObject* o, int64_t lo, int64_t hi, const char* cname);
uint64_t to_unsigned(PyObject* o, uint64_t hi, const char* cname);
double to_double(PyObject* o);
bool to_truth(PyObject* o);

// "Argument 'x' has incorrect type (expected T, got U)"
[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);

// The annotated-`int` rule of Python-level signatures: an exact int is kept,
// any other number goes through int(), anything else is a TypeError naming
// the parameter.
Ref annotated_int(PyObject* o, const char* name);
// The `-> int` result rule: None and exact ints pass, numbers go through
// int(), anything else is "Expected int, got T".
Ref int_result(Ref r);

// An int's value when it fits 64 bits (true), or false when it does not;
// an object that is not an int goes through __index__, whose errors are thrown.
// Inline: modules call it on their hot paths.
inline bool int64_of(PyObject* v, int64_t& out) {
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow) return false;
  if (x == -1 && PyErr_Occurred()) throw_error();
  out = static_cast<int64_t>(x);
  return true;
}

// The sign of an int (or int subclass): -1, 0 or 1.
inline int int_sign(PyObject* v) {
  int sign = 0;
  check_int(PyLong_GetSign(v, &sign));
  return sign;
}

// Wrapper types that select a converter by their C++ type.
struct Int {  // annotated `int`
  Ref value;
};
struct OptStr {  // exact str or None; `value` is null for None (borrowed)
  PyObject* value;
};
struct Str {  // exact str (borrowed)
  PyObject* value;
};
struct Object {  // any object, None included (borrowed)
  PyObject* value;
};

template <class T>
struct Conv;

template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
struct Conv<T> {
  static T from(PyObject* o, const char*) {
    if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, long long> || std::is_same_v<T, long>) {
      return static_cast<T>(to_i64(o));
    } else if constexpr (std::is_same_v<T, uint64_t> || std::is_same_v<T, unsigned long long> ||
                         std::is_same_v<T, unsigned long>) {
      return static_cast<T>(to_u64(o));
    } else if constexpr (std::is_signed_v<T>) {
      return static_cast<T>(to_signed(o, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), cname()));
    } else {
      return static_cast<T>(to_unsigned(o, std::numeric_limits<T>::max(), cname()));
    }
  }
  static constexpr const char* cname() {
    if constexpr (std::is_same_v<T, int32_t>) return "int";
    if constexpr (std::is_same_v<T, int16_t>) return "int16_t";
    if constexpr (std::is_same_v<T, int8_t>) return "int8_t";
    if constexpr (std::is_same_v<T, uint32_t>) return "uint32_t";
    if constexpr (std::is_same_v<T, uint16_t>) return "uint16_t";
    if constexpr (std::is_same_v<T, uint8_t>) return "uint8_t";
    return "int";
  }
};

template <>
struct Conv<double> {
  static double from(PyObject* o, const char*) { return to_double(o); }
};
template <>
struct Conv<bool> {
  static bool from(PyObject* o, const char*) { return to_truth(o); }
};
template <>
struct Conv<PyObject*> {
  static PyObject* from(PyObject* o, const char*) { return o; }
};
template <>
struct Conv<Object> {
  static Object from(PyObject* o, const char*) { return {o}; }
};
template <>
struct Conv<Int> {
  static Int from(PyObject* o, const char* name) { return {annotated_int(o, name)}; }
};
// Strings reach module code ready for the PyUnicode kind/data macros.
inline void ensure_ready(PyObject* o) {
  if (compat::unicode_ready(o) < 0) throw Error{};
}
template <>
struct Conv<OptStr> {
  static OptStr from(PyObject* o, const char* name) {
    if (o == Py_None) return {nullptr};
    if (!PyUnicode_CheckExact(o)) raise_arg_type(name, "str", o);
    ensure_ready(o);
    return {o};
  }
};
template <>
struct Conv<Str> {
  static Str from(PyObject* o, const char* name) {
    if (!PyUnicode_CheckExact(o)) raise_arg_type(name, "str", o);
    ensure_ready(o);
    return {o};
  }
};

// ---- results -------------------------------------------------------------

inline PyObject* to_py(Ref r) { return r.release(); }
inline PyObject* to_py(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* to_py(double d) { return PyFloat_FromDouble(d); }
template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
inline PyObject* to_py(T v) {
  if constexpr (std::is_signed_v<T>)
    return PyLong_FromLongLong(static_cast<long long>(v));
  else
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
}
inline PyObject* to_py(Int v) { return v.value.release(); }

// Owned Python objects from C++ values (throwing on failure).
template <class T>
inline Ref obj(T v) {
  return check(to_py(std::move(v)));
}
inline Ref obj(std::string_view s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref obj(const char* s) { return obj(std::string_view(s)); }

// A new list or tuple of `n` slots, filled with set_item before anyone else
// sees it.
inline Ref new_list(Py_ssize_t n) { return check(PyList_New(n)); }
inline Ref new_tuple(Py_ssize_t n) { return check(PyTuple_New(n)); }
// Fills slot i of a new list or tuple with a reference of its own to `item`.
inline void set_item(const Ref& seq, Py_ssize_t i, PyObject* item) noexcept {
  if (PyList_CheckExact(seq.get()))
    PyList_SET_ITEM(seq.get(), i, Py_NewRef(item));
  else
    PyTuple_SET_ITEM(seq.get(), i, Py_NewRef(item));
}
// Fills slot i with `item`, whose reference the sequence takes over (a result
// built for this slot needs no reference of its own).
inline void set_item(const Ref& seq, Py_ssize_t i, Ref item) noexcept {
  if (PyList_CheckExact(seq.get()))
    PyList_SET_ITEM(seq.get(), i, item.release());
  else
    PyTuple_SET_ITEM(seq.get(), i, item.release());
}
// Fills slots [from, to) of a new list or tuple with one item (one shared
// immutable object in many slots), without testing the sequence per slot.
inline void fill_items(const Ref& seq, Py_ssize_t from, Py_ssize_t to, PyObject* item) noexcept {
  PyObject** slots = PySequence_Fast_ITEMS(seq.get());
  for (Py_ssize_t i = from; i < to; ++i) slots[i] = Py_NewRef(item);
}

// A result dict with fixed string keys in a fixed order. The keys are laid
// out once (at import); each result is a new dict with that layout, filled
// with the values.
class DictShape {
 public:
  DictShape(std::initializer_list<const char*> keys);
  // One value per key, in the keys' order.
  Ref make(std::initializer_list<PyObject*> values) const;
  PyObject* key(std::size_t i) const { return keys_[i]; }
  std::size_t size() const { return keys_.size(); }

 private:
  Ref layout_;
  std::vector<PyObject*> keys_;  // interned
};

}  // namespace kv
