// The function object type.
#include "function.hpp"

#include <memory>

#include "module.hpp"

namespace kv {

PyTypeObject* function_type = nullptr;

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
    PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object", f->name,
                 f->owner->tp_name, Py_TYPE(self)->tp_name);
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
  delete F(o)->sig;
  tp->tp_free(o);
  Py_DECREF(tp);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
  PyObject* q = F(self)->qualname;
  if (!q) return PyUnicode_FromFormat("<function at %p>", self);
  return PyUnicode_FromFormat("<function %U at %p>", q, self);
}

// Functions pickle by reference, as Python's own do: the module and the
// qualified name, which unpickle to this very object. A method bound in its
// class under another name than its own (an alias defined first and then
// shadowed) pickles as getattr(class, that name).
PyObject* resolve_qualname(PyObject* module_name, PyObject* qualname) {
  Ref obj = check(PyImport_Import(module_name));
  Ref parts = check(PyUnicode_Split(qualname, intern("."), -1));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i)
    obj = check(PyObject_GetAttr(obj.get(), PyList_GET_ITEM(parts.get(), i)));
  return obj.release();
}

// The object that module.qualname names now, or null when there is none.
Ref named_object(PyObject* module_name, PyObject* qualname) {
  if (!module_name || !PyUnicode_Check(module_name)) return Ref();
  try {
    return Ref::steal(resolve_qualname(module_name, qualname));
  } catch (const Error&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();  // pickle itself then says what it cannot find
    return Ref();
  }
}

Ref reduce_function(FunctionObject* f) {
  PyObject* self = reinterpret_cast<PyObject*>(f);
  if (!f->qualname) raise(PyExc_TypeError, "cannot pickle a cleared function");
  if (named_object(f->module, f->qualname).get() == self || f->kind != Kind::Method || !f->owner)
    return Ref::borrow(f->qualname);
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(f->owner->tp_dict, &pos, &key, &value)) {
    if (value != self) continue;
    Ref builtins = check(PyImport_ImportModule("builtins"));
    Ref getattr_fn = getattr(builtins.get(), intern("getattr"));
    Ref args = tuple_of({reinterpret_cast<PyObject*>(f->owner), key});
    return tuple_of({getattr_fn.get(), args.get()});
  }
  return Ref::borrow(f->qualname);
}

PyObject* fn_reduce(PyObject* self, PyObject*) noexcept {
  try {
    return reduce_function(F(self)).release();
  } catch (...) {
    return translate_exception();
  }
}

// A function is immutable as far as copying goes: copies are the object itself.
PyObject* fn_copy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyMethodDef fn_methods[] = {{"__reduce__", fn_reduce, METH_NOARGS, nullptr},
                            {"__copy__", fn_copy, METH_NOARGS, nullptr},
                            {"__deepcopy__", fn_copy, METH_O, nullptr},
                            {nullptr, nullptr, 0, nullptr}};

PyObject* get_str_field(PyObject* v) { return Py_NewRef(v ? v : Py_None); }

bool is_module_name(PyObject* name) {
  static PyObject* s = PyUnicode_InternFromString("__module__");
  if (name == s) return true;
  return s && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}

// `__module__` as a plain function has it: any value, None once deleted.
PyObject* fn_getattro(PyObject* self, PyObject* name) {
  if (is_module_name(name)) return get_str_field(F(self)->module);
  return PyObject_GenericGetAttr(self, name);
}
int fn_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (is_module_name(name)) {
    Py_XSETREF(F(self)->module, Py_XNewRef(value));
    return 0;
  }
  return PyObject_GenericSetAttr(self, name, value);
}

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

PyGetSetDef fn_getset[] = {{"__name__", g_name, s_name, nullptr, nullptr},
                           {"__qualname__", g_qualname, s_qualname, nullptr, nullptr},
                           {"__doc__", g_doc, s_doc, nullptr, nullptr},
                           {"__defaults__", g_defaults, s_defaults, nullptr, nullptr},
                           {"__kwdefaults__", g_kwdefaults, nullptr, nullptr, nullptr},
                           {"__annotations__", g_annotations, s_annotations, nullptr, nullptr},
                           {"__text_signature__", g_text_signature, nullptr, nullptr, nullptr},
                           {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};

// `__module__` is served by fn_getattro, so that the type's own `__module__`
// stays a plain string.
PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyTypeObject* ensure_function_type() {
  if (function_type) return function_type;
  static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
                                {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
                                {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
                                {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
                                {Py_tp_methods, fn_methods},
                                {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                                {Py_tp_getattro, reinterpret_cast<void*>(fn_getattro)},
                                {Py_tp_setattro, reinterpret_cast<void*>(fn_setattro)},
                                {Py_tp_getset, fn_getset},
                                {Py_tp_members, fn_members},
                                {0, nullptr}};
  static PyType_Spec spec = {"korvane.native_function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};
  function_type = reinterpret_cast<PyTypeObject*>(type_from_spec(&spec).release());
  return function_type;
}

}  // namespace

Ref type_from_spec(PyType_Spec* spec) {
  PyObject* type = PyType_FromSpec(spec);
  if (!type && !PyErr_Occurred()) PyErr_NoMemory();
  return check(type);
}

Ref make_function(Impl impl, Kind kind, PyTypeObject* owner, const char* signature, const char* doc,
                  const char* qualname_prefix) {
  PyTypeObject* tp = ensure_function_type();
  std::unique_ptr<Signature> sig = parse_signature(signature, kind == Kind::Method);
  Ref qualname = *qualname_prefix ? check(PyUnicode_FromFormat("%s.%U", qualname_prefix, sig->name.get())) : sig->name;
  PyObject* m = this_module();
  Ref module = m ? check(PyObject_GetAttrString(m, "__name__")) : none();
  Ref docstring = doc ? obj(doc) : none();
  FunctionObject* f = PyObject_GC_New(FunctionObject, tp);
  if (!f) throw_error();
  f->vectorcall = kind == Kind::Method ? vc_method : vc_function;
  f->impl = impl;
  f->kind = kind;
  f->owner = owner;
  f->name = Ref(sig->name).release();
  f->qualname = qualname.release();
  f->module = module.release();
  f->doc = docstring.release();
  f->defaults = Ref(sig->defaults_tuple).release();
  f->annotations = PyDict_GET_SIZE(sig->annotations.get()) ? Ref(sig->annotations).release() : nullptr;
  f->text_signature = Ref(sig->text_signature).release();
  f->dict = nullptr;
  f->sig = sig.release();
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace kv
