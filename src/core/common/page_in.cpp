#include "common/page_in.hpp"

#include <cstdint>

#include "common/huge_pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vantrel {

void page_in_for_writing(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (data == nullptr || !paging_pays(bytes)) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(page - 1);
  if (last <= first) return;
  advise_huge_pages(data, bytes);
  // The result is ignored on purpose: a refusal (an old kernel, a full memory) only means
  // the pages are faulted in on first use instead.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace vantrel
