#include "engine/kmeans_error.h"

namespace plovek {

KMeansError KMeansError::invalid_parameter(std::string message) {
  return KMeansError(Kind::InvalidParameter, std::move(message), 0, 0);
}

KMeansError KMeansError::already_trained() { return KMeansError(Kind::AlreadyTrained, {}, 0, 0); }

KMeansError KMeansError::not_trained() { return KMeansError(Kind::NotTrained, {}, 0, 0); }

KMeansError KMeansError::insufficient_points(std::uint64_t points, std::uint64_t clusters) {
  return KMeansError(Kind::InsufficientPoints, {}, points, clusters);
}

KMeansError KMeansError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  return KMeansError(Kind::DimensionMismatch, {}, expected, got);
}

std::string KMeansError::display() const {
  switch (kind_) {
    case Kind::InvalidParameter:
      return "Invalid parameter: " + message_;
    case Kind::AlreadyTrained:
      return "Clustering has already been trained";
    case Kind::NotTrained:
      return "Clustering has not been trained yet";
    case Kind::InsufficientPoints:
      return "Number of points (" + std::to_string(first_) +
             ") must be at least as large as number of clusters (" + std::to_string(second_) + ")";
    case Kind::DimensionMismatch:
      return "Dimension mismatch: expected " + std::to_string(first_) + ", got " + std::to_string(second_);
  }
  throw InternalError("unknown KMeansError kind");
}

}  // namespace plovek
