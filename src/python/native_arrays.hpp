#pragma once
// The one way new arrays leave quorvel: memory that C++ allocated and filled,
// handed to NumPy without a copy.
//
// One small type, created on first need and not an attribute of the module,
// owns a C++ container and exports its elements through the buffer protocol
// (writable, contiguous in C or Fortran order, with format, shape and
// strides). NumPy arrays view it; the last view to go frees the container.
// take_array turns a container into such an array in one call:
//
//   BulkArray<double> values = compute();        // any contiguous container
//   Ref array = take_array(std::move(values));   // numpy.ndarray, no copy
//   Ref grid = take_array(std::move(more), std::array<Py_ssize_t, 2>{rows, cols});

#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "handle.hpp"

namespace quorvel::python {

/// @brief The buffer-protocol format character of an item type.
template <class T>
constexpr const char* buffer_format() {
  if constexpr (std::is_same_v<T, double>) {
    return "d";
  } else if constexpr (std::is_same_v<T, float>) {
    return "f";
  } else if constexpr (std::is_same_v<T, bool>) {
    return "?";
  } else if constexpr (std::is_same_v<T, signed char>) {
    return "b";
  } else if constexpr (std::is_same_v<T, unsigned char>) {
    return "B";
  } else if constexpr (std::is_same_v<T, short>) {
    return "h";
  } else if constexpr (std::is_same_v<T, unsigned short>) {
    return "H";
  } else if constexpr (std::is_same_v<T, int>) {
    return "i";
  } else if constexpr (std::is_same_v<T, unsigned int>) {
    return "I";
  } else if constexpr (std::is_same_v<T, long>) {
    return "l";
  } else if constexpr (std::is_same_v<T, unsigned long>) {
    return "L";
  } else if constexpr (std::is_same_v<T, long long>) {
    return "q";
  } else if constexpr (std::is_same_v<T, unsigned long long>) {
    return "Q";
  } else {
    static_assert(!sizeof(T), "no buffer format for this item type");
  }
}

/// @brief Memory to be owned: its items, their layout, and how to free it.
struct OwnedMemory {
  void* items;
  Py_ssize_t item_count;
  Py_ssize_t item_size;
  const char* format;  // a string literal
  void* holder;        // passed to release once, when the owner dies
  void (*release)(void* holder) noexcept;
  bool read_only = false;  // views may not write to it
};

/// @brief The order in which an array's items lie in memory.
enum class MemoryOrder { c, fortran };

/// @brief A new owner of memory exporting it with the given shape (empty for a single
/// item; the extents' product must be memory.item_count), its items in @p order. On
/// failure the memory is released at once and PythonError thrown.
Ref own_memory(OwnedMemory memory, std::span<const Py_ssize_t> shape,
               MemoryOrder order = MemoryOrder::c);

/// @brief A new owner of the container's elements (moved, never copied), exported with
/// the given shape.
template <class Container>
Ref own_container(Container&& container, std::span<const Py_ssize_t> shape,
                  MemoryOrder order = MemoryOrder::c) {
  static_assert(!std::is_lvalue_reference_v<Container>, "the container is moved, not copied");
  using C = std::remove_cvref_t<Container>;
  using T = C::value_type;
  auto* holder = new C(std::forward<Container>(container));
  return own_memory(
      {holder->data(), static_cast<Py_ssize_t>(holder->size()), static_cast<Py_ssize_t>(sizeof(T)),
       buffer_format<T>(), holder, [](void* held) noexcept { delete static_cast<C*>(held); }},
      shape, order);
}

/// @brief numpy.asarray of an owner: the ndarray viewing the memory (imports NumPy on
/// first use).
Ref array_of_owner(const Ref& owner);

/// @brief A writable one-dimensional numpy.ndarray viewing the container's elements,
/// which it takes over without a copy.
template <class Container>
Ref take_array(Container&& container) {
  const Py_ssize_t length = static_cast<Py_ssize_t>(container.size());
  return array_of_owner(own_container(std::forward<Container>(container), {&length, 1}));
}

/// @brief A writable numpy.ndarray of the given shape (empty: 0-d) viewing the container's
/// elements in @p order, which it takes over without a copy.
template <class Container>
Ref take_array(Container&& container, std::span<const Py_ssize_t> shape,
               MemoryOrder order = MemoryOrder::c) {
  return array_of_owner(own_container(std::forward<Container>(container), shape, order));
}

}  // namespace quorvel::python
