// The engine's one error type and the result wrapper that carries it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace plovek {

// A failure that callers can act on; its display text is what Python users see.
class KMeansError {
 public:
  enum class Kind { InvalidParameter, AlreadyTrained, NotTrained, InsufficientPoints, DimensionMismatch };

  static KMeansError invalid_parameter(std::string message);
  static KMeansError already_trained();
  static KMeansError not_trained();
  static KMeansError insufficient_points(std::uint64_t points, std::uint64_t clusters);
  static KMeansError dimension_mismatch(std::uint64_t expected, std::uint64_t got);

  Kind kind() const { return kind_; }
  // The message of an InvalidParameter error (empty for the other kinds).
  const std::string& message() const { return message_; }
  // The full, user-facing text, e.g. "Dimension mismatch: expected 8, got 5".
  std::string display() const;

  friend bool operator==(const KMeansError&, const KMeansError&) = default;

 private:
  KMeansError(Kind kind, std::string message, std::uint64_t first, std::uint64_t second)
      : kind_(kind), message_(std::move(message)), first_(first), second_(second) {}

  Kind kind_;
  std::string message_;
  std::uint64_t first_ = 0;   // points, or expected columns
  std::uint64_t second_ = 0;  // clusters, or columns got
};

// A broken internal invariant. It never escapes the module: the binding turns it
// into PanicException.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Either a value or a KMeansError.
template <class T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}               // NOLINT(google-explicit-constructor)
  Result(KMeansError error) : state_(std::move(error)) {}     // NOLINT(google-explicit-constructor)

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const KMeansError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, KMeansError> state_;
};

}  // namespace plovek
