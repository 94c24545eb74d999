#pragma once
// Lanes: N doubles side by side in one GCC vector, the one way quorvel writes
// SIMD code. The compiler lowers the vectors to the instruction set of the
// function they are inlined into (SSE2 by default, AVX2 or AVX-512 inside a
// function marked with a target attribute), and every operation on a vector
// is the same IEEE operation on each lane: lane l computes exactly what a
// plain double computes alone. N = 1 is a plain double, so one template
// serves the one-time path and the batches.

#include <bit>
#include <cstdint>
#include <cstring>

#define QUORVEL_INLINE [[gnu::always_inline]] inline

namespace quorvel::simd {

/// @brief N values side by side: V holds doubles, I as many 64-bit integers.
template <int N>
struct Lanes {
  typedef double V __attribute__((vector_size(8 * N)));
  typedef std::int64_t I __attribute__((vector_size(8 * N)));
};
template <>
struct Lanes<1> {
  using V = double;
  using I = std::int64_t;
};

template <int N>
using Vec = typename Lanes<N>::V;
template <int N>
using Ints = typename Lanes<N>::I;

/// @brief Every lane set to s.
template <int N>
QUORVEL_INLINE Vec<N> splat(double s) {
  if constexpr (N == 1) {
    return s;
  } else {
    Vec<N> v;
    for (int l = 0; l < N; ++l) {
      v[l] = s;
    }
    return v;
  }
}

/// @brief Lane-wise mask ? a : b, for a mask from a comparison of Vec<N>.
template <int N, class Mask>
QUORVEL_INLINE Vec<N> select(Mask mask, Vec<N> a, Vec<N> b) {
  if constexpr (N == 1) {
    return mask ? a : b;
  } else {
    return (Vec<N>)(((Ints<N>)a & mask) | ((Ints<N>)b & ~mask));
  }
}

/// @brief The bits of every lane as a 64-bit integer.
template <int N>
QUORVEL_INLINE Ints<N> bits_of(Vec<N> v) {
  if constexpr (N == 1) {
    return std::bit_cast<std::int64_t>(v);
  } else {
    return (Ints<N>)v;
  }
}

/// @brief |v| lane by lane: the sign bit cleared.
template <int N>
QUORVEL_INLINE Vec<N> magnitude(Vec<N> v) {
  if constexpr (N == 1) {
    return std::bit_cast<double>(std::bit_cast<std::int64_t>(v) & 0x7fffffffffffffff);
  } else {
    return (Vec<N>)((Ints<N>)v & 0x7fffffffffffffff);
  }
}

/// @brief N doubles from memory of any alignment.
template <int N>
QUORVEL_INLINE Vec<N> load(const double* from) {
  Vec<N> v;
  std::memcpy(&v, from, sizeof v);
  return v;
}

/// @brief N doubles to memory of any alignment.
template <int N>
QUORVEL_INLINE void store(double* to, Vec<N> v) {
  std::memcpy(to, &v, sizeof v);
}

/// @brief Lane l of v.
template <int N, class V>
QUORVEL_INLINE auto lane(V v, int l) {
  if constexpr (N == 1) {
    (void)l;
    return v;
  } else {
    return v[l];
  }
}

/// @brief base[index] for every lane.
template <int N>
QUORVEL_INLINE Vec<N> gather(const double* base, Ints<N> index) {
  if constexpr (N == 1) {
    return base[index];
  } else {
    Vec<N> v;
    for (int l = 0; l < N; ++l) {
      v[l] = base[index[l]];
    }
    return v;
  }
}

/// @brief floor(v) for 0 <= v < 2^52, lane by lane and exact: rounded to an integer by
/// adding and removing 2^52, then lowered by one where that rounded up.
template <int N>
QUORVEL_INLINE Vec<N> floor_of_small(Vec<N> v) {
  constexpr double two52 = 4503599627370496.0;
  const Vec<N> rounded = (v + two52) - two52;
  return select<N>(rounded > v, rounded - 1.0, rounded);
}

}  // namespace quorvel::simd
