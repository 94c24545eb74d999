#include "lagrange_local_matrices.hpp"

#include <utility>

#include "quadrature.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

using Extended = long double;

// The product formula: L_i(x) = prod over m != i of (x - x_m) / (x_i - x_m).
Extended lagrange_value(const std::vector<Extended>& nodes, std::size_t i, Extended x) {
  Extended product = 1.0L;
  for (std::size_t m = 0; m < nodes.size(); ++m) {
    if (m != i) {
      product *= (x - nodes[m]) / (nodes[i] - nodes[m]);
    }
  }
  return product;
}

// L_j'(x) = sum over k != j of 1 / (x_j - x_k) times the product over m != j, k of
// (x - x_m) / (x_j - x_m): no division by x - x_m, so nodes of the rule may be nodes
// of the basis.
Extended lagrange_slope(const std::vector<Extended>& nodes, std::size_t j, Extended x) {
  Extended sum = 0.0L;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    if (k == j) {
      continue;
    }
    Extended product = 1.0L / (nodes[j] - nodes[k]);
    for (std::size_t m = 0; m < nodes.size(); ++m) {
      if (m != j && m != k) {
        product *= (x - nodes[m]) / (nodes[j] - nodes[m]);
      }
    }
    sum += product;
  }
  return sum;
}

}  // namespace

LagrangeElementMatrices lagrange_element_matrices(std::uint32_t degree) {
  if (degree == 0) {
    fail("Lagrange element matrices need degree at least 1");
  }
  const std::size_t size = static_cast<std::size_t>(degree) + 1;
  (void)checked_storage_count(static_cast<std::uint64_t>(size) * size, 2 * sizeof(double));
  std::vector<Extended> nodes(size);
  for (std::size_t i = 0; i < size; ++i) {
    nodes[i] = -1.0L + (2.0L * static_cast<Extended>(i)) / static_cast<Extended>(degree);
  }
  const ReferenceRule rule = reference_rule(QuadratureRule::gauss, degree + 1);
  const std::vector<Extended>& points = rule.extended_nodes;
  const std::vector<Extended>& weights = rule.extended_weights;

  // The basis at the rule's points, once.
  std::vector<Extended> value(size * size);
  std::vector<Extended> slope(size * size);
  for (std::size_t q = 0; q < size; ++q) {
    for (std::size_t i = 0; i < size; ++i) {
      value[q * size + i] = lagrange_value(nodes, i, points[q]);
      slope[q * size + i] = lagrange_slope(nodes, i, points[q]);
    }
  }
  auto integral = [&](std::size_t i, std::size_t j, bool derivative) {
    Extended sum = 0.0L;
    for (std::size_t q = 0; q < size; ++q) {
      const Extended trial = derivative ? slope[q * size + j] : value[q * size + j];
      sum += weights[q] * trial * value[q * size + i];
    }
    return sum;
  };

  LagrangeElementMatrices matrices{degree, std::vector<double>(size * size),
                                   std::vector<double>(size * size)};
  // Each value is computed once and placed wherever a symmetry puts it, so that
  // the symmetries hold to the bit.
  for (std::size_t i = 0; i < size; ++i) {
    for (std::size_t j = i; j < size; ++j) {
      const std::size_t mi = size - 1 - i;
      const std::size_t mj = size - 1 - j;
      if (mj < i || (mj == i && mi < j)) {
        continue;  // the reflection of an entry already placed
      }
      const double mass = static_cast<double>(integral(i, j, false));
      for (auto [r, c] : {std::pair{i, j}, std::pair{j, i}, std::pair{mi, mj}, std::pair{mj, mi}}) {
        matrices.mass[r * size + c] = mass;
      }
    }
  }
  // derivative[i][j] + derivative[j][i] = L_i L_j at 1 minus at -1: the boundary
  // term b(i, j), 1 for i = j = degree, -1 for i = j = 0, else 0. The reflection
  // maps derivative[i][j] to -derivative[mi][mj].
  auto boundary = [&](std::size_t i, std::size_t j) {
    return i == j ? (i == size - 1 ? 1.0 : 0.0) - (i == 0 ? 1.0 : 0.0) : 0.0;
  };
  for (std::size_t i = 0; i < size; ++i) {
    for (std::size_t j = i; j < size; ++j) {
      const std::size_t mi = size - 1 - i;
      const std::size_t mj = size - 1 - j;
      if (mj < i || (mj == i && mi < j)) {
        continue;
      }
      const double d = i == j ? 0.5 * boundary(i, i) : static_cast<double>(integral(i, j, true));
      const double transposed = boundary(i, j) - d;
      // Reflected first: where an entry is its own reflection, the direct value stands.
      matrices.derivative[mi * size + mj] = 0.0 - d;  // +0.0 where d is 0
      matrices.derivative[mj * size + mi] = 0.0 - transposed;
      matrices.derivative[i * size + j] = d;
      matrices.derivative[j * size + i] = transposed;
    }
  }
  return matrices;
}

}  // namespace quorvel
