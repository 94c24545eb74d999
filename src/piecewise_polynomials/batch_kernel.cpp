#include "batch_kernel.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "support/failure.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace quorvel {

namespace {

using kernel::Vec;

// Times per vector: one register of the variant's width (wider vectors are
// split by the compiler less well than it handles native ones).
constexpr int baseline_lanes = 2;  // SSE2 on x86-64
#if defined(__x86_64__)
constexpr int avx2_lanes = 4;
constexpr int avx512_lanes = 8;
#endif

// N times at t, placed by the rule; the given intervals are read at the same index.
template <int N>
QUORVEL_INLINE kernel::Position<N> place(const kernel::Expansion& e, const Placement& where,
                                         const double* t, std::size_t i) {
  return kernel::place<N>(where.rule, kernel::load<N>(t + i), e.h, e.last_interval,
                          where.intervals + (where.intervals != nullptr ? i : 0));
}

// The last partial vector of a run: the times and intervals padded (time 0 on
// interval 0), so that the full-width code computes them and keeps only the real ones.
template <int N>
struct Padded {
  double t[N] = {};
  std::int64_t intervals[N] = {};

  Padded(const double* times, const Placement& where, std::size_t i, std::size_t rest) {
    std::copy_n(times + i, rest, t);
    if (where.intervals != nullptr) {
      std::copy_n(where.intervals + i, rest, intervals);
    }
  }
  [[nodiscard]] Placement placement(const Placement& where) const {
    return {where.rule, where.intervals != nullptr ? intervals : nullptr};
  }
};

// A run of n times, two vectors of N per step so that their chains of
// divisions overlap.
template <int N, int Degree, int Order>
QUORVEL_INLINE void evaluate_lanes(const kernel::Expansion& shared, std::uint32_t order,
                                   const Placement& where, const double* t, double* out,
                                   std::size_t n, Vec<N>* scratch) {
  const kernel::Expansion e = shared;  // a local copy: stores to out cannot change it
  std::size_t i = 0;
  if constexpr (Order != kernel::runtime_order) {
    for (; i + 2 * N <= n; i += 2 * N) {
      const Vec<N> first =
          kernel::evaluate_at<N, Degree, Order>(e, place<N>(e, where, t, i), order, scratch);
      const Vec<N> second =
          kernel::evaluate_at<N, Degree, Order>(e, place<N>(e, where, t, i + N), order, scratch);
      kernel::store<N>(out + i, first);
      kernel::store<N>(out + i + N, second);
    }
  }
  for (; i + N <= n; i += N) {
    kernel::store<N>(out + i, kernel::evaluate_at<N, Degree, Order>(e, place<N>(e, where, t, i),
                                                                    order, scratch));
  }
  if (i < n) {
    const Padded<N> padded(t, where, i, n - i);
    double results[N];
    kernel::store<N>(results,
                     kernel::evaluate_at<N, Degree, Order>(
                         e, place<N>(e, padded.placement(where), padded.t, 0), order, scratch));
    std::copy_n(results, n - i, out + i);
  }
}

// The degree fixed at compile time where it is small.
template <int N, int Order>
QUORVEL_INLINE void evaluate_by_degree(const kernel::Expansion& e, const Placement& where,
                                       const double* t, double* out, std::size_t n) {
  kernel::with_degree(e.degree, [&]<int Degree>() {
    evaluate_lanes<N, Degree, Order>(e, Order, where, t, out, n, nullptr);
  });
}

// One variant: orders 0 and 1 by degree, higher orders with their table.
template <int N>
QUORVEL_INLINE void evaluate_variant(const kernel::Expansion& e, std::uint32_t order,
                                     const Placement& where, const double* t, double* out,
                                     std::size_t n) {
  if (order == 0) {
    evaluate_by_degree<N, 0>(e, where, t, out, n);
  } else if (order == 1) {
    evaluate_by_degree<N, 1>(e, where, t, out, n);
  } else {
    const auto scratch = std::make_unique<Vec<N>[]>(kernel::scratch_size(order));
    evaluate_lanes<N, kernel::runtime_degree, kernel::runtime_order>(e, order, where, t, out, n,
                                                                     scratch.get());
  }
}

// The tabulation of a run: intervals and every basis function's derivative, lane
// by lane into rows of degree + 1 values; the last partial vector is padded.
template <int N, int Order>
QUORVEL_INLINE void tabulate_lanes(const kernel::Expansion& shared, std::uint32_t order, bool zeros,
                                   const Placement& where, const double* t, std::int64_t* intervals,
                                   double* values, std::size_t n, Vec<N>* scratch) {
  const kernel::Expansion e = shared;
  const std::size_t width = static_cast<std::size_t>(e.degree) + 1;
  auto step = [&](std::size_t i, std::size_t lanes, const kernel::Position<N>& at) {
    for (std::size_t l = 0; l < lanes; ++l) {
      intervals[i + l] = kernel::lane<N>(at.interval, static_cast<int>(l));
    }
    if (zeros) {
      std::fill_n(values + i * width, lanes * width, 0.0);
      return;
    }
    kernel::for_each_basis_derivative<N, Order>(
        at.x, e.degree, e.h, order, scratch, [&](std::uint32_t k, Vec<N> v) {
          for (std::size_t l = 0; l < lanes; ++l) {
            values[(i + l) * width + k] = kernel::lane<N>(v, static_cast<int>(l));
          }
        });
  };
  std::size_t i = 0;
  for (; i + N <= n; i += N) {
    step(i, N, place<N>(e, where, t, i));
  }
  if (i < n) {
    const Padded<N> padded(t, where, i, n - i);
    step(i, n - i, place<N>(e, padded.placement(where), padded.t, 0));
  }
}

template <int N>
QUORVEL_INLINE void tabulate_variant(const kernel::Expansion& e, std::uint32_t order, bool zeros,
                                     const Placement& where, const double* t,
                                     std::int64_t* intervals, double* values, std::size_t n) {
  if (order == 0 || zeros) {
    tabulate_lanes<N, 0>(e, 0, zeros, where, t, intervals, values, n, nullptr);
  } else if (order == 1) {
    tabulate_lanes<N, 1>(e, 1, false, where, t, intervals, values, n, nullptr);
  } else {
    const auto scratch = std::make_unique<Vec<N>[]>(kernel::scratch_size(order));
    tabulate_lanes<N, kernel::runtime_order>(e, order, false, where, t, intervals, values, n,
                                             scratch.get());
  }
}

using Variant = void (*)(const kernel::Expansion&, std::uint32_t, const Placement&, const double*,
                         double*, std::size_t);
using TabulationVariant = void (*)(const kernel::Expansion&, std::uint32_t, bool, const Placement&,
                                   const double*, std::int64_t*, double*, std::size_t);

[[gnu::flatten]] void evaluate_baseline(const kernel::Expansion& e, std::uint32_t order,
                                        const Placement& where, const double* t, double* out,
                                        std::size_t n) {
  evaluate_variant<baseline_lanes>(e, order, where, t, out, n);
}

[[gnu::flatten]] void tabulate_baseline(const kernel::Expansion& e, std::uint32_t order, bool zeros,
                                        const Placement& where, const double* t,
                                        std::int64_t* intervals, double* values, std::size_t n) {
  tabulate_variant<baseline_lanes>(e, order, zeros, where, t, intervals, values, n);
}

#if defined(__x86_64__)
[[gnu::flatten, gnu::target("avx2")]] void evaluate_avx2(const kernel::Expansion& e,
                                                         std::uint32_t order,
                                                         const Placement& where, const double* t,
                                                         double* out, std::size_t n) {
  evaluate_variant<avx2_lanes>(e, order, where, t, out, n);
}

[[gnu::flatten, gnu::target("avx512f")]] void evaluate_avx512(const kernel::Expansion& e,
                                                              std::uint32_t order,
                                                              const Placement& where,
                                                              const double* t, double* out,
                                                              std::size_t n) {
  evaluate_variant<avx512_lanes>(e, order, where, t, out, n);
}

[[gnu::flatten, gnu::target("avx2")]] void tabulate_avx2(const kernel::Expansion& e,
                                                         std::uint32_t order, bool zeros,
                                                         const Placement& where, const double* t,
                                                         std::int64_t* intervals, double* values,
                                                         std::size_t n) {
  tabulate_variant<avx2_lanes>(e, order, zeros, where, t, intervals, values, n);
}

[[gnu::flatten, gnu::target("avx512f")]] void tabulate_avx512(
    const kernel::Expansion& e, std::uint32_t order, bool zeros, const Placement& where,
    const double* t, std::int64_t* intervals, double* values, std::size_t n) {
  tabulate_variant<avx512_lanes>(e, order, zeros, where, t, intervals, values, n);
}
#endif

struct Support {
  std::array<InstructionSet, 3> sets{};
  std::size_t count = 0;
};

#if defined(__x86_64__)
// The register state the operating system saves on a context switch (XCR0).
std::uint64_t saved_register_state() noexcept {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (static_cast<std::uint64_t>(high) << 32) | low;
}
#endif

// The CPU's own answer (CPUID), and whether the operating system saves the
// wider registers, so that a supported variant can really run. Read directly:
// not every compiler's runtime fills in the CPU model that its built-in
// feature checks consult.
Support detect() noexcept {
  Support support;
  support.sets[support.count++] = InstructionSet::baseline;
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0 ||
      (ecx & bit_AVX) == 0) {
    return support;
  }
  const std::uint64_t state = saved_register_state();
  constexpr std::uint64_t ymm_state = 0x6;   // SSE and AVX registers
  constexpr std::uint64_t zmm_state = 0xe6;  // and the AVX-512 mask and upper registers
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
    return support;
  }
  if ((state & ymm_state) == ymm_state && (ebx & bit_AVX2) != 0) {
    support.sets[support.count++] = InstructionSet::avx2;
    if ((state & zmm_state) == zmm_state && (ebx & bit_AVX512F) != 0) {
      support.sets[support.count++] = InstructionSet::avx512;
    }
  }
