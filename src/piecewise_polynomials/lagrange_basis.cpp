#include "lagrange_basis.hpp"

#include "support/failure.hpp"

namespace quorvel {

namespace {

// Node i of degree on [a, b]; the one formula behind equispaced_nodes and the mesh nodes.
double equispaced_node(double a, double b, std::uint32_t i, std::uint32_t degree) noexcept {
  return a + ((b - a) * static_cast<double>(i)) / static_cast<double>(degree);
}

}  // namespace

std::vector<double> equispaced_nodes(double a, double b, std::uint32_t degree) {
  const std::uint64_t count = static_cast<std::uint64_t>(degree) + 1;
  std::vector<double> nodes;
  nodes.reserve(checked_storage_count(count, sizeof(double)));
  for (std::uint64_t i = 0; i < count; ++i) {
    nodes.push_back(equispaced_node(a, b, static_cast<std::uint32_t>(i), degree));
  }
  return nodes;
}

LagrangeBasis LagrangeBasis::create(std::uint32_t degree, std::uint32_t n_t, double T) {
  const std::uint64_t count = static_cast<std::uint64_t>(n_t) * degree + 1;
  std::vector<double> points;
  points.reserve(checked_storage_count(count, sizeof(double)));
  if (degree > 0) {
    const double h = T / static_cast<double>(n_t);
    // The bounds are h * k and h + h * k with k a double counter: the left
    // bound is not the previous right bound, and the right one not h * (k + 1).
    double k = 0.0;
    for (std::uint32_t interval = 0; interval < n_t; ++interval) {
      const double a = h * k;
      const double b = h + h * k;
      // The last node of an interval is the first of the next one (or T).
      for (std::uint32_t i = 0; i < degree; ++i) {
        points.push_back(equispaced_node(a, b, i, degree));
      }
      k += 1.0;
    }
  }
  // Stored as given: h + h * (n_t - 1) may miss T in the last bit.
  points.push_back(T);
  return LagrangeBasis(std::move(points), degree, n_t);
}

}  // namespace quorvel
