#pragma once
// The Lagrange matrices in compressed rows, written straight into the arrays
// that leave the library: the same entries as the coordinate-list forms behind
// the triplets, bit for bit and in the same order, without the intermediate
// matrices. Large matrices are written on the process-wide worker pool.

#include <cstdint>

#include "sparse_matrix_tools/compressed_rows.hpp"

namespace quorvel {

/// @brief The prolongation from nt_coarse to nt_fine intervals of degree degree: the
/// entries of LagrangeBasis::get_prolongation_matrix_to. Fails as it does (its
/// preconditions, in its order); std::bad_alloc when the arrays cannot be allocated.
[[nodiscard]] AnyCompressedRows prolongation_compressed_rows(std::uint32_t degree,
                                                             std::uint32_t nt_coarse,
                                                             std::uint32_t nt_fine);

/// @brief ((degree + 1) * n_t) x (n_t * degree + 1) with n_t * (degree + 1)^2 entries;
/// an entry count beyond 64 bits is given as the largest 64-bit value.
[[nodiscard]] CompressedRowsSize lagrange_to_legendre_size(std::uint32_t degree,
                                                           std::uint32_t n_t) noexcept;

/// @brief The Lagrange-to-Legendre matrix of degree and n_t: the entries of
/// LagrangeBasis::get_transormation_matrix_to_legendre. Fails as it does for degree 0
/// (and for a local matrix that cannot be inverted); std::bad_alloc when the arrays
/// cannot be allocated. An empty matrix (n_t = 0) needs no local matrix.
[[nodiscard]] AnyCompressedRows lagrange_to_legendre_compressed_rows(std::uint32_t degree,
                                                                     std::uint32_t n_t);

}  // namespace quorvel
