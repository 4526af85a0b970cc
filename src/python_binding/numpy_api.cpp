// One build serves NumPy 1.21 and later: compiled against NumPy 2 headers with the
// 1.21 feature level, and only the layout-stable accessors of the array object used.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL plovek_numpy_api_table
#define NO_IMPORT_ARRAY  // the table is loaded by load_numpy_api below, never by import_array()
#include "numpy_api.h"

#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "errors.h"

// The table and the runtime feature level that NumPy's headers refer to (declared by
// them as extern because of NO_IMPORT_ARRAY; hidden, so not exported).
extern "C" {
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;
}

namespace plovek::python {

namespace {

// Replaces the pending Python error by PanicException naming it; the original error
// becomes the panic's __cause__. Returns -1.
int raise_numpy_unavailable() {
  PyObject* type = nullptr;
  PyObject* error = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &error, &traceback);
  PyErr_NormalizeException(&type, &error, &traceback);
  if (error != nullptr && traceback != nullptr) PyException_SetTraceback(error, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);

  PyObject* panic = panic_exception_type();
  PyObject* message =
      error == nullptr ? PyUnicode_FromString("NumPy's array API could not be accessed")
                       : PyUnicode_FromFormat("NumPy's array API could not be accessed: %s: %S",
                                              Py_TYPE(error)->tp_name, error);
  if (panic == nullptr || message == nullptr) {
    Py_XDECREF(message);
    Py_XDECREF(error);
    return -1;
  }
  PyObject* exception = PyObject_CallOneArg(panic, message);
  Py_DECREF(message);
  if (exception == nullptr) {
    Py_XDECREF(error);
    return -1;
  }
  if (error != nullptr) PyException_SetCause(exception, error);  // steals `error`
  PyErr_SetObject(panic, exception);
  Py_DECREF(exception);
  return -1;
}

// Returns a new reference to NumPy's major version as an int, parsed with
// numpy.lib.NumpyVersion; nullptr with an exception set.
PyObject* numpy_major_version() {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return nullptr;
  PyObject* version = PyObject_GetAttrString(numpy, "__version__");
  Py_DECREF(numpy);
  if (version == nullptr) return nullptr;
  PyObject* lib = PyImport_ImportModule("numpy.lib");
  PyObject* parser = lib == nullptr ? nullptr : PyObject_GetAttrString(lib, "NumpyVersion");
  Py_XDECREF(lib);
  PyObject* parsed = parser == nullptr ? nullptr : PyObject_CallOneArg(parser, version);
  Py_XDECREF(parser);
  Py_DECREF(version);
  if (parsed == nullptr) return nullptr;
  PyObject* major = PyObject_GetAttrString(parsed, "major");
  Py_DECREF(parsed);
  return major;
}

// Returns the C-API table of the running NumPy; nullptr with an exception set.
void** read_array_api() {
  PyObject* major_object = numpy_major_version();
  if (major_object == nullptr) return nullptr;
  const long major = PyLong_AsLong(major_object);
  Py_DECREF(major_object);
  if (major == -1 && PyErr_Occurred() != nullptr) return nullptr;

  PyObject* multiarray =
      PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
  if (multiarray == nullptr) return nullptr;
  PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
  Py_DECREF(multiarray);
  if (capsule == nullptr) return nullptr;
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_Format(PyExc_TypeError, "_ARRAY_API is a '%.200s' object, not a capsule", Py_TYPE(capsule)->tp_name);
    Py_DECREF(capsule);
    return nullptr;
  }
  // The capsule's owner (NumPy's extension module) is never unloaded, so the table
  // outlives the capsule object.
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
  Py_DECREF(capsule);
  return table;
}

// A new reference to the float32 descriptor; nullptr with an exception set.
PyArray_Descr* float32_descr() { return PyArray_DescrFromType(NPY_FLOAT); }

// 1 if the array's elements are equivalent to float32, 0 if not, -1 with an exception set.
int has_float32_elements(PyArrayObject* array) {
  PyArray_Descr* expected = float32_descr();
  if (expected == nullptr) return -1;
  PyArray_Descr* actual = PyArray_DESCR(array);
  const int equivalent = actual == expected || PyArray_EquivTypes(actual, expected);
  Py_DECREF(expected);
  return equivalent ? 1 : 0;
}

