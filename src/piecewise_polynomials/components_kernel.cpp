// The vector-valued batch kernel: every component of an expansion at each of a
// run of times. The location and the Legendre values of N times are computed
// side by side, as in the scalar kernel; then, time by time, the weighted sum
// runs over N components at once, in the scalar kernel's order of terms, so
// that component j is bit for bit the scalar evaluation of component j alone.

#include <algorithm>
#include <memory>
#include <vector>

#include "batch_kernel.hpp"

namespace quorvel {

namespace {

using kernel::Vec;

// The sum over the terms of one time for the components [j, j + L), L lanes wide: the
// scalar kernel's sum, S = -0.0 then S + P_k c_k for k = 0 ... degree, per lane.
template <int L, int Degree, int Order>
QUORVEL_INLINE Vec<L> component_sum(const Vec<L>* terms, std::size_t count,
                                    const double* coefficients, std::uint64_t step, double h,
                                    std::uint32_t order) {
  const std::size_t terms_count = Degree >= 0 ? static_cast<std::size_t>(Degree) + 1 : count;
  Vec<L> sum = kernel::splat<L>(-0.0);
  for (std::size_t k = 0; k < terms_count; ++k) {
    sum = sum + terms[k] * kernel::load<L>(coefficients + k * step);
  }
  return kernel::canonical<L>(
      kernel::scale_to_time<L>(sum, h, Order == kernel::runtime_order ? order : Order));
}

// Every component of one time at lane l: full vectors of N components, then the last
// N again (overlapping, the same values written twice) or, for fewer than N
// components, one at a time.
template <int N, int Degree, int Order>
QUORVEL_INLINE void components_of_time(const double* lane_terms, std::size_t count,
                                       const double* coefficients, std::uint64_t m,
                                       std::uint64_t step, double h, std::uint32_t order,
                                       double* row, Vec<N>* wide, double* narrow) {
  for (std::size_t k = 0; k < count; ++k) {
    // Loaded once for the whole row: the stores to it cannot change them.
    wide[k] = kernel::splat<N>(lane_terms[k * N]);
    narrow[k] = lane_terms[k * N];
  }
  if (m < static_cast<std::uint64_t>(N)) {
    for (std::uint64_t j = 0; j < m; ++j) {
      row[j] = component_sum<1, Degree, Order>(narrow, count, coefficients + j, step, h, order);
    }
    return;
  }
  std::uint64_t j = 0;
  for (; j + N <= m; j += N) {
    kernel::store<N>(
        row + j, component_sum<N, Degree, Order>(wide, count, coefficients + j, step, h, order));
  }
  if (j < m) {
    j = m - N;
    kernel::store<N>(
        row + j, component_sum<N, Degree, Order>(wide, count, coefficients + j, step, h, order));
  }
}

template <int N, int Degree, int Order>
QUORVEL_INLINE void component_lanes(const ComponentExpansion& shared, std::uint32_t order,
                                    const Placement& where, const double* t, double* out,
                                    std::size_t n, Vec<N>* scratch, double* terms, Vec<N>* wide,
                                    double* narrow) {
  const ComponentExpansion e = shared;  // a local copy: stores to out cannot change it
  const std::size_t count = static_cast<std::size_t>(e.degree) + 1;
  const std::uint64_t m = e.components;
  const std::uint64_t step = e.n_t * m;  // from P_k's coefficients to P_(k + 1)'s
  for (std::size_t i = 0; i < n; i += N) {
    const std::size_t lanes = std::min<std::size_t>(N, n - i);
    kernel::Position<N> at;
    if (lanes == N) {
      at = kernel::place<N>(where.rule, kernel::load<N>(t + i), e.h, e.last_interval,
                            where.intervals + (where.intervals != nullptr ? i : 0));
    } else {
      double padded[N] = {};
      std::int64_t intervals[N] = {};
      std::copy_n(t + i, lanes, padded);
      if (where.intervals != nullptr) {
        std::copy_n(where.intervals + i, lanes, intervals);
      }
      at = kernel::place<N>(where.rule, kernel::load<N>(padded), e.h, e.last_interval, intervals);
    }
    // terms[k N + l]: P^(order)_k at lane l's coordinate.
    kernel::for_each_term_any_order<N, Degree, Order>(
        at.x, e.degree, order, scratch,
        [&](std::uint32_t k, Vec<N> p) { kernel::store<N>(terms + std::size_t{k} * N, p); });
    for (std::size_t l = 0; l < lanes; ++l) {
      const auto c = static_cast<std::uint64_t>(kernel::lane<N>(at.interval, static_cast<int>(l)));
      components_of_time<N, Degree, Order>(terms + l, count, e.coefficients + c * m, m, step, e.h,
                                           order, out + (i + l) * m, wide, narrow);
    }
  }
}

// The degree fixed at compile time where it is small, so that the sums unroll.
template <int N, int Order>
QUORVEL_INLINE void component_degrees(const ComponentExpansion& e, std::uint32_t order,
                                      const Placement& where, const double* t, double* out,
                                      std::size_t n, Vec<N>* scratch, double* terms, Vec<N>* wide,
                                      double* narrow) {
  const auto run = [&]<int Degree>() {
    component_lanes<N, Degree, Order>(e, order, where, t, out, n, scratch, terms, wide, narrow);
  };
  if constexpr (Order == kernel::runtime_order) {
    run.template operator()<kernel::runtime_degree>();
  } else {
    kernel::with_degree(e.degree, run);
  }
}

template <int N>
QUORVEL_INLINE void component_variant(const ComponentExpansion& e, std::uint32_t order,
                                      const Placement& where, const double* t, double* out,
                                      std::size_t n) {
  const std::size_t count = static_cast<std::size_t>(e.degree) + 1;
  std::vector<double> terms(count * N);
  std::vector<double> narrow(count);
  const auto wide = std::make_unique<Vec<N>[]>(count);
  if (order == 0) {
    component_degrees<N, 0>(e, 0, where, t, out, n, nullptr, terms.data(), wide.get(),
                            narrow.data());
  } else if (order == 1) {
    component_degrees<N, 1>(e, 1, where, t, out, n, nullptr, terms.data(), wide.get(),
                            narrow.data());
  } else {
    const auto scratch = std::make_unique<Vec<N>[]>(kernel::scratch_size(order));
    component_degrees<N, kernel::runtime_order>(e, order, where, t, out, n, scratch.get(),
                                                terms.data(), wide.get(), narrow.data());
  }
}

[[gnu::flatten]] void components_baseline(const ComponentExpansion& e, std::uint32_t order,
                                          const Placement& where, const double* t, double* out,
                                          std::size_t n) {
  component_variant<2>(e, order, where, t, out, n);
}

#if defined(__x86_64__)
[[gnu::flatten, gnu::target("avx2")]] void components_avx2(const ComponentExpansion& e,
                                                           std::uint32_t order,
                                                           const Placement& where, const double* t,
                                                           double* out, std::size_t n) {
  component_variant<4>(e, order, where, t, out, n);
}

[[gnu::flatten, gnu::target("avx512f")]] void components_avx512(const ComponentExpansion& e,
                                                                std::uint32_t order,
                                                                const Placement& where,
                                                                const double* t, double* out,
                                                                std::size_t n) {
  component_variant<8>(e, order, where, t, out, n);
}
#endif

}  // namespace

void evaluate_components_contiguous(const ComponentExpansion& expansion, std::uint64_t order,
                                    const double* t, double* out, std::size_t n,
                                    const Placement& where) {
  if (kernel::vanishes(order, expansion.degree)) {
    std::fill_n(out, n * expansion.components, 0.0);
    return;
  }
  const auto o = static_cast<std::uint32_t>(order);
  switch (active_instruction_set()) {
#if defined(__x86_64__)
    case InstructionSet::avx2: return components_avx2(expansion, o, where, t, out, n);
    case InstructionSet::avx512: return components_avx512(expansion, o, where, t, out, n);
#endif
    default: return components_baseline(expansion, o, where, t, out, n);
  }
}

}  // namespace quorvel
