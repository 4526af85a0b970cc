// Which search each assignment of a training runs, as a piece of its own so that it
// can be replaced: the bounded search asks its policy before every assignment.
#pragma once

namespace plovek {

// How an assignment uses the bounds: it searches only the groups they leave open
// (Prune), searches every point whole and records its bounds (Record), or runs the full
// search and leaves the bounds stale (Plain).
enum class SearchMode { Prune, Record, Plain };

// What a policy sees before an assignment.
struct SearchSituation {
  bool first;             // the training's first assignment: no bounds yet
  SearchMode last;        // the last assignment's mode
  bool grouped;           // a bound per group of centroids (else one for all others)
  double predicted_cost;  // a pruned assignment's cost as a share of a plain one,
                          // predicted from the sample points (when predicts())
};

class SearchPolicy {
 public:
  virtual ~SearchPolicy() = default;
  // The mode of the next assignment. Prune without bounds recorded (first, or after a
  // Plain one) runs as Record.
  virtual SearchMode choose(const SearchSituation& situation) const = 0;
  // Whether choose() reads predicted_cost: the sample points' bounds are then recorded
  // beside every plain search, so that the next assignment can predict.
  virtual bool predicts() const = 0;
};

// The training's policy: the first assignment, whose centroids move the most, is
// Plain. After a Plain one, Record where a pruned assignment is predicted to cost at
// most kMostCostToRecord of a plain one (a recording costs more than a plain search and
// pays only over the pruned assignments that follow, each moving the centroids about
// as much as the last; with one group it costs hardly more, and the prune threshold
// applies). After a Record or Prune, Prune at a prediction of at most kMostCostToPrune.
class PredictedPolicy final : public SearchPolicy {
 public:
  static constexpr double kMostCostToPrune = 0.9, kMostCostToRecord = 0.6;

  SearchMode choose(const SearchSituation& s) const override {
    if (s.first) return SearchMode::Plain;
    if (s.last == SearchMode::Plain) {
      const double most = s.grouped ? kMostCostToRecord : kMostCostToPrune;
      return s.predicted_cost <= most ? SearchMode::Record : SearchMode::Plain;
    }
    return s.predicted_cost <= kMostCostToPrune ? SearchMode::Prune : SearchMode::Plain;
  }
  bool predicts() const override { return true; }
};

// One mode for every assignment, whatever it costs: for tests and benchmarks.
class FixedPolicy final : public SearchPolicy {
 public:
  explicit FixedPolicy(SearchMode mode) : mode_(mode) {}
  SearchMode choose(const SearchSituation&) const override { return mode_; }
  bool predicts() const override { return false; }

 private:
  SearchMode mode_;
};

}  // namespace plovek
