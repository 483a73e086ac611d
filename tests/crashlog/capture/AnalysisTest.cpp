// Will a handler of the program catch this throw?  The answer is asked from
// a helper called in each shape of catch block, and, for the shapes that
// catch nothing, on a thread of its own (gtest's runner catches everything
// thrown in a test body).
#include <gmock/gmock.h>
#include <pthread.h>

#include <functional>
#include <stdexcept>

#include "capture/CaptureInternal.h"
#include "crashlog/CrashMain.h"

namespace crashlog::capture {
namespace {

struct Base {
    virtual ~Base() = default;
};
struct Derived : Base {};

struct Question {
    const std::type_info* Type;
    void* Object;
};

// Asks about the frames above this helper's caller.
__attribute__((noinline)) Decision Ask(const Question& q) {
    Decision d = AnalyzeHandlers(q.Type, q.Object, uintptr_t(__builtin_return_address(0)),
                                 uintptr_t(__builtin_frame_address(0)));
    asm volatile("");
    return d;
}

__attribute__((noinline)) Decision AskInsideCatchOf(const Question& q, int shape) {
    Decision d = Decision::NotHandled;
    switch (shape) {
        case 0:
            try {
                d = Ask(q);
            } catch (const std::runtime_error&) {
                d = Decision::Handled;
            }
            break;
        case 1:
            try {
                d = Ask(q);
            } catch (const std::exception&) {
                d = Decision::Handled;
            }
            break;
        case 2:
            try {
                d = Ask(q);
            } catch (...) {
                d = Decision::Handled;
            }
            break;
        case 3:
            try {
                d = Ask(q);
            } catch (int) {
                d = Decision::Handled;
            }
            break;
        case 4:
            try {
                d = Ask(q);
            } catch (Base*) {
                d = Decision::Handled;
            }
            break;
        case 5:
            try {
                d = Ask(q);
            } catch (const Derived&) {
                d = Decision::Handled;
            }
            break;
        default:
            d = Ask(q);
    }
    asm volatile("");
    return d;
}

__attribute__((noinline)) Decision AskInsideNoexcept(const Question& q) noexcept {
    Decision d = Ask(q);
    asm volatile("");
    return d;
}

// Runs `f` on a thread whose frames catch nothing.
Decision OnBareThread(std::function<Decision()> f) {
    struct Box {
        std::function<Decision()> F;
        Decision D;
    } box{std::move(f), Decision::Handled};
    pthread_t t;
    pthread_create(
        &t, nullptr,
        [](void* p) -> void* {
            auto* b = static_cast<Box*>(p);
            b->D = b->F();
            return nullptr;
        },
        &box);
    pthread_join(t, nullptr);
    return box.D;
}

std::runtime_error gRuntime("x");
Derived gDerived;
Derived* gDerivedPointer = &gDerived;
Base gBase;

struct Row {
    const char* Name;
    Question Q;
    int Shape;
    Decision Expected;
};

TEST(HandlerAnalysisTest, EachCatchShapeOnAThreadThatCatchesNothingElse) {
    const Row rows[] = {
        {"exact class", {&typeid(std::runtime_error), &gRuntime}, 0, Decision::Handled},
        {"base class", {&typeid(std::runtime_error), &gRuntime}, 1, Decision::Handled},
        {"catch-all", {&typeid(int), nullptr}, 2, Decision::Handled},
        {"other type only", {&typeid(std::runtime_error), &gRuntime}, 3, Decision::NotHandled},
        {"derived pointer as base pointer",
         {&typeid(Derived*), &gDerivedPointer},
         4,
         Decision::Handled},
        {"base object, derived clause", {&typeid(Base), &gBase}, 5, Decision::NotHandled},
        {"no try block at all", {&typeid(std::runtime_error), &gRuntime}, 9, Decision::NotHandled},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        ClearDecisionCache();
        EXPECT_EQ(OnBareThread([&] { return AskInsideCatchOf(row.Q, row.Shape); }), row.Expected);
    }
}

TEST(HandlerAnalysisTest, AFrameThatMayNotThrowEndsTheSearchBeforeAnOuterCatch) {
    const Question q{&typeid(std::runtime_error), &gRuntime};
    ClearDecisionCache();
    Decision d = Decision::Handled;
    try {
        d = AskInsideNoexcept(q);
    } catch (...) {
    }
    EXPECT_EQ(d, Decision::Terminate);
}

TEST(HandlerAnalysisTest, TheSameRaiseSiteAndDepthIsAnsweredFromTheCache) {
    const Question q{&typeid(std::runtime_error), &gRuntime};
    ClearDecisionCache();
    const uint64_t before = DecisionCacheHits();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(AskInsideCatchOf(q, 0), Decision::Handled);
    EXPECT_EQ(DecisionCacheHits() - before, 2u);
    // Another type at the same site is a new question.
    const Question other{&typeid(int), nullptr};
    EXPECT_EQ(OnBareThread([&] { return AskInsideCatchOf(other, 0); }), Decision::NotHandled);
}

TEST(HandlerAnalysisTest, RealThrowsThatTheProgramCatchesAreDecidedHandled) {
    ASSERT_TRUE(CrashLogActive());
    try {
        throw std::out_of_range("caught below");
    } catch (const std::logic_error&) {
    }
    EXPECT_EQ(LastDecision(), Decision::Handled);
    // A throw from inside the C++ run-time's own code is seen as well.
    std::vector<int> v;
    try {
        (void)v.at(3);
    } catch (const std::out_of_range&) {
    }
    EXPECT_EQ(LastDecision(), Decision::Handled);
    EXPECT_EQ(std::string(Snapshot().Type->name()), typeid(std::out_of_range).name());
}

}  // namespace
}  // namespace crashlog::capture
