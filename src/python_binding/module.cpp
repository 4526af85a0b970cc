// The module `plovek`: single-phase initialisation of one module per process.
#include <Python.h>

#include "errors.h"
#include "kmeans_type.h"

namespace plovek::python {

namespace {

constexpr const char* kVersion = "0.2.3";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "plovek",  // m_name
    "",        // m_doc
    0,         // m_size
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

PyObject* module_cell = nullptr;  // the one module, kept for the life of the process

// Returns a new reference to the module's __all__ list, creating an empty one when the
// attribute is missing; nullptr with an exception set.
PyObject* all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return nullptr;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return nullptr;
    }
    return all;
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    Py_DECREF(all);
    return nullptr;
  }
  return all;
}

// Lists `name` in __all__ and sets the attribute to `value` (borrowed). 0 on success,
// -1 with an exception set.
int add(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = all_list(module);
  if (all == nullptr) return -1;
  PyObject* listed = PyUnicode_FromString(name);
  const int appended = listed == nullptr ? -1 : PyList_Append(all, listed);
  Py_XDECREF(listed);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

// The module body: the class, then the version. 0 on success, -1 with an exception set.
int fill_module(PyObject* module) {
  PyTypeObject* type = kmeans_type();
  if (type == nullptr) return -1;
  if (add(module, "KMeans", reinterpret_cast<PyObject*>(type)) < 0) return -1;
  PyObject* version = PyUnicode_FromString(kVersion);
  if (version == nullptr) return -1;
  const int added = add(module, "__version__", version);
  Py_DECREF(version);
  return added;
}

PyObject* initialise() {
  if (module_cell != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "plovek can only be initialised once per interpreter process; it cannot be re-imported "
                    "or imported into a second interpreter");
    return nullptr;
  }
  PyObject* module = PyModule_Create2(&module_def, 1013);
  if (module == nullptr) return nullptr;
  if (fill_module(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  Py_INCREF(module);
  module_cell = module;
  return module;
}

}  // namespace

}  // namespace plovek::python

PyMODINIT_FUNC PyInit_plovek(void) {
  return plovek::python::guarded<PyObject*>(nullptr, [] { return plovek::python::initialise(); });
}
