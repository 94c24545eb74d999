#pragma once
// Arrays that are written once in full right after they are allocated: no
// pass to zero them first, and large ones backed by huge pages where the
// kernel allows. The threads that fill such an array also touch its pages
// first, so allocating it costs the caller almost nothing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvel {

/// @brief Asks the kernel to back [address, address + bytes) with transparent huge
/// pages where it can (a hint, as NumPy gives for its large arrays): writing a large
/// array then costs a fraction of the page faults.
void advise_huge_pages(void* address, std::size_t bytes) noexcept;

/// @brief Where bulk arrays get their memory: malloc and free unless the embedding
/// program installs its own (the Python module installs the interpreter's raw
/// allocator, so that tracemalloc sees the arrays it hands to NumPy). Both functions
/// must be callable from any thread at any time; install them before the first array.
struct BulkMemory {
  void* (*allocate)(std::size_t bytes) noexcept;
  void (*release)(void* block) noexcept;
};

/// @brief The functions bulk arrays allocate and release with.
[[nodiscard]] const BulkMemory& bulk_memory() noexcept;

/// @brief Installs the functions bulk arrays allocate and release with: once, before the
/// first array (a later call changes nothing).
void install_bulk_memory(BulkMemory memory) noexcept;

/// @brief The allocator of arrays that are written once in full: value-initialisation
/// leaves trivial elements uninitialised (resizing costs no pass), and large blocks
/// are advised to use huge pages.
template <class T>
struct BulkAllocator {
  using value_type = T;
  BulkAllocator() noexcept = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
      throw std::bad_alloc();
    }
    // At least one byte, so that an empty array has an address of its own.
    void* block = bulk_memory().allocate(n == 0 ? 1 : n * sizeof(T));
    if (block == nullptr) {
      throw std::bad_alloc();
    }
    advise_huge_pages(block, n * sizeof(T));
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t /*n*/) noexcept { bulk_memory().release(block); }
  template <class U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const BulkAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

/// @brief A vector for large arrays written once in full (see BulkAllocator).
template <class T>
using BulkArray = std::vector<T, BulkAllocator<T>>;

}  // namespace quorvel
