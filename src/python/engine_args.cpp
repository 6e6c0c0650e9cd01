// `rules=` and `limits=`: rules given as flat patterns over op names and parameters become the
// pattern texts of a rule set; a limits dict becomes the bounds of an engine run.
#include "engine_args.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_set>

#include "convert.hpp"
#include "default_engine.hpp"
#include "ir/node_key.hpp"

namespace vantrel::py {

namespace {

/// The items of a caller's iterable as a tuple taken in one step: a list another thread changes
/// meanwhile cannot free an item read here through a borrowed pointer. A non-empty `message`
/// replaces the TypeError of an object that is not iterable.
Ref items_at_once(PyObject* obj, const char* message) {
  Ref items = Ref::steal(tuple_within_memory(obj));
  if (!items && *message != '\0' && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, message);
  }
  return items;
}

/// The most terms a rule side may spell out: a flat pattern may use one entry many times, and
/// the engine reads (and matches) the side as a tree. Rules people write have tens of terms;
/// 100000 leaves room for generated ones while one side's text and match work stay bounded.
constexpr std::size_t kMaxPatternTerms = 100000;

bool rule_error(PyObject* type, PyObject* name, const char* message) {
  PyErr_Format(type, "rule %R: %s", name, message);
  return false;
}

/// Characters after which the pattern reader ends a plain atom, or that it trims.
bool needs_quotes(std::string_view text) { return text.find_first_of(" \t\n\r\v\f()") != std::string_view::npos; }

/// Writes a node token as one atom of pattern text: as it is when the reader takes it whole,
/// else between double quotes (which the reader keeps verbatim). A token that is neither is
/// refused: it holds a double quote, or ends in a backslash, and also a space or parenthesis.
bool append_atom(std::string_view token, std::string& out) {
  if (!needs_quotes(token)) {
    out += token;
    return true;
  }
  if (token.find('"') != std::string_view::npos || token.back() == '\\') return false;
  out += '"';
  out += token;
  out += '"';
  return true;
}

bool is_variable_text(std::string_view text) {
  return text.size() >= 2 && text[0] == '?' && !needs_quotes(text) && text.find('"') == std::string_view::npos;
}

struct Entry {
  std::string text;  ///< the variable, or the op's atom
  std::vector<std::size_t> children;
  bool variable = false;
};

/// One entry of a flat pattern; `index` is its position.
bool entry_from_py(PyObject* item, std::size_t index, PyObject* rule, Entry& out) {
  if (PyUnicode_Check(item)) {
    std::string text;
    if (!str_from_py(item, nullptr, text)) return false;
    if (!is_variable_text(text)) {
      return rule_error(PyExc_ValueError, rule,
                        "a pattern entry that is a str must be a variable: '?' and a name without white space, "
                        "parentheses or quotes");
    }
    out.text = std::move(text);
    out.variable = true;
    return true;
  }
  Ref seq = items_at_once(item, "");
  if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 3) {
    PyErr_Clear();
    return rule_error(PyExc_TypeError, rule,
                      "a pattern entry is a variable or a sequence (op name, params, child positions)");
  }
  PyObject** parts = PySequence_Fast_ITEMS(seq.get());
  std::string name;
  if (!PyUnicode_Check(parts[0])) return rule_error(PyExc_TypeError, rule, "an op's name must be a str");
  if (!str_from_py(parts[0], nullptr, name)) return false;
  ParamMap params;
  // A parameter that does not convert raises the conversion's own error, as in `add_op`.
  if (!params_from_py(parts[1], params)) return false;
  Ref children = items_at_once(parts[2], "");
  if (!children || PyUnicode_Check(parts[2])) {
    PyErr_Clear();
    return rule_error(PyExc_TypeError, rule, "an op's children must be a sequence of positions");
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(children.get());
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* child = PySequence_Fast_GET_ITEM(children.get(), k);
    const Py_ssize_t pos = PyLong_Check(child) ? PyLong_AsSsize_t(child) : -2;
    if (pos == -1 && PyErr_Occurred()) PyErr_Clear();
    if (pos < 0 || static_cast<std::size_t>(pos) >= index) {
      return rule_error(PyExc_ValueError, rule, "a child position must be an int naming an earlier entry");
    }
    out.children.push_back(static_cast<std::size_t>(pos));
  }
  const std::string token = NodeKey(Op{name, std::move(params), {}}).token();
  if (!append_atom(token, out.text)) {
    return rule_error(PyExc_ValueError, rule,
                      "an op token with white space or parentheses and also a double quote or a final "
                      "backslash cannot be written in a pattern");
  }
  return true;
}

