#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/DomainExtension.hpp"

#include <limits>

namespace {

using namespace mathtest;
using namespace Morvane::Math;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Distance relative to the magnitude, for values far from 1.
double relativeError(const Ciphertext& ctxt, const std::vector<double>& expected) {
    double worst = 0.0;
    for (u64 i = 0; i < expected.size() && i < ctxt.message().getSize(); ++i) {
        const double distance = std::fabs(ctxt.message()[i].real() - expected[i]);
        worst = std::fmax(worst, distance / std::fmax(1.0, std::fabs(expected[i])));
    }
    return worst;
}

TEST(DecomposedConstantTest, SplitsIntoMantissaAndCount) {
    struct Case {
        double v;
        double mantissa;
        u64 count;
    };
    const double f = 67108864.0;
    const std::vector<Case> cases = {
        {0.5, 0.5, 0},
        {-3.0, -3.0, 0},
        {1.5e-8, 1.5e-8, 0},
        {1e-8, 1e-8 * f, 1},
        {-1e-9, -1e-9 * f, 1},
        {std::ldexp(1.0, -30), std::ldexp(1.0, -4), 1},
        {1e-20, 1e-20 * f * f, 2},
        {std::ldexp(1.0, -1074), std::ldexp(1.0, -8), 41},
        {kInf, kInf, 0},
    };
    for (const Case& c : cases) {
        const DecomposedConstant d(c.v);
        EXPECT_EQ(d.value, c.v) << c.v;
        EXPECT_EQ(d.mantissa, c.mantissa) << c.v;
        EXPECT_EQ(d.count, c.count) << c.v;
    }
}

TEST(DecomposedConstantTest, ZeroAndNaNEndAtCountZero) {
    // 0 would never pass the threshold: it keeps a positive zero mantissa and count 0.
    for (const double zero : {0.0, -0.0}) {
        const DecomposedConstant d(zero);
        EXPECT_EQ(d.count, 0u);
        EXPECT_EQ(d.mantissa, 0.0);
        EXPECT_FALSE(std::signbit(d.mantissa));
    }
    const DecomposedConstant nan(kNaN);
    EXPECT_EQ(nan.count, 0u);
    EXPECT_TRUE(std::isnan(nan.mantissa));
}

TEST(DecomposedConstantTest, FromMantissaAndCount) {
    EXPECT_EQ(DecomposedConstant(3.0, 0).value, 3.0);
    EXPECT_EQ(DecomposedConstant(1.0, 2).value, std::ldexp(1.0, -52));
    const DecomposedConstant back(DecomposedConstant(1e-20).mantissa, 2);
    EXPECT_DOUBLE_EQ(back.value, 1e-20);
    // Counts far beyond what changes the value end as soon as it stays put.
    EXPECT_EQ(DecomposedConstant(1.0, ~u64{0}).value, 0.0);
    EXPECT_EQ(DecomposedConstant(kInf, ~u64{0}).value, kInf);
    EXPECT_TRUE(std::isnan(DecomposedConstant(kNaN, ~u64{0}).value));
    EXPECT_EQ(DecomposedConstant(2.0, ~u64{0}).count, ~u64{0});
}

struct ExtensionCase {
    const char* name;
    ParameterPreset preset;
    u64 level;
    double base;
    double extended;
    double ratio;
    History history;
    u64 outLevel;
    u64 bootstraps;
};

const std::vector<ExtensionCase>& extensionCases() {
    static const std::vector<ExtensionCase> cases = {
        {"FX 2^10 from level 12: 8 steps, one refresh", ParameterPreset::FX, 12, 1.0, 1024.0, 2.55,
         {{"Bootstrap", 1}, {"Conjugate", 1}, {"Rescale", 9}, {"ctxt * cnst W/R", 9}, {"ctxt * ctxt", 16},
          {"ctxt * int", 1}, {"ctxt + ctxt", 17}},
         4, 1},
        {"FX 2^10 from level 24: no refresh", ParameterPreset::FX, 24, 1.0, 1024.0, 2.55,
         {{"Rescale", 8}, {"ctxt * cnst W/R", 8}, {"ctxt * ctxt", 16}, {"ctxt + ctxt", 16}}, 8, 0},
        {"FX 2^10 from level 4: refresh first", ParameterPreset::FX, 4, 1.0, 1024.0, 2.55,
         {{"Bootstrap", 2}, {"Conjugate", 2}, {"Rescale", 10}, {"ctxt * cnst W/R", 10}, {"ctxt * ctxt", 16},
          {"ctxt * int", 2}, {"ctxt + ctxt", 18}},
         4, 2},
        {"FX ratio above the range: one step", ParameterPreset::FX, 12, 1.0, 2.0, 2.55,
         {{"Rescale", 1}, {"ctxt * cnst W/R", 1}, {"ctxt * ctxt", 2}, {"ctxt + ctxt", 2}}, 10, 0},
        {"FX 2^38: 29 steps", ParameterPreset::FX, 12, 1.0, std::ldexp(1.0, 38), 2.55,
         {{"Bootstrap", 12}, {"Conjugate", 12}, {"Rescale", 61}, {"ctxt * cnst W/R", 61}, {"ctxt * ctxt", 58},
          {"ctxt * int", 12}, {"ctxt + ctxt", 70}},
         4, 12},
        {"FX large bounds prescale: 2^20 to 2^24", ParameterPreset::FX, 12, std::ldexp(1.0, 20), std::ldexp(1.0, 24),
         2.0,
         {{"Bootstrap", 1}, {"Conjugate", 1}, {"Rescale", 9}, {"ctxt * cnst W/R", 9}, {"ctxt * ctxt", 8},
          {"ctxt * int", 1}, {"ctxt + ctxt", 9}},
         6, 1},
        {"FVa 2^38 from level 16", ParameterPreset::FVa, 16, 1.0, std::ldexp(1.0, 38), 2.55,
         {{"Bootstrap", 6}, {"Conjugate", 6}, {"Rescale", 55}, {"ctxt * cnst W/R", 55}, {"ctxt * ctxt", 58},
          {"ctxt * int", 6}, {"ctxt + ctxt", 64}},
         4, 6},
    };
    return cases;
}

TEST(DomainExtensionTest, OperationsLevelsAndValues) {
    for (const ExtensionCase& c : extensionCases()) {
        MathSetup s(c.preset);
        const double e = c.extended;
        const std::vector<double> values = {e, -e, 0.5 * e, 0.001, -0.3, 0.0, c.base, -0.75 * e};
        const Ciphertext op = s.input(values, c.level);
        const bool warmUp = !s.context->bootstrapWarmedUp;
        Ciphertext out(s.context);
        const Effect effect =
            measure(s.context, [&] { out = approxDomainExtension(s.eval, s.btp, op, c.base, e, c.ratio); });
        EXPECT_EQ(effect.history, c.history) << c.name;
        EXPECT_EQ(effect.duration, bootstrapCost(s.context, c.bootstraps, 0, warmUp)) << c.name;
        EXPECT_EQ(out.getLevel(), c.outLevel) << c.name;
        EXPECT_EQ(op.getLevel(), c.level) << c.name;
        EXPECT_EQ(op.message()[0], Complex(e, 0.0)) << c.name;
        const auto model = mapped(values, [&](double x) { return extensionModel(x, c.base, e, c.ratio); });
        EXPECT_LT(relativeError(out, model), 1e-12) << c.name;
        for (u64 i = 0; i < values.size(); ++i)
            EXPECT_LE(std::fabs(out.message()[i].real()), c.base) << c.name << " slot " << i;
    }
}

TEST(DomainExtensionTest, ShrinksTheWideRangeKeepingSigns) {
    MathSetup s(ParameterPreset::FX);
    const Ciphertext out = approxDomainExtension(s.eval, s.btp, s.input({1024.0, 0.001, -1024.0, 0.0}, 12), 1.0,
                                                 1024.0, 2.55);
    EXPECT_NEAR(out.message()[0].real(), 0.5721, 1e-4);
    EXPECT_NEAR(out.message()[1].real(), 0.000999999, 1e-9);
    EXPECT_NEAR(out.message()[2].real(), -0.5721, 1e-4);
    EXPECT_EQ(out.message()[3], Complex(0.0, 0.0));
}

TEST(DomainExtensionTest, PairLevelsDownAndBootstrapsTogether) {
    MathSetup s(ParameterPreset::FX);
    const std::vector<double> v1 = {1000.0, -0.2, 3.0, -700.0};
    const std::vector<double> v2 = {-1.0, 1024.0, -512.0, 0.01};
    const auto model = [](const std::vector<double>& v) {
        return mapped(v, [](double x) { return extensionModel(x, 1.0, 1024.0, 2.55); });
    };
    Ciphertext res1(s.context);
    Ciphertext res2(s.context);
    const Ciphertext op1 = s.input(v1, 12);
    const Ciphertext op2 = s.input(v2, 9);
    const bool warmUp = !s.context->bootstrapWarmedUp;
    const Effect effect = measure(
        s.context, [&] { approxDomainExtensionPair(s.eval, s.btp, op1, op2, res1, res2, 1.0, 1024.0, 2.55); });
    const History expected = {{"Bootstrap", 2},   {"Conjugate", 4},        {"Level down", 1},   {"Rescale", 18},
                              {"ctxt * cnst W/R", 18}, {"ctxt * ctxt", 32}, {"ctxt * imag", 2}, {"ctxt * int", 4},
                              {"ctxt + ctxt", 38}};
    EXPECT_EQ(effect.history, expected);
    EXPECT_EQ(effect.duration, bootstrapCost(s.context, 0, 2, warmUp));
    EXPECT_EQ(res1.getLevel(), 4u);
    EXPECT_EQ(res2.getLevel(), 4u);
    EXPECT_LT(maxError(res1, model(v1)), 1e-12);
    EXPECT_LT(maxError(res2, model(v2)), 1e-12);

    // The outputs may be the inputs themselves.
    Ciphertext x1 = op1;
    Ciphertext x2 = op2;
    approxDomainExtensionPair(s.eval, s.btp, x1, x2, x1, x2, 1.0, 1024.0, 2.55);
    EXPECT_LT(maxError(x1, model(v1)), 1e-12);
    EXPECT_LT(maxError(x2, model(v2)), 1e-12);
}

TEST(DomainExtensionTest, RefusesRangesBeforeAnyOperation) {
    struct Case {
        double base;
        double extended;
        double ratio;
        const char* text;
    };
    const std::vector<Case> cases = {
        {1.0, 1.0, 2.55, "extended_range should be > base_range"},
        {2.0, 1.0, 2.55, "extended_range should be > base_range"},
        // The range test comes first, so a ratio it never reaches stays unread.
        {2.0, 1.0, kNaN, "extended_range should be > base_range"},
        // A NaN bound passes the range test and is refused afterwards.
        {kNaN, 16.0, 2.55, "base_range should be > 0"},
        {0.0, 16.0, 2.55, "base_range should be > 0"},
        {-1.0, 16.0, 2.55, "base_range should be > 0"},
        {1.0, kNaN, 2.55, "extended_range should be < 2^64"},
        {1.0, kInf, 2.55, "extended_range should be < 2^64"},
        {1.0, 1e30, 2.55, "extended_range should be < 2^64"},
        {1.0, 16.0, 1.0, "ratio should be > 1"},
        {1.0, 16.0, 0.5, "ratio should be > 1"},
        {1.0, 16.0, kNaN, "ratio should be > 1"},
        {1e-310, 1e10, 2.0, "extended_range / base_range needs too many steps of this ratio"},
    };
    MathSetup s(ParameterPreset::FX);
    const Ciphertext op = s.input({0.5}, 12);
    Ciphertext res1 = op;
    Ciphertext res2 = op;
    for (const Case& c : cases) {
        const Effect single = measure(s.context, [&] {
            EXPECT_EQ(thrownMessage([&] { approxDomainExtension(s.eval, s.btp, op, c.base, c.extended, c.ratio); }),
                      std::string("[approxDomainExtension] ") + c.text);
        });
        const Effect pair = measure(s.context, [&] {
            EXPECT_EQ(thrownMessage([&] {
                          approxDomainExtensionPair(s.eval, s.btp, op, op, res1, res2, c.base, c.extended, c.ratio);
                      }),
                      std::string("[approxDomainExtensionPair] ") + c.text);
        });
        EXPECT_TRUE(single.history.empty()) << c.text;
        EXPECT_TRUE(pair.history.empty()) << c.text;
    }
    EXPECT_EQ(res1.getLevel(), 12u);
}

TEST(DomainExtensionTest, InverseIsTheFixedDegreeSevenPolynomial) {
    MathSetup s(ParameterPreset::FX);
    const std::vector<double> values = {0.9, -0.5, 0.25, 0.0, -1.0};
    struct Case {
        u64 order;
        double ratio;
        History history;
    };
    // Order 0 makes the x^2 coefficient 0, an integral constant that keeps its level.
    const std::vector<Case> cases = {
        {0, 2.0,
         {{"Negate ctxt", 1}, {"ctxt * cnst", 1}, {"ctxt * int", 1}, {"ctxt * ctxt", 4}, {"ctxt + cnst", 1},
          {"ctxt + ctxt", 2}}},
        {3, 2.0,
         {{"Negate ctxt", 1}, {"ctxt * cnst", 2}, {"ctxt * ctxt", 4}, {"ctxt + cnst", 1}, {"ctxt + ctxt", 2}}},
    };
    for (const Case& c : cases) {
        const double k2 = 2.0 * static_cast<double>(c.order);
        const double r = c.ratio;
        const double a = ((1.0 - 1.0 / std::pow(r, k2)) * (4.0 / 27.0)) / (1.0 - 1.0 / (r * r));
        const double b = ((1.0 - 1.0 / std::pow(r, k2 + 2.0)) * (a * 4.0 / 9.0)) / (1.0 - 1.0 / std::pow(r, 4.0));
        const double d = a + b + 0.1;
        const Ciphertext op = s.input(values, 9);
        Ciphertext out(s.context);
        const Effect effect = measure(s.context, [&] { out = approxDomainExtensionInverse(s.eval, op, c.order, r); });
        EXPECT_EQ(effect.history, c.history) << c.order;
        EXPECT_EQ(out.getLevel(), 6u) << c.order;
        const auto model = mapped(values, [&](double x) {
            return x + a * std::pow(x, 3) + b * std::pow(x, 5) - d * std::pow(x, 7);
        });
        EXPECT_LT(maxError(out, model), 1e-12) << c.order;
    }
    EXPECT_EQ(approxDomainExtensionInverse(s.eval, s.input({1.0}, 9), 0, 2.0).message()[0], Complex(0.9, 0.0));
}

TEST(DomainExtensionTest, InverseUndoesTheShrinkingNearZero) {
    MathSetup s(ParameterPreset::FX);
    const std::vector<double> values = {0.01, -0.02, 0.005};
    const Ciphertext shrunk = approxDomainExtension(s.eval, s.btp, s.input(values, 12), 1.0, 8.0, 2.0);
    const Ciphertext back = approxDomainExtensionInverse(s.eval, shrunk, 3, 2.0);
    EXPECT_LT(maxError(back, values), 1e-6);
}

// A pair whose refresh fails after three steps leaves its outputs as they were, also when they are the inputs.
TEST(DomainExtensionTest, FailedPairLeavesItsOutputsAsTheyWere) {
    const std::string message = "[bootstrap] no conjugation key";
    const std::vector<FailingCall> calls = {
        {"apart",
         [](auto& e, auto& b, auto& x, auto& y, auto& r) {
             approxDomainExtensionPair(e, b, x, y, r, r, 1.0, 1024.0, 2.55);
         },
         message},
        {"in place",
         [](auto& e, auto& b, auto& x, auto& y, auto&) {
             approxDomainExtensionPair(e, b, x, y, x, y, 1.0, 1024.0, 2.55);
         },
         message},
        {"crosswise",
         [](auto& e, auto& b, auto& x, auto& y, auto&) {
             approxDomainExtensionPair(e, b, x, y, y, x, 1.0, 1024.0, 2.55);
         },
         message},
    };
    MathSetup s(ParameterPreset::FX);
    expectFailuresLeaveCiphertexts(s, calls, {1000.0, -0.2, 3.0}, {-1.0, 512.0}, 12);
}

} // namespace
