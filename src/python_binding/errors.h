// Turning failures into Python exceptions: engine errors, internal failures (as
// PanicException) and C++ exceptions caught at the module's entry points.
#pragma once

#include <Python.h>

#include <string_view>

#include "engine/kmeans_error.h"

namespace plovek::python {

// Returns a borrowed reference to PanicException (a direct subclass of BaseException),
// creating it on first use; nullptr with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Raises PanicException with `message` (a generic text when empty). Always returns
// nullptr so callers can `return raise_panic(...)`.
PyObject* raise_panic(std::string_view message) noexcept;

// Raises ValueError whose message is exactly the error's display text. Returns nullptr.
PyObject* raise_engine_error(const KMeansError& error) noexcept;

// Call only inside a catch block: maps the exception being handled to a Python
// exception: a cancellation keeps the exception its check left pending; std::bad_alloc
// and std::length_error (an impossible size) become MemoryError; everything else
// PanicException.
void raise_from_current_exception() noexcept;

// Runs `body` (returning a PyObject* or int result) at a module entry point: any C++
// exception that leaves it is mapped by raise_from_current_exception and `failed` is
// returned instead. Nothing ever unwinds into the interpreter.
template <class Result, class Body>
Result guarded(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_from_current_exception();
    return failed;
  }
}

}  // namespace plovek::python
