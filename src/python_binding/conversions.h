// Argument matching and conversion for the KMeans methods, and the conversion of
// engine results into Python objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "engine/kmeans.h"
#include "runtime/cancellation.h"

namespace plovek::python {

// Matches fast-call arguments (`args`, `nargs`, `kwnames`) against the required
// parameters `names`, each accepted positionally or by keyword. On success stores
// borrowed references in out[0..names.size()) and returns 0; otherwise -1 with a
// TypeError naming `call` (e.g. "KMeans.train()") and what is wrong.
int match_arguments(const char* call, std::span<const char* const> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for a tuple of positional arguments and an optional dict of keywords
// (the calling convention of tp_new).
int match_arguments(const char* call, std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, PyObject** out);

// Replaces a pending TypeError (exactly that type, not a subclass) by a new TypeError
// whose message is "argument '<name>': " followed by the old message; the new one
// keeps the old one's __cause__. Any other pending exception is left as it is.
void prefix_argument_error(const char* name) noexcept;

// Unsigned conversion: an int directly, anything else through __index__. 0 on
// success; -1 with OverflowError (negative or >= 2**64) or a prefixed TypeError.
int to_unsigned(PyObject* value, const char* name, std::uint64_t& out) noexcept;

// Boolean conversion: True/False, or a NumPy boolean scalar through its __bool__.
// 0 on success; -1 with a prefixed TypeError (or the scalar's own failure).
int to_bool(PyObject* value, const char* name, bool& out) noexcept;

// Returns a new reference: a list holding, per cluster, a new list of its row
// numbers as ints; nullptr with an exception set on failure. Polls `cancellation`
// while it builds them (hundreds of millions of ints take seconds) and throws
// Cancelled, dropping what it built, when the check answers yes.
PyObject* cluster_lists_to_python(const ClusterLists& lists, const Cancellation& cancellation = {});

// Returns a new reference: a list of ints; nullptr with an exception set on failure.
PyObject* indices_to_python(std::span<const std::uint64_t> indices) noexcept;

}  // namespace plovek::python
