#include "barycentric_interpolation.hpp"

#include <algorithm>
#include <cmath>

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
  for (std::size_t j = 0; j < nodes.size(); ++j) {
    if (std::abs(xi - nodes[j]) < node_match_tolerance) {
      values[j] = 1.0;
      return;
    }
  }
  double sum = 0.0;
  for (std::size_t j = 0; j < nodes.size(); ++j) {
    const double q = weights[j] / (xi - nodes[j]);
    sum = sum + q;
    values[j] = q;
  }
  for (double& value : values) {
    value = value / sum;
  }
}

}  // namespace quorvel