#endif
  return support;
}

// QUORVEL_MAX_INSTRUCTION_SET=baseline (or avx2) keeps the wider variants out of use, for
// tools that cannot run them: valgrind, for one, does not decode every AVX2 encoding.
Support capped(Support support) noexcept {
  const char* cap = std::getenv("QUORVEL_MAX_INSTRUCTION_SET");
  if (cap == nullptr) {
    return support;
  }
  const std::string_view name = cap;
  while (support.count > 1 && name_of(support.sets[support.count - 1]) != name) {
    --support.count;
  }
  return support;
}

const Support& support() noexcept {
  static const Support detected = capped(detect());
  return detected;
}

constexpr int not_forced = -1;
std::atomic<int> forced{not_forced};

int lanes_of(InstructionSet set) noexcept {
  switch (set) {
#if defined(__x86_64__)
    case InstructionSet::avx2: return avx2_lanes;
    case InstructionSet::avx512: return avx512_lanes;
#endif
    default: return baseline_lanes;
  }
}

Variant variant_of(InstructionSet set) noexcept {
  switch (set) {
#if defined(__x86_64__)
    case InstructionSet::avx2: return &evaluate_avx2;
    case InstructionSet::avx512: return &evaluate_avx512;
#endif
    default: return &evaluate_baseline;
  }
}

