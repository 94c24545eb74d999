#pragma once
// The matrices of a time discretisation on the uniform mesh of [0, T], in
// compressed rows: the mass matrix and the upwind discontinuous-Galerkin time
// matrix of the Legendre basis (DOF c + n_t i: degree i on interval c), and
// the mass and derivative matrices of the continuous Lagrange basis (DOF
// k degree + i: node i of interval k), assembled over the shared nodes.
//
// Entry (row r, column s) is the integral that tests with basis function r
// and tries basis function s: M[r][s] = int phi_s phi_r, B[r][s] =
// int phi_s' phi_r (+ jumps). Every row's entries are written once, by
// ascending column; large matrices are written on the given worker pool.

#include <cstdint>

#include "sparse_matrix_tools/compressed_rows.hpp"

namespace quorvel {

/// @brief Size of the diagonal Legendre mass matrix: n_t (degree + 1) rows and entries.
[[nodiscard]] CompressedRowsSize legendre_mass_size(std::uint32_t degree,
                                                    std::uint32_t n_t) noexcept;

/// @brief M[(c, i), (c, i)] = h / (2i + 1), h = T / n_t; nothing else is stored.
[[nodiscard]] AnyCompressedRows legendre_mass_rows(std::uint32_t degree, std::uint32_t n_t,
                                                   double T, LazyThreadPool* pool);

/// @brief Size of the Legendre upwind time matrix: (2 n_t - 1) (degree + 1)^2 entries.
[[nodiscard]] CompressedRowsSize legendre_dg_size(std::uint32_t degree, std::uint32_t n_t) noexcept;

/// @brief The upwind discontinuous-Galerkin time-derivative operator:
/// B[(c, i), (c, j)] = int_c phi_j' phi_i + phi_j(t_c+) phi_i(t_c+) = 1 for j >= i,
/// (-1)^(i + j) for j < i; B[(c, i), (c - 1, j)] = -phi_j(t_c-) phi_i(t_c+) = -(-1)^i
/// for c >= 1. Integers, independent of h.
[[nodiscard]] AnyCompressedRows legendre_dg_rows(std::uint32_t degree, std::uint32_t n_t,
                                                 LazyThreadPool* pool);

/// @brief Size of an assembled Lagrange matrix: n_t (degree + 1)^2 - (n_t - 1) entries.
[[nodiscard]] CompressedRowsSize lagrange_assembled_size(std::uint32_t degree,
                                                         std::uint32_t n_t) noexcept;

/// @brief The Lagrange mass matrix: (h / 2) times the element mass matrix on every
/// interval, summed where neighbouring intervals share a node; degree >= 1.
[[nodiscard]] AnyCompressedRows lagrange_mass_rows(std::uint32_t degree, std::uint32_t n_t,
                                                   double T, LazyThreadPool* pool);

/// @brief The Lagrange derivative matrix int phi_j' phi_i, assembled likewise;
/// independent of h; degree >= 1.
[[nodiscard]] AnyCompressedRows lagrange_derivative_rows(std::uint32_t degree, std::uint32_t n_t,
                                                         LazyThreadPool* pool);

}  // namespace quorvel
