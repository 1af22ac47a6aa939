#include <gtest/gtest.h>
TEST(Service, Builds) {}
