/* A small C library whose optimised code the compiler splits into clones: a
 * cold part, a constant-propagated copy, a copy with a scalarised argument
 * and the slow part of a partly inlined function.  The resolver must name
 * each by the function written here. */
#include <stdio.h>
#include <stdlib.h>

#define FIXTURE_API __attribute__((visibility("default")))

volatile int fixture_sink;

struct Pair {
    int First;
    int Second;
    char Padding[64];
};

FIXTURE_API __attribute__((cold, noinline)) void fixture_report(int x) {
    fprintf(stderr, "negative: %d\n", x);
}

/* The failure branch is unlikely and ends the program: a .cold part. */
FIXTURE_API __attribute__((noinline)) int fixture_checked(int x) {
    int r = 0;
    for (int i = 0; i < x; ++i)
        r += i * fixture_sink;
    if (__builtin_expect(x < 0, 0)) {
        fixture_report(x);
        fixture_sink = x;
        exit(3);
    }
    return r * 2 + fixture_sink;
}

/* Always called with the same factor: a .constprop copy. */
static __attribute__((noinline)) int scaled(int x, int factor) {
    for (int i = 0; i < factor; ++i)
        x = x * 3 + fixture_sink;
    return x;
}

/* Reads one field of a large struct: an .isra copy takes the field. */
static __attribute__((noinline)) int first_of(const struct Pair* p) {
    return p->First * 5 + fixture_sink;
}

/* The quick exit is inlined into the callers, the loop stays a .part copy. */
static int maybe_slow(int x) {
    if (__builtin_expect(x < 4, 1)) return x;
    int r = 0;
    for (int i = 0; i < x; ++i) {
        r += i * fixture_sink;
        if (r > 1000) fprintf(stderr, "%d %d\n", r, i);
        fixture_sink = r;
        if (r & 8) printf("%d\n", r * i);
        r ^= fixture_sink << 3;
    }
    return r;
}

FIXTURE_API int fixture_clones(int x) {
    struct Pair p = {x, x + 1, {0}};
    return scaled(x, 7) + scaled(x + 1, 7) + first_of(&p) + maybe_slow(x) + maybe_slow(x + 1) * 3 +
           maybe_slow(x - 2);
}
