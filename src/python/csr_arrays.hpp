#pragma once
// Compressed-row matrices handed to SciPy as scipy.sparse.csr_array without a
// copy: data, indices and indptr view the arrays that C++ wrote, owned by
// NativeBuffer objects. The matrix is built without the interpreter lock.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "binding.hpp"
#include "owned_buffer.hpp"
#include "sparse_matrix_tools/compressed_rows.hpp"

namespace quorvel::python {

/// @brief scipy.sparse.csr_array, importing SciPy on first use.
PyObject* csr_array_class();

/// @brief The matrix as a csr_array viewing its arrays.
template <class Index>
PyObject* to_csr_array(PyObject* csr_array, CompressedRows<Index>&& matrix) {
  Ref shape = Ref::checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(matrix.nrows),
                                         static_cast<unsigned long long>(matrix.ncols)));
  Ref data = take_array(std::move(matrix.values));
  Ref indices = take_array(std::move(matrix.columns));
  Ref indptr = take_array(std::move(matrix.row_offsets));
  Ref arrays = Ref::checked(PyTuple_Pack(3, data.get(), indices.get(), indptr.get()));
  Ref keywords = Ref::checked(Py_BuildValue("(s)", "shape"));
  PyObject* const arguments[] = {arrays.get(), shape.get()};
  // SciPy keeps index arrays of the width that fits_32_bit_indices chose as they
  // are (no copy; only int64 arrays of a matrix whose dimensions fit int32 get a
  // read-only scan of their largest values).
  Ref matrix_object = Ref::checked(PyObject_Vectorcall(csr_array, arguments, 1, keywords.get()));
  // Sorted and free of duplicates by construction; saying so spares SciPy the
  // scan over every entry that it would otherwise make on first use.
  if (PyObject_SetAttrString(matrix_object.get(), "has_canonical_format", Py_True) < 0) {
    throw PythonError{};
  }
  return matrix_object.release();
}

/// @brief The matrix built by build() without the interpreter lock, as a csr_array.
template <class Build>
PyObject* build_csr_array(const Build& build) {
  PyObject* csr_array = csr_array_class();  // imports SciPy before any work
  AnyCompressedRows matrix = [&] {
    ReleasedLock unlocked;
    return build();
  }();
  return std::visit([&](auto& typed) { return to_csr_array(csr_array, std::move(typed)); }, matrix);
}

/// @brief The largest value in [low, high] that fits, given that low fits.
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

/// @brief Refuses counts whose matrix, of size size_of(degree, n_t), could never be
/// allocated: ValueError naming n_t, or the degree when even one interval is too many.
template <class SizeOf>
void check_addressable(std::int64_t degree, std::int64_t n_t, const SizeOf& size_of) {
  auto fits = [&](std::int64_t d, std::int64_t n) { return is_addressable(size_of(d, n)); };
  if (fits(degree, n_t)) {
    return;
  }
  constexpr std::string_view reason = " for the matrix to be addressable";
  if (!fits(degree, 1)) {
    const std::int64_t limit =
        largest_fitting(0, degree, [&](std::int64_t d) { return fits(d, 1); });
    raise_wrong_value("degree", "at most " + std::to_string(limit) + std::string(reason), degree);
  }
  const std::int64_t limit =
      largest_fitting(1, n_t, [&](std::int64_t n) { return fits(degree, n); });
  raise_wrong_value("n_t",
                    "at most " + std::to_string(limit) + " at degree " + std::to_string(degree) +
                        std::string(reason),
                    n_t);
}

}  // namespace quorvel::python
