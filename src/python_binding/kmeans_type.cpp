#include "kmeans_type.h"

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "claims.h"
#include "conversions.h"
#include "errors.h"
#include "engine/kmeans.h"
#include "numpy_api.h"

namespace plovek::python {

namespace {

// Instance layout: the object header, the engine record (constructed in place by the
// constructor or a builder, destroyed by dealloc), then the claim counter.
struct KMeansObject {
  PyObject_HEAD
  alignas(KMeans) unsigned char record_storage[sizeof(KMeans)];
  ClaimCounter claims;
};

// An instance is allocated before its record is moved in, so the move must not fail.
static_assert(std::is_nothrow_move_constructible_v<KMeans>);

PyTypeObject* type_object = nullptr;  // owned for the life of the process

KMeans& record_of(PyObject* self) {
  return *std::launder(reinterpret_cast<KMeans*>(reinterpret_cast<KMeansObject*>(self)->record_storage));
}

ClaimCounter& claims_of(PyObject* self) { return reinterpret_cast<KMeansObject*>(self)->claims; }

// Returns a new reference: a new instance of `type` that takes over `record`, with a
// free claim counter; nullptr with an exception set.
PyObject* wrap_record(PyTypeObject* type, KMeans&& record) noexcept {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* object = reinterpret_cast<KMeansObject*>(self);
  new (object->record_storage) KMeans(std::move(record));  // moves never throw
  new (&object->claims) ClaimCounter(0);
  return self;
}

void kmeans_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of(self).~KMeans();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* kmeans_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* names[] = {"n_clusters"};
    PyObject* values[1];
    if (match_arguments("KMeans.__new__()", names, args, kwargs, values) < 0) return nullptr;
    std::uint64_t n_clusters = 0;
    if (to_unsigned(values[0], "n_clusters", n_clusters) < 0) return nullptr;
    if (n_clusters == 0) {
      PyErr_SetString(PyExc_ValueError, "Number of clusters must be positive");
      return nullptr;
    }
    return wrap_record(type, KMeans(n_clusters));
  });
}

// ---- Builders -------------------------------------------------------------------

// One builder: its call name for errors, its parameter, how the argument converts,
// the message for a zero value (unsigned parameters) and where the value goes.
struct Builder {
  const char* call;
  const char* parameter;
  const char* zero_error;  // nullptr: a boolean parameter
  void (*store)(KMeans&, std::uint64_t);
};

// Shared claim on self, convert and check the argument, then a new object holding a
// reconfigured deep copy of the record. `self` never changes.
PyObject* run_builder(const Builder& builder, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const char* const names[] = {builder.parameter};
    PyObject* values[1];
    if (match_arguments(builder.call, names, args, nargs, kwnames, values) < 0) return nullptr;
    SharedClaim claim(claims_of(self));
    if (!claim.held()) return nullptr;

    std::uint64_t value = 0;
    if (builder.zero_error != nullptr) {
      if (to_unsigned(values[0], builder.parameter, value) < 0) return nullptr;
      if (value == 0) {
        PyErr_SetString(PyExc_ValueError, builder.zero_error);
        return nullptr;
      }
    } else {
      bool flag = false;
      if (to_bool(values[0], builder.parameter, flag) < 0) return nullptr;
      value = flag ? 1 : 0;
    }
    KMeans copy = record_of(self).clone();
    builder.store(copy, value);
    return wrap_record(type_object, std::move(copy));
  });
}

constexpr Builder kWithIterations{"KMeans.with_iterations()", "iters", "Number of iterations must be positive",
                                  [](KMeans& r, std::uint64_t v) { r.iterations = v; }};
constexpr Builder kWithEuclidean{"KMeans.with_euclidean()", "euclidean", nullptr,
                                 [](KMeans& r, std::uint64_t v) { r.euclidean = v != 0; }};
constexpr Builder kWithBalanced{"KMeans.with_balanced()", "balanced", nullptr,
                                [](KMeans& r, std::uint64_t v) { r.balanced = v != 0; }};
