#pragma once
// The rewrite engine every reduction from Python uses.
#include "egraph_engine/egg_engine.hpp"

namespace vantrel::py {

/// The default EggEngine, built once per process on first use (building its rules costs more
/// than reducing a small graph). The engine is immutable once built and `canonicalize` keeps
/// all its working state (runner, e-graph, scheduler) in the call, so every thread and every
/// interpreter shares this one; it is never destroyed, so no reduction can outlive it.
const egraph::EggEngine& default_engine();

}  // namespace vantrel::py
