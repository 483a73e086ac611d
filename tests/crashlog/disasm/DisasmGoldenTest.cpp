#include <gtest/gtest.h>
TEST(DisasmGolden, Placeholder) {}
