#pragma once
// The rows of the coarse-to-fine prolongation of Lagrange DOFs, one fine node
// at a time: where the node lies on the coarse mesh and the values of the
// coarse basis functions there. The meshes need not nest.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "barycentric_interpolation.hpp"
#include "support/lanes.hpp"

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
  /// at that node, that are not exactly 0.0. scratch holds nodes_per_interval()
  /// values (else a failure); a caller that knows that count at compile time passes
  /// it as N.
  template <std::size_t N, class Emit>
  void for_each_entry(std::uint64_t t, std::span<double, N> scratch, Emit&& emit) const {
    const Place place = place_of(t);
    const auto first_column = static_cast<std::uint64_t>(place.interval) * degree_;
    for_each_entry_at(place.xi, scratch,
                      [&](std::size_t j, double value) { emit(first_column + j, value); });
  }

  /// @brief The entries of a row whose fine node lies at reference coordinate xi, as
  /// emit(j, value) for the j-th basis function of the interval, by ascending j. On a
  /// coarse node (within node_match_tolerance) that is the single entry 1.0; elsewhere
  /// the barycentric values, NaN and tiny ones included, exact zeros left out.
  template <std::size_t N, class Emit>
  void for_each_entry_at(double xi, std::span<double, N> scratch, Emit&& emit) const {
    if (scratch.size() != nodes_.size()) {
      fail_value_count();
    }
    const std::span<const double, N> nodes(nodes_.data(), scratch.size());
    if (const std::size_t j = matching_node(xi, nodes); j < nodes.size()) {
      emit(j, 1.0);
      return;
    }
    barycentric_values(xi, nodes, std::span<const double, N>(weights_.data(), scratch.size()),
                       scratch);
    for (std::size_t j = 0; j < scratch.size(); ++j) {
      if (scratch[j] != 0.0) {
        emit(j, scratch[j]);
      }
    }
  }

  /// @brief The coarse intervals (as doubles) and reference coordinates of the fine
  /// nodes first ... first + count - 1, as the rows above place them.
  void places(std::uint64_t first, std::size_t count, double* intervals,
              double* xis) const noexcept {
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
      const PlacePair pair = place_pair(first + i);
      simd::store<2>(intervals + i, pair.interval);
      simd::store<2>(xis + i, pair.xi);
    }
    for (; i < count; ++i) {
      const Place place = place_of(first + i);
      intervals[i] = static_cast<double>(place.interval);
      xis[i] = place.xi;
    }
  }

  /// @brief An upper bound of the entries of the rows first ... end - 1, cheaper than
  /// the entries: 1 for a fine node on a coarse node, else nodes_per_interval(). It is
  /// exact unless a value is exactly 0.0 off the nodes, which only very high degrees
  /// produce.
  template <std::size_t N = std::dynamic_extent>
  [[nodiscard]] std::uint64_t entry_bounds(std::uint64_t first, std::uint64_t end) const noexcept {
    const std::span<const double, N> nodes(nodes_.data(), nodes_.size());
    std::uint64_t on_node = 0;
    std::uint64_t t = first;
    // Whether some node matches, not which: the distance to the nearest node.
    for (; t + 2 <= end; t += 2) {
      const simd::Vec<2> xi = place_pair(t).xi;
      simd::Vec<2> nearest = simd::splat<2>(std::numeric_limits<double>::infinity());
      for (const double node : nodes) {
        // As std::min(nearest, distance): the distance only where it is smaller.
        const simd::Vec<2> distance = simd::magnitude<2>(xi - node);
        nearest = simd::select<2>(distance < nearest, distance, nearest);
      }
      const simd::Ints<2> on = nearest < node_match_tolerance;  // -1 where a node matches
      on_node += static_cast<std::uint64_t>(-(on[0] + on[1]));
    }
    for (; t < end; ++t) {
      const double xi = place_of(t).xi;
      double nearest = std::numeric_limits<double>::infinity();
      for (const double node : nodes) {
        nearest = std::min(nearest, std::abs(xi - node));
      }
      on_node += nearest < node_match_tolerance ? 1 : 0;
    }
    return (end - first) * nodes.size() - on_node * (nodes.size() - 1);
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

  struct PlacePair {
    simd::Vec<2> interval;
    simd::Vec<2> xi;
  };

  // place_of for fine nodes t and t + 1 at once, with the same values: the same
  // operations, and floor(x) found by rounding, exact for 0 <= x < 2^52.
  [[nodiscard]] PlacePair place_pair(std::uint64_t t) const noexcept {
    const simd::Vec<2> fine = {static_cast<double>(t), static_cast<double>(t + 1)};
    const simd::Vec<2> x = (fine / last_fine_as_double_) * nt_coarse_as_double_;
    const simd::Vec<2> floor = simd::floor_of_small<2>(x);
    const simd::Vec<2> c =
        simd::select<2>(floor < last_interval_, floor, simd::splat<2>(last_interval_));
    const simd::Vec<2> offset = x - c;
    return {c, (offset + offset) - 1.0};
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
