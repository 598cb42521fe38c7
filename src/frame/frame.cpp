// The module frame: conversions, signature parsing and argument binding, the
// function object type, native class creation and the import sequence.
#include "frame.hpp"

#include <cstdarg>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include <structmember.h>

namespace kv {

// ---- errors ------------------------------------------------------------------

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
    // Worded apart from the interpreter's own "error return without exception set",
    // so that a report tells which side lost the exception.
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

// ---- conversions -------------------------------------------------------------

Ref as_int_object(PyObject* o) {
  if (PyLong_Check(o)) return Ref::borrow(o);
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (!nb || !nb->nb_int) raise(PyExc_TypeError, "an integer is required");
  Ref r = check(nb->nb_int(o));
  if (!PyLong_Check(r.get()))
    raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
  return r;
}

namespace {
// The value as a C long (64 bits here); `overflow` is -1/+1 beyond the range.
long long long_value(PyObject* o, int& overflow) {
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && !overflow && PyErr_Occurred()) throw_error();
  return v;
}
}  // namespace

int64_t to_i64(PyObject* o) {
  Ref keep;
  if (!PyLong_Check(o)) {
    keep = as_int_object(o);
    o = keep.get();
  }
  int overflow = 0;
  long long v = long_value(o, overflow);
  if (overflow) raise(PyExc_OverflowError, "Python int too large to convert to C long");
  return static_cast<int64_t>(v);
}

uint64_t to_u64(PyObject* o, const char* cname) {
  return to_unsigned(o, UINT64_MAX, cname);
}

int64_t to_signed(PyObject* o, int64_t lo, int64_t hi, const char* cname) {
  int64_t v = to_i64(o);
  if (v < lo || v > hi) raise_format(PyExc_OverflowError, "value too large to convert to %s", cname);
  return v;
}

uint64_t to_unsigned(PyObject* o, uint64_t hi, const char* cname) {
  Ref keep;
  if (!PyLong_Check(o)) {
    keep = as_int_object(o);
    o = keep.get();
  }
  int overflow = 0;
  long long v = long_value(o, overflow);
  if (overflow < 0 || (!overflow && v < 0))
    raise_format(PyExc_OverflowError, "can't convert negative value to %s", cname);
  uint64_t u;
  if (overflow) {
    unsigned long long w = PyLong_AsUnsignedLongLong(o);
    if (w == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      raise(PyExc_OverflowError, "Python int too large to convert to C unsigned long");
    }
    u = w;
  } else {
    u = static_cast<uint64_t>(v);
  }
  if (u > hi) raise_format(PyExc_OverflowError, "value too large to convert to %s", cname);
  return u;
}

double to_double(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw_error();
  return d;
}

bool to_truth(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False || o == Py_None) return false;
  return check_int(PyObject_IsTrue(o)) != 0;
}

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               expected, Py_TYPE(got)->tp_name);
}

static bool is_number(PyObject* o) {
  if (PyLong_Check(o) || PyFloat_Check(o)) return true;
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  return nb && (nb->nb_int || nb->nb_index);
}

Ref annotated_int(PyObject* o, const char* name) {
  if (PyLong_CheckExact(o)) return Ref::borrow(o);
  if (!is_number(o)) raise_arg_type(name, "int", o);
  return check(PyNumber_Long(o));
}

Ref int_result(Ref r) {
  if (!r) throw_error();
  if (r.get() == Py_None || PyLong_CheckExact(r.get())) return r;
  if (!is_number(r.get()))
    raise_format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(r.get())->tp_name);
  return check(PyNumber_Long(r.get()));
}

// ---- interned strings ----------------------------------------------------------

PyObject* intern(const char* s) {
  PyObject* u = PyUnicode_InternFromString(s);
  if (!u) throw_error();
  // Kept for the life of the interpreter: callers cache the pointer.
  return u;
}

// ---- signatures ------------------------------------------------------------------

