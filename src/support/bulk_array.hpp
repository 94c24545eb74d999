#pragma once
// Arrays that are written once in full right after they are allocated: no
// pass to zero them first, and large ones backed by huge pages where the
// kernel allows. The threads that fill such an array also touch its pages
// first, so allocating it costs the caller almost nothing.

#include <cstddef>
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

/// @brief The allocator of arrays that are written once in full: value-initialisation
/// leaves trivial elements uninitialised (resizing costs no pass), and large blocks
/// are advised to use huge pages.
template <class T>
struct BulkAllocator : std::allocator<T> {
  using value_type = T;
  BulkAllocator() noexcept = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t n) {
    T* block = std::allocator<T>::allocate(n);
    advise_huge_pages(block, n * sizeof(T));
    return block;
  }
  template <class U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

/// @brief A vector for large arrays written once in full (see BulkAllocator).
template <class T>
using BulkArray = std::vector<T, BulkAllocator<T>>;

}  // namespace quorvel
