#pragma once
/// A small s-expression reader for pattern texts. The parsed form is a flat tree (no
/// recursion is needed to read or walk it).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace vantrel::egraph {

struct Sexp {
  bool is_list = false;
  std::string atom;                  ///< the atom's text (quoted atoms: between the quotes)
  std::vector<std::uint32_t> items;  ///< list elements, as indexes into `SexpTree::nodes`
};

/// `nodes[root]` is the expression read; an empty text gives no nodes at all.
struct SexpTree {
  std::vector<Sexp> nodes;
  std::uint32_t root = 0;
  bool empty() const { return nodes.empty(); }
};

struct SexpError {
  std::string message;  ///< e.g. "End of file reached"
  std::uint32_t line = 1;
  std::uint32_t column = 1;
};

/// Reads the first expression of `text` (after trimming white space); anything after it is
/// ignored.
Result<SexpTree, SexpError> read_sexp(std::string_view text);

}  // namespace vantrel::egraph
