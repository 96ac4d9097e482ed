#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/Comparison.hpp"
#include "morvane/math/DomainExtension.hpp"
#include "morvane/math/Inverse.hpp"
#include "morvane/math/Sort.hpp"

#include <chrono>
#include <limits>
#include <string>
#include <thread>

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

// Three operands, one at the minimum level (a first step refreshes it), two outputs apart from them and two
// messages.
struct Objects {
    Ciphertext a;
    Ciphertext b;
    Ciphertext low;
    Ciphertext r;
    Ciphertext q;
    Message m;
    Message n;
};

struct Row {
    const char* name;
    std::function<void(MathSetup&, Objects&)> call;
};

// Runs each row on fresh objects and expects the installed check to end it, leaving every object as it was.
void expectInterruptedRowsLeaveObjects(MathSetup& s, const std::vector<Row>& rows, const std::function<void()>& arm,
                                       const std::function<void(const char*)>& after) {
    for (const Row& row : rows) {
        Objects objects{s.input({0.25, -0.5, 0.75}, 12),
                        s.input({0.5, 0.25}, 12),
                        s.input({-0.125, 0.375}, 3),
                        s.input({9.0}, 20),
                        s.input({-7.0}, 19),
                        Message(2, Complex(1.0, 0.0)),
                        Message(3, Complex(7.0, -1.0))};
        objects.m[1] = Complex(2.0, 0.0);
        const Objects before = objects;
        arm();
        EXPECT_THROW(row.call(s, objects), Interrupted) << row.name;
        after(row.name);
        expectSameCiphertext(objects.a, before.a, std::string(row.name) + ": a");
        expectSameCiphertext(objects.b, before.b, std::string(row.name) + ": b");
        expectSameCiphertext(objects.low, before.low, std::string(row.name) + ": low");
        expectSameCiphertext(objects.r, before.r, std::string(row.name) + ": r");
        expectSameCiphertext(objects.q, before.q, std::string(row.name) + ": q");
        EXPECT_EQ(objects.m.slots(), before.m.slots()) << row.name;
        EXPECT_EQ(objects.n.slots(), before.n.slots()) << row.name;
    }
    setInterruptCheck(nullptr);
}

// A call ended by the interrupt check leaves its operands and outputs as they were, also where an output is an
// operand. The check throws at its second run in the call, after at least 16 polls: the loop has run by then.
TEST(InterruptTest, InterruptedCallsLeaveOperandsAndOutputsAsTheyWere) {
    // About 3e15 shrinking steps of ratio 1 + 2^-52.
    constexpr double kTinyRatio = 1.0 + 2.220446049250313e-16;
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
        {"compare in place", [](auto& s, auto& o) { approxGreaterThan(s.eval, s.btp, o.a, o.b, o.a, kEndless, 3); }},
        {"compare in place, second operand",
         [](auto& s, auto& o) { approxGreaterThan(s.eval, s.btp, o.a, o.b, o.b, 2, kEndless); }},
        {"inverse in place", [](auto& s, auto& o) { approxInverseNewton(s.eval, s.btp, o.a, o.a, 0.5, kEndless); }},
        {"inverse square root in place",
         [](auto& s, auto& o) { approxSqrtInverseNewton(s.eval, s.btp, o.a, o.a, 0.5, kEndless); }},
        {"sqrt apart", [](auto& s, auto& o) { approxSqrt(s.eval, s.btp, o.a, o.r, kEndless); }},
        {"sqrt in place", [](auto& s, auto& o) { approxSqrt(s.eval, s.btp, o.a, o.a, kEndless); }},
        {"sqrt in place from a refresh", [](auto& s, auto& o) { approxSqrt(s.eval, s.btp, o.low, o.low, kEndless); }},
        {"domain extension pair apart",
         [](auto& s, auto& o) { approxDomainExtensionPair(s.eval, s.btp, o.a, o.b, o.r, o.q, 1.0, 2.0, kTinyRatio); }},
        {"domain extension pair in place",
         [](auto& s, auto& o) { approxDomainExtensionPair(s.eval, s.btp, o.a, o.b, o.a, o.b, 1.0, 2.0, kTinyRatio); }},
        {"domain extension pair crosswise",
         [](auto& s, auto& o) { approxDomainExtensionPair(s.eval, s.btp, o.a, o.b, o.b, o.a, 1.0, 2.0, kTinyRatio); }},
    };
    MathSetup s(ParameterPreset::FX);
    static int checks = 0;
    const auto arm = [] {
        checks = 0;
        setInterruptCheck([] {
            if (++checks == 2)
                throw Interrupted{};
        });
    };
    expectInterruptedRowsLeaveObjects(s, rows, arm, [](const char* name) { EXPECT_EQ(checks, 2) << name; });
}

// Makes the check throw at the `poll`-th poll (1 to 16) of the next call: a counting check runs once, which starts
// the wait before its next run and leaves the poll count at a multiple of 16; then 16 - poll polls and the wait.
void throwAtPoll(unsigned poll) {
    static int runs = 0;
    setInterruptCheck([] { ++runs; });
    for (const int start = runs; runs == start;)
        utils::pollInterrupt();
    for (unsigned i = poll; i < 16; ++i)
        utils::pollInterrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    setInterruptCheck([] { throw Interrupted{}; });
}

// Calls that poll a fixed number of times, ended at their second poll: the first step has run by then.
TEST(InterruptTest, InterruptedSortsAndEqualitiesLeaveOperandsAndOutputsAsTheyWere) {
    const std::vector<Row> rows = {
        // A sort polls before each compare-exchange and in the steps of its comparison; its first stage negates
        // blocks before the first compare-exchange, and a compare-exchange refreshes an operand at a low level.
        {"sort apart", [](auto& s, auto& o) { unitSort(s.eval, s.btp, o.a, o.r, 8, true, false); }},
        {"sort in place", [](auto& s, auto& o) { unitSort(s.eval, s.btp, o.a, o.a, 8, true, false); }},
        {"sort in place from a refresh",
         [](auto& s, auto& o) { unitSort(s.eval, s.btp, o.low, o.low, 4, false, false); }},
        {"last sort stage apart", [](auto& s, auto& o) { unitSort(s.eval, s.btp, o.low, o.r, 8, false, true); }},
        {"last sort stage in place", [](auto& s, auto& o) { unitSort(s.eval, s.btp, o.low, o.low, 8, false, true); }},
        {"compare-exchange", [](auto& s, auto& o) { twoSort(s.eval, s.btp, o.low, 1, true); }},
        // The equalities poll in their three sign steps.
        {"equality to zero in place", [](auto& s, auto& o) { approxDiscreteEqualZero(s.eval, s.btp, o.a, o.a, 0, 0); }},
        {"equality in place", [](auto& s, auto& o) { approxDiscreteEqual(s.eval, s.btp, o.a, o.b, o.a, 2, 0); }},
        {"equality in place, second operand",
         [](auto& s, auto& o) { approxDiscreteEqual(s.eval, s.btp, o.a, o.b, o.b, 2, -3); }},
    };
    MathSetup s(ParameterPreset::FX);
    expectInterruptedRowsLeaveObjects(
        s, rows, [] { throwAtPoll(2); }, [](const char*) {});
}

} // namespace
