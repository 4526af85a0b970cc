#include "conversions.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace plovek::python {

namespace {

const char* plural(std::size_t count, const char* one, const char* many) { return count == 1 ? one : many; }

// Raises the TypeError for required parameters that received no value. Returns -1.
int raise_missing(const char* call, std::span<const char* const> names, PyObject** out) {
  std::string listed;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (out[i] != nullptr) continue;
    ++missing;
  }
  std::size_t seen = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (out[i] != nullptr) continue;
    ++seen;
    if (seen > 1) listed += seen == missing ? (missing > 2 ? ", and " : " and ") : ", ";
    listed += '\'';
    listed += names[i];
    listed += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required %s: %s", call, missing,
               plural(missing, "argument", "arguments"), listed.c_str());
  return -1;
}

// Places one keyword argument. 0 on success, -1 with TypeError set.
int place_keyword(const char* call, std::span<const char* const> names, std::size_t positional,
                  PyObject* key, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", call);
    return -1;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) != 0) continue;
    if (i < positional || out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", call, names[i]);
      return -1;
    }
    out[i] = value;
    return 0;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", call, key);
  return -1;
}

// Places the positional arguments. 0 on success, -1 with TypeError set.
int place_positional(const char* call, std::span<const char* const> names, PyObject* const* args,
                     std::size_t nargs, PyObject** out) {
  if (nargs > names.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional %s but %zu %s given", call, names.size(),
                 plural(names.size(), "argument", "arguments"), nargs, plural(nargs, "was", "were"));
    return -1;
  }
  for (std::size_t i = 0; i < names.size(); ++i) out[i] = i < nargs ? args[i] : nullptr;
  return 0;
}

int check_complete(const char* call, std::span<const char* const> names, PyObject** out) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (out[i] == nullptr) return raise_missing(call, names, out);
  }
  return 0;
}

}  // namespace

int match_arguments(const char* call, std::span<const char* const> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  if (place_positional(call, names, args, positional, out) < 0) return -1;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (place_keyword(call, names, positional, PyTuple_GET_ITEM(kwnames, i),
                        args[static_cast<Py_ssize_t>(positional) + i], out) < 0) {
        return -1;
      }
    }
  }
  return check_complete(call, names, out);
}

int match_arguments(const char* call, std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, PyObject** out) {
  const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (place_positional(call, names, &PyTuple_GET_ITEM(args, 0), positional, out) < 0) return -1;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (place_keyword(call, names, positional, key, value, out) < 0) return -1;
    }
  }
  return check_complete(call, names, out);
}

void prefix_argument_error(const char* name) noexcept {
  if (PyErr_Occurred() != PyExc_TypeError) return;  // the pending exception's class
  PyObject* type = nullptr;
  PyObject* old = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &old, &traceback);
  PyErr_NormalizeException(&type, &old, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (old == nullptr) return;  // cannot happen for a normalised TypeError

  PyObject* replacement = nullptr;
  PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, old);
  if (message != nullptr) {
    replacement = PyObject_CallOneArg(PyExc_TypeError, message);
    Py_DECREF(message);
  }
  if (replacement == nullptr) {  // keep the failure of building the replacement
    Py_DECREF(old);
    return;
  }
  PyObject* cause = PyException_GetCause(old);  // new reference or nullptr
  if (cause != nullptr) PyException_SetCause(replacement, cause);  // steals `cause`
  Py_DECREF(old);
  PyErr_SetObject(PyExc_TypeError, replacement);
  Py_DECREF(replacement);
}

int to_unsigned(PyObject* value, const char* name, std::uint64_t& out) noexcept {
  unsigned long long converted;
  if (PyLong_Check(value)) {
    converted = PyLong_AsUnsignedLongLong(value);
  } else {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) {
      prefix_argument_error(name);
      return -1;
    }
    converted = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    prefix_argument_error(name);
    return -1;
  }
  out = static_cast<std::uint64_t>(converted);
  return 0;
}

namespace {

// 1 if the type's attribute `attribute` is a str equal to one of `a`/`b`, 0 if not,
// -1 with an exception set.
int type_attribute_is(PyTypeObject* type, const char* attribute, const char* a, const char* b) {
  PyObject* text = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute);
  if (text == nullptr) return -1;
  const int matches = PyUnicode_Check(text) && (PyUnicode_CompareWithASCIIString(text, a) == 0 ||
                                                (b != nullptr && PyUnicode_CompareWithASCIIString(text, b) == 0));
  Py_DECREF(text);
  return matches;
}

