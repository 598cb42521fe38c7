// The import sequence shared by every module, and the helpers of module bodies.
#include "module.hpp"

#include <frameobject.h>

#include <cstdio>
#include <string>

namespace kv {

namespace {
PyObject* g_module = nullptr;  // the one module object of this extension
bool g_executed = false;
int64_t g_interpreter = -1;
PyObject* g_builtins = nullptr;  // the builtins namespace, held for the interpreter's life

// The namespace of the builtins module, as a module body sees it.
PyObject* builtins_dict() {
  if (!g_builtins) {
    Ref mod = check(PyImport_ImportModule("builtins"));
    g_builtins = Py_NewRef(PyModule_GetDict(mod.get()));
  }
  return g_builtins;
}

// Looks `name` up in `d`: a new reference, null when missing.
Ref dict_lookup(PyObject* d, PyObject* name) {
  PyObject* v = nullptr;
  check_int(PyDict_GetItemRef(d, name, &v));
  return Ref::steal(v);
}

// Adds an entry "function (file:line)" to the traceback of the pending
// exception, through a frame of an empty code object, as the interpreter's own
// import machinery shows where an import failed.
void add_traceback_entry(const char* function, const char* file, int line) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* globals = PyDict_New();
  PyCodeObject* code = globals ? PyCode_NewEmpty(file, function, line) : nullptr;
  PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  if (!frame) PyErr_Clear();  // the entry is a courtesy: the original error stays
  PyErr_SetRaisedException(exc);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(reinterpret_cast<PyObject*>(frame));
  Py_XDECREF(reinterpret_cast<PyObject*>(code));
  Py_XDECREF(globals);
}
}  // namespace

PyObject* this_module() { return g_module; }

Ref global(PyObject* name) {
  if (Ref v = dict_lookup(PyModule_GetDict(g_module), name)) return v;
  if (Ref v = dict_lookup(builtins_dict(), name)) return v;
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
      Ref value = getattr_opt(spec, intern(c.from));  // an attribute the ModuleSpec lacks is skipped
      if (value && (c.allow_none || value.get() != Py_None)) check_int(PyDict_SetItemString(d, c.to, value.get()));
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
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 info.short_name);
    return -1;
  }
  if (!g_module) g_module = Py_NewRef(m);
  try {
    PyObject* d = PyModule_GetDict(m);
    check_int(PyDict_SetItemString(d, "__builtins__", builtins_dict()));

    // The runtime's version from its version text ("3.13.0 (main, ...)"),
    // which needs no allocation that could fail.
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2)
      raise(PyExc_RuntimeError, "unreadable runtime version");
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
      check_int(PyErr_WarnFormat(
          PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
          PY_MAJOR_VERSION, PY_MINOR_VERSION, info.qualified_name, "does not match", major, minor));
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
    if (info.make_state) info.make_state();
    if (info.make_types) info.make_types(m);
    Body body(m);
    if (info.body) info.body(body);
    g_executed = true;
    return 0;
  } catch (...) {
    translate_exception();
    std::string where = std::string("init ") + info.qualified_name;
    std::string file = std::string(info.short_name) + ".cpp";
    add_traceback_entry(where.c_str(), file.c_str(), 1);
    Py_CLEAR(g_module);
    return -1;
  }
}

}  // namespace kv
