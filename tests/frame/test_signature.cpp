// The signature parser and the argument binder, tested on their own in an
// embedded interpreter: every edge of the declared-signature grammar and
// every standard message of the binder.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what, int line) {
  if (!ok) {
    std::fprintf(stderr, "FAILED line %d: %s\n", line, what);
    ++failures;
  }
}
#define EXPECT(cond) expect((cond), #cond, __LINE__)

std::string text(PyObject* o) {
  const char* s = o ? PyUnicode_AsUTF8(o) : nullptr;
  return s ? s : "<null>";
}
std::string repr(PyObject* o) {
  kv::Ref r = kv::Ref::steal(PyObject_Repr(o));
  return text(r.get());
}

// Runs `body`, which must raise `type`; returns the message ("" when it did not raise).
template <class F>
std::string raised(PyObject* type, F&& body) {
  try {
    body();
  } catch (const kv::Error&) {
    PyObject* exc = PyErr_GetRaisedException();
    bool match = exc && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(type));
    kv::Ref msg = kv::Ref::steal(exc ? PyObject_Str(exc) : nullptr);
    Py_XDECREF(exc);
    return match ? text(msg.get()) : "<wrong type>";
  }
  return "";
}

kv::Ref str(const char* s) { return kv::obj(s); }

void parse_cases() {
  auto s = kv::parse_signature("f(a, b=1, c: int = -2, d='x, y', e=None, f=(), g=2.5, h=True) -> int", false);
  EXPECT(text(s->name.get()) == "f");
  EXPECT(std::strcmp(s->message_name, "f") == 0);
  EXPECT(s->nparams == 8 && s->nrequired == 1);
  EXPECT(text(s->names[2].get()) == "c" && std::strcmp(s->cnames[3], "d") == 0);
  EXPECT(!s->defaults[0]);
  EXPECT(repr(s->defaults_tuple.get()) == "(1, -2, 'x, y', None, (), 2.5, True)");
  EXPECT(repr(s->annotations.get()) == "{'c': 'int', 'return': 'int'}");
  EXPECT(text(s->text_signature.get()) == "(a, b=1, c=-2, d='x, y', e=None, f=(), g=2.5, h=True)");

  auto m = kv::parse_signature("load(self) -> Optional[object]", true);
  EXPECT(m->nparams == 0 && !m->defaults_tuple);
  EXPECT(text(m->text_signature.get()) == "($self)");
  EXPECT(repr(m->annotations.get()) == "{'return': 'Optional[object]'}");

  auto kept = kv::parse_signature("__init__(self, x: Dict[str, int] = 0)", false);
  EXPECT(kept->nparams == 2 && kept->nrequired == 1);
  EXPECT(repr(kept->annotations.get()) == "{'x': 'Dict[str, int]'}");

  auto big = kv::parse_signature("g(x=123456789012345678901234567890, y=inf, z=1e-3)", false);
  EXPECT(repr(big->defaults_tuple.get()) == "(123456789012345678901234567890, inf, 0.001)");

  auto empty = kv::parse_signature("h()", false);
  EXPECT(empty->nparams == 0 && text(empty->text_signature.get()) == "()");

  for (const char* bad : {"nope", "f(a=1, b)", "f(a b)", "f(a=unknown)", "(a)", "f(, a)"})
    EXPECT(raised(PyExc_SystemError, [&] { kv::parse_signature(bad, false); }).rfind("bad signature", 0) == 0);
}

struct Call {
  std::vector<PyObject*> stack;
  kv::Ref kwnames;
};
// Positional values, then keyword names and values.
Call call(std::initializer_list<PyObject*> pos, std::initializer_list<std::pair<PyObject*, PyObject*>> kw = {}) {
  Call c;
  c.stack.assign(pos.begin(), pos.end());
  if (kw.size()) {
    c.kwnames = kv::new_tuple(static_cast<Py_ssize_t>(kw.size()));
    Py_ssize_t i = 0;
    for (auto& [k, v] : kw) {
      kv::set_item(c.kwnames, i++, k);
      c.stack.push_back(v);
    }
  }
  return c;
}

