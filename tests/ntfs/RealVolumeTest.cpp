#include <gtest/gtest.h>

TEST(RealVolume, Placeholder) {}
