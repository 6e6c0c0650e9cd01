#pragma once
/// Asking for large pages under big tables that are probed at random, and the one rule for
/// when a paging hint pays.
#include <cstddef>

namespace vantrel {

/// The size of a large page on the systems we run on.
inline constexpr std::size_t kLargePageBytes = std::size_t{1} << 21;

/// Whether a paging hint (large pages, or bringing pages in ahead of use) pays for a range of
/// `bytes`. Below one large page the range can hold no large page, fits the translation caches
/// well enough with small ones, and the few faults it takes on first use cost less than the
/// system call that would spare them. Every hint asks this, so the rule is the same for all.
constexpr bool paging_pays(std::size_t bytes) { return bytes >= kLargePageBytes; }

/// Asks the system to back the whole large pages inside [data, data + bytes) with large
/// pages when they are first touched. At a million entries, random probes into small pages
/// miss the translation caches on nearly every access and each fault brings in one small
/// page; a large page covers 512 of them. Only a hint: where the system lacks it or refuses
/// it, nothing changes. Ranges where paging does not pay are left alone.
void advise_huge_pages(const void* data, std::size_t bytes);

}  // namespace vantrel
