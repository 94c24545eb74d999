#pragma once
// The Legendre kernel: where a time falls on the mesh, the recurrence that
// gives P_k and every derivative order of it, and the DOF-weighted sum.
//
// Every evaluation in the library goes through these functions: one time at
// a call (N = 1 lane, a plain double) and batches of times (N lanes, a GCC
// vector of doubles, lowered by the compiler to the instruction set of the
// function it is inlined into). Lane l of a vector computes exactly what one
// lane computes alone: the same IEEE operations in the same order, element
// by element, with no fused multiply-add (the build forbids contraction) and
// no reassociation. A NaN result is returned as the one quiet NaN
// 0x7ff8000000000000, because which of two NaN operands an instruction
// passes on depends on the operand order a compiler picks for each path.
//
// Operation orders that fix the bits:
//   locate:  q = t / h; c = floor(q) clamped into [0, n_t - 1] (NaN to 0);
//            the mesh rules then move c by one where t and the mesh points h c,
//            h (c + 1) say so; given intervals replace c;
//            a = h c; b = h + a; s = t + (a + b)(-0.5); x = (s + s) / (b - a),
//            clamped into [-1, 1] (NaN kept); where a + b overflows, the midpoint
//            term is a(-0.5) + b(-0.5), the same value had it not overflowed.
//   P_0 = 1, P_1 = x, P_(m+1) = (P_m (x ((m + m) + 1)) - P_(m-1) m) / (m + 1),
//            m a double counter.
//   P'_0 = 0, P'_1 = 1, P'_(m+1) = (m + 1) P_m + x P'_m.
//   P^(j)_k = P^(j)_(k-2) + (2k - 1) P^(j-1)_(k-1) for orders j >= 2.
//   sum:     S = -0.0, then S = S + P^(j)_k dof_k for k = 0 ... degree.
//   time derivative of order j: S = (S + S) / h, applied j times.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "support/lanes.hpp"

