#pragma once
/// `RecordingEngine`: lends an `EggEngine` to one reduction and keeps what its run did (the
/// iterations, the stop reason, how often each rule merged), for a caller that explains a
/// reduction. It declares no rule set, so a caller that could prove the engine pass useless
/// runs it anyway and the run is recorded; the result is the engine's own either way.
#include "egraph_engine/egg_engine.hpp"

namespace vantrel::egraph {

class RecordingEngine final : public RewriteEngine {
 public:
  /// `engine` must outlive this object.
  explicit RecordingEngine(const EggEngine& engine) : engine_(engine) {}

  EngineGraph canonicalize(const EngineGraph& graph) const override {
    ran_ = true;
    return engine_.canonicalize_with_stats(graph, &stats_);
  }
  LabelResult canonicalize_labels(const LabelGraph& graph) const override {
    ran_ = true;
    return engine_.canonicalize_labels_with_stats(graph, &stats_);
  }

  /// Whether the engine ran (a reduction of an empty graph may not run it).
  bool ran() const { return ran_; }
  /// What the last run did; meaningful when `ran()`.
  const CanonicalizeStats& stats() const { return stats_; }

 private:
  const EggEngine& engine_;
  // One reduction on one thread fills these; the object is made for that reduction alone.
  mutable CanonicalizeStats stats_;
  mutable bool ran_ = false;
};

}  // namespace vantrel::egraph
