#pragma once
/// One Python str per distinct name while a view of many nodes is built: a million nodes
/// with a few dozen op names share a few dozen str objects.
#include <string_view>
#include <unordered_map>

#include "convert.hpp"
#include "py_ref.hpp"

namespace vantrel::py {

class SharedNames {
 public:
  /// The str of `text`, made on first use; empty with the Python error set when that fails.
  /// The views must outlive this table (they point into a snapshot the caller holds).
  Ref get(std::string_view text) {
    auto [it, added] = names_.try_emplace(text);
    if (added) {
      it->second = Ref::steal(str_to_py(text));
      if (!it->second) {
        names_.erase(it);
        return Ref();
      }
    }
    return Ref::borrow(it->second.get());
  }

 private:
  std::unordered_map<std::string_view, Ref> names_;
};

}  // namespace vantrel::py
