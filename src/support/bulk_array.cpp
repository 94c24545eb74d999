#include "bulk_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace quorvel {

void advise_huge_pages(void* address, std::size_t bytes) noexcept {
  // Below a few huge pages the hint buys nothing.
  constexpr std::size_t threshold = std::size_t{4} << 20;
  if (bytes < threshold) {
    return;
  }
  // madvise takes whole pages: the block's first full page onwards.
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t first_page = (start + page - 1) / page * page;
  // A refused hint changes nothing but speed.
  (void)madvise(static_cast<char*>(address) + (first_page - start), bytes - (first_page - start),
                MADV_HUGEPAGE);
}

}  // namespace quorvel
