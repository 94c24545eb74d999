#include "quadrature.hpp"

#include <Eigen/Eigenvalues>
#include <cmath>
#include <cstddef>

#include "batch_evaluation.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

using Wide = long double;

/// @brief P_m, P'_m, P_(m-1) and P'_(m-1) at x, for m >= 1.
struct LegendrePair {
  Wide p;
  Wide dp;
  Wide p_below;
  Wide dp_below;
};

LegendrePair legendre_pair(std::uint32_t m, Wide x) {
  LegendrePair pair{x, 1.0L, 1.0L, 0.0L};
  for (std::uint32_t k = 1; k < m; ++k) {
    const Wide kk = k;
    const Wide p_next = ((kk + kk + 1.0L) * x * pair.p - kk * pair.p_below) / (kk + 1.0L);
    const Wide dp_next = (kk + 1.0L) * pair.p + x * pair.dp;
    pair = {p_next, dp_next, pair.p, pair.dp};
  }
  return pair;
}

/// @brief At a point x: the rule's defining function f and f', the weight formula's value
/// and its logarithmic derivative (d/dx log weight), which corrects it for the last step.
struct Evaluation {
  Wide f;
  Wide df;
  Wide weight;
  Wide log_slope;
};

// Gauss: the zeros of P_n; w = 2 / ((1 - x^2) P'_n^2), whose logarithmic
// derivative at a zero is -2 x / (1 - x^2) by Legendre's equation.
Evaluation gauss_at(std::uint32_t n, Wide x) {
  const LegendrePair pair = legendre_pair(n, x);
  const Wide one_minus_x2 = (1.0L - x) * (1.0L + x);
  return {pair.p, pair.dp, 2.0L / (one_minus_x2 * pair.dp * pair.dp), -2.0L * x / one_minus_x2};
}

// Right Radau, interior nodes: the zeros of P_(n-1) - P_n other than 1;
// w = (1 + x) / (n^2 P_(n-1)^2).
Evaluation radau_at(std::uint32_t n, Wide x) {
  const LegendrePair pair = legendre_pair(n, x);
  const Wide nn = n;
  return {pair.p_below - pair.p, pair.dp_below - pair.dp,
          (1.0L + x) / (nn * nn * pair.p_below * pair.p_below),
          1.0L / (1.0L + x) - 2.0L * pair.dp_below / pair.p_below};
}

// Lobatto, interior nodes: the zeros of P'_m with m = n - 1, where Legendre's
// equation gives P''_m = (2 x P'_m - m (m + 1) P_m) / (1 - x^2);
// w = 2 / (n (n - 1) P_m^2).
Evaluation lobatto_at(std::uint32_t n, Wide x) {
  const std::uint32_t m = n - 1;
  const LegendrePair pair = legendre_pair(m, x);
  const Wide mm = m;
  const Wide nn = n;
  const Wide second = (2.0L * x * pair.dp - mm * (mm + 1.0L) * pair.p) / ((1.0L - x) * (1.0L + x));
  return {pair.dp, second, 2.0L / (nn * mm * pair.p * pair.p), -2.0L * pair.dp / pair.p};
}

struct NodeAndWeight {
  Wide node;
  Wide weight;
};

/// @brief Newton's method from a guess within reach of a simple zero: stops once a step
/// falls below 2^-60 (well under a double's resolution, above long double noise), or
/// after a fixed number of steps; the last step also corrects the weight.
template <class At>
NodeAndWeight polish(Wide x, At at) {
  constexpr int max_steps = 8;
  constexpr Wide tolerance = 0x1p-60L;
  for (int step = 1;; ++step) {
    const Evaluation e = at(x);
    const Wide dx = -e.f / e.df;
    if (std::fabs(dx) <= tolerance || step == max_steps) {
      return {x + dx, e.weight * (1.0L + e.log_slope * dx)};
    }
    x += dx;
  }
}

/// @brief The zeros of the orthogonal polynomial of a symmetric tridiagonal Jacobi
/// matrix, in increasing order, to about double precision.
Eigen::VectorXd jacobi_eigenvalues(const Eigen::VectorXd& diagonal,
                                   const Eigen::VectorXd& subdiagonal) {
  if (diagonal.size() == 1) {
    return diagonal;
  }
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver;
  solver.computeFromTridiagonal(diagonal, subdiagonal, Eigen::EigenvaluesOnly);
  if (solver.info() != Eigen::Success) {
    fail("quadrature: the Jacobi matrix eigenvalues did not converge");
  }
  return solver.eigenvalues();
}

/// @brief Guesses for the `count` interior nodes: the Gauss-Jacobi nodes for the
/// weight (1 - x)^alpha (1 + x)^beta, alpha and beta 0 or 1, by Golub and Welsch.
Eigen::VectorXd interior_guesses(std::uint32_t count, int alpha, int beta) {
  const double ab = alpha + beta;
  const double a2_b2 = static_cast<double>(beta * beta - alpha * alpha);
  Eigen::VectorXd diagonal(count);
  Eigen::VectorXd subdiagonal(count > 1 ? count - 1 : 0);
  for (std::uint32_t k = 0; k < count; ++k) {
    const double s = 2.0 * k + ab;
    diagonal[k] = a2_b2 == 0.0 ? 0.0 : a2_b2 / (s * (s + 2.0));
    if (k >= 1) {
      const double kk = k;
      subdiagonal[k - 1] = std::sqrt(4.0 * kk * (kk + alpha) * (kk + beta) * (kk + ab) /
                                     (s * s * (s + 1.0) * (s - 1.0)));
    }
  }
  return jacobi_eigenvalues(diagonal, subdiagonal);
}

