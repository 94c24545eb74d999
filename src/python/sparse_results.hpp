#pragma once
// Sparse matrices leave as compressed rows, built once in C++: handed to SciPy
// as scipy.sparse.csr_array without a copy (data, indices and indptr view the
// arrays that C++ wrote), or read out as triplets (three lists: row indices,
// column indices, values, by row and then by column). Both come from the same
// builders. Also here: the one check that refuses counts whose matrix could
// never be built.

#include <cstdint>
#include <string>
#include <string_view>

#include "conversion.hpp"
#include "handle.hpp"
#include "sparse_matrix_tools/compressed_rows.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

/// @brief The largest degree of the Lagrange matrices of the array API. Beyond it the
/// Lagrange polynomials of equispaced nodes are of no use (their interpolation diverges,
/// their matrices lose every digit), and the time matrices' element integrals cost
/// O(degree^4).
inline constexpr std::int64_t lagrange_degree_limit = 100;

/// @brief scipy.sparse.csr_array, importing SciPy on first use (a borrowed reference).
PyObject* csr_array_class();

/// @brief The matrix as a csr_array viewing its arrays, which it takes over.
PyObject* to_csr_array(PyObject* csr_array, AnyCompressedRows&& matrix);

/// @brief The matrix built by build() without the interpreter lock, as a csr_array.
template <class Build>
PyObject* build_csr_array(const Build& build) {
  PyObject* csr_array = csr_array_class();  // imports SciPy before any work
  AnyCompressedRows matrix = [&] {
    ReleasedLock unlocked;
    return build();
  }();
  return to_csr_array(csr_array, std::move(matrix));
}

/// @brief The stored entries as a new tuple of three new lists (row indices and column
/// indices as ints, values as floats), by row and then by ascending column.
PyObject* to_triplets(const AnyCompressedRows& matrix);

/// @brief The largest value in [low, high] that fits, given that low fits and fits is
/// monotone.
template <class Fits>
std::int64_t largest_fitting(std::int64_t low, std::int64_t high, const Fits& fits) {
  while (low < high) {
    const std::int64_t middle = low + (high - low + 1) / 2;
    if (fits(middle)) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

/// @brief Refuses a count for which fits(value) is false: ValueError "NAME must be at
/// most LIMIT" + @p qualifier + ", got VALUE", LIMIT the largest count from @p lowest on
/// that fits. The sizes of the matrices are checked here and nowhere else.
template <class Fits>
void refuse_unless_fits(std::string_view name, std::int64_t value, std::int64_t lowest,
                        std::string_view qualifier, const Fits& fits) {
  if (fits(value)) {
    return;
  }
  const std::int64_t limit = largest_fitting(lowest, value, fits);
  raise_wrong_value(name, "at most " + std::to_string(limit) + std::string(qualifier), value);
}

/// @brief Refuses counts whose matrix, of size size_of(degree, n_t), could never be
/// allocated: ValueError naming n_t, or the degree when even one interval is too many.
template <class SizeOf>
void refuse_unaddressable(std::int64_t degree, std::int64_t n_t, const SizeOf& size_of) {
  const auto fits = [&](std::int64_t d, std::int64_t n) { return is_addressable(size_of(d, n)); };
  if (fits(degree, n_t)) {
    return;
  }
  refuse_unless_fits("degree", degree, 0, messages::addressable,
                     [&](std::int64_t d) { return fits(d, 1); });
  refuse_unless_fits("n_t", n_t, 1, " at degree " + std::to_string(degree) + messages::addressable,
                     [&](std::int64_t n) { return fits(degree, n); });
}

}  // namespace quorvel::python
