#pragma once
/// Making room before a change, so that a shortage of memory is met while nothing has been
/// changed yet: the code under a store's or reducer's lock grows its containers first and
/// then appends, and the appends allocate nothing.
#include <algorithm>
#include <cstddef>

namespace vantrel {

/// Grows `c` (a vector or a string) so that `extra` more elements go in without allocating,
/// doubling as push_back would. Throws std::bad_alloc or std::length_error, `c` unchanged.
template <class Container>
void grow_for_one(Container& c, std::size_t extra) {
  if (c.capacity() - c.size() >= extra) return;
  c.reserve(std::max(c.size() + extra, 2 * c.capacity()));
}

}  // namespace vantrel