/// @brief Stores node i of the rule from its long double value.
void store(ReferenceRule& rule, std::size_t i, Wide node, Wide weight) {
  rule.nodes[i] = static_cast<double>(node);
  rule.offsets[i] = static_cast<double>((1.0L + node) * 0.5L);
  rule.weights[i] = static_cast<double>(weight);
  rule.extended_nodes[i] = node;
  rule.extended_weights[i] = weight;
}

/// @brief Interior nodes first + 0 ... first + count - 1 from the guesses. A symmetric
/// rule computes the upper half and mirrors it, so that its nodes are exact negatives.
template <class At>
void fill_interior(ReferenceRule& rule, std::size_t first, const Eigen::VectorXd& guesses,
                   bool symmetric, At at) {
  const auto count = static_cast<std::size_t>(guesses.size());
  if (!symmetric) {
    for (std::size_t i = 0; i < count; ++i) {
      const NodeAndWeight nw = polish(guesses[static_cast<Eigen::Index>(i)], at);
      store(rule, first + i, nw.node, nw.weight);
    }
    return;
  }
  for (std::size_t i = 0; i < count / 2; ++i) {
    const auto upper = static_cast<Eigen::Index>(count - 1 - i);
    const auto lower = static_cast<Eigen::Index>(i);
    const NodeAndWeight nw = polish((guesses[upper] - guesses[lower]) * 0.5, at);
    store(rule, first + count - 1 - i, nw.node, nw.weight);
    store(rule, first + i, -nw.node, nw.weight);
  }
  if (count % 2 == 1) {
    const Evaluation middle = at(0.0L);  // the zero at 0 is exact
    store(rule, first + count / 2, 0.0L, middle.weight);
  }
}

}  // namespace

ReferenceRule reference_rule(QuadratureRule rule, std::uint32_t n_points) {
  if (n_points < min_quadrature_points(rule) || n_points > max_quadrature_points) {
    fail("quadrature: number of points out of range");
  }
  const std::size_t n = n_points;
  ReferenceRule result{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n),
                       std::vector<Wide>(n), std::vector<Wide>(n)};
  const Wide nn = n_points;
  switch (rule) {
    case QuadratureRule::gauss:
      fill_interior(result, 0, interior_guesses(n_points, 0, 0), true,
                    [&](Wide x) { return gauss_at(n_points, x); });
      break;
    case QuadratureRule::radau:
      if (n_points > 1) {
        fill_interior(result, 0, interior_guesses(n_points - 1, 1, 0), false,
                      [&](Wide x) { return radau_at(n_points, x); });
      }
      store(result, n - 1, 1.0L, 2.0L / (nn * nn));
      break;
    case QuadratureRule::lobatto:
      if (n_points > 2) {
        fill_interior(result, 1, interior_guesses(n_points - 2, 1, 1), true,
                      [&](Wide x) { return lobatto_at(n_points, x); });
      }
      store(result, 0, -1.0L, 2.0L / (nn * (nn - 1.0L)));
      store(result, n - 1, 1.0L, 2.0L / (nn * (nn - 1.0L)));
      break;
  }
  // Newton's method from Golub-Welsch guesses lands on distinct zeros; a failure of
  // that would show here rather than as a silently wrong rule.
  for (std::size_t i = 1; i < n; ++i) {
    if (!(result.nodes[i - 1] < result.nodes[i])) {
      fail("quadrature: the nodes are not increasing");
    }
  }
  return result;
}

void map_to_mesh(const ReferenceRule& rule, std::uint32_t n_t, double T, std::span<double> points,
                 std::span<double> weights, LazyThreadPool& pool) {
  const std::size_t n = rule.nodes.size();
  const std::uint64_t total = static_cast<std::uint64_t>(n_t) * n;
  if (points.size() != total || weights.size() != total) {
    fail("quadrature: result arrays of the wrong length");
  }
  const double h = T / static_cast<double>(n_t);
  std::vector<double> scaled(n);
  for (std::size_t j = 0; j < n; ++j) {
    scaled[j] = rule.weights[j] * (h * 0.5);
  }
  // Offsets 0 and 1 give a + 0 = a and a + h = b exactly: the ends need no special case.
  const auto fill = [&](std::size_t begin, std::size_t end) {
    for (std::size_t c = begin; c < end; ++c) {
      const double a = h * static_cast<double>(c);
      double* t = points.data() + c * n;
      double* w = weights.data() + c * n;
      for (std::size_t j = 0; j < n; ++j) {
        t[j] = a + rule.offsets[j] * h;
        w[j] = scaled[j];
      }
    }
  };
  if (total >= parallel_threshold) {
    pool.get().for_each_piece(n_t, fill);
  } else {
    fill(0, n_t);
  }
}

}  // namespace quorvel
