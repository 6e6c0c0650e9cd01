#pragma once
/// Asking for large pages under big tables that are probed at random.
#include <cstddef>

namespace vantrel {

/// Below this many bytes a table fits the translation caches well enough with small pages.
inline constexpr std::size_t kHugePagesWorthIt = std::size_t{4} << 20;

/// Asks the system to back the whole large pages inside [data, data + bytes) with large
/// pages when they are first touched. At a million entries, random probes into small pages
/// miss the translation caches on nearly every access and each fault brings in one small
/// page; a large page covers 512 of them. Only a hint: where the system lacks it or refuses
/// it, nothing changes. Ranges under `kHugePagesWorthIt` are left alone.
void advise_huge_pages(const void* data, std::size_t bytes);

}  // namespace vantrel