namespace {

struct Cursor {
  const char* p;
  void ws() {
    while (*p == ' ' || *p == '\n' || *p == '\t') ++p;
  }
  bool eat(char c) {
    ws();
    if (*p == c) {
      ++p;
      return true;
    }
    return false;
  }
  std::string ident() {
    ws();
    const char* s = p;
    while (*p == '_' || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')) ++p;
    return std::string(s, p);
  }
  // Text up to a top-level ',', ')' or '=' (brackets and quotes nest).
  std::string until_sep(bool stop_at_eq) {
    ws();
    const char* s = p;
    int depth = 0;
    char quote = 0;
    for (; *p; ++p) {
      char c = *p;
      if (quote) {
        if (c == quote) quote = 0;
        continue;
      }
      if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == '[' || c == '(') {
        ++depth;
      } else if (c == ']' || (c == ')' && depth > 0)) {
        --depth;
      } else if (depth == 0 && (c == ',' || c == ')' || (stop_at_eq && c == '='))) {
        break;
      }
    }
    const char* e = p;
    while (e > s && (e[-1] == ' ' || e[-1] == '\t')) --e;
    return std::string(s, e);
  }
};

[[noreturn]] void bad_signature(const char* text, const char* why) {
  raise_format(PyExc_SystemError, "bad signature '%s': %s", text, why);
}

Ref literal(const std::string& s, const char* text) {
  if (s == "None") return Ref::borrow(Py_None);
  if (s == "True") return Ref::borrow(Py_True);
  if (s == "False") return Ref::borrow(Py_False);
  if (s == "()") return check(PyTuple_New(0));
  if (s.size() >= 2 && (s[0] == '\'' || s[0] == '"') && s.back() == s[0])
    return check(PyUnicode_FromStringAndSize(s.data() + 1, static_cast<Py_ssize_t>(s.size() - 2)));
  bool is_float = s.find_first_of(".eEn") != std::string::npos;  // "inf"/"nan" too
  if (!is_float) {
    char* end = nullptr;
    PyObject* v = PyLong_FromString(s.c_str(), &end, 10);
    if (v && end && *end == '\0') return Ref::steal(v);
    Py_XDECREF(v);
    // Not an int literal (ValueError): try a float. A failed allocation is raised.
    if (!v && !PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
    PyErr_Clear();
  }
  char* end = nullptr;
  double d = PyOS_string_to_double(s.c_str(), &end, nullptr);
  if (d == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
    PyErr_Clear();
    bad_signature(text, "unsupported default");
  }
  if (!end || *end != '\0') bad_signature(text, "unsupported default");
  return check(PyFloat_FromDouble(d));
}

}  // namespace

ParsedSignature parse_signature(const char* text, bool drop_self) {
  Cursor c{text};
  std::string fname = c.ident();
  if (fname.empty() || !c.eat('(')) bad_signature(text, "expected name(");
  auto* sig = new Signature();
  ParsedSignature out{sig, check(PyDict_New()), Ref(), check(PyUnicode_FromString(fname.c_str())), Ref()};
  std::string textsig = "(";
  std::vector<Ref> defaults;
  bool first = true;
  c.ws();
  if (!c.eat(')')) {
    for (;;) {
      std::string pname = c.ident();
      if (pname.empty()) bad_signature(text, "expected a parameter name");
      std::string ann, def;
      bool has_def = false;
      if (c.eat(':')) ann = c.until_sep(true);
      if (c.eat('=')) {
        def = c.until_sep(false);
        has_def = true;
      }
      bool is_self = first && pname == "self";
      if (!ann.empty()) {
        Ref a = check(PyUnicode_FromString(ann.c_str()));
        check_int(PyDict_SetItemString(out.annotations.get(), pname.c_str(), a.get()));
      }
      if (is_self && drop_self) {
        textsig += "$self";
      } else {
        if (!first) textsig += ", ";
        textsig += pname;
        Ref name = check(PyUnicode_InternFromString(pname.c_str()));
        sig->names.push_back(name.release());
        sig->cnames.push_back(PyUnicode_AsUTF8(sig->names.back()));
        if (has_def) {
          textsig += "=" + def;
          Ref d = literal(def, text);
          defaults.push_back(d);
          sig->defaults.push_back(d.release());
        } else {
          if (!defaults.empty()) bad_signature(text, "required parameter after a default");
          sig->defaults.push_back(nullptr);
          sig->nrequired++;
        }
        sig->nparams++;
      }
      first = false;
      if (c.eat(')')) break;
      if (!c.eat(',')) bad_signature(text, "expected , or )");
    }
  }
  textsig += ")";
  c.ws();
  if (c.p[0] == '-' && c.p[1] == '>') {
    c.p += 2;
    c.ws();
    std::string ret(c.p);
    while (!ret.empty() && ret.back() == ' ') ret.pop_back();
    Ref a = check(PyUnicode_FromString(ret.c_str()));
    check_int(PyDict_SetItemString(out.annotations.get(), "return", a.get()));
  }
  if (!defaults.empty()) {
    out.defaults_tuple = check(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
    for (std::size_t i = 0; i < defaults.size(); ++i)
      PyTuple_SET_ITEM(out.defaults_tuple.get(), static_cast<Py_ssize_t>(i), Ref(defaults[i]).release());
  }
  out.text_signature = check(PyUnicode_FromString(textsig.c_str()));
  // The name used in messages lives as long as the signature.
  sig->name = PyUnicode_AsUTF8(out.name.get());
  sig->name_owner = Py_NewRef(out.name.get());
  return out;
}

// ---- argument binding ------------------------------------------------------------

void raise_count(const char* fname, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
  const char* word;
  Py_ssize_t expected;
  if (given < min) {
    expected = min;
    word = "at least";
  } else {
    expected = max;
    word = "at most";
  }
  if (min == max) word = "exactly";
  raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, word, expected,
               expected == 1 ? "" : "s", given);
}

static bool same_name(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (!PyUnicode_Check(a)) return false;
  int r = PyUnicode_Compare(a, b);
  if (r == -1 && PyErr_Occurred()) throw_error();
  return r == 0;
}

static Py_ssize_t param_index(const Signature& s, PyObject* key) {
  for (Py_ssize_t i = 0; i < s.nparams; ++i)
    if (same_name(key, s.names[static_cast<std::size_t>(i)])) return i;
  return -1;
}

void reject_keywords(const char* fname, PyObject* kwnames) {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < n; ++j)
    if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, j)))
      raise_format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
  if (n > 0)
    raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, PyTuple_GET_ITEM(kwnames, 0));
}

