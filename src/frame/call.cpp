// Calling into Python: interned names, attributes, imports, locks.
#include "call.hpp"

#include <utility>

namespace kv {

// ---- interned strings ----------------------------------------------------------

PyObject* intern(const char* s) {
  PyObject* u = PyUnicode_InternFromString(s);
  if (!u) throw_error();
  // Kept for the life of the interpreter: callers cache the pointer.
  return u;
}

// ---- attributes and tuples -------------------------------------------------------------

Ref getattr_opt(PyObject* obj, PyObject* name) {
  Ref v = Ref::steal(PyObject_GetAttr(obj, name));
  if (!v) clear_error_if(PyExc_AttributeError);
  return v;
}

Ref import_opt(PyObject* name) {
  Ref m = Ref::steal(PyImport_Import(name));
  if (!m) clear_error_if(PyExc_ImportError);
  return m;
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

void resolve_builtin_lock() {
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
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* r;
  if (exit_ && mode_ == ExitWith::Exception && pending) {
    // As the with statement does: the exception's type, value and traceback.
    PyObject* tb = PyException_GetTraceback(pending);
    PyObject* argv[4] = {nullptr, reinterpret_cast<PyObject*>(Py_TYPE(pending)), pending, tb ? tb : Py_None};
    r = PyObject_Vectorcall(exit_.get(), argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_XDECREF(tb);
  } else {
    r = exit_call();
  }
  Py_XDECREF(r);
  if (!r) PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

}  // namespace kv
