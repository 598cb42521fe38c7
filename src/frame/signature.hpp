// One declared signature per function: "name(self, a, b: int = 1) -> int".
//
// The text reads like Python: parameter names, literal defaults (None, True,
// False, ints, floats, quoted strings, ()) and optional annotations. It gives
// the function's __name__, __defaults__, __annotations__ and
// __text_signature__, and drives the binding of call arguments with the
// interpreter's standard messages.
#pragma once

#include <memory>
#include <vector>

#include "ref.hpp"

namespace kv {

struct Signature {
  Ref name;                       // __name__ as declared (str)
  const char* message_name = "";  // the name in messages ("__cinit__" for constructors)
  Py_ssize_t nparams = 0;         // positional-or-keyword parameters (self excluded for methods)
  Py_ssize_t nrequired = 0;
  std::vector<Ref> names;           // interned
  std::vector<Ref> defaults;        // null where the parameter is required
  std::vector<const char*> cnames;  // UTF-8 names for conversion messages
  Ref annotations;                  // dict, possibly empty
  Ref defaults_tuple;               // null when no parameter has a default
  Ref text_signature;               // "(a, b=1)", "($self, a)"
};

// Parses a signature text. `drop_self` leaves a leading `self` out of the
// counted parameters (methods of native classes). A malformed text is a
// SystemError naming it.
std::unique_ptr<Signature> parse_signature(const char* text, bool drop_self);

// Fills out[0..nparams) with borrowed arguments (null where a default
// applies), raising the standard count and keyword errors.
void bind_args(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and a keyword dict (constructors).
void bind_args_dict(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out);
// Rejects any keyword (functions that take no arguments besides self).
void reject_keywords(const char* fname, PyObject* kwnames);
// "f() takes exactly 2 positional arguments (1 given)"
[[noreturn]] void raise_count(const char* fname, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given);

}  // namespace kv
