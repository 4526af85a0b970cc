// Everything that touches NumPy: its C-API table, loaded once on first need (so that
// `import plovek` does not import NumPy), the float32 matrix arguments of train and
// assign, and the centroid array. Only numpy_api.cpp includes NumPy's headers.
#pragma once

#include <Python.h>

#include <vector>

#include "engine/matrix.h"
#include "engine/matrix_view.h"

namespace plovek::python {

// Loads NumPy's C-API table from the `_ARRAY_API` capsule of its core `multiarray`
// module, once per process. 0 on success; -1 with PanicException set (its message
// names the underlying Python error, which is also its __cause__).
int load_numpy_api() noexcept;

// A two-dimensional float32 NumPy array argument, held for the length of one engine
// call. The engine reads the array's own memory through a strided view; only arrays
// whose byte strides are not whole float32 elements (views into packed structured
// arrays) are first copied into a row-major buffer owned by this object.
class MatrixArgument {
 public:
  MatrixArgument() = default;
  ~MatrixArgument() { release(); }
  MatrixArgument(const MatrixArgument&) = delete;
  MatrixArgument& operator=(const MatrixArgument&) = delete;

  // Checks that `object` is a NumPy array (or subtype) with two dimensions and an
  // element type equivalent to float32, and takes a new reference to it. 0 on
  // success; -1 with TypeError ("argument '<name>': ...") or PanicException set.
  int acquire(PyObject* object, const char* name);

  // Describes the held array as it is now (Python code may have run since
  // `acquire`) in NumPy's logical order. The view stays valid until `release`.
  // 0 on success; -1 with an exception set if the array no longer qualifies.
  int make_view(const char* name, MatrixView& view);

  // Drops the array reference and any copied buffer. Safe to call more than once.
  void release() noexcept;

 private:
  PyObject* array_ = nullptr;  // owned reference while held
  std::vector<float> packed_;  // row-major copy for strides that are not whole elements
};

// Returns a new reference: a new, writable, C-contiguous float32 array of shape
// (rows, cols) holding a copy of `matrix`; nullptr with an exception set on failure.
PyObject* matrix_to_array(const Matrix& matrix) noexcept;

}  // namespace plovek::python
