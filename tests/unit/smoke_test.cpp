#include <gtest/gtest.h>
TEST(smoke, builds) { SUCCEED(); }
