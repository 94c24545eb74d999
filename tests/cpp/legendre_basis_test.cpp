#include <gtest/gtest.h>
#include "piecewise_polynomials/legendre_basis.hpp"
TEST(LegendreBasis, Smoke) { EXPECT_EQ(quorvel::legendre_value(2, 1.0), 1.0); }
