#pragma once
// The rows of the coarse-to-fine prolongation of Lagrange DOFs, one fine node
// at a time: where the node lies on the coarse mesh and the values of the
// coarse basis functions there. Every form of the prolongation matrix (the
// coordinate list behind the triplets, the compressed rows handed to SciPy) is
// built from these rows, so all forms hold the same entries, bit for bit.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "barycentric_interpolation.hpp"

namespace quorvel {

/// @brief Largest DOF count of either mesh of a prolongation (counts are 32-bit).
inline constexpr std::uint64_t max_prolongation_dofs = std::numeric_limits<std::uint32_t>::max();

/// @brief The rows of the prolongation from nt_coarse to nt_fine intervals of degree degree.
class ProlongationRows {
 public:
  /// @brief Checks the preconditions in order (degree, nt_coarse, nt_fine at least 1;
  /// at most max_prolongation_dofs DOFs per mesh), failing with their fixed messages,
  /// and computes the reference nodes and barycentric weights once.
  ProlongationRows(std::uint32_t degree, std::uint32_t nt_coarse, std::uint32_t nt_fine);

  /// @brief nt_fine * degree + 1: one row per fine DOF.
  [[nodiscard]] std::uint64_t row_count() const noexcept { return last_fine_ + 1; }
  /// @brief nt_coarse * degree + 1: one column per coarse DOF.
  [[nodiscard]] std::uint64_t column_count() const noexcept {
    return static_cast<std::uint64_t>(nt_coarse_) * degree_ + 1;
  }
  /// @brief degree + 1: the most entries a row can hold, and the size of a value buffer.
  [[nodiscard]] std::size_t nodes_per_interval() const noexcept { return nodes_.size(); }

  /// @brief Hands the entries of row t to emit(column, value), by ascending column:
  /// the values of the coarse basis functions of the interval holding fine node t,
  /// at that node, that are not exactly 0.0. On a coarse node (within
  /// node_match_tolerance) that is the single entry 1.0; elsewhere the barycentric
  /// values, NaN and tiny ones included. scratch holds nodes_per_interval() values
  /// (else a failure); a caller that knows that count at compile time passes it as N.
  template <std::size_t N, class Emit>
  void for_each_entry(std::uint64_t t, std::span<double, N> scratch, Emit&& emit) const {
    if (scratch.size() != nodes_.size()) {
      fail_value_count();
    }
    const Place place = place_of(t);
    const std::uint64_t first_column = static_cast<std::uint64_t>(place.interval) * degree_;
    const std::span<const double, N> nodes(nodes_.data(), scratch.size());
    if (const std::size_t j = matching_node(place.xi, nodes); j < nodes.size()) {
      emit(first_column + j, 1.0);
      return;
    }
    barycentric_values(place.xi, nodes, std::span<const double, N>(weights_.data(), scratch.size()),
                       scratch);
    for (std::size_t j = 0; j < scratch.size(); ++j) {
      if (scratch[j] != 0.0) {
        emit(first_column + j, scratch[j]);
      }
    }
  }

  /// @brief An upper bound of the entries of row t, cheaper than the entries: 1 when
  /// fine node t lies on a coarse node, else nodes_per_interval(). It is exact unless
  /// a value is exactly 0.0 off the nodes, which only very high degrees produce.
  template <std::size_t N = std::dynamic_extent>
  [[nodiscard]] std::uint64_t entry_bound(std::uint64_t t) const noexcept {
    const double xi = place_of(t).xi;
    // Whether some node matches, not which: the distance to the nearest node,
    // found without branches.
    double nearest = std::numeric_limits<double>::infinity();
    const std::span<const double, N> nodes(nodes_.data(), nodes_.size());
    for (const double node : nodes) {
      nearest = std::min(nearest, std::abs(xi - node));
    }
    return nearest < node_match_tolerance ? 1 : nodes.size();
  }

 private:
  struct Place {
    std::uint32_t interval;
    double xi;  // the reference coordinate, in [-1, 1] up to rounding
  };

  [[nodiscard]] Place place_of(std::uint64_t t) const noexcept {
    // Position in units of the coarse interval width: (t / m) first, then * nt_coarse.
    const double x = (static_cast<double>(t) / last_fine_as_double_) * nt_coarse_as_double_;
    // The interval floor(x), with x = nt_coarse (the last fine node) kept in the
    // last interval. x lies in [0, nt_coarse], so the interval is an exact integer
    // of 32 bits; as a double it enters the reference coordinate unchanged.
    // (Truncation is floor for x >= 0.)
    const double c = std::min(static_cast<double>(static_cast<std::int64_t>(x)), last_interval_);
    return {static_cast<std::uint32_t>(c), (x - c) + (x - c) - 1.0};
  }

  [[noreturn]] static void fail_value_count();

  std::uint32_t degree_;
  std::uint32_t nt_coarse_;
  std::uint64_t last_fine_;
  double last_fine_as_double_;
  double nt_coarse_as_double_;
  double last_interval_;
  std::vector<double> nodes_;
  std::vector<double> weights_;
};

}  // namespace quorvel
