#pragma once
// The inner arithmetic of Legendre evaluation, inline so that batch loops can
// be instantiated per degree: with the degree known at compile time the
// recurrence unrolls, its counters fold to constants, and the division by 2
// becomes the (bit-identical) multiplication by 0.5. The operations and their
// order are the same for every instantiation, so every path gives the same bits.

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quorvel::kernel {

/// @brief Degree template argument meaning "the degree is only known at run time".
inline constexpr int runtime_degree = -1;

/// @brief Interval index and reference coordinate of t, for interval length h = T / n_t.
inline void locate(double h, std::uint32_t n_t, double t, std::uint32_t& interval,
                   double& x) noexcept {
  const double q = std::floor(t / h);
  std::uint32_t c;
  if (!(q >= 0.0)) {  // negative or NaN
    c = 0;
  } else if (q >= 4294967295.0) {
    c = 4294967295U;
  } else {
    c = static_cast<std::uint32_t>(q);
  }
  if (n_t != 0 && c >= n_t) {
    c = n_t - 1;
  }
  const double a = h * static_cast<double>(c);
  const double b = h + a;
  const double s = t + (a + b) * -0.5;
  double ref = (s + s) / (b - a);
  if (ref < -1.0) {
    ref = -1.0;
  } else if (ref > 1.0) {
    ref = 1.0;
  }
  interval = c;
  x = ref;
}

/// @brief Sum over i = 0..degree of P_i(x) (or P'_i(x)) times row[stride * i], from -0.0.
///
/// P_(m+1) = (P_m (x ((m + m) + 1)) - P_(m-1) m) / (m + 1) with m a double counter;
/// P'_(m+1) = (m + 1) P_m + x P'_m.
template <bool derivative, int Degree = runtime_degree>
inline double weighted_sum(const double* row, std::size_t stride, std::uint32_t runtime_deg,
                           double x) noexcept {
  const std::uint32_t degree = Degree >= 0 ? static_cast<std::uint32_t>(Degree) : runtime_deg;
  double sum = -0.0;
  sum = sum + (derivative ? 0.0 : 1.0) * row[0];
  if (degree == 0) {
    return sum;
  }
  double previous = 1.0;  // P_(m-1)
  double current = x;     // P_m
  double dp = 1.0;        // P'_m
  sum = sum + (derivative ? dp : current) * row[stride];
  if (degree == 1) {
    return sum;
  }
  // m = 1, written out: the division by m + 1 = 2 is the multiplication by 0.5,
  // exactly, which spares a division on the critical path of every degree.
  if (derivative) {
    dp = 2.0 * current + x * dp;
  }
  double next = (current * (x * 3.0) - previous * 1.0) * 0.5;
  previous = current;
  current = next;
  sum = sum + (derivative ? dp : current) * row[stride * 2];
  double m = 2.0;
  for (std::uint32_t i = 3; i <= degree; ++i) {
    if (derivative) {
      dp = (m + 1.0) * current + x * dp;
    }
    next = (current * (x * ((m + m) + 1.0)) - previous * m) / (m + 1.0);
    previous = current;
    current = next;
    m += 1.0;
    sum = sum + (derivative ? dp : current) * row[stride * i];
  }
  return sum;
}

/// @brief The value (or time derivative) at t of the expansion whose DOFs are the
/// column-major values with the given row stride; the DOFs must fit the basis.
template <bool derivative, int Degree = runtime_degree>
inline double evaluate_fitted(double h, std::uint32_t n_t, std::uint32_t degree, const double* dofs,
                              std::size_t stride, double t) noexcept {
  std::uint32_t c;
  double x;
  locate(h, n_t, t, c, x);
  const double sum = weighted_sum<derivative, Degree>(dofs + c, stride, degree, x);
  return derivative ? (sum + sum) / h : sum;
}

}  // namespace quorvel::kernel
