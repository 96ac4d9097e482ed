#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/Comparison.hpp"
#include "morvane/math/Inverse.hpp"
#include "morvane/math/Sort.hpp"

#include <limits>
#include <string>

namespace {

using namespace mathtest;
using namespace Morvane::Math;

struct Interrupted {};

constexpr u64 kEndless = std::numeric_limits<u64>::max();

// A call whose loop count the caller chose, endless here.
struct EndlessCase {
    const char* name;
    std::function<void(MathSetup&, Ciphertext& op, Ciphertext& op2, Ciphertext& res1, Ciphertext& res2)> call;
};

TEST(InterruptTest, EndlessIterationsEndAtAnInstalledCheck) {
    MathSetup s(ParameterPreset::FX);
    const std::vector<EndlessCase> cases = {
        {"sign g steps", [](auto& s, auto& a, auto&, auto& r, auto&) { approxSign(s.eval, s.btp, a, r, kEndless, 3, 0); }},
        {"sign f steps", [](auto& s, auto& a, auto&, auto& r, auto&) { approxSign(s.eval, s.btp, a, r, 1, kEndless, 0); }},
        {"sign pair", [](auto& s, auto& a, auto& b, auto& r1, auto& r2) {
             approxSignPair(s.eval, s.btp, a, b, r1, r2, kEndless, 3, 0);
         }},
        {"greater than zero", [](auto& s, auto& a, auto&, auto& r, auto&) {
             approxGreaterThanZero(s.eval, s.btp, a, r, 2, kEndless, 4);
         }},
        {"compare", [](auto& s, auto& a, auto& b, auto& r, auto&) { approxGreaterThan(s.eval, s.btp, a, b, r, kEndless, 3); }},
        {"min max", [](auto& s, auto& a, auto& b, auto& r1, auto& r2) {
             approxMinMax(s.eval, s.btp, a, b, r1, r2, 8, kEndless);
         }},
        {"sqrt steps", [](auto& s, auto& a, auto&, auto& r, auto&) { approxSqrt(s.eval, s.btp, a, r, kEndless); }},
        {"inverse Newton steps", [](auto& s, auto& a, auto&, auto& r, auto&) {
             approxInverseNewton(s.eval, s.btp, a, r, 0.5, kEndless);
         }},
        {"inverse square root Newton steps", [](auto& s, auto& a, auto&, auto& r, auto&) {
             approxSqrtInverseNewton(s.eval, s.btp, a, r, 0.5, kEndless);
         }},
        // About 3e15 shrinking steps of ratio 1 + 2^-52.
        {"domain extension steps", [](auto& s, auto& a, auto&, auto& r, auto&) {
             r = approxDomainExtension(s.eval, s.btp, a, 1.0, 2.0, 1.0 + 2.220446049250313e-16);
         }},
    };
    static int checks = 0;
    setInterruptCheck([] {
        if (++checks == 3)
            throw Interrupted{};
    });
    for (const EndlessCase& c : cases) {
        checks = 0;
        Ciphertext a = s.input({0.25, -0.5, 0.75}, 12);
        Ciphertext b = s.input({0.5, 0.25}, 12);
        Ciphertext r1(s.context);
        Ciphertext r2(s.context);
        EXPECT_THROW(c.call(s, a, b, r1, r2), Interrupted) << c.name;
        EXPECT_EQ(checks, 3) << c.name;
    }
    setInterruptCheck(nullptr);
}

// The whole state of a ciphertext a call may change.
void expectSame(const Ciphertext& now, const Ciphertext& before, const std::string& what) {
    EXPECT_EQ(now.message().slots(), before.message().slots()) << what;
    EXPECT_EQ(now.getLevel(), before.getLevel()) << what;
    EXPECT_EQ(now.getLogSlots(), before.getLogSlots()) << what;
    EXPECT_EQ(now.getRescaleCounter(), before.getRescaleCounter()) << what;
}

// A call ended by the interrupt check leaves its operands and outputs as they were, also where an output is an
// operand. The check throws at its second run in the call, after at least 16 polls: the loop has run by then.
TEST(InterruptTest, InterruptedCallsLeaveOperandsAndOutputsAsTheyWere) {
    struct Objects {
        Ciphertext a;
        Ciphertext b;
        Ciphertext r;
        Message m;
        Message n;
    };
    struct Row {
        const char* name;
        std::function<void(MathSetup&, Objects&)> call;
    };
    const std::vector<Row> rows = {
        {"message sum in place", [](auto& s, auto& o) { s.eval.leftRotateReduce(o.m, 1, kEndless, o.m); }},
        {"message sum in place, right", [](auto& s, auto& o) { s.eval.rightRotateReduce(o.m, 3, kEndless, o.m); }},
        {"message sum apart", [](auto& s, auto& o) { s.eval.leftRotateReduce(o.m, 5, kEndless, o.n); }},
        {"sign apart", [](auto& s, auto& o) { approxSign(s.eval, s.btp, o.a, o.r, kEndless, 3, 0); }},
        {"sign in place", [](auto& s, auto& o) { approxSign(s.eval, s.btp, o.a, o.a, kEndless, 3, 0); }},
        {"sign with a range", [](auto& s, auto& o) { approxSign(s.eval, s.btp, o.a, o.r, kEndless, 3, 4); }},
        {"greater than zero", [](auto& s, auto& o) { approxGreaterThanZero(s.eval, s.btp, o.a, o.r, 2, kEndless, 0); }},
        {"sign pair crosswise",
         [](auto& s, auto& o) { approxSignPair(s.eval, s.btp, o.a, o.b, o.b, o.a, kEndless, 3, 0); }},
        {"min max over the inputs",
         [](auto& s, auto& o) { approxMinMax(s.eval, s.btp, o.a, o.b, o.a, o.b, 8, kEndless); }},
        {"inverse in place", [](auto& s, auto& o) { approxInverseNewton(s.eval, s.btp, o.a, o.a, 0.5, kEndless); }},
        {"inverse square root in place",
         [](auto& s, auto& o) { approxSqrtInverseNewton(s.eval, s.btp, o.a, o.a, 0.5, kEndless); }},
    };
    MathSetup s(ParameterPreset::FX);
    static int checks = 0;
    setInterruptCheck([] {
        if (++checks == 2)
            throw Interrupted{};
    });
    for (const Row& row : rows) {
        checks = 0;
        Objects objects{s.input({0.25, -0.5, 0.75}, 12), s.input({0.5, 0.25}, 12), s.input({9.0}, 20),
                        Message(2, Complex(1.0, 0.0)), Message(3, Complex(7.0, -1.0))};
        objects.m[1] = Complex(2.0, 0.0);
        const Objects before = objects;
        EXPECT_THROW(row.call(s, objects), Interrupted) << row.name;
        EXPECT_EQ(checks, 2) << row.name;
        expectSame(objects.a, before.a, std::string(row.name) + ": a");
        expectSame(objects.b, before.b, std::string(row.name) + ": b");
        expectSame(objects.r, before.r, std::string(row.name) + ": r");
        EXPECT_EQ(objects.m.slots(), before.m.slots()) << row.name;
        EXPECT_EQ(objects.n.slots(), before.n.slots()) << row.name;
    }
    setInterruptCheck(nullptr);
}

} // namespace
