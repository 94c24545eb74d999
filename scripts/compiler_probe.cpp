// Tries the compiler features the sources use or may use on the compiler that
// builds the wheel: checked multiplication, per-function instruction sets and
// run-time dispatch between them. Exits 1 on a wrong result; exits 2 when the
// compiler's runtime cannot see the CPU's features, so that target_clones and
// __builtin_cpu_supports would always choose the baseline code.
#include <cpuid.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::printf("compiler_probe: FAILED %s\n", what);
    ++failures;
  }
}

// The operations of an evaluation loop, unfused: a*b + c with one rounding each.
__attribute__((target_clones("arch=x86-64-v3", "default"))) double clone_kernel(const double* a,
                                                                                const double* b,
                                                                                const double* c,
                                                                                int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    sum = sum * 0.5 + (a[i] * b[i] + c[i]);
  }
  return sum;
}

double baseline_kernel(const double* a, const double* b, const double* c, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    sum = sum * 0.5 + (a[i] * b[i] + c[i]);
  }
  return sum;
}

__attribute__((target("avx2,fma"))) double avx2_kernel(const double* a, const double* b,
                                                       const double* c, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    sum = sum * 0.5 + (a[i] * b[i] + c[i]);
  }
  return sum;
}

// CPUID and XGETBV, without the compiler's runtime.
bool cpu_has_avx2_and_fma() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0 ||
      (c & bit_FMA) == 0) {
    return false;
  }
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 6U) != 6U) {
    return false;
  }
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_AVX2) != 0;
}

}  // namespace

int main() {
  std::uint64_t product = 0;
  expect(!__builtin_mul_overflow(std::uint64_t{0xFFFFFFFF}, std::uint64_t{0xFFFFFFFF}, &product) &&
             product == 0xFFFFFFFE00000001ULL,
         "__builtin_mul_overflow without overflow");
  expect(__builtin_mul_overflow(std::uint64_t{1} << 40, std::uint64_t{1} << 24, &product),
         "__builtin_mul_overflow with overflow");
  std::int64_t signed_product = 0;
  expect(__builtin_mul_overflow(std::numeric_limits<std::int64_t>::min(), std::int64_t{-1},
                                &signed_product),
         "__builtin_mul_overflow of INT64_MIN by -1");

  // Values whose products are inexact, so that a fused multiply-add would show.
  constexpr int n = 64;
  double a[n], b[n], c[n];
  for (int i = 0; i < n; ++i) {
    a[i] = 1.0 + i * 0x1p-30;
    b[i] = 1.0 - i * 0x1p-29;
    c[i] = -1.0 + i * 0x1p-31;
  }
  const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
  const double expected = baseline_kernel(a, b, c, n);
  expect(bits(clone_kernel(a, b, c, n)) == bits(expected),
         "target_clones gives the baseline's bits");

  const bool avx2 = cpu_has_avx2_and_fma();
  if (avx2) {
    expect(bits(avx2_kernel(a, b, c, n)) == bits(expected),
           "target(\"avx2,fma\") gives the baseline's bits");
  }
  __builtin_cpu_init();
  const bool runtime_sees_avx2 = __builtin_cpu_supports("avx2") != 0;
  std::printf(
      "compiler_probe: CPUID says AVX2 and FMA %s; __builtin_cpu_supports(\"avx2\") says %s\n",
      avx2 ? "yes" : "no", runtime_sees_avx2 ? "yes" : "no");
  if (failures != 0) {
    return 1;
  }
  return avx2 && !runtime_sees_avx2 ? 2 : 0;
}