constexpr Builder kWithMaxBalanceDiff{"KMeans.with_max_balance_diff()", "max_balance_diff",
                                      "Max balance difference must be positive",
                                      [](KMeans& r, std::uint64_t v) { r.max_balance_diff = v; }};
constexpr Builder kWithVerbose{"KMeans.with_verbose()", "verbose", nullptr,
                               [](KMeans& r, std::uint64_t v) { r.verbose = v != 0; }};
constexpr Builder kWithUseMedoids{"KMeans.with_use_medoids()", "use_medoids", nullptr,
                                  [](KMeans& r, std::uint64_t v) { r.use_medoids = v != 0; }};

template <const Builder& builder>
PyObject* builder_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_builder(builder, self, args, nargs, kwnames);
}

// ---- train and assign -----------------------------------------------------------

// The cancellation check of `train` and `assign`: runs the interpreter's pending signal
// handlers (the lock is held and this is the calling thread). A handler that raises,
// such as the default one for SIGINT, stops the call; its exception stays set and is
// what the call raises.
bool signal_handler_raised(void*) { return PyErr_CheckSignals() < 0; }
constexpr Cancellation kOnSignal{signal_handler_raised, nullptr};

PyObject* kmeans_train(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* names[] = {"data", "num_threads"};
    PyObject* values[2];
    if (match_arguments("KMeans.train()", names, args, nargs, kwnames, values) < 0) return nullptr;
    ExclusiveClaim claim(claims_of(self));
    if (!claim.held()) return nullptr;

    MatrixArgument data;
    if (data.acquire(values[0], "data") < 0) return nullptr;
    std::optional<std::uint64_t> num_threads;
    if (values[1] != Py_None) {
      std::uint64_t count = 0;
      if (to_unsigned(values[1], "num_threads", count) < 0) return nullptr;
      num_threads = count;
    }
    MatrixView view;
    if (data.make_view("data", view) < 0) return nullptr;

    // A cancellation unwinds as plovek::Cancelled through `guarded`, which keeps the
    // handler's exception; the array and the claim are released on the way out.
    Result<ClusterLists> result = record_of(self).train(view, num_threads, kOnSignal);
    data.release();
    if (!result.ok()) return raise_engine_error(result.error());
    // The record is trained now: an interrupt from here on would leave it trained
    // behind an exception, so the lists are built without asking.
    return cluster_lists_to_python(result.value());
  });
}

PyObject* kmeans_assign(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* names[] = {"data", "k"};
    PyObject* values[2];
    if (match_arguments("KMeans.assign()", names, args, nargs, kwnames, values) < 0) return nullptr;
    SharedClaim claim(claims_of(self));
    if (!claim.held()) return nullptr;

    MatrixArgument data;
    if (data.acquire(values[0], "data") < 0) return nullptr;
    std::uint64_t k = 0;
    if (to_unsigned(values[1], "k", k) < 0) return nullptr;
    MatrixView view;
    if (data.make_view("data", view) < 0) return nullptr;

    // Cancelled, in the engine or while the lists are built, unwinds as for `train`;
    // the record is never changed by `assign`.
    Result<ClusterLists> result = std::as_const(record_of(self)).assign(view, k, kOnSignal);
    data.release();
    if (!result.ok()) return raise_engine_error(result.error());
    return cluster_lists_to_python(result.value(), kOnSignal);
  });
}

// ---- Properties and repr --------------------------------------------------------

// Reads the record under a shared claim; `read` returns a new reference or nullptr.
template <class Read>
PyObject* read_shared(PyObject* self, Read read) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedClaim claim(claims_of(self));
    if (!claim.held()) return nullptr;
    return read(std::as_const(record_of(self)));
  });
}

