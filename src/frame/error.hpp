// How errors cross between C++ and Python: a Python error that is set travels
// through C++ as kv::Error and leaves at the entry point as a null return.
#pragma once

#include "compat.hpp"

namespace kv {

// Thrown when a Python error is already set; the entry point returns NULL.
struct Error {};

[[noreturn]] inline void throw_error() { throw Error{}; }
[[noreturn]] void raise(PyObject* type, const char* msg);
[[noreturn]] void raise_format(PyObject* type, const char* fmt, ...);

// Inside a catch block: makes the caught C++ exception the pending Python
// error (kv::Error keeps the one set, std::bad_alloc is MemoryError) and
// returns NULL, for entry points to return.
PyObject* translate_exception() noexcept;

// With an error pending: clears it when it is an instance of `type`, and
// throws it on otherwise ("except type: pass").
void clear_error_if(PyObject* type);

// Runs `body` as an entry point: its result, or `on_error` with the Python
// error set when it throws.
template <class R, class F>
R entry(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_exception();
    return on_error;
  }
}

}  // namespace kv