// 1 if `value` is a NumPy boolean scalar, 0 if not, -1 with an exception set. Looks
// only at the value's type, so NumPy is never imported here.
int is_numpy_bool(PyObject* value) {
  const int module = type_attribute_is(Py_TYPE(value), "__module__", "numpy", nullptr);
  if (module <= 0) return module;
  return type_attribute_is(Py_TYPE(value), "__name__", "bool_", "bool");
}

}  // namespace

int to_bool(PyObject* value, const char* name, bool& out) noexcept {
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return 0;
  }
  const int numpy_bool = is_numpy_bool(value);
  if (numpy_bool == 1) {
    PyObject* result = PyObject_CallMethod(value, "__bool__", nullptr);
    if (result == Py_True || result == Py_False) {
      out = result == Py_True;
      Py_DECREF(result);
      return 0;
    }
    if (result != nullptr) {
      PyErr_Format(PyExc_TypeError, "__bool__ should return bool, returned %.200s", Py_TYPE(result)->tp_name);
      Py_DECREF(result);
    }
  } else if (numpy_bool == 0) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to bool", Py_TYPE(value)->tp_name);
  }
  prefix_argument_error(name);
  return -1;
}

namespace {

// A list of `count` items, item i from make_item(i) (a new reference, or nullptr with an
// exception set), asking `points` before each; Cancelled drops the partial list on its
// way out. Returns a new reference, or nullptr with an exception set.
template <class MakeItem>
PyObject* list_of(std::size_t count, MakeItem make_item, CancellationPoints& points) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) return nullptr;
  try {
    for (std::size_t i = 0; i < count; ++i) {
      points.poll();
      PyObject* item = make_item(i);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
  } catch (...) {
    Py_DECREF(list);
    throw;
  }
  return list;
}

// The list of the ints make_int gives for `indices`.
template <class MakeInt>
PyObject* list_of_ints(std::span<const std::uint64_t> indices, MakeInt make_int, CancellationPoints& points) {
  return list_of(indices.size(), [&](std::size_t i) { return make_int(indices[i]); }, points);
}

PyObject* new_int(std::uint64_t index) { return PyLong_FromUnsignedLongLong(index); }

// The ints of row numbers that appear in several lists (top-k memberships), each made
// once and shared: a point listed under k clusters costs one int object, not k.
class SharedIndices {
 public:
  explicit SharedIndices(std::size_t count) : ints_(count, nullptr) {}
  SharedIndices(const SharedIndices&) = delete;
  SharedIndices& operator=(const SharedIndices&) = delete;
  ~SharedIndices() {
    for (PyObject* item : ints_) Py_XDECREF(item);
  }

  // Returns a new reference, or nullptr with an exception set.
  PyObject* get(std::uint64_t index) {
    PyObject*& item = ints_[index];
    if (item == nullptr && (item = PyLong_FromUnsignedLongLong(index)) == nullptr) return nullptr;
    Py_INCREF(item);
    return item;
  }

 private:
  std::vector<PyObject*> ints_;
};

}  // namespace

PyObject* indices_to_python(std::span<const std::uint64_t> indices) noexcept {
  CancellationPoints never{Cancellation{}};
  return list_of_ints(indices, new_int, never);  // nothing throws without a check
}

PyObject* cluster_lists_to_python(const ClusterLists& lists, const Cancellation& cancellation) {
  std::size_t entries = 0;
  std::uint64_t largest = 0;
  for (const auto& list : lists) {
    entries += list.size();
    if (!list.empty()) largest = std::max(largest, list.back());  // lists are ascending
  }
  std::optional<SharedIndices> shared;
  try {
    if (entries > largest + 1) shared.emplace(static_cast<std::size_t>(largest + 1));
  } catch (const std::bad_alloc&) {
    // Not enough memory for the sharing table: one int per entry still works.
  }
  const auto shared_int = [&shared](std::uint64_t index) { return shared->get(index); };
  CancellationPoints points(cancellation);
  return list_of(
      lists.size(),
      [&](std::size_t c) {
        return shared ? list_of_ints(lists[c], shared_int, points) : list_of_ints(lists[c], new_int, points);
      },
      points);
}

}  // namespace plovek::python
