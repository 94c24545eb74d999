#include "legendre_expansion.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>

#include "lagrange_to_legendre.hpp"
#include "legendre_kernel.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

// A sum of many terms with its rounding errors carried along (Neumaier).
struct CompensatedSum {
  double sum = 0.0;
  double carry = 0.0;

  void add(double term) {
    const double next = sum + term;
    carry += std::abs(sum) >= std::abs(term) ? (sum - next) + term : (term - next) + sum;
    sum = next;
  }
  [[nodiscard]] double value() const { return sum + carry; }
};

// F_i(x) = integral of P_i from -1 to x, for i = 0 ... degree: x + 1, then
// (P_(i + 1)(x) - P_(i - 1)(x)) / (2i + 1).
std::vector<double> antiderivatives(std::uint32_t degree, double x) {
  std::vector<double> p(static_cast<std::size_t>(degree) + 2);
  kernel::for_each_term<1, kernel::runtime_degree, 0>(
      x, degree + 1, [&](std::uint32_t k, double value) { p[k] = value; });
  std::vector<double> f(static_cast<std::size_t>(degree) + 1);
  f[0] = x + 1.0;
  for (std::size_t i = 1; i < f.size(); ++i) {
    f[i] = (p[i + 1] - p[i - 1]) / static_cast<double>(2 * i + 1);
  }
  return f;
}

// The interval of t on the mesh of n_t intervals of length h, and its coordinate there.
kernel::Position<1> mesh_position(double t, double h, std::uint32_t n_t) {
  return kernel::locate_on_mesh<1, false>(t, h, static_cast<double>(n_t) - 1.0);
}

}  // namespace

BulkArray<double> derivative_coefficients(const ExpansionShape& shape,
                                          std::span<const double> coefficients, double h,
                                          std::uint64_t order) {
  const std::uint64_t row = std::uint64_t{shape.n_t} * shape.components;  // one degree
  if (order > shape.degree) {
    BulkArray<double> zeros(checked_storage_count(row, sizeof(double)));
    std::fill(zeros.begin(), zeros.end(), 0.0);
    return zeros;
  }
  std::vector<double> current(coefficients.begin(), coefficients.end());
  std::uint64_t degree = shape.degree;
  for (std::uint64_t step = 0; step < order; ++step, --degree) {
    // s_k = c_(k + 1) + s_(k + 2) from the top down; d_k = (2 / h) (2k + 1) s_k.
    std::vector<double> next(degree * row);
    std::vector<double> above(row, 0.0);  // s_(k + 2)
    std::vector<double> sums(row, 0.0);   // s_(k + 1)
    for (std::uint64_t k = degree; k-- > 0;) {
      const double factor = (2.0 * static_cast<double>(2 * k + 1)) / h;
      for (std::uint64_t e = 0; e < row; ++e) {
        const double s = current[(k + 1) * row + e] + above[e];
        next[k * row + e] = factor * s;
        above[e] = sums[e];
        sums[e] = s;
      }
    }
    current = std::move(next);
  }
  return BulkArray<double>(current.begin(), current.end());
}

std::vector<double> integral(const ExpansionShape& shape, std::span<const double> coefficients,
                             double T, double a, double b) {
  const std::uint64_t m = shape.components;
  if (b < a) {
    std::vector<double> reversed = integral(shape, coefficients, T, b, a);
    for (double& value : reversed) {
      value = -value;
    }
    return reversed;
  }
  const double h = T / static_cast<double>(shape.n_t);
  const std::uint64_t row = std::uint64_t{shape.n_t} * m;
  const auto coefficient = [&](std::uint64_t i, std::uint64_t c, std::uint64_t j) {
    return coefficients[i * row + c * m + j];
  };
  const kernel::Position<1> from = mesh_position(a, h, shape.n_t);
  const kernel::Position<1> to = mesh_position(b, h, shape.n_t);
  const auto first = static_cast<std::uint64_t>(from.interval);
  const auto last = static_cast<std::uint64_t>(to.interval);
  const std::vector<double> lower = antiderivatives(shape.degree, from.x);  // from -1 to a's x
  const std::vector<double> upper = antiderivatives(shape.degree, to.x);    // from -1 to b's x
  const double half = 0.5 * h;
  std::vector<double> result(m);
  for (std::uint64_t j = 0; j < m; ++j) {
    CompensatedSum sum;
    if (first == last) {
      for (std::uint64_t i = 0; i <= shape.degree; ++i) {
        sum.add(half * (coefficient(i, first, j) * (upper[i] - lower[i])));
      }
    } else {
      // From a to the end of its interval: F_0(1) = 2 and F_i(1) = 0 for i >= 1.
      for (std::uint64_t i = 0; i <= shape.degree; ++i) {
        sum.add(half * (coefficient(i, first, j) * ((i == 0 ? 2.0 : 0.0) - lower[i])));
      }
      for (std::uint64_t c = first + 1; c < last; ++c) {
        sum.add(h * coefficient(0, c, j));
      }
      for (std::uint64_t i = 0; i <= shape.degree; ++i) {
        sum.add(half * (coefficient(i, last, j) * upper[i]));
      }
    }
    result[j] = sum.value();
  }
  return result;
}

BulkArray<double> projection_coefficients(const ExpansionShape& shape,
                                          std::span<const double> nodes,
                                          std::span<const double> weights,
                                          std::span<const double> samples) {
  const std::size_t n = nodes.size();
  const std::uint64_t m = shape.components;
  const std::size_t width = static_cast<std::size_t>(shape.degree) + 1;
  // w[i][q] = (2i + 1) / 2 times the weight times P_i at node q.
  std::vector<double> w(width * n);
  for (std::size_t q = 0; q < n; ++q) {
    kernel::for_each_term<1, kernel::runtime_degree, 0>(
        nodes[q], shape.degree, [&](std::uint32_t i, double p) {
          w[i * n + q] = (static_cast<double>(2 * i + 1) * 0.5) * (weights[q] * p);
        });
  }
  BulkArray<double> result(checked_storage_count(shape.size(), sizeof(double)));
  const std::uint64_t row = std::uint64_t{shape.n_t} * m;
  for (std::size_t i = 0; i < width; ++i) {
    for (std::uint64_t c = 0; c < shape.n_t; ++c) {
      double* out = result.data() + i * row + c * m;
      std::fill_n(out, m, 0.0);
      for (std::size_t q = 0; q < n; ++q) {
        const double factor = w[i * n + q];
        const double* sample = samples.data() + (c * n + q) * m;
        for (std::uint64_t j = 0; j < m; ++j) {
          out[j] += factor * sample[j];
        }
      }
    }
  }
  return result;
}

BulkArray<double> lagrange_to_legendre_coefficients(const ExpansionShape& shape,
                                                    std::span<const double> values) {
  const Eigen::MatrixXd weights = node_to_legendre_weights(shape.degree);
  const std::uint64_t m = shape.components;
  const std::uint64_t row = std::uint64_t{shape.n_t} * m;
  BulkArray<double> result(checked_storage_count(shape.size(), sizeof(double)));
  for (std::uint64_t p = 0; p <= shape.degree; ++p) {
    for (std::uint64_t e = 0; e < shape.n_t; ++e) {
      double* out = result.data() + p * row + e * m;
      std::fill_n(out, m, 0.0);
      for (std::uint64_t i = 0; i <= shape.degree; ++i) {
        const double weight = weights(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(p));
        const double* value = values.data() + (e * shape.degree + i) * m;
        for (std::uint64_t j = 0; j < m; ++j) {
          out[j] += weight * value[j];
        }
      }
    }
  }
  return result;
}

}  // namespace quorvel
