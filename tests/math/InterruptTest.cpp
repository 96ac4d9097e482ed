#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/Sort.hpp"

#include <limits>

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

} // namespace