void bind_args(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t N = s.nparams;
  if (nargs > N) raise_count(s.name, s.nrequired, N, nargs);
  for (Py_ssize_t i = 0; i < N; ++i) out[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs < s.nrequired) raise_count(s.name, s.nrequired, N, nargs);
    return;
  }
  if (N == 0) reject_keywords(s.name, kwnames);
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = nargs; i < N; ++i) {
    PyObject* want = s.names[static_cast<std::size_t>(i)];
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (same_name(PyTuple_GET_ITEM(kwnames, j), want)) {
        out[i] = kwvalues[j];
        ++matched;
        break;
      }
    }
    if (!out[i] && i < s.nrequired) raise_count(s.name, s.nrequired, N, i);
  }
  if (matched == nkw) return;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
    Py_ssize_t p = param_index(s, key);
    if (p < 0) raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
    if (p < nargs) raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
  }
}

void bind_args_dict(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  Ref kwnames;
  if (nkw) {
    kwnames = check(PyTuple_New(nkw));
    Py_ssize_t pos = 0, j = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      PyTuple_SET_ITEM(kwnames.get(), j, Py_NewRef(k));
      stack[static_cast<std::size_t>(nargs + j)] = v;
      ++j;
    }
  }
  // The values stay borrowed from `args` and `kwargs`, which outlive the call.
  bind_args(s, stack.data(), nargs, kwnames.get(), out);
}

// ---- function objects --------------------------------------------------------------

PyTypeObject* function_type = nullptr;

