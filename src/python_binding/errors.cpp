#include "errors.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "runtime/cancellation.h"

namespace plovek::python {

namespace {

constexpr const char* kGenericPanic = "plovek: an internal error occurred";

PyObject* panic_type = nullptr;  // owned for the life of the process

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "plovek.PanicException", "An internal failure inside plovek (a broken invariant).",
        PyExc_BaseException, nullptr);
  }
  return panic_type;
}

PyObject* raise_panic(std::string_view message) noexcept {
  if (message.empty()) message = kGenericPanic;
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_engine_error(const KMeansError& error) noexcept {
  try {
    const std::string display = error.display();
    PyObject* text = PyUnicode_FromStringAndSize(display.data(), static_cast<Py_ssize_t>(display.size()));
    if (text == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  } catch (...) {
    raise_from_current_exception();
  }
  return nullptr;
}

void raise_from_current_exception() noexcept {
  try {
    throw;
  } catch (const Cancelled&) {
    // The cancellation check left the exception to raise; keep it.
    if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than can ever be allocated.
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic({});
  }
}

}  // namespace plovek::python