std::string bind(const kv::Signature& s, const Call& c, std::vector<PyObject*>& out) {
  out.assign(static_cast<std::size_t>(s.nparams), nullptr);
  Py_ssize_t nargs = static_cast<Py_ssize_t>(c.stack.size()) - (c.kwnames ? PyTuple_GET_SIZE(c.kwnames.get()) : 0);
  return raised(PyExc_TypeError, [&] { kv::bind_args(s, c.stack.data(), nargs, c.kwnames.get(), out.data()); });
}

void bind_cases() {
  auto s = kv::parse_signature("f(a, b, c=3)", false);
  kv::Ref one = kv::obj(int64_t{1}), two = kv::obj(int64_t{2});
  kv::Ref a = str("a"), b = str("b"), c = str("c"), z = str("z");
  std::vector<PyObject*> out;

  EXPECT(bind(*s, call({one.get(), two.get()}), out).empty() && out[0] == one.get() && !out[2]);
  EXPECT(bind(*s, call({one.get()}, {{b.get(), two.get()}}), out).empty() && out[1] == two.get());
  EXPECT(bind(*s, call({}, {{c.get(), one.get()}, {a.get(), two.get()}, {b.get(), one.get()}}), out).empty() &&
         out[0] == two.get() && out[2] == one.get());
  // A keyword equal to a parameter name but not the same object still binds.
  kv::Ref b2 = kv::Ref::steal(PyUnicode_FromString("bb"));
  kv::Ref b_other = kv::Ref::steal(PyUnicode_Substring(b2.get(), 0, 1));
  EXPECT(bind(*s, call({one.get()}, {{b_other.get(), two.get()}}), out).empty() && out[1] == two.get());

  EXPECT(bind(*s, call({one.get()}), out) == "f() takes at least 2 positional arguments (1 given)");
  EXPECT(bind(*s, call({one.get(), one.get(), one.get(), one.get()}), out) ==
         "f() takes at most 3 positional arguments (4 given)");
  EXPECT(bind(*s, call({one.get(), two.get()}, {{z.get(), one.get()}}), out) ==
         "f() got an unexpected keyword argument 'z'");
  EXPECT(bind(*s, call({one.get(), two.get()}, {{a.get(), one.get()}}), out) ==
         "f() got multiple values for keyword argument 'a'");
  EXPECT(bind(*s, call({one.get(), two.get()}, {{one.get(), one.get()}}), out) == "f() keywords must be strings");

  auto one_param = kv::parse_signature("g(x)", false);
  EXPECT(bind(*one_param, call({}), out) == "g() takes exactly 1 positional argument (0 given)");
  auto none = kv::parse_signature("h()", false);
  EXPECT(bind(*none, call({}, {{a.get(), one.get()}}), out) == "h() got an unexpected keyword argument 'a'");
  EXPECT(bind(*none, call({}, {{one.get(), one.get()}}), out) == "h() keywords must be strings");

  // Constructors: the same rules from a tuple and a dict, under "__cinit__".
  auto ctor = kv::parse_signature("__cinit__(self, x=0)", true);
  ctor->message_name = "__cinit__";
  kv::Ref args = kv::tuple_of({one.get(), two.get()});
  EXPECT(raised(PyExc_TypeError, [&] {
           out.assign(1, nullptr);
           kv::bind_args_dict(*ctor, args.get(), nullptr, out.data());
         }) == "__cinit__() takes at most 1 positional argument (2 given)");
  kv::Ref kwargs = kv::check(PyDict_New());
  kv::Ref x = str("x");
  kv::check_int(PyDict_SetItem(kwargs.get(), x.get(), two.get()));
  kv::Ref no_args = kv::new_tuple(0);
  out.assign(1, nullptr);
  kv::bind_args_dict(*ctor, no_args.get(), kwargs.get(), out.data());
  EXPECT(out[0] == two.get());
}

}  // namespace

int main() {
  Py_Initialize();
  try {
    parse_cases();
    bind_cases();
  } catch (const kv::Error&) {
    PyErr_Print();
    ++failures;
  }
  EXPECT(!PyErr_Occurred());
  if (Py_FinalizeEx() < 0) ++failures;
  std::printf("signature tests: %s\n", failures ? "FAILED" : "passed");
  return failures ? 1 : 0;
}
