#include "egraph/pattern.hpp"

#include <utility>

#include "common/fault.hpp"

namespace vantrel::egraph {
namespace {

PatternParseError op_error(FromOpError e, std::string_view text) {
  PatternParseError err;
  err.kind = ParseErrorKind::BadOp;
  err.op_error = e;
  err.text = std::string(text);
  return err;
}

PatternParseError kind_error(ParseErrorKind k) {
  PatternParseError err;
  err.kind = k;
  return err;
}

Program compile(const RecExpr& ast) {
  Program prog;
  if (ast.nodes.empty()) return prog;
  // Pre-order, left to right: the root's choice is the outermost, then the first child's
  // subtree, and so on, which fixes the order in which substitutions come out.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> todo{{static_cast<std::uint32_t>(ast.nodes.size() - 1), 0}};
  while (!todo.empty()) {
    const auto [entry, reg] = todo.back();
    todo.pop_back();
    Instruction ins;
    ins.reg = reg;
    if (const auto* v = std::get_if<Var>(&ast.nodes[entry])) {
      ins.kind = Instruction::Kind::Check;
      ins.var = *v;
    } else {
      const auto& n = std::get<SymbolLang>(ast.nodes[entry]);
      ins.kind = Instruction::Kind::Bind;
      ins.op = n.symbol;
      ins.arity = n.children.size();
      ins.out = prog.registers;
      prog.registers += ins.arity;
      for (std::uint32_t i = n.children.size(); i-- > 0;) todo.emplace_back(n.children[i], ins.out + i);
    }
    prog.instructions.push_back(ins);
  }
  return prog;
}

}  // namespace

Result<ENodeOrVar, FromOpError> from_op(std::string_view text, IdList children) {
  if (text.size() >= 2 && text[0] == '?') {
    if (!children.empty()) return Err{FromOpError::UnexpectedVar};
    return ENodeOrVar{Var{GlobalSymbol::intern(text)}};
  }
  return ENodeOrVar{SymbolLang{GlobalSymbol::intern(text), std::move(children)}};
}

Result<RecExpr, PatternParseError> parse_pattern(std::string_view text) {
  auto read = read_sexp(text);
  if (!read.ok()) {
    PatternParseError err = kind_error(ParseErrorKind::BadSexp);
    err.sexp = read.error();
    return Err{err};
  }
  const SexpTree& tree = read.value();
  if (tree.empty()) return Err{kind_error(ParseErrorKind::EmptySexp)};

  RecExpr out;
  struct Frame {
    std::uint32_t node;
    std::uint32_t next;  // next list element to convert (element 0 is the operator)
    IdList children;
  };
  std::vector<Frame> stack;
  IdList top_level;  // receives the root's index

  // Converts an atom at once, or opens a frame for a list after checking its shape.
  auto enter = [&](std::uint32_t node, IdList& into) -> std::optional<PatternParseError> {
    const Sexp& s = tree.nodes[node];
    if (!s.is_list) {
      auto e = from_op(s.atom, {});
      if (!e.ok()) return op_error(e.error(), s.atom);
      into.push_back(static_cast<Id>(out.nodes.size()));
      out.nodes.push_back(std::move(e).value());
      return std::nullopt;
    }
    if (s.items.empty()) return kind_error(ParseErrorKind::EmptySexp);
    if (tree.nodes[s.items[0]].is_list) return kind_error(ParseErrorKind::HeadList);
    stack.push_back(Frame{node, 1, {}});
    return std::nullopt;
  };

  if (auto err = enter(tree.root, top_level)) return Err{*err};
  while (!stack.empty()) {
    Frame& f = stack.back();
    const Sexp& s = tree.nodes[f.node];
    if (f.next < s.items.size()) {
      const std::uint32_t child = s.items[f.next++];
      if (auto err = enter(child, f.children)) return Err{*err};
      continue;
    }
    const std::string& op = tree.nodes[s.items[0]].atom;
    auto e = from_op(op, std::move(f.children));
    if (!e.ok()) return Err{op_error(e.error(), op)};
    const auto index = static_cast<Id>(out.nodes.size());
    out.nodes.push_back(std::move(e).value());
    stack.pop_back();
    (stack.empty() ? top_level : stack.back().children).push_back(index);
  }
  return out;
}

RecExpr compact(const RecExpr& expr) {
  RecExpr out;
  std::vector<Id> remap(expr.nodes.size());
  for (std::size_t i = 0; i < expr.nodes.size(); ++i) {
    ENodeOrVar entry = expr.nodes[i];
    if (auto* n = std::get_if<SymbolLang>(&entry)) {
      for (Id& c : n->children) c = remap[c];
    }
    // Patterns are a handful of entries, so a linear scan is the cheapest map.
    std::size_t found = 0;
    while (found < out.nodes.size() && !(out.nodes[found] == entry)) ++found;
    if (found == out.nodes.size()) out.nodes.push_back(std::move(entry));
    remap[i] = static_cast<Id>(found);
  }
  return out;
}

Pattern::Pattern(const RecExpr& expr) : ast_(compact(expr)) {
  if (ast_.nodes.empty()) throw InternalFault("empty pattern");
  for (std::size_t i = 0; i < ast_.nodes.size(); ++i) {
    if (const auto* n = std::get_if<SymbolLang>(&ast_.nodes[i])) {
      for (Id c : n->children) {
        if (c >= i) throw InternalFault("pattern child does not point to an earlier entry");
      }
    }
  }
  program_ = compile(ast_);
  for (const ENodeOrVar& e : ast_.nodes) {
    if (const auto* v = std::get_if<Var>(&e)) vars_.push_back(*v);  // compaction made them unique
  }
}

Pattern pattern_from_text(std::string_view text) {
  auto parsed = parse_pattern(text);
  if (!parsed.ok()) throw InternalFault("bad rule pattern: " + std::string(text));
  return Pattern(parsed.value());
}

}  // namespace vantrel::egraph
