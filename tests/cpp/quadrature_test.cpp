#include "piecewise_polynomials/quadrature.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace quorvel {
namespace {

// The Python surface shows nodes only through their offsets (1 + x) / 2, which
// cannot mirror exactly; the reference nodes themselves must.
TEST(ReferenceRule, SymmetricRulesAreExactlyMirrored) {
  for (const QuadratureRule rule : {QuadratureRule::gauss, QuadratureRule::lobatto}) {
    for (const std::uint32_t n : {2U, 3U, 4U, 7U, 10U, 64U, 1023U}) {
      const ReferenceRule reference = reference_rule(rule, n);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(reference.nodes[i], -reference.nodes[n - 1 - i]) << n << " " << i;
        EXPECT_EQ(reference.weights[i], reference.weights[n - 1 - i]) << n << " " << i;
      }
      if (n % 2 == 1) {
        EXPECT_EQ(reference.nodes[n / 2], 0.0);
        EXPECT_EQ(reference.offsets[n / 2], 0.5);
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