TabulationVariant tabulation_of(InstructionSet set) noexcept {
  switch (set) {
#if defined(__x86_64__)
    case InstructionSet::avx2: return &tabulate_avx2;
    case InstructionSet::avx512: return &tabulate_avx512;
#endif
    default: return &tabulate_baseline;
  }
}

}  // namespace

const char* name_of(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::avx2: return "avx2";
    case InstructionSet::avx512: return "avx512";
    default: return "baseline";
  }
}

std::span<const InstructionSet> supported_instruction_sets() noexcept {
  const Support& s = support();
  return {s.sets.data(), s.count};
}

InstructionSet active_instruction_set() noexcept {
  const int chosen = forced.load(std::memory_order_relaxed);
  return chosen == not_forced ? supported_instruction_sets().back()
                              : static_cast<InstructionSet>(chosen);
}

ForcedInstructionSet::ForcedInstructionSet(InstructionSet set)
    : previous_(forced.load(std::memory_order_relaxed)) {
  const auto sets = supported_instruction_sets();
  if (std::find(sets.begin(), sets.end(), set) == sets.end()) {
    fail(std::string("this CPU cannot run the ") + name_of(set) + " kernel");
  }
  forced.store(static_cast<int>(set), std::memory_order_relaxed);
}

ForcedInstructionSet::~ForcedInstructionSet() {
  forced.store(previous_, std::memory_order_relaxed);
}

bool reads_interval_rows(std::uint32_t degree) noexcept {
  // The degrees the loops fix at compile time, and rows no longer than a vector.
  return degree >= 1 && degree <= 7 &&
         kernel::rows_for(degree) <= static_cast<std::uint32_t>(lanes_of(active_instruction_set()));
}

std::vector<double> interval_rows(const kernel::Expansion& expansion, std::uint32_t n_t) {
  const std::size_t length = kernel::rows_for(expansion.degree);
  std::vector<double> rows(
      checked_storage_count(static_cast<std::uint64_t>(n_t) * length, sizeof(double)), 0.0);
  for (std::size_t k = 0; k <= expansion.degree; ++k) {
    const double* column = expansion.dofs + expansion.stride * k;
    for (std::size_t c = 0; c < n_t; ++c) {
      rows[c * length + k] = column[c];
    }
  }
  return rows;
}

void evaluate_contiguous(const kernel::Expansion& expansion, std::uint64_t order, const double* t,
                         double* out, std::size_t n, const Placement& where) {
  if (kernel::vanishes(order, expansion.degree)) {
    std::fill_n(out, n, 0.0);
    return;
  }
  variant_of(active_instruction_set())(expansion, static_cast<std::uint32_t>(order), where, t, out,
                                       n);
}

}  // namespace quorvel

namespace quorvel {

void tabulate_contiguous(const kernel::Expansion& mesh, std::uint64_t order, const double* t,
                         std::int64_t* intervals, double* values, std::size_t n,
                         const Placement& where) {
  const bool zeros = kernel::vanishes(order, mesh.degree);
  tabulation_of(active_instruction_set())(mesh, zeros ? 0 : static_cast<std::uint32_t>(order),
                                          zeros, where, t, intervals, values, n);
}

}  // namespace quorvel
