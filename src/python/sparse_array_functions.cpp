// The module functions that return the Lagrange matrices as
// scipy.sparse.csr_array: compressed rows written once in C++ without the
// interpreter lock, then handed to SciPy without a copy (data, indices and
// indptr view the C++ arrays).

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "binding.hpp"
#include "module_contents.hpp"
#include "owned_buffer.hpp"
#include "piecewise_polynomials/lagrange_compressed_rows.hpp"
#include "piecewise_polynomials/prolongation_rows.hpp"

namespace quorvel::python {

namespace {

constexpr std::int64_t u32_max = 4294967295;

LazyAttribute csr_array_class{"scipy.sparse", "csr_array"};

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
  PyObject* csr_array = csr_array_class.get();  // imports SciPy before any work
  AnyCompressedRows matrix = [&] {
    ReleasedLock unlocked;
    return build();
  }();
  return std::visit([&](auto& typed) { return to_csr_array(csr_array, std::move(typed)); }, matrix);
}

// The prolongation's meshes hold at most 4294967295 DOFs, as the triplets' do.
void check_mesh_size(std::string_view name, std::int64_t intervals, std::int64_t degree) {
  const auto limit = static_cast<std::int64_t>(max_prolongation_dofs - 1) / degree;
  if (intervals > limit) {
    raise_wrong_value(name,
                      "at most " + std::to_string(limit) + " at degree " + std::to_string(degree) +
                          " (at most " + std::to_string(max_prolongation_dofs) + " DOFs per mesh)",
                      intervals);
  }
}

bool lagrange_to_legendre_fits(std::int64_t degree, std::int64_t n_t) {
  return is_addressable(lagrange_to_legendre_size(static_cast<std::uint32_t>(degree),
                                                  static_cast<std::uint32_t>(n_t)));
}

// The largest value in [low, high] that fits, given that low fits.
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

// Counts whose matrix could never be allocated are refused, naming n_t, or the
// degree when even one interval is too many.
void check_lagrange_to_legendre_size(std::int64_t degree, std::int64_t n_t) {
  if (lagrange_to_legendre_fits(degree, n_t)) {
    return;
  }
  constexpr std::string_view reason = " for the matrix to be addressable";
  if (!lagrange_to_legendre_fits(degree, 1)) {
    const std::int64_t limit =
        largest_fitting(1, degree, [](std::int64_t d) { return lagrange_to_legendre_fits(d, 1); });
    raise_wrong_value("degree", "at most " + std::to_string(limit) + std::string(reason), degree);
  }
  const std::int64_t limit =
      largest_fitting(1, n_t, [&](std::int64_t n) { return lagrange_to_legendre_fits(degree, n); });
  raise_wrong_value("n_t",
                    "at most " + std::to_string(limit) + " at degree " + std::to_string(degree) +
                        std::string(reason),
                    n_t);
}

using LagrangeProlongationCsr =
    Function<"lagrange_prolongation_csr",
             [](Bounded<1, u32_max> nt_coarse, Bounded<1, u32_max> nt_fine,
                Bounded<1, u32_max - 1> degree) -> PyObject* {
               check_mesh_size("nt_coarse", nt_coarse.value, degree.value);
               check_mesh_size("nt_fine", nt_fine.value, degree.value);
               return build_csr_array([&] {
                 return prolongation_compressed_rows(static_cast<std::uint32_t>(degree.value),
                                                     static_cast<std::uint32_t>(nt_coarse.value),
                                                     static_cast<std::uint32_t>(nt_fine.value));
               });
             },
             "nt_coarse", "nt_fine", "degree">;

using LagrangeToLegendreCsr =
    Function<"lagrange_to_legendre_csr",
             [](Bounded<1, u32_max> degree, Bounded<0, u32_max> n_t) -> PyObject* {
               check_lagrange_to_legendre_size(degree.value, n_t.value);
               return build_csr_array([&] {
                 return lagrange_to_legendre_compressed_rows(
                     static_cast<std::uint32_t>(degree.value),
                     static_cast<std::uint32_t>(n_t.value));
               });
             },
             "degree", "n_t">;

PyMethodDef definitions[] = {
    LagrangeProlongationCsr::def<
        "The matrix that carries Lagrange DOFs from nt_coarse to nt_fine intervals, as a\n"
        "scipy.sparse.csr_array of shape (nt_fine * degree + 1, nt_coarse * degree + 1).\n\n"
        "Its stored entries, row by row with ascending columns, are the triplets of\n"
        "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree), bit for bit. data,\n"
        "indices and indptr view arrays that quorvel allocated once (indices int32 when\n"
        "the sizes fit, else int64), built without the interpreter lock. degree, nt_coarse\n"
        "and nt_fine must be at least 1, with at most 4294967295 DOFs per mesh\n"
        "(ValueError otherwise).">(),
    LagrangeToLegendreCsr::def<
        "The matrix that turns Lagrange DOFs into Legendre DOFs, as a scipy.sparse.csr_array\n"
        "of shape ((degree + 1) * n_t, n_t * degree + 1).\n\n"
        "Its stored entries, row by row with ascending columns, are the triplets of\n"
        "lagrange_to_legendre_basis_transformation(degree, n_t), bit for bit. data,\n"
        "indices and indptr view arrays that quorvel allocated once (indices int32 when\n"
        "the sizes fit, else int64), built without the interpreter lock. degree must be\n"
        "at least 1 (ValueError otherwise).">(),
};

}  // namespace

std::span<PyMethodDef> sparse_array_functions() { return definitions; }

}  // namespace quorvel::python
