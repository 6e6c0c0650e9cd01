#include "egraph/sexp.hpp"

namespace vantrel::egraph {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A plain atom stops at these; a tab and every other character belong to it.
bool ends_atom(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '(' || c == ')'; }

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<SexpTree, SexpError> read() {
    SexpTree tree;
    std::vector<std::uint32_t> open;  // lists being filled, innermost last
    for (;;) {
      skip_separators();
      if (pos_ >= text_.size()) {
        if (open.empty() && tree.nodes.empty()) return tree;
        return error("End of file reached");
      }
      const char c = text_[pos_];
      if (c == ')') {
        if (open.empty()) return error("Unexpected ')'");
        ++pos_;
        const std::uint32_t done = open.back();
        open.pop_back();
        if (open.empty()) {
          tree.root = done;
          return tree;
        }
        continue;
      }
      const auto index = static_cast<std::uint32_t>(tree.nodes.size());
      if (c == '(') {
        ++pos_;
        tree.nodes.push_back(Sexp{true, {}, {}});
      } else if (c == '"') {
        const std::size_t start = ++pos_;
        while (pos_ < text_.size() && !(text_[pos_] == '"' && text_[pos_ - 1] != '\\')) ++pos_;
        if (pos_ >= text_.size()) return error("End of file reached");
        tree.nodes.push_back(Sexp{false, std::string(text_.substr(start, pos_ - start)), {}});
        ++pos_;
      } else {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !ends_atom(text_[pos_])) ++pos_;
        tree.nodes.push_back(Sexp{false, std::string(text_.substr(start, pos_ - start)), {}});
      }
      if (!open.empty()) tree.nodes[open.back()].items.push_back(index);
      if (tree.nodes[index].is_list) {
        open.push_back(index);
      } else if (open.empty()) {
        tree.root = index;
        return tree;
      }
    }
  }

 private:
  // Line breaks separate elements just like spaces do; treating them as atom text would
  // leave the reader stuck on an empty atom.
  void skip_separators() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }

  Err<SexpError> error(const char* message) const {
    SexpError e{message, 1, 1};
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++e.line;
        e.column = 1;
      } else {
        ++e.column;
      }
    }
    return Err<SexpError>{e};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

Result<SexpTree, SexpError> read_sexp(std::string_view text) { return Reader(trim(text)).read(); }

}  // namespace vantrel::egraph