PyObject* get_n_clusters(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) { return PyLong_FromUnsignedLongLong(r.n_clusters); });
}
PyObject* get_iterations(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) { return PyLong_FromUnsignedLongLong(r.iterations); });
}
PyObject* get_is_euclidean(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) { return PyBool_FromLong(r.euclidean); });
}
PyObject* get_is_balanced(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) { return PyBool_FromLong(r.balanced); });
}
PyObject* get_is_use_medoids(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) { return PyBool_FromLong(r.use_medoids); });
}
PyObject* get_is_trained(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) { return PyBool_FromLong(r.is_trained); });
}
PyObject* get_centroids(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) -> PyObject* {
    if (!r.centroids.has_value()) Py_RETURN_NONE;
    return matrix_to_array(*r.centroids);
  });
}
PyObject* get_medoid_indices(PyObject* self, void*) {
  return read_shared(self, [](const KMeans& r) -> PyObject* {
    if (!(r.use_medoids && r.is_trained)) Py_RETURN_NONE;
    return indices_to_python(r.medoid_indices);
  });
}

PyObject* kmeans_repr(PyObject* self) {
  return read_shared(self, [](const KMeans& r) {
    auto flag = [](bool value) { return value ? "true" : "false"; };
    return PyUnicode_FromFormat("KMeans(n_clusters=%llu, iterations=%llu, euclidean=%s, balanced=%s, "
                                "use_medoids=%s, trained=%s)",
                                static_cast<unsigned long long>(r.n_clusters),
                                static_cast<unsigned long long>(r.iterations), flag(r.euclidean),
                                flag(r.balanced), flag(r.use_medoids), flag(r.is_trained));
  });
}

// ---- Type -----------------------------------------------------------------------

template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"with_iterations", as_cfunction(builder_method<kWithIterations>), kFastCall,
     "with_iterations($self, iters)\n--\n\n"},
    {"with_euclidean", as_cfunction(builder_method<kWithEuclidean>), kFastCall,
     "with_euclidean($self, euclidean)\n--\n\n"},
    {"with_balanced", as_cfunction(builder_method<kWithBalanced>), kFastCall,
     "with_balanced($self, balanced)\n--\n\n"},
    {"with_max_balance_diff", as_cfunction(builder_method<kWithMaxBalanceDiff>), kFastCall,
     "with_max_balance_diff($self, max_balance_diff)\n--\n\n"},
    {"with_verbose", as_cfunction(builder_method<kWithVerbose>), kFastCall, "with_verbose($self, verbose)\n--\n\n"},
    {"with_use_medoids", as_cfunction(builder_method<kWithUseMedoids>), kFastCall,
     "with_use_medoids($self, use_medoids)\n--\n\n"},
    {"train", as_cfunction(kmeans_train), kFastCall, "train($self, data, num_threads)\n--\n\n"},
    {"assign", as_cfunction(kmeans_assign), kFastCall, "assign($self, data, k)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"n_clusters", get_n_clusters, nullptr, "", nullptr},
    {"iterations", get_iterations, nullptr, "", nullptr},
    {"is_euclidean", get_is_euclidean, nullptr, "", nullptr},
    {"is_balanced", get_is_balanced, nullptr, "", nullptr},
    {"is_use_medoids", get_is_use_medoids, nullptr, "", nullptr},
    {"centroids", get_centroids, nullptr, "", nullptr},
    {"medoid_indices", get_medoid_indices, nullptr, "", nullptr},
    {"is_trained", get_is_trained, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// "KMeans(n_clusters)\n--\n\n<docstring>": the interpreter splits off the signature.
const std::string& type_doc() {
  static const std::string doc =
      std::string("KMeans") + "(n_clusters)" + "\n--\n\n" + "Python wrapper for the KMeans struct";
  return doc;
}

}  // namespace

PyTypeObject* kmeans_type() noexcept {
  return guarded<PyTypeObject*>(nullptr, []() -> PyTypeObject* {
    if (type_object != nullptr) return type_object;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(type_doc().c_str())},
        {Py_tp_new, reinterpret_cast<void*>(kmeans_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kmeans_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(kmeans_repr)},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.KMeans", static_cast<int>(sizeof(KMeansObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return type_object;
  });
}

}  // namespace plovek::python