namespace quorvel::kernel {

/// @brief Degree template argument meaning "the degree is only known at run time".
inline constexpr int runtime_degree = -1;

/// @brief Order template argument meaning "a derivative order of 2 or more, known at run time".
inline constexpr int runtime_order = -1;

/// @brief The largest degree that with_degree fixes at compile time.
inline constexpr int largest_fixed_degree = 7;

/// @brief run.template operator()<Degree>() with the degree fixed at compile time where
/// it is small, so that the recurrence unrolls and its counters fold to constants, and
/// with runtime_degree above largest_fixed_degree. The operations, and so the bits, are
/// the same either way.
template <class Run>
QUORVEL_INLINE decltype(auto) with_degree(std::uint32_t degree, Run&& run) {
  static_assert(largest_fixed_degree == 7, "one case per fixed degree");
  switch (degree) {
    case 0: return run.template operator()<0>();
    case 1: return run.template operator()<1>();
    case 2: return run.template operator()<2>();
    case 3: return run.template operator()<3>();
    case 4: return run.template operator()<4>();
    case 5: return run.template operator()<5>();
    case 6: return run.template operator()<6>();
    case 7: return run.template operator()<7>();
    default: return run.template operator()<runtime_degree>();
  }
}

/// @brief The quiet NaN every NaN result is returned as.
inline constexpr double canonical_nan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

// ---------------------------------------------------------------- lanes

using simd::bits_of;
using simd::gather;
using simd::Ints;
using simd::lane;
using simd::load;
using simd::select;
using simd::splat;
using simd::store;
using simd::Vec;

/// @brief The lanes of the concatenation a, b (2N elements) at the positions Pick.
template <int N, std::array<int, N> Pick, std::size_t... I>
QUORVEL_INLINE Vec<N> shuffle(Vec<N> a, Vec<N> b, std::index_sequence<I...>) {
  return __builtin_shufflevector(a, b, Pick[I]...);
}

/// @brief Positions of the first merge: lane r takes element r P + K of the pair's
/// concatenation, for the 2N / P rows the pair holds (the other lanes are unused).
template <int N, int P, int K>
constexpr std::array<int, N> first_merge() {
  std::array<int, N> pick{};
  for (int r = 0; r < 2 * N / P; ++r) {
    pick[r] = r * P + K;
  }
  return pick;
}

/// @brief Positions of a later merge: the first `count` lanes of each input, side by side.
template <int N, int Count>
constexpr std::array<int, N> later_merge() {
  std::array<int, N> pick{};
  for (int r = 0; r < 2 * Count && r < N; ++r) {
    pick[r] = r < Count ? r : N + (r - Count);
  }
  return pick;
}

/// @brief Merges `parts` pairwise until one vector holds all N lanes; Count lanes
/// of each part are in use.
template <int N, int Count, int Parts>
QUORVEL_INLINE Vec<N> merge_parts(const Vec<N>* parts) {
  if constexpr (Parts == 1) {
    return parts[0];
  } else {
    Vec<N> merged[Parts / 2];
    for (int j = 0; j < Parts / 2; ++j) {
      merged[j] = shuffle<N, later_merge<N, Count>()>(parts[2 * j], parts[2 * j + 1],
                                                      std::make_index_sequence<N>{});
    }
    return merge_parts<N, 2 * Count, Parts / 2>(merged);
  }
}

/// @brief Column K of the N x P matrix whose rows lie side by side in the P chunks.
template <int N, int P, int K>
QUORVEL_INLINE Vec<N> column_of(const Vec<N>* chunks) {
  Vec<N> parts[P / 2];
  for (int j = 0; j < P / 2; ++j) {
    parts[j] = shuffle<N, first_merge<N, P, K>()>(chunks[2 * j], chunks[2 * j + 1],
                                                  std::make_index_sequence<N>{});
  }
  return merge_parts<N, 2 * N / P, P / 2>(parts);
}

/// @brief The rows of lanes First ... First + M / P - 1 (P doubles each, at rows +
/// offset[lane]) one after another in a vector of M.
template <int N, int P, int M, int First, std::size_t... I>
QUORVEL_INLINE Vec<M> concatenated_rows(const double* rows, Ints<N> offset,
                                        std::index_sequence<I...> all) {
  if constexpr (M == P) {
    return load<P>(rows + offset[First]);
  } else {
    const auto low =
        concatenated_rows<N, P, M / 2, First>(rows, offset, std::make_index_sequence<M / 2>{});
    const auto high = concatenated_rows<N, P, M / 2, First + M / (2 * P)>(
        rows, offset, std::make_index_sequence<M / 2>{});
    (void)all;
    return __builtin_shufflevector(low, high, static_cast<int>(I)...);
  }
}

/// @brief For each lane l, the P doubles at rows + offset[l] (P a power of two,
/// 2 <= P <= N), turned into P vectors: columns[k] holds element k of every lane's row.
template <int N, int P, std::size_t... K>
QUORVEL_INLINE void gather_rows(const double* rows, Ints<N> offset, Vec<N>* columns,
                                std::index_sequence<K...>) {
  // Chunk j holds the rows of lanes j N / P ... (j + 1) N / P - 1, one after another.
  const Vec<N> chunks[P] = {concatenated_rows<N, P, N, static_cast<int>(K) * (N / P)>(
      rows, offset, std::make_index_sequence<N>{})...};
  ((columns[K] = column_of<N, P, static_cast<int>(K)>(chunks)), ...);
}

/// @brief r, with every NaN lane replaced by canonical_nan.
template <int N>
QUORVEL_INLINE Vec<N> canonical(Vec<N> r) {
  return select<N>(r != r, splat<N>(canonical_nan), r);
}

// ---------------------------------------------------------------- location

/// @brief The interval of each time (as an index and as the same integer in a
/// double) and the reference coordinate in it.
template <int N>
struct Position {
  Ints<N> interval;
  Vec<N> x;
};

/// @brief The reference coordinate of t on the interval [a, b]: s = t + (a + b)(-0.5),
/// x = (s + s) / (b - a), clamped into [-1, 1] (NaN kept).
///
/// Where a + b overflows (intervals beyond half the largest double), the halves are
/// added instead: a(-0.5) + b(-0.5) is (a + b)(-0.5) rounded as if the sum had not
/// overflowed, since halving is exact there. Everywhere else the bits are those of the
/// formula as written.
template <int N>
QUORVEL_INLINE Vec<N> reference_coordinate(Vec<N> t, Vec<N> a, Vec<N> b) {
  constexpr double infinity = __builtin_inf();
  const Vec<N> sum = a + b;
  const Vec<N> shift =
      select<N>(simd::magnitude<N>(sum) < infinity, sum * -0.5, a * -0.5 + b * -0.5);
  const Vec<N> s = t + shift;
  const Vec<N> x = (s + s) / (b - a);
  return select<N>(x < -1.0, splat<N>(-1.0), select<N>(x > 1.0, splat<N>(1.0), x));
}

/// @brief The interval c (an integer held in a double, 0 <= c < 2^52) as an index.
template <int N>
QUORVEL_INLINE Ints<N> index_of(Vec<N> c) {
  constexpr double two52 = 4503599627370496.0;
  return bits_of<N>(c + two52) - bits_of<1>(two52);
}

/// @brief floor(t / h) clamped into [0, last_interval], NaN to 0: the quotient rule.
///
/// Clamping the quotient before the floor gives the same interval as flooring
/// first; on the clamped range [0, 2^32) the floor is exact as a rounding to an
/// integer by adding and removing 2^52, corrected by one where it rounded up.
template <int N>
QUORVEL_INLINE Vec<N> quotient_interval(Vec<N> t, double h, double last_interval) {
  const Vec<N> q = t / h;
  Vec<N> clamped = select<N>(q >= 0.0, q, splat<N>(0.0));  // negatives, -0.0 and NaN to +0
  clamped = select<N>(clamped < last_interval, clamped, splat<N>(last_interval));
  return simd::floor_of_small<N>(clamped);  // exact: clamped < 2^32
}

/// @brief The position of each time on interval c: a = h c, b = h + a.
template <int N>
QUORVEL_INLINE Position<N> position_on(Vec<N> t, Vec<N> c, double h) {
  const Vec<N> a = h * c;
  return {index_of<N>(c), reference_coordinate<N>(t, a, h + a)};
}

/// @brief The quotient rule: interval c = floor(t / h) clamped into [0, last_interval]
/// (NaN to 0) and its reference coordinate; needs at least one interval.
template <int N>
QUORVEL_INLINE Position<N> locate(Vec<N> t, double h, double last_interval) {
  return position_on<N>(t, quotient_interval<N>(t, h, last_interval), h);
}

/// @brief Where a batch places its times.
///
/// `quotient` is the rule of the original methods. `right` and `left` follow the
/// mesh points a_c = h c themselves (the doubles the Lagrange nodes and the
/// quadrature rules are made of): with `right`, t in [a_c, a_(c+1)) lies in
/// interval c, so a mesh point belongs to the interval on its right; with `left`,
/// t in (a_c, a_(c+1)] lies in interval c; times before 0 or beyond the last mesh
/// point lie in the end intervals. `given` takes each time's interval from a list.
enum class Rule : std::uint8_t { quotient, right, left, given };

/// @brief The mesh rules: the quotient's interval, moved by one where the mesh points
/// h c and h (c + 1) say so. The quotient is never off by more than one interval
/// (both t / h and h c are rounded once, relative errors far below 1 / c).
template <int N, bool Left>
QUORVEL_INLINE Position<N> locate_on_mesh(Vec<N> t, double h, double last_interval) {
  const Vec<N> c = quotient_interval<N>(t, h, last_interval);
  const Vec<N> a = h * c;
  const Vec<N> next = h * (c + 1.0);
  // Down where t lies before a_c (at it, for the left side), up where it lies at or
  // beyond a_(c+1) (beyond it, for the left side); never off the mesh.
  Vec<N> moved;
  if constexpr (Left) {
    moved = select<N>(t <= a, c - 1.0, select<N>(t > next, c + 1.0, c));
  } else {
    moved = select<N>(t < a, c - 1.0, select<N>(t >= next, c + 1.0, c));
  }
  moved = select<N>(moved < 0.0, splat<N>(0.0), moved);
  moved = select<N>(moved > last_interval, splat<N>(last_interval), moved);
  return position_on<N>(t, moved, h);
}

/// @brief Each time on the interval given for it (0 <= interval < 2^52).
template <int N>
QUORVEL_INLINE Position<N> locate_on_given(Vec<N> t, const std::int64_t* intervals, double h) {
  Vec<N> c;
  if constexpr (N == 1) {
    c = static_cast<double>(*intervals);
  } else {
    Ints<N> given;
    std::memcpy(&given, intervals, sizeof given);
    c = __builtin_convertvector(given, Vec<N>);
  }
  return position_on<N>(t, c, h);
}

/// @brief The position of N times by a rule; `intervals` holds the N given intervals
/// for Rule::given and is not read otherwise.
template <int N>
QUORVEL_INLINE Position<N> place(Rule rule, Vec<N> t, double h, double last_interval,
                                 const std::int64_t* intervals) {
  if ((rule == Rule::right || rule == Rule::left) && !(h > 0.0 && h < 1.0 / 0.0)) {
    rule = Rule::quotient;  // without a positive, finite h the mesh points do not ascend
  }
  switch (rule) {
    case Rule::right: return locate_on_mesh<N, false>(t, h, last_interval);
    case Rule::left: return locate_on_mesh<N, true>(t, h, last_interval);
    case Rule::given: return locate_on_given<N>(t, intervals, h);
    default: return locate<N>(t, h, last_interval);
  }
}

// ---------------------------------------------------------------- recurrence

/// @brief Calls step(k) for k = first ... last in increasing order (none when first > last).
/// The counter is wider than a degree, so that the largest degree, 4294967295, ends
/// the loop as any other does: a 32-bit counter would wrap to 0 there.
template <class Step>
QUORVEL_INLINE void for_each_index(std::uint32_t first, std::uint32_t last, Step&& step) {
  for (std::uint64_t k = first; k <= last; ++k) {
    step(static_cast<std::uint32_t>(k));
  }
}

/// @brief Calls term(k, P_k(x)) for k = 0 ... degree in increasing order (Order 0),
/// or term(k, P'_k(x)) (Order 1). Degree >= 0 fixes the degree at compile time.
template <int N, int Degree, int Order, class Term>
QUORVEL_INLINE void for_each_term(Vec<N> x, std::uint32_t runtime_deg, Term&& term) {
  static_assert(Order == 0 || Order == 1);
  const std::uint32_t degree = Degree >= 0 ? static_cast<std::uint32_t>(Degree) : runtime_deg;
  term(0, splat<N>(Order == 0 ? 1.0 : 0.0));
  if (degree == 0) {
    return;
  }
  Vec<N> previous = splat<N>(1.0);  // P_(m-1)
  Vec<N> current = x;               // P_m
  Vec<N> slope = splat<N>(1.0);     // P'_m
  term(1, Order == 0 ? current : slope);
  double m = 1.0;
  for_each_index(2, degree, [&](std::uint32_t k) {
    if constexpr (Order == 1) {
      slope = (m + 1.0) * current + x * slope;
    }
    // With m = 1 the division by 2 is the (exact) multiplication by 0.5 and the
    // factor 1 leaves P_0 as it is: the same bits, one division less.
    const Vec<N> next = k == 2 ? (current * (x * 3.0) - previous * 1.0) * 0.5
                               : (current * (x * ((m + m) + 1.0)) - previous * m) / (m + 1.0);
    previous = current;
    current = next;
    m += 1.0;
    term(k, Order == 0 ? current : slope);
  });
}

/// @brief The vectors of scratch that for_each_term_of_order needs for an order.
constexpr std::size_t scratch_size(std::uint64_t order) {
  return 3 * (static_cast<std::size_t>(order) + 1);
}

/// @brief Whether the order-th time derivative is +0.0 by rule rather than computed:
/// orders of 2 or more above the degree. (Order 1 at degree 0 is computed, so that it
/// keeps the first derivative's bits: 0.0 / h term by term.)
constexpr bool vanishes(std::uint64_t order, std::uint32_t degree) {
  return order >= 2 && order > degree;
}

/// @brief Calls term(k, P^(order)_k(x)) for k = 0 ... degree, for an order of 2 or
/// more; scratch holds scratch_size(order) vectors.
template <int N, class Term>
QUORVEL_INLINE void for_each_term_of_order(Vec<N> x, std::uint32_t degree, std::uint32_t order,
                                           Vec<N>* scratch, Term&& term) {
  // Three columns k - 2, k - 1, k of the table P^(j)_k, j = 0 ... order, rotated.
  const std::size_t height = static_cast<std::size_t>(order) + 1;
  Vec<N>* older = scratch;
  Vec<N>* old = scratch + height;
  Vec<N>* column = scratch + 2 * height;
  for (std::size_t j = 0; j < height; ++j) {
    older[j] = splat<N>(0.0);
    old[j] = splat<N>(0.0);
  }
  old[0] = splat<N>(1.0);  // column 0: P_0 = 1 and all its derivatives 0
  term(0, old[order]);
  if (degree == 0) {
    return;
  }
  column[0] = x;  // column 1: P_1 = x, P'_1 = 1, higher derivatives 0
  column[1] = splat<N>(1.0);
  for (std::size_t j = 2; j < height; ++j) {
    column[j] = splat<N>(0.0);
  }
  term(1, column[order]);
  double m = 1.0;
  for_each_index(2, degree, [&](std::uint32_t k) {
    Vec<N>* const next = older;
    older = old;
    old = column;
    column = next;
    // old is column k - 1, older column k - 2.
    column[1] = (m + 1.0) * old[0] + x * old[1];
    column[0] = k == 2 ? (old[0] * (x * 3.0) - older[0] * 1.0) * 0.5
                       : (old[0] * (x * ((m + m) + 1.0)) - older[0] * m) / (m + 1.0);
    const double odd = (m + m) + 1.0;  // 2k - 1
    for (std::size_t j = 2; j < height; ++j) {
      column[j] = older[j] + odd * old[j - 1];
    }
    m += 1.0;
    term(k, column[order]);
  });
}

/// @brief The time-derivative scaling of order `order`: (S + S) / h, applied order times.
template <int N>
QUORVEL_INLINE Vec<N> scale_to_time(Vec<N> s, double h, std::uint64_t order) {
  for (std::uint64_t j = 0; j < order; ++j) {
    s = (s + s) / h;
  }
  return s;
}

// ---------------------------------------------------------------- evaluation

/// @brief A Legendre expansion to evaluate: DOF d(c, i) at dofs[c + stride i]
/// for the n_t intervals c and the degrees i = 0 ... degree; n_t >= 1.
///
/// Batches may also be given the same DOFs interval by interval: d(c, i) at
/// rows[c row_length + i], with row_length the power of two rows_for(degree),
/// so that one load fetches an interval's coefficients for one time.
struct Expansion {
  double h;
  double last_interval;  // n_t - 1
  std::uint32_t degree;
  const double* dofs;
  std::size_t stride;
  const double* rows = nullptr;
};

/// @brief The row length of the interval-by-interval DOF copy for a degree.
constexpr std::uint32_t rows_for(std::uint32_t degree) { return std::bit_ceil(degree + 1); }

/// @brief Whether N-lane loops with a compile-time degree read the interval-by-interval copy.
template <int N, int Degree>
inline constexpr bool reads_rows = N >= 2 && Degree >= 1 && rows_for(Degree) <= N;

/// @brief Calls term(k, P^(order)_k(x)) for k = 0 ... degree: Order 0 or 1 fixed at
/// compile time, or runtime_order with `order` >= 2 and its scratch table.
template <int N, int Degree, int Order, class Term>
QUORVEL_INLINE void for_each_term_any_order(Vec<N> x, std::uint32_t degree, std::uint32_t order,
                                            Vec<N>* scratch, Term&& term) {
  if constexpr (Order == runtime_order) {
    for_each_term_of_order<N>(x, degree, order, scratch, term);
  } else {
    for_each_term<N, Degree, Order>(x, degree, term);
  }
}

/// @brief The order-th time derivative of the expansion at the located times; order
/// must not exceed the degree (see for_each_term_any_order for Order and scratch).
template <int N, int Degree, int Order>
QUORVEL_INLINE Vec<N> evaluate_at(const Expansion& e, const Position<N>& at, std::uint32_t order,
                                  Vec<N>* scratch) {
  Vec<N> sum = splat<N>(-0.0);
  if constexpr (reads_rows<N, Degree> && Order != runtime_order) {
    if (e.rows != nullptr) {
      constexpr int P = static_cast<int>(rows_for(Degree));
      Vec<N> coefficients[P];
      gather_rows<N, P>(e.rows, at.interval * P, coefficients, std::make_index_sequence<P>{});
      for_each_term<N, Degree, Order>(
          at.x, e.degree, [&](std::uint32_t k, Vec<N> p) { sum = sum + p * coefficients[k]; });
      return canonical<N>(scale_to_time<N>(sum, e.h, Order));
    }
  }
  for_each_term_any_order<N, Degree, Order>(
      at.x, e.degree, order, scratch, [&](std::uint32_t k, Vec<N> p) {
        const auto offset = static_cast<std::int64_t>(e.stride) * static_cast<std::int64_t>(k);
        sum = sum + p * gather<N>(e.dofs, at.interval + offset);
      });
  return canonical<N>(scale_to_time<N>(sum, e.h, Order == runtime_order ? order : Order));
}

/// @brief The order-th time derivative of the expansion at N times.
template <int N, int Degree, int Order>
QUORVEL_INLINE Vec<N> evaluate(const Expansion& e, Vec<N> t, std::uint32_t order, Vec<N>* scratch) {
  return evaluate_at<N, Degree, Order>(e, locate<N>(t, e.h, e.last_interval), order, scratch);
}

/// @brief Calls value(k, v) for k = 0 ... degree with v the order-th time derivative
/// of the basis function P_k at reference coordinate x: P^(order)_k(x) scaled by
/// (S + S) / h once per order, term by term; order must not exceed the degree.
template <int N, int Order, class Value>
QUORVEL_INLINE void for_each_basis_derivative(Vec<N> x, std::uint32_t degree, double h,
                                              std::uint32_t order, Vec<N>* scratch, Value&& value) {
  for_each_term_any_order<N, runtime_degree, Order>(
      x, degree, order, scratch, [&](std::uint32_t k, Vec<N> p) {
        value(k, canonical<N>(scale_to_time<N>(p, h, Order == runtime_order ? order : Order)));
      });
}

}  // namespace quorvel::kernel
