#pragma once
// `rules=` and `limits=` of the mapped reductions: a rule set given as data, and the bounds of
// the engine's run. Both are read while the interpreter lock is held (iterating the rules may
// run Python code) and produce plain core values.
#include <optional>
#include <vector>

#include "egraph/engine_config.hpp"
#include "egraph_engine/egg_engine.hpp"
#include "egraph_engine/recording_engine.hpp"
#include "engine/rule_set.hpp"
#include "py_ref.hpp"

namespace vantrel::py {

/// `rules=`: an iterable of rules, each a sequence (name, lhs, rhs) whose sides are flat
/// patterns: sequences of entries in which children come before their parents and the root is
/// last; an entry is a variable (a str "?name") or a sequence (op name, params dict or None,
/// sequence of child positions). Each op becomes its node token, through the same parameter
/// conversion as `add_op`, and each side the pattern text the engine reads. Wrong types raise
/// TypeError and malformed patterns ValueError, both naming the rule.
bool rules_from_py(PyObject* obj, std::vector<PatternRule>& out);

/// `limits=`: a dict with the optional keys "iterations" (int), "nodes" (int: the most
/// e-nodes a run may hold) and "time" (seconds as a number, or None for no time bound); a
/// key left out keeps the engine's default. Other keys are refused.
bool limits_from_py(PyObject* obj, egraph::EngineConfig& config);

}  // namespace vantrel::py

namespace vantrel::py {

/// The engine a mapped reduction runs: the shared default engine when `rules`, `limits` and
/// `extract` are absent or None (exactly the reduction of the methods without them), else one
/// built for this call from the given rules (default: the default rule set) and settings.
class ChosenEngine {
 public:
  const RewriteEngine& get() const;
  const egraph::EggEngine& egg() const;

 private:
  friend bool engine_from_py(PyObject* rules, PyObject* limits, PyObject* extract, ChosenEngine& out);
  std::optional<egraph::EggEngine> own_;
};

/// Converts `rules=`, `limits=` and `extract=` (each may be null for omitted) and builds the
/// engine. `extract` is None or "earliest" (the earliest member of every class), "cost" (the
/// cheapest term, weighed by the `costs` mapping of `rules` when it has one), or a dict of op
/// costs. A rule set the engine cannot compile (a right side naming a variable its left side
/// does not bind) raises ValueError with the engine's message.
bool engine_from_py(PyObject* rules, PyObject* limits, PyObject* extract, ChosenEngine& out);

/// What a recorded engine run did, as the dict `explain=True` returns: "iterations", "stop"
/// ("saturated", "iteration_limit", "node_limit", "time_limit", or "not_run" when the graph
/// left nothing to run on), "e_nodes" (the e-graph's size at the end) and "rules" (rule name
/// to the number of merges it made, in rule order, rules that merged nothing left out).
PyObject* explanation_to_py(const egraph::RecordingEngine& engine);

}  // namespace vantrel::py
