// The test runner: GoogleTest's own main, without its greeting, which every
// child of a death test would print again.

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
