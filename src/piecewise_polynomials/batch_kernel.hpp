#pragma once
// The vectorised batch kernel: a Legendre expansion evaluated at a contiguous
// run of times, on the widest instruction set the CPU offers.
//
// One build runs on every x86-64: the kernel is compiled for the SSE2
// baseline, for AVX2 and for AVX-512, and the first call picks the best the
// CPU and the operating system support. Every variant gives the bits of the
// one-time evaluation (legendre_kernel.hpp); tests force each in turn.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "legendre_kernel.hpp"

namespace quorvel {

/// @brief Where a batch places its times: the rule, and for kernel::Rule::given the
/// interval of each time, at the same index as the time.
struct Placement {
  kernel::Rule rule = kernel::Rule::quotient;
  const std::int64_t* intervals = nullptr;
};

/// @brief The compiled variants of the batch kernel, narrowest first.
enum class InstructionSet { baseline, avx2, avx512 };

/// @brief The variant's name: "baseline", "avx2" or "avx512".
[[nodiscard]] const char* name_of(InstructionSet set) noexcept;

/// @brief The variants this CPU can run, narrowest first (always holds baseline).
[[nodiscard]] std::span<const InstructionSet> supported_instruction_sets() noexcept;

/// @brief The variant batches run on: the widest supported one, unless forced.
[[nodiscard]] InstructionSet active_instruction_set() noexcept;

/// @brief Makes every batch run on @p set until the guard goes (tests and benchmarks);
/// fails for a variant the CPU cannot run. Guards must not overlap across threads.
class ForcedInstructionSet {
 public:
  explicit ForcedInstructionSet(InstructionSet set);
  ~ForcedInstructionSet();
  ForcedInstructionSet(const ForcedInstructionSet&) = delete;
  ForcedInstructionSet& operator=(const ForcedInstructionSet&) = delete;

 private:
  int previous_;
};

/// @brief Whether batches of this degree read the interval-by-interval DOF copy
/// (kernel::Expansion::rows) on the active variant.
[[nodiscard]] bool reads_interval_rows(std::uint32_t degree) noexcept;

/// @brief The interval-by-interval copy of the expansion's DOFs for its n_t
/// intervals: row c holds d(c, 0) ... d(c, degree), padded with zeros to
/// kernel::rows_for(degree) values.
[[nodiscard]] std::vector<double> interval_rows(const kernel::Expansion& expansion,
                                                std::uint32_t n_t);

/// @brief out[i] = the order-th time derivative of the expansion at t[i], i < n,
/// placed by @p where, on the active variant. Orders 0 and 1 are the one-time
/// evaluations whatever the degree (order 1 at degree 0 is 0.0 / h term by term,
/// a zero of either sign); orders of 2 or more above the degree give +0.0. out
/// may be t itself, but must not overlap it otherwise.
void evaluate_contiguous(const kernel::Expansion& expansion, std::uint64_t order, const double* t,
                         double* out, std::size_t n, const Placement& where = {});

/// @brief For each of n times: its interval (placed by @p where) in intervals[i],
/// and the order-th time derivatives of the basis
/// functions P_0 ... P_degree of that interval at it in values[i (degree + 1) + k],
/// on the active variant. Orders 0 and 1 are the all-basis operations' values;
/// orders of 2 or more above the degree give +0.0. Only h, last_interval and
/// degree of the expansion are read.
void tabulate_contiguous(const kernel::Expansion& mesh, std::uint64_t order, const double* t,
                         std::int64_t* intervals, double* values, std::size_t n,
                         const Placement& where = {});

/// @brief A Legendre expansion with `components` values at every time: the coefficient of
/// P_k on interval c for component j at coefficients[(k n_t + c) components + j], the
/// C order of an array of shape (degree + 1, n_t, components). Component j alone is the
/// expansion whose DOF d(c, k) is that coefficient.
struct ComponentExpansion {
  double h;
  double last_interval;  // n_t - 1
  std::uint32_t degree;
  std::uint64_t n_t;
  std::uint64_t components;
  const double* coefficients;
};

/// @brief out[i components + j] = the order-th time derivative of component j at t[i],
/// i < n, placed by @p where, on the active variant: bit for bit what
/// evaluate_contiguous gives for component j alone.
void evaluate_components_contiguous(const ComponentExpansion& expansion, std::uint64_t order,
                                    const double* t, double* out, std::size_t n,
                                    const Placement& where);

}  // namespace quorvel
