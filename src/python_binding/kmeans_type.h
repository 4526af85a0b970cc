// The Python class KMeans: a heap type whose instances own one engine record and a
// claim counter.
#pragma once

#include <Python.h>

namespace plovek::python {

// Returns a borrowed reference to the KMeans type, creating it on first call (it then
// lives for the rest of the process); nullptr with an exception set on failure.
PyTypeObject* kmeans_type() noexcept;

}  // namespace plovek::python