// PyType_FromSpec, except that a NULL without an exception (3.11 does that
// when it cannot copy the type's name) is reported as the MemoryError it is.
static Ref type_from_spec(PyType_Spec* spec) {
  PyObject* type = PyType_FromSpec(spec);
  if (!type && !PyErr_Occurred()) PyErr_NoMemory();
  return check(type);
}

namespace {

inline FunctionObject* F(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* vc_function(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* f = F(callable);
  return f->impl(f, nullptr, args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* vc_method(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* f = F(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", f->qualname);
    return nullptr;
  }
  PyObject* self = args[0];
  if (Py_TYPE(self) != f->owner && !PyType_IsSubtype(Py_TYPE(self), f->owner)) {
    PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                 f->name, f->owner->tp_name, Py_TYPE(self)->tp_name);
    return nullptr;
  }
  return f->impl(f, self, args + 1, nargs - 1, kwnames);
}

int fn_traverse(PyObject* o, visitproc visit, void* arg) {
  FunctionObject* f = F(o);
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->text_signature);
  Py_VISIT(f->dict);
  return 0;
}

int fn_clear(PyObject* o) {
  FunctionObject* f = F(o);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->text_signature);
  Py_CLEAR(f->dict);
  return 0;
}

void fn_dealloc(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  fn_clear(o);
  if (Signature* s = F(o)->sig) {
    for (PyObject* n : s->names) Py_XDECREF(n);
    for (PyObject* d : s->defaults) Py_XDECREF(d);
    Py_XDECREF(s->name_owner);
    delete s;
  }
  tp->tp_free(o);
  Py_DECREF(tp);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", F(self)->qualname, self); }

PyObject* get_str_field(PyObject* v) { return Py_NewRef(v ? v : Py_None); }

int set_str_field(PyObject*& field, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(field, Py_NewRef(value));
  return 0;
}

PyObject* g_name(PyObject* s, void*) { return get_str_field(F(s)->name); }
int s_name(PyObject* s, PyObject* v, void*) { return set_str_field(F(s)->name, v, "__name__"); }
PyObject* g_qualname(PyObject* s, void*) { return get_str_field(F(s)->qualname); }
int s_qualname(PyObject* s, PyObject* v, void*) { return set_str_field(F(s)->qualname, v, "__qualname__"); }
PyObject* g_doc(PyObject* s, void*) { return get_str_field(F(s)->doc); }
int s_doc(PyObject* s, PyObject* v, void*) {
  Py_XSETREF(F(s)->doc, Py_XNewRef(v));
  return 0;
}
PyObject* g_defaults(PyObject* s, void*) { return get_str_field(F(s)->defaults); }
int s_defaults(PyObject* s, PyObject* v, void*) {
  if (v == Py_None) v = nullptr;
  if (v && !PyTuple_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XSETREF(F(s)->defaults, Py_XNewRef(v));
  return 0;
}
PyObject* g_annotations(PyObject* s, void*) {
  FunctionObject* f = F(s);
  if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
  return Py_NewRef(f->annotations);
}
int s_annotations(PyObject* s, PyObject* v, void*) {
  if (v == Py_None) v = nullptr;
  if (v && !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(F(s)->annotations, Py_XNewRef(v));
  return 0;
}
PyObject* g_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* g_text_signature(PyObject* s, void*) { return get_str_field(F(s)->text_signature); }

PyGetSetDef fn_getset[] = {
    {"__name__", g_name, s_name, nullptr, nullptr},
    {"__qualname__", g_qualname, s_qualname, nullptr, nullptr},
    {"__doc__", g_doc, s_doc, nullptr, nullptr},
    {"__defaults__", g_defaults, s_defaults, nullptr, nullptr},
    {"__kwdefaults__", g_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", g_annotations, s_annotations, nullptr, nullptr},
    {"__text_signature__", g_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyTypeObject* ensure_function_type() {
  if (function_type) return function_type;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
      {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
      {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_getset, fn_getset},
      {Py_tp_members, fn_members},
      {0, nullptr}};
  static PyType_Spec spec = {
      "korvane.native_function", sizeof(FunctionObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_IMMUTABLETYPE,
      slots};
  function_type = reinterpret_cast<PyTypeObject*>(type_from_spec(&spec).release());
  return function_type;
}

PyObject* g_module = nullptr;  // the one module object of this extension
bool g_executed = false;
int64_t g_interpreter = -1;

}  // namespace

Ref make_function(Impl impl, Kind kind, PyTypeObject* owner, const char* signature, const char* doc,
                  const char* qualname_prefix) {
  PyTypeObject* tp = ensure_function_type();
  ParsedSignature p = parse_signature(signature, kind == Kind::Method);
  FunctionObject* f = PyObject_GC_New(FunctionObject, tp);
  if (!f) {
    for (PyObject* n : p.sig->names) Py_XDECREF(n);
    for (PyObject* d : p.sig->defaults) Py_XDECREF(d);
    Py_XDECREF(p.sig->name_owner);
    delete p.sig;
    throw_error();
  }
  f->vectorcall = kind == Kind::Method ? vc_method : vc_function;
  f->impl = impl;
  f->kind = kind;
  f->owner = owner;
  f->sig = p.sig;
  f->name = p.name.release();
  f->qualname = f->module = f->doc = nullptr;
  f->defaults = p.defaults_tuple.release();
  f->annotations = PyDict_GET_SIZE(p.annotations.get()) ? p.annotations.release() : nullptr;
  f->text_signature = p.text_signature.release();
  f->dict = nullptr;
  // From here the object owns its fields; a failure below releases them.
  Ref r = Ref::steal(reinterpret_cast<PyObject*>(f));
  f->qualname = *qualname_prefix ? PyUnicode_FromFormat("%s.%U", qualname_prefix, f->name) : Py_NewRef(f->name);
  if (!f->qualname) throw_error();
  if (g_module) {
    // A module without __name__ gives None; any other error (memory) is raised.
    f->module = PyObject_GetAttrString(g_module, "__name__");
    if (!f->module) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
      PyErr_Clear();
    }
  }
  if (!f->module) f->module = Py_NewRef(Py_None);
  f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
  if (!f->doc) throw_error();
  PyObject_GC_Track(r.get());
  return r;
}

// ---- native classes ------------------------------------------------------------------

ClassBuilder::ClassBuilder(const char* qualified_name, const char* doc, Py_ssize_t basicsize, unsigned flags)
    : qualified_name_(qualified_name), doc_(doc), basicsize_(basicsize), flags_(flags) {
  const char* dot = std::strrchr(qualified_name, '.');
  short_name_ = dot ? dot + 1 : qualified_name;
}

void ClassBuilder::getset(const char* name, getter g, setter s, const char* doc) {
  getsets_.push_back({name, g, s, doc, const_cast<char*>(name)});
}

PyTypeObject* ClassBuilder::create() {
  std::vector<PyType_Slot> slots = slots_;
  if (doc_) slots.push_back({Py_tp_doc, const_cast<char*>(doc_)});
  if (!getsets_.empty()) {
    // The type keeps a pointer to its getset table for its whole life.
    auto* table = new PyGetSetDef[getsets_.size() + 1];
    for (std::size_t i = 0; i < getsets_.size(); ++i) table[i] = getsets_[i];
    table[getsets_.size()] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    slots.push_back({Py_tp_getset, table});
  }
  slots.push_back({0, nullptr});
  PyType_Spec spec = {qualified_name_, static_cast<int>(basicsize_), 0,
                      static_cast<unsigned>(flags_ | Py_TPFLAGS_IMMUTABLETYPE),
                      slots.data()};
  return reinterpret_cast<PyTypeObject*>(type_from_spec(&spec).release());
}

void type_set(PyTypeObject* type, const char* name, PyObject* value) {
  check_int(PyDict_SetItemString(type->tp_dict, name, value));
  PyType_Modified(type);
}

PyObject* type_get(PyTypeObject* type, const char* name) {
  // PyDict_GetItemString would hide a failed allocation of the key.
  Ref key = check(PyUnicode_FromString(name));
  PyObject* v = PyDict_GetItemWithError(type->tp_dict, key.get());
  if (!v && PyErr_Occurred()) throw_error();
  if (!v) raise_format(PyExc_AttributeError, "type object '%s' has no attribute '%s'", type->tp_name, name);
  return v;
}

static PyObject* refuse_pickle_impl(FunctionObject*, PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

void refuse_pickling(PyTypeObject* type) {
  const char* cls = std::strrchr(type->tp_name, '.');
  cls = cls ? cls + 1 : type->tp_name;
  Ref reduce = make_function(&refuse_pickle_impl, Kind::Method, type, "__reduce_cython__(self)", nullptr, cls);
  Ref setstate = make_function(&refuse_pickle_impl, Kind::Method, type, "__setstate_cython__(self, __pyx_state)",
                               nullptr, cls);
  type_set(type, "__reduce_cython__", reduce.get());
  type_set(type, "__setstate_cython__", setstate.get());
  type_set(type, "__reduce__", reduce.get());
  type_set(type, "__setstate__", setstate.get());
}

PyTypeObject* finish_class(ClassBuilder& b, PyObject* module) {
  PyTypeObject* type = b.create();
  Ref keep = Ref::steal(reinterpret_cast<PyObject*>(type));
  refuse_pickling(type);
  check_int(PyModule_AddObjectRef(module, b.short_name(), keep.get()));
  return type;  // the module (and our static) keep it alive
}

// ---- attributes and tuples -------------------------------------------------------------

Ref getattr_opt(PyObject* obj, PyObject* name) {
  PyObject* v = PyObject_GetAttr(obj, name);
  if (v) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
  PyErr_Clear();
  return Ref();
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
  return t;
}

// ---- locks -----------------------------------------------------------------------------

static PyObject* s_enter() {
  static PyObject* s = intern("__enter__");
  return s;
}
static PyObject* s_exit() {
  static PyObject* s = intern("__exit__");
  return s;
}

BuiltinLock builtin_lock;

static void resolve_builtin_lock() {
  if (builtin_lock.type) return;
  Ref thread = check(PyImport_ImportModule("_thread"));
  Ref lock = call_method(thread.get(), intern("allocate_lock"));
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(lock.get()));
  Ref enter = getattr(type, s_enter());
  Ref exit = getattr(type, s_exit());
  // Kept for the life of the interpreter.
  builtin_lock = {reinterpret_cast<PyTypeObject*>(Ref::borrow(type).release()), enter.release(), exit.release()};
}

void LockGuard::enter_other(PyObject* lock) {
  Ref enter = getattr(lock, s_enter());
  Ref exit = getattr(lock, s_exit());
  call(enter.get());
  exit_ = std::move(exit);
}

void LockGuard::exit_unwinding() noexcept {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyObject* r = exit_call();
  Py_XDECREF(r);
  if (!r) PyErr_Clear();
  PyErr_Restore(t, v, tb);
}

// ---- modules -----------------------------------------------------------------------------

PyObject* this_module() { return g_module; }

Ref global(PyObject* name) {
  PyObject* d = PyModule_GetDict(g_module);
  PyObject* v = PyDict_GetItemWithError(d, name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error();
  v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error();
  raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

void Body::set(const char* name, Ref value) { check_int(PyObject_SetAttrString(m_, name, value.get())); }

Ref Body::import(const char* name) {
  Ref mod = check(PyImport_ImportModule(name));
  set(name, mod);
  return mod;
}

void Body::from_import(const char* module, std::initializer_list<const char*> names) {
  Ref mod = check(PyImport_ImportModule(module));
  for (const char* n : names) set(n, check(PyObject_GetAttrString(mod.get(), n)));
}

PyObject* Body::logger() {
  if (!logger_) {
    Ref logging = check(PyImport_ImportModule("logging"));
    Ref name = check(PyObject_GetAttrString(m_, "__name__"));
    logger_ = call_method(logging.get(), intern("getLogger"), name);
    set("logger", logger_);
  }
  return logger_.get();
}

void Body::log_info(const char* msg) { call_method(logger(), intern("info"), obj(msg)); }

PlainClass::PlainClass(Body& body, const char* name, const char* doc) : body_(body), name_(name) {
  ns_ = check(PyDict_New());
  Ref modname = check(PyObject_GetAttrString(body.module(), "__name__"));
  check_int(PyDict_SetItemString(ns_.get(), "__module__", modname.get()));
  check_int(PyDict_SetItemString(ns_.get(), "__qualname__", obj(name).get()));
  if (doc) check_int(PyDict_SetItemString(ns_.get(), "__doc__", obj(doc).get()));
}

void PlainClass::set(const char* name, Ref value) { check_int(PyDict_SetItemString(ns_.get(), name, value.get())); }

Ref PlainClass::create() {
  Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), obj(name_), bases, ns_);
  body_.set(name_, cls);
  return cls;
}

PyObject* module_create(PyObject* spec, PyModuleDef*, const ModuleInfo&) noexcept {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_interpreter == -1) {
    g_interpreter = id;
  } else if (g_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  try {
    Ref name = check(PyObject_GetAttrString(spec, "name"));
    Ref m = check(PyModule_NewObject(name.get()));
    PyObject* d = PyModule_GetDict(m.get());
    struct {
      const char* from;
      const char* to;
      bool allow_none;
    } const copies[] = {{"loader", "__loader__", true},
                        {"origin", "__file__", true},
                        {"parent", "__package__", true},
                        {"submodule_search_locations", "__path__", false}};
    for (const auto& c : copies) {
      PyObject* v = PyObject_GetAttrString(spec, c.from);
      if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();  // an attribute the ModuleSpec lacks is skipped
        continue;
      }
      Ref value = Ref::steal(v);
      if (c.allow_none || v != Py_None) check_int(PyDict_SetItemString(d, c.to, v));
    }
    g_module = Ref(m).release();
    return m.release();
  } catch (...) {
    return translate_exception();
  }
}

int module_exec(PyObject* m, const ModuleInfo& info) noexcept {
  if (g_executed) {
    if (m == g_module) return 0;  // executing the same module again does nothing
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", info.short_name);
    return -1;
  }
  if (!g_module) g_module = Py_NewRef(m);
  try {
    PyObject* d = PyModule_GetDict(m);
    check_int(PyDict_SetItemString(d, "__builtins__", PyEval_GetBuiltins()));

    // sys.version_info through getattr: PySys_GetObject would hide a failed allocation.
    Ref sys = check(PyImport_ImportModule("sys"));
    Ref vi = check(PyObject_GetAttrString(sys.get(), "version_info"));
    if (!PyTuple_Check(vi.get()) || PyTuple_GET_SIZE(vi.get()) < 2) raise(PyExc_RuntimeError, "lost sys.version_info");
    long major = PyLong_AsLong(PyTuple_GET_ITEM(vi.get(), 0));
    long minor = PyLong_AsLong(PyTuple_GET_ITEM(vi.get(), 1));
    if (PyErr_Occurred()) throw_error();
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
      check_int(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                 PY_MAJOR_VERSION, PY_MINOR_VERSION, info.qualified_name, "does not match",
                                 static_cast<int>(major), static_cast<int>(minor)));
    }

    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref qualname = obj(info.qualified_name);
    if (!PyDict_GetItemWithError(modules, qualname.get())) {
      if (PyErr_Occurred()) throw_error();
      check_int(PyDict_SetItem(modules, qualname.get(), m));
    }

    // Resolved here, at import, not in a later call where two threads could
    // meet in its initialisation.
    resolve_builtin_lock();
    if (info.make_types) info.make_types(m);
    Body body(m);
    if (info.body) info.body(body);
    g_executed = true;
    return 0;
  } catch (...) {
    translate_exception();
    std::string where = std::string("init ") + info.qualified_name;
    std::string file = std::string(info.short_name) + ".cpp";
    _PyTraceback_Add(where.c_str(), file.c_str(), 1);
    Py_CLEAR(g_module);
    return -1;
  }
}

}  // namespace kv
