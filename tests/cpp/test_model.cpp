// The record's defaults, deep copies and the error display texts.
#include <gtest/gtest.h>

#include "engine/kmeans.h"

namespace plovek {
namespace {

TEST(ModelRecord, FreshRecordHasDocumentedDefaults) {
  const KMeans km(3);
  EXPECT_EQ(km.n_clusters, 3u);
  EXPECT_EQ(km.iterations, 25u);
  EXPECT_EQ(km.max_balance_diff, 16u);
  EXPECT_FALSE(km.euclidean || km.balanced || km.verbose || km.use_medoids || km.is_trained);
  EXPECT_FALSE(km.centroids.has_value());
  EXPECT_TRUE(km.labels.empty());
  EXPECT_TRUE(km.medoid_indices.empty());
}

TEST(ModelRecord, ZeroClustersIsRefusedAndHugeCountsAllocateNothing) {
  EXPECT_THROW(KMeans(0), InternalError);
  const KMeans huge(~std::uint64_t{0});
  EXPECT_EQ(huge.n_clusters, ~std::uint64_t{0});
  EXPECT_TRUE(huge.cluster_sizes.empty());
}

TEST(ModelRecord, CloneIsDeep) {
  KMeans source(2);
  source.centroids = Matrix(2, 3);
  source.labels = {0, 1, 1};
  source.is_trained = true;
  KMeans copy = source.clone();
  copy.centroids->row(0)[0] = 5.0f;
  copy.labels[0] = 1;
  EXPECT_EQ(source.centroids->row(0)[0], 0.0f);
  EXPECT_EQ(source.labels[0], 0u);
  EXPECT_TRUE(copy.is_trained);
}

TEST(ModelErrors, DisplayTextsAreExact) {
  EXPECT_EQ(KMeansError::insufficient_points(2, 4).display(),
            "Number of points (2) must be at least as large as number of clusters (4)");
  EXPECT_EQ(KMeansError::dimension_mismatch(8, 5).display(), "Dimension mismatch: expected 8, got 5");
  EXPECT_EQ(KMeansError::already_trained().display(), "Clustering has already been trained");
  EXPECT_EQ(KMeansError::not_trained().display(), "Clustering has not been trained yet");
  EXPECT_EQ(KMeansError::invalid_parameter("k must be positive").display(), "Invalid parameter: k must be positive");
  EXPECT_EQ(KMeansError::insufficient_points(~std::uint64_t{0}, 1).display(),
            "Number of points (18446744073709551615) must be at least as large as number of clusters (1)");
}

}  // namespace
}  // namespace plovek