// 1 if `object` is a 2-D array whose elements are equivalent to float32, 0 if not,
// -1 with an exception set. Requires the table to be loaded.
int is_float32_matrix(PyObject* object) {
  if (!PyArray_Check(object)) return 0;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 2) return 0;
  return has_float32_elements(array);
}

constexpr const char* kExpectedMatrix = "expected a 2-D numpy.ndarray of float32";
constexpr const char* kConvertHint = "convert it with numpy.asarray(x, dtype=numpy.float32)";

// A shape in Python's tuple notation: "()", "(5,)", "(2, 3)".
std::string shape_text(int ndim, const npy_intp* dims) {
  std::string text = "(";
  for (int axis = 0; axis < ndim; ++axis) text += (axis > 0 ? ", " : "") + std::to_string(dims[axis]);
  return text + (ndim == 1 ? ",)" : ")");
}

// Says what `object` is (its element type, dimensions and shape when it is an array)
// and how to turn it into what the engine reads.
int raise_not_a_matrix(PyObject* object, const char* name) {
  if (!PyArray_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s, got '%.200s' object; %s", name, kExpectedMatrix,
                 Py_TYPE(object)->tp_name, kConvertHint);
    return -1;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const int float32 = has_float32_elements(array);
  if (float32 < 0) return -1;
  const int ndim = PyArray_NDIM(array);
  std::string fix = float32 ? "" : kConvertHint;
  if (ndim != 2) fix += std::string(fix.empty() ? "" : " and ") + "reshape it to (points, features)";
  const std::string shape = shape_text(ndim, PyArray_DIMS(array));
  PyErr_Format(PyExc_TypeError, "argument '%s': %s, got %S array with %d dimension%s, shape %s; %s", name,
               kExpectedMatrix, reinterpret_cast<PyObject*>(PyArray_DESCR(array)), ndim, ndim == 1 ? "" : "s",
               shape.c_str(), fix.c_str());
  return -1;
}

// The element stride for a byte stride along an axis of `extent` elements, or false
// when the byte stride is not a whole number of float32 elements. The stride of an
// axis with at most one element is never used, so it is reported as 0.
bool element_stride(npy_intp byte_stride, npy_intp extent, std::ptrdiff_t& stride) {
  if (extent <= 1) {
    stride = 0;
    return true;
  }
  if (byte_stride % static_cast<npy_intp>(sizeof(float)) != 0) return false;
  stride = static_cast<std::ptrdiff_t>(byte_stride / static_cast<npy_intp>(sizeof(float)));
  return true;
}

// The array that owns the memory `array` shows: the first array along its chain of
// bases (itself included) that owns its data; nullptr when the chain ends in another
// kind of object (a memory map, a bytes object), which no array operation can free.
PyArrayObject* owning_array(PyArrayObject* array) {
  for (;;) {
    if (PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA)) return array;
    PyObject* base = PyArray_BASE(array);
    if (base == nullptr || !PyArray_Check(base)) return nullptr;
    array = reinterpret_cast<PyArrayObject*>(base);
  }
}

// The lowest and one past the highest byte address of the elements of a non-empty array.
std::pair<std::uintptr_t, std::uintptr_t> element_extent(PyArrayObject* array) {
  auto low = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));
  std::uintptr_t high = low + static_cast<std::uintptr_t>(PyArray_ITEMSIZE(array));
  for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
    const npy_intp reach = PyArray_STRIDES(array)[axis] * (PyArray_DIMS(array)[axis] - 1);
    if (reach < 0) low -= static_cast<std::uintptr_t>(-reach);
    else high += static_cast<std::uintptr_t>(reach);
  }
  return {low, high};
}

// False when `array` is a view whose elements no longer lie inside the memory of the
// array that owns them: `resize(..., refcheck=False)` on that array (possibly run by
// Python code while the other arguments were converted) reallocates its memory under
// every view of it, which would then read freed memory.
bool elements_inside_owner(PyArrayObject* array) {
  if (PyArray_SIZE(array) == 0) return true;  // nothing is read
  PyArrayObject* owner = owning_array(array);
  if (owner == nullptr || owner == array) return true;
  const auto begin = reinterpret_cast<std::uintptr_t>(PyArray_DATA(owner));
  const auto [low, high] = element_extent(array);
  return low >= begin && high <= begin + static_cast<std::uintptr_t>(PyArray_NBYTES(owner));
}

}  // namespace

