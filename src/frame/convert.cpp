// Conversions between Python objects and C++ values, with the interpreter's
// standard messages.
#include "convert.hpp"

#include "call.hpp"

#include <vector>

namespace kv {

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
// An integer argument's value as a C long long (64 bits here): an int
// directly, anything else through __int__; `overflow` is -1/+1 beyond the
// range, and `keep` holds what __int__ returned while it is read.
struct IntValue {
  Ref keep;
  PyObject* obj;
  long long v = 0;
  int overflow = 0;
  explicit IntValue(PyObject* o) : obj(o) {
    if (!PyLong_Check(o)) {
      keep = as_int_object(o);
      obj = keep.get();
    }
    v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) throw_error();
  }
};
}  // namespace

int64_t to_i64(PyObject* o) {
  IntValue i(o);
  if (i.overflow) raise(PyExc_OverflowError, "Python int too large to convert to C long");
  return static_cast<int64_t>(i.v);
}

uint64_t to_u64(PyObject* o, const char* cname) { return to_unsigned(o, UINT64_MAX, cname); }

int64_t to_signed(PyObject* o, int64_t lo, int64_t hi, const char* cname) {
  int64_t v = to_i64(o);
  if (v < lo || v > hi) raise_format(PyExc_OverflowError, "value too large to convert to %s", cname);
  return v;
}

uint64_t to_unsigned(PyObject* o, uint64_t hi, const char* cname) {
  IntValue i(o);
  const int overflow = i.overflow;
  const long long v = i.v;
  o = i.obj;
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
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               Py_TYPE(got)->tp_name);
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

// ---- result dicts ----------------------------------------------------------------

DictShape::DictShape(std::initializer_list<const char*> keys) {
  layout_ = check(PyDict_New());
  for (const char* k : keys) {
    PyObject* key = intern(k);
    keys_.push_back(key);
    check_int(PyDict_SetItem(layout_.get(), key, Py_None));
  }
}

Ref DictShape::make(std::initializer_list<PyObject*> values) const {
  if (values.size() != keys_.size()) raise(PyExc_SystemError, "result dict: wrong number of values");
  // Up to five keys fit a new dict's smallest table, so inserting them
  // resizes nothing; for such small dicts a copy is the slower road on 3.12
  // and later (by 5 to 14 ns for three to five keys). More keys are copied
  // from the laid-out dict: its key table comes over whole, with no resizing
  // and no rehashing. Either way the keys keep their order.
  constexpr std::size_t kSmallestTable = 5;
  Ref d = check(keys_.size() <= kSmallestTable ? PyDict_New() : PyDict_Copy(layout_.get()));
  std::size_t i = 0;
  for (PyObject* v : values) check_int(PyDict_SetItem(d.get(), keys_[i++], v));
  return d;
}

}  // namespace kv