/// A flat pattern as pattern text; `lhs` says which side, for the check that it is an op.
bool side_from_py(PyObject* obj, PyObject* rule, bool lhs, std::string& out) {
  Ref seq = items_at_once(obj, "");
  if (!seq || PyUnicode_Check(obj)) {
    PyErr_Clear();
    return rule_error(PyExc_TypeError, rule, "a rule side must be a sequence of pattern entries");
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n == 0) return rule_error(PyExc_ValueError, rule, "a rule side must have at least one entry");
  std::vector<Entry> entries(static_cast<std::size_t>(n));
  std::vector<std::size_t> terms(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entry_from_py(PySequence_Fast_GET_ITEM(seq.get(), i), i, rule, entries[i])) return false;
    std::size_t count = 1;
    for (std::size_t c : entries[i].children) count += terms[c];
    if (count > kMaxPatternTerms) return rule_error(PyExc_ValueError, rule, "a rule side spells out too many terms");
    terms[i] = count;
  }
  if (lhs && entries.back().variable) {
    return rule_error(PyExc_ValueError, rule, "the left side must be an op pattern, not a variable");
  }
  // Spell the root out without recursion: (entry, next child to write) frames.
  std::vector<std::pair<std::size_t, std::size_t>> stack{{entries.size() - 1, 0}};
  while (!stack.empty()) {
    auto& [at, next] = stack.back();
    const Entry& e = entries[at];
    if (e.children.empty()) {
      out += e.text;
      stack.pop_back();
      continue;
    }
    if (next == 0) {
      out += '(';
      out += e.text;
    }
    if (next == e.children.size()) {
      out += ')';
      stack.pop_back();
      continue;
    }
    out += ' ';
    const std::size_t child = e.children[next++];
    stack.emplace_back(child, 0);
  }
  return true;
}

}  // namespace

bool rules_from_py(PyObject* obj, std::vector<PatternRule>& out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'rules': must be an iterable of rules, not str");
    return false;
  }
  Ref rules = items_at_once(obj, "argument 'rules': must be an iterable of rules");
  if (!rules) return false;
  std::unordered_set<std::string> names;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(rules.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(rules.get(), i);
    Ref rule = items_at_once(item, "");
    if (!rule || PyUnicode_Check(item) || PySequence_Fast_GET_SIZE(rule.get()) != 3 ||
        !PyUnicode_Check(PySequence_Fast_GET_ITEM(rule.get(), 0))) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument 'rules': rule %zd must be a sequence (name, lhs, rhs) with a str name",
                   i);
      return false;
    }
    PyObject* name = PySequence_Fast_GET_ITEM(rule.get(), 0);
    PatternRule converted;
    if (!str_from_py(name, "rules", converted.name)) return false;
    if (converted.name.empty()) return rule_error(PyExc_ValueError, name, "a rule name must not be empty");
    if (!names.insert(converted.name).second) return rule_error(PyExc_ValueError, name, "another rule has this name");
    if (!side_from_py(PySequence_Fast_GET_ITEM(rule.get(), 1), name, true, converted.lhs)) return false;
    if (!side_from_py(PySequence_Fast_GET_ITEM(rule.get(), 2), name, false, converted.rhs)) return false;
    out.push_back(std::move(converted));
  }
  return true;
}

bool limits_from_py(PyObject* obj, egraph::EngineConfig& config) {
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'limits': must be a dict or None");
    return false;
  }
  // A copy taken in one step: its keys and values stay alive while they are read.
  const Ref limits = Ref::steal(PyDict_Copy(obj));
  if (!limits) return false;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(limits.get(), &pos, &key, &value)) {
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (k == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument 'limits': unknown key %R", key);
      return false;
    }
    const std::string_view which(k);
    if (which == "iterations" || which == "nodes") {
      if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument 'limits': %s must be an int", k);
        return false;
      }
      const unsigned long long n = PyLong_AsUnsignedLongLong(value);
      if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
      if (which == "iterations") {
        config.iteration_limit = n;
      } else {
        config.node_limit_per_input = 0;
        config.node_limit_base = n;
      }
    } else if (which == "time") {
      if (value == Py_None) {
        config.time_budget.reset();
        continue;
      }
      if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value))) {
        PyErr_SetString(PyExc_TypeError, "argument 'limits': time must be a number of seconds or None");
        return false;
      }
      const double seconds = PyFloat_AsDouble(value);
      if (seconds == -1.0 && PyErr_Occurred()) return false;
      if (!(seconds >= 0.0) || seconds > 1e9) {
        PyErr_SetString(PyExc_ValueError, "argument 'limits': time must be between 0 and 1e9 seconds");
        return false;
      }
      config.time_budget =
          std::chrono::duration_cast<egraph::EngineConfig::Duration>(std::chrono::duration<double>(seconds));
    } else {
      PyErr_Format(PyExc_TypeError, "argument 'limits': unknown key %R (the keys are 'iterations', 'nodes' and 'time')",
                   key);
      return false;
    }
  }
  return true;
}

const RewriteEngine& ChosenEngine::get() const { return egg(); }

const egraph::EggEngine& ChosenEngine::egg() const {
  if (own_) return *own_;
  return default_engine();
}