int load_numpy_api() noexcept {
  if (PyArray_API != nullptr) return 0;
  void** table = read_array_api();
  if (table == nullptr) {
    if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API holds a NULL pointer");
    return raise_numpy_unavailable();
  }
  // Entries 0 and 211 have been in the table since NumPy 1.0 and 1.7: the ABI version
  // and the C-API feature level of the running NumPy.
  const auto abi_version = reinterpret_cast<unsigned int (*)()>(table[0])();
  const auto feature_version = reinterpret_cast<unsigned int (*)()>(table[211])();
  if (abi_version > NPY_VERSION || feature_version < NPY_FEATURE_VERSION) {
    PyErr_Format(PyExc_RuntimeError,
                 "plovek was built for NumPy ABI 0x%x and C-API level 0x%x or later, but the running NumPy "
                 "has ABI 0x%x and C-API level 0x%x",
                 static_cast<unsigned>(NPY_VERSION), static_cast<unsigned>(NPY_FEATURE_VERSION), abi_version,
                 feature_version);
    return raise_numpy_unavailable();
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
  PyArray_API = table;
  return 0;
}

int MatrixArgument::acquire(PyObject* object, const char* name) {
  release();
  if (load_numpy_api() < 0) return -1;
  const int qualifies = is_float32_matrix(object);
  if (qualifies < 0) return -1;
  if (qualifies == 0) return raise_not_a_matrix(object, name);
  Py_INCREF(object);
  array_ = object;
  return 0;
}

int MatrixArgument::make_view(const char* name, MatrixView& view) {
  const int qualifies = is_float32_matrix(array_);
  if (qualifies < 0) return -1;
  if (qualifies == 0) return raise_not_a_matrix(array_, name);

  auto* array = reinterpret_cast<PyArrayObject*>(array_);
  if (!elements_inside_owner(array)) {
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': the array's elements lie outside the memory of the array that owns them "
                 "(was that array resized with refcheck=False?)",
                 name);
    return -1;
  }
  const npy_intp* shape = PyArray_DIMS(array);
  const npy_intp* byte_strides = PyArray_STRIDES(array);
  const auto* origin = static_cast<const unsigned char*>(PyArray_DATA(array));
  const auto rows = static_cast<std::size_t>(shape[0]);
  const auto cols = static_cast<std::size_t>(shape[1]);

  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
  if (element_stride(byte_strides[0], shape[0], row_stride) && element_stride(byte_strides[1], shape[1], col_stride)) {
    view = MatrixView(origin, rows, cols, row_stride, col_stride);
    return 0;
  }
  // Strides that fall between elements: read each value byte-wise into a row-major
  // copy, which the view then presents.
  packed_.resize(rows * cols);
  for (std::size_t i = 0; i < rows; ++i) {
    const unsigned char* row = origin + static_cast<npy_intp>(i) * byte_strides[0];
    for (std::size_t j = 0; j < cols; ++j) {
      std::memcpy(&packed_[i * cols + j], row + static_cast<npy_intp>(j) * byte_strides[1], sizeof(float));
    }
  }
  view = MatrixView::row_major(packed_.data(), rows, cols);
  return 0;
}

void MatrixArgument::release() noexcept {
  Py_CLEAR(array_);
  packed_ = std::vector<float>();
}

PyObject* matrix_to_array(const Matrix& matrix) noexcept {
  if (load_numpy_api() < 0) return nullptr;
  PyArray_Descr* descr = float32_descr();
  if (descr == nullptr) return nullptr;
  npy_intp shape[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
  // No strides and no data given: NumPy allocates a C-contiguous (row-major) block.
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 2, shape, nullptr, nullptr, 0, nullptr);  // steals `descr`
  if (array == nullptr) return nullptr;
  if (matrix.rows() != 0 && matrix.cols() != 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), matrix.data(),
                matrix.rows() * matrix.cols() * sizeof(float));
  }
  return array;
}

}  // namespace plovek::python
