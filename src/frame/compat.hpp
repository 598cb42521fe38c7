// The one place where interpreter versions differ.
//
// Each shim below gives an older interpreter a public C-API function that a
// newer one has, under the newer spelling, so the rest of the frame and every
// module call one spelling on 3.10 to 3.14 and never test versions
// themselves. Nothing here uses a private (`_Py`) name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

// ---- 3.12: members without structmember.h ------------------------------------
#if PY_VERSION_HEX < 0x030C0000
#ifndef Py_T_OBJECT_EX
#define Py_T_OBJECT_EX T_OBJECT_EX
#endif
#ifndef Py_T_PYSSIZET
#define Py_T_PYSSIZET T_PYSSIZET
#endif
#ifndef Py_READONLY
#define Py_READONLY READONLY
#endif
#endif

// ---- 3.12: the raised exception as one object -----------------------------------
#if PY_VERSION_HEX < 0x030C0000
// The pending exception, normalised, with its traceback attached; the error
// indicator is cleared. Null when nothing is pending.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}
// Makes `exc` (a reference that is stolen; may be null) the pending exception.
static inline void PyErr_SetRaisedException(PyObject* exc) {
  if (!exc) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

// ---- 3.13: dict lookups that return a new reference -------------------------------
#if PY_VERSION_HEX < 0x030D0000
// 1 and a new reference in *result when found, 0 and null when missing, -1
// with an error set.
static inline int PyDict_GetItemRef(PyObject* mp, PyObject* key, PyObject** result) {
  PyObject* item = PyDict_GetItemWithError(mp, key);
  if (item) {
    Py_INCREF(item);
    *result = item;
    return 1;
  }
  *result = nullptr;
  return PyErr_Occurred() ? -1 : 0;
}
static inline int PyDict_GetItemStringRef(PyObject* mp, const char* key, PyObject** result) {
  PyObject* k = PyUnicode_FromString(key);
  if (!k) {
    *result = nullptr;
    return -1;
  }
  int r = PyDict_GetItemRef(mp, k, result);
  Py_DECREF(k);
  return r;
}
#endif

// ---- 3.14: the sign of an int ------------------------------------------------------
#if PY_VERSION_HEX < 0x030E0000
// -1, 0 or 1 in *sign for an int (or int subclass); TypeError otherwise.
static inline int PyLong_GetSign(PyObject* obj, int* sign) {
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expect int, got %s", Py_TYPE(obj)->tp_name);
    return -1;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && !overflow && PyErr_Occurred()) return -1;
  *sign = overflow ? overflow : (v > 0) - (v < 0);
  return 0;
}
#endif

// ---- 3.12: accessor macros without C casts ------------------------------------------
#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 these accessors are macros whose C casts land in the caller's
// code; as inline functions they read the same fields, and C++ built with
// -Wold-style-cast stays clean.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
namespace kv::compat {
inline Py_ssize_t dict_get_size(PyObject* op) { return PyDict_GET_SIZE(op); }
inline void* unicode_data(PyObject* op) { return PyUnicode_DATA(op); }
inline bool unicode_is_ascii(PyObject* op) { return PyUnicode_IS_ASCII(op) != 0; }
inline Py_ssize_t unicode_get_length(PyObject* op) { return PyUnicode_GET_LENGTH(op); }
inline int unicode_kind(PyObject* op) { return static_cast<int>(PyUnicode_KIND(op)); }
inline Py_UCS4 unicode_read(int kind, const void* data, Py_ssize_t i) { return PyUnicode_READ(kind, data, i); }
inline Py_UCS4 unicode_read_char(PyObject* op, Py_ssize_t i) { return PyUnicode_READ_CHAR(op, i); }
inline PyObject* sequence_fast_get_item(PyObject* op, Py_ssize_t i) { return PySequence_Fast_GET_ITEM(op, i); }
inline int unicode_ready(PyObject* op) { return PyUnicode_READY(op); }
}  // namespace kv::compat
#pragma GCC diagnostic pop
#undef PyDict_GET_SIZE
#define PyDict_GET_SIZE(op) ::kv::compat::dict_get_size(op)
#undef PyUnicode_DATA
#define PyUnicode_DATA(op) ::kv::compat::unicode_data(op)
#undef PyUnicode_1BYTE_DATA
#define PyUnicode_1BYTE_DATA(op) static_cast<Py_UCS1*>(::kv::compat::unicode_data(op))
#undef PyUnicode_2BYTE_DATA
#define PyUnicode_2BYTE_DATA(op) static_cast<Py_UCS2*>(::kv::compat::unicode_data(op))
#undef PyUnicode_4BYTE_DATA
#define PyUnicode_4BYTE_DATA(op) static_cast<Py_UCS4*>(::kv::compat::unicode_data(op))
#undef PyUnicode_IS_ASCII
#define PyUnicode_IS_ASCII(op) ::kv::compat::unicode_is_ascii(op)
#undef PyUnicode_GET_LENGTH
#define PyUnicode_GET_LENGTH(op) ::kv::compat::unicode_get_length(op)
#undef PyUnicode_KIND
#define PyUnicode_KIND(op) ::kv::compat::unicode_kind(op)
#undef PyUnicode_READ
#define PyUnicode_READ(kind, data, i) ::kv::compat::unicode_read((kind), (data), (i))
#undef PyUnicode_READ_CHAR
#define PyUnicode_READ_CHAR(op, i) ::kv::compat::unicode_read_char((op), (i))
#undef PySequence_Fast_GET_ITEM
#define PySequence_Fast_GET_ITEM(op, i) ::kv::compat::sequence_fast_get_item((op), (i))
#else
namespace kv::compat {
inline int unicode_ready(PyObject*) { return 0; }  // every str is created ready
}  // namespace kv::compat
#endif