PyObject* explanation_to_py(const egraph::RecordingEngine& engine) {
  static const char* const kStops[] = {"saturated", "iteration_limit", "node_limit", "time_limit", "other"};
  const egraph::CanonicalizeStats& stats = engine.stats();
  // Merges per rule over the whole run, in the order the rules first merged.
  std::vector<std::pair<egraph::GlobalSymbol, std::size_t>> totals;
  if (engine.ran()) {
    for (const egraph::Iteration& it : stats.records) {
      for (const auto& [name, count] : it.applied_counts) {
        auto at = std::find_if(totals.begin(), totals.end(), [&rule = name](const auto& e) { return e.first == rule; });
        if (at == totals.end()) {
          totals.emplace_back(name, count);
        } else {
          at->second += count;
        }
      }
    }
  }
  Ref rules = Ref::steal(PyDict_New());
  if (!rules) return nullptr;
  for (const auto& [name, count] : totals) {
    Ref value = Ref::steal(PyLong_FromSize_t(count));
    Ref key = Ref::steal(str_to_py(name.text()));
    if (!value || !key || PyDict_SetItem(rules.get(), key.get(), value.get()) < 0) return nullptr;
  }
  const char* stop = engine.ran() ? kStops[stats.stop.index()] : "not_run";
  return Py_BuildValue("{s:n,s:s,s:n,s:O}", "iterations", static_cast<Py_ssize_t>(engine.ran() ? stats.iterations : 0),
                       "stop", stop, "e_nodes", static_cast<Py_ssize_t>(engine.ran() ? stats.enode_count : 0), "rules",
                       rules.get());
}

namespace {

/// Op costs from a mapping of op names to non-negative ints, keyed by escaped name and sorted.
bool costs_from_py(PyObject* mapping, const char* what, std::vector<std::pair<std::string, std::uint64_t>>& out) {
  Ref items = Ref::steal(PyMapping_Items(mapping));
  if (!items) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    std::string name;
    if (!PyUnicode_Check(key) || !str_from_py(key, nullptr, name)) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s: an op name must be a str", what);
      return false;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
      PyErr_Format(PyExc_TypeError, "%s: the cost of %R must be an int", what, key);
      return false;
    }
    const unsigned long long cost = PyLong_AsUnsignedLongLong(value);
    if (cost == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out.emplace_back(escape_token(name), cost);
  }
  std::sort(out.begin(), out.end());
  return true;
}

/// `extract=`: None or "earliest", "cost" (weighed by `rules.costs` when `rules` has such a
/// mapping, else one per node), or a mapping of op costs.
bool extraction_from_py(PyObject* extract, PyObject* rules, egraph::EngineConfig& config) {
  if (extract == nullptr || extract == Py_None) return true;
  if (PyUnicode_Check(extract)) {
    if (PyUnicode_CompareWithASCIIString(extract, "earliest") == 0) return true;
    if (PyUnicode_CompareWithASCIIString(extract, "cost") != 0) {
      PyErr_Format(PyExc_ValueError, "argument 'extract': must be 'earliest', 'cost' or a dict of op costs, not %R",
                   extract);
      return false;
    }
    config.extraction = egraph::EngineConfig::Extraction::kCost;
    if (rules == nullptr || rules == Py_None || PyUnicode_Check(rules)) return true;
    Ref costs = Ref::steal(PyObject_GetAttrString(rules, "costs"));
    if (!costs) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      return true;
    }
    return costs_from_py(costs.get(), "argument 'rules': costs", config.op_costs);
  }
  if (!PyDict_Check(extract)) {
    PyErr_SetString(PyExc_TypeError, "argument 'extract': must be 'earliest', 'cost' or a dict of op costs");
    return false;
  }
  config.extraction = egraph::EngineConfig::Extraction::kCost;
  return costs_from_py(extract, "argument 'extract'", config.op_costs);
}

}  // namespace

bool engine_from_py(PyObject* rules, PyObject* limits, PyObject* extract, ChosenEngine& out) {
  const bool given_rules = rules != nullptr && rules != Py_None;
  const bool given_limits = limits != nullptr && limits != Py_None;
  const bool given_extract = extract != nullptr && extract != Py_None;
  if (!given_rules && !given_limits && !given_extract) return true;
  RuleSet rule_set = default_rule_set();
  if (given_rules) {
    std::vector<PatternRule> converted;
    if (!rules_from_py(rules, converted)) return false;
    rule_set = RuleSet(std::move(converted));
  }
  egraph::EngineConfig config;
  // A class that merging leaves without a user is work no output needs: an engine built for
  // the call drops it (the shared engine keeps the results it has always given).
  config.keep_unreached = false;
  if (given_limits && !limits_from_py(limits, config)) return false;
  if (!extraction_from_py(extract, rules, config)) return false;
  // The default rules under the default settings are the shared engine itself.
  if (!given_limits && config.extraction == egraph::EngineConfig::Extraction::kEarliest &&
      rule_set == default_rule_set())
    return true;
  auto engine = egraph::EggEngine::make(std::move(rule_set), config);
  if (!engine) {
    PyErr_Format(PyExc_ValueError, "argument 'rules': %s", engine.error().c_str());
    return false;
  }
  out.own_.emplace(std::move(engine).value());
  return true;
}

}  // namespace vantrel::py
