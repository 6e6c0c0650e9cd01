#pragma once
/// Bringing fresh memory in before it is used at random.
#include <cstddef>
#include <vector>

namespace vantrel {

/// Asks the system to back the whole pages of [data, data + bytes) with writable memory now,
/// in one call. A zeroed table that is then probed at random otherwise takes two faults per
/// page (the first read maps the shared zero page, the first write replaces it) and takes
/// them one at a time. Only a hint: where the system lacks the request, or refuses it,
/// nothing happens and the pages come in on first use. Ranges where paging does not pay
/// (`paging_pays`) are left alone.
void page_in_for_writing(const void* data, std::size_t bytes);

/// Reserves room for `n` elements in all and brings in the pages of the room past the
/// current elements, for a list that is about to be filled front to back.
template <class Vector>
void reserve_paged(Vector& v, std::size_t n) {
  v.reserve(n);
  if (n > v.size()) page_in_for_writing(v.data() + v.size(), (n - v.size()) * sizeof(*v.data()));
}

/// A list of `n` copies of `value` whose pages come in with one call, for a graph-sized table
/// that is then written at random or all at once.
template <class T>
std::vector<T> paged_list(std::size_t n, const T& value = T{}) {
  std::vector<T> v;
  reserve_paged(v, n);
  v.resize(n, value);
  return v;
}

}  // namespace vantrel
