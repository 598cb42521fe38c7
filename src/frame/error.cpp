// Errors: raising from C++, and the one translation back at entry points.
#include "error.hpp"

#include <cstdarg>
#include <exception>
#include <new>

namespace kv {

void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw Error{};
}

void raise_format(PyObject* type, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  PyErr_FormatV(type, fmt, va);
  va_end(va);
  throw Error{};
}

PyObject* translate_exception() noexcept {
  try {
    throw;
  } catch (const Error&) {
    // Worded apart from the interpreter's own "error return without exception
    // set", so that a report tells which side lost the exception.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native code failed without setting an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
  return nullptr;
}

void clear_error_if(PyObject* type) {
  if (!PyErr_Occurred()) raise(PyExc_SystemError, "native code failed without setting an exception");
  if (!PyErr_ExceptionMatches(type)) throw_error();
  PyErr_Clear();
}

}  // namespace kv
