// The module frame: the one header every korvane module includes.
//
//   compat.hpp        the interpreter-version shims (the only version checks)
//   error.hpp         kv::Error, raising, the one translation at entry points
//   ref.hpp           kv::Ref, the owning reference; check(), catching()
//   convert.hpp       argument converters and result builders
//   signature.hpp     the declared signature and the argument binder
//   function.hpp      function objects and the entry-point templates
//   native_class.hpp  native classes with C++ payloads
//   call.hpp          calls into Python, attributes, imports, the lock guard
//   module.hpp        module state, the module body, the import sequence
//
//   static int64_t increment(Counter& self, int64_t delta) { ... }
//   cls.method<&increment>("increment(self, delta=1) -> int", "Atomically ...");
//
// The signature text reads like Python; the C++ parameter types pick the
// converters (int64_t, uint32_t, double, bool, PyObject*, kv::Int, kv::OptStr,
// ...). Errors are C++ exceptions (kv::Error with a Python error set) caught
// once at the entry point.
#pragma once

#include "call.hpp"
#include "compat.hpp"
#include "convert.hpp"
#include "error.hpp"
#include "function.hpp"
#include "module.hpp"
#include "native_class.hpp"
#include "ref.hpp"
#include "signature.hpp"
