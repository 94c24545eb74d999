#include "bulk_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace quorvel {

namespace {

void* allocate_with_malloc(std::size_t bytes) noexcept { return std::malloc(bytes); }
void release_with_free(void* block) noexcept { std::free(block); }

std::atomic<BulkMemory*> installed{nullptr};

}  // namespace

const BulkMemory& bulk_memory() noexcept {
  static constexpr BulkMemory standard{&allocate_with_malloc, &release_with_free};
  const BulkMemory* memory = installed.load(std::memory_order_acquire);
  return memory != nullptr ? *memory : standard;
}

void install_bulk_memory(BulkMemory memory) noexcept {
  // Installed once, before the first array, and kept for the process: a block is
  // released by the function that allocated it.
  static BulkMemory kept = memory;
  installed.store(&kept, std::memory_order_release);
}

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
