// The signature parser and the argument binder.
#include "signature.hpp"

#include <string>

namespace kv {

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
    Ref v = Ref::steal(PyLong_FromString(s.c_str(), &end, 10));
    if (v && end && *end == '\0') return v;
    // Not an int literal (ValueError): try a float; a failed allocation is raised.
    if (!v) clear_error_if(PyExc_ValueError);
  }
  char* end = nullptr;
  double d = PyOS_string_to_double(s.c_str(), &end, nullptr);
  if (d == -1.0 && PyErr_Occurred()) {
    clear_error_if(PyExc_ValueError);
    bad_signature(text, "unsupported default");
  }
  if (!end || *end != '\0') bad_signature(text, "unsupported default");
  return check(PyFloat_FromDouble(d));
}

}  // namespace

std::unique_ptr<Signature> parse_signature(const char* text, bool drop_self) {
  Cursor c{text};
  std::string fname = c.ident();
  if (fname.empty() || !c.eat('(')) bad_signature(text, "expected name(");
  auto sig = std::make_unique<Signature>();
  sig->name = check(PyUnicode_FromString(fname.c_str()));
  sig->annotations = check(PyDict_New());
  std::string textsig = "(";
  bool first = true, any_default = false;
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
        check_int(PyDict_SetItemString(sig->annotations.get(), pname.c_str(), a.get()));
      }
      if (is_self && drop_self) {
        textsig += "$self";
      } else {
        if (!first) textsig += ", ";
        textsig += pname;
        Ref name = check(PyUnicode_InternFromString(pname.c_str()));
        const char* cname = PyUnicode_AsUTF8(name.get());
        if (!cname) throw_error();
        sig->names.push_back(std::move(name));
        sig->cnames.push_back(cname);  // lives as long as the name
        if (has_def) {
          textsig += "=" + def;
          sig->defaults.push_back(literal(def, text));
          any_default = true;
        } else {
          if (any_default) bad_signature(text, "required parameter after a default");
          sig->defaults.emplace_back();
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
    check_int(PyDict_SetItemString(sig->annotations.get(), "return", a.get()));
  }
  if (any_default) {
    Py_ssize_t first_default = sig->nrequired;
    sig->defaults_tuple = check(PyTuple_New(sig->nparams - first_default));
    for (Py_ssize_t i = first_default; i < sig->nparams; ++i)
      PyTuple_SET_ITEM(sig->defaults_tuple.get(), i - first_default,
                       Py_NewRef(sig->defaults[static_cast<std::size_t>(i)].get()));
  }
  sig->text_signature = check(PyUnicode_FromString(textsig.c_str()));
  sig->message_name = PyUnicode_AsUTF8(sig->name.get());
  if (!sig->message_name) throw_error();
  return sig;
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
    if (same_name(key, s.names[static_cast<std::size_t>(i)].get())) return i;
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
  if (nargs > N) raise_count(s.message_name, s.nrequired, N, nargs);
  for (Py_ssize_t i = 0; i < N; ++i) out[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs < s.nrequired) raise_count(s.message_name, s.nrequired, N, nargs);
    return;
  }
  if (N == 0) reject_keywords(s.message_name, kwnames);
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = nargs; i < N; ++i) {
    PyObject* want = s.names[static_cast<std::size_t>(i)].get();
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (same_name(PyTuple_GET_ITEM(kwnames, j), want)) {
        out[i] = kwvalues[j];
        ++matched;
        break;
      }
    }
    if (!out[i] && i < s.nrequired) raise_count(s.message_name, s.nrequired, N, i);
  }
  if (matched == nkw) return;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", s.message_name);
    Py_ssize_t p = param_index(s, key);
    if (p < 0) raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.message_name, key);
    if (p < nargs)
      raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.message_name, key);
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

}  // namespace kv
