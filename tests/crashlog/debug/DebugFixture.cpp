// A small library whose functions sit on known lines; the tests load copies
// of it that carry their locations in different forms.
#include <cstdint>

#define FIXTURE_API extern "C" __attribute__((visibility("default")))

namespace fixture {
struct Widget {
    __attribute__((noinline)) static int Twice(int x);
};
// clang-format off
int Widget::Twice(int x) { asm volatile("" : "+r"(x)); return x * 2 + 1; }
FIXTURE_API const int kFixtureTwiceLine = __LINE__ - 1;
// clang-format on
}  // namespace fixture

// clang-format off
FIXTURE_API __attribute__((noinline)) int FixtureLeaf(int x) { asm volatile("" : "+r"(x)); return x * 7 + 3; }
FIXTURE_API const int kFixtureLeafLine = __LINE__ - 1;
// clang-format on

FIXTURE_API void* FixtureTwiceAddress() {
    return reinterpret_cast<void*>(&fixture::Widget::Twice);
}
