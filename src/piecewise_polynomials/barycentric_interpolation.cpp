#include "barycentric_interpolation.hpp"

#include <algorithm>

#include "support/failure.hpp"

namespace quorvel {

std::vector<double> barycentric_weights(std::span<const double> nodes) {
  std::vector<double> weights;
  weights.reserve(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    double product = 1.0;
    for (std::size_t j = 0; j < nodes.size(); ++j) {
      if (j != i) {
        product = product * (nodes[i] - nodes[j]);
      }
    }
    weights.push_back(1.0 / product);
  }
  return weights;
}

void lagrange_values_at(double xi, std::span<const double> nodes, std::span<const double> weights,
                        std::span<double> values) {
  if (weights.size() != nodes.size() || values.size() != nodes.size()) {
    fail("Lagrange values need one weight and one value slot per node");
  }
  std::fill(values.begin(), values.end(), 0.0);
  if (const std::size_t j = matching_node(xi, nodes); j < nodes.size()) {
    values[j] = 1.0;
    return;
  }
  barycentric_values(xi, nodes, weights, values);
}

}  // namespace quorvel
