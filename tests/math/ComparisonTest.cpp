#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/Comparison.hpp"

#include <limits>
#include <utility>

namespace {

using namespace mathtest;
using namespace Morvane::Math;

using Values = std::vector<double>;
using Call = std::function<void(const MathSetup&, const Ciphertext&, const Ciphertext&, Ciphertext&, Ciphertext&)>;
// The expected values of the two outputs (the second unused by one-output functions) for inputs a and b.
using Model = std::function<std::pair<double, double>(double, double)>;

const Values kLeft = {0.5, -0.5, 0.25, -0.125, 0.01, 0.0, -0.3, 0.2};
const Values kRight = {-0.25, 0.5, 0.25, 0.0, -0.02, 0.4, 0.1, -0.3};
const Values kGrid = {0.0, 1.0, -1.0, 5.0, -17.0, 64.0, -64.0, 3.0};

double greaterThanModel(double a, double b, u64 g, u64 f) { return signModel(a - b, g, f, 0.5) + 0.5; }

double greaterThanZeroModel(double x, u64 g, u64 f, u64 log_range) {
    const double y = log_range == 0 ? x : extensionModel(x, 1.0, std::ldexp(1.0, static_cast<int>(log_range)), 2.55);
    return signModel(y, g, f, 0.5) + 0.5;
}

std::pair<double, double> minMaxModel(double a, double b, u64 g, u64 f) {
    const double d = (a - b) * greaterThanModel(a, b, g, f);
    return {a - d, b + d};
}

Values scaledBy(const Values& values, double factor) {
    return mapped(values, [&](double v) { return v * factor; });
}

struct ComparisonCase {
    const char* name;
    ParameterPreset preset;
    Values left;
    Values right;
    u64 level1;
    u64 level2;
    Call call;
    Model model;
    History history;
    u64 outLevel1;
    u64 outLevel2; // 0 for one-output functions
    u64 realBootstraps;
    u64 complexBootstraps;
};

std::vector<ComparisonCase> comparisonCases() {
    const double r12 = std::ldexp(1.0, 12);
    return {
        {"greater than zero, FX defaults", ParameterPreset::FX, kLeft, kRight, 12, 12,
         [](auto& s, auto& a, auto&, auto& r, auto&) { approxGreaterThanZero(s.eval, s.btp, a, r, 8, 3, 0); },
         [](double a, double) { return std::make_pair(greaterThanZeroModel(a, 8, 3, 0), 0.0); },
         {{"Bootstrap", 3}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 44}, {"ctxt + cnst", 34}}, 6, 0, 3, 0},
        {"greater than zero, FX log_range 12", ParameterPreset::FX, scaledBy(kLeft, r12), kRight, 12, 12,
         [](auto& s, auto& a, auto&, auto& r, auto&) { approxGreaterThanZero(s.eval, s.btp, a, r, 8, 3, 12); },
         [](double a, double) { return std::make_pair(greaterThanZeroModel(a, 8, 3, 12), 0.0); },
         {{"Bootstrap", 6}, {"Conjugate", 2}, {"Rescale", 12}, {"ctxt * cnst", 11}, {"ctxt * cnst W/R", 12},
          {"ctxt * ctxt", 62}, {"ctxt * int", 2}, {"ctxt + cnst", 34}, {"ctxt + ctxt", 20}}, 6, 0, 6, 0},
        {"greater than zero pair, FX levels 12 and 10", ParameterPreset::FX, kLeft, kRight, 12, 10,
         [](auto& s, auto& a, auto& b, auto& r1, auto& r2) {
             approxGreaterThanZeroPair(s.eval, s.btp, a, b, r1, r2, 8, 3, 0);
         },
         [](double a, double b) {
             return std::make_pair(greaterThanZeroModel(a, 8, 3, 0), greaterThanZeroModel(b, 8, 3, 0));
         },
         {{"Bootstrap", 3}, {"Level down", 1}, {"ctxt * cnst", 22}, {"ctxt * ctxt", 88}, {"ctxt * imag", 3},
          {"ctxt + cnst", 68}, {"ctxt + ctxt", 3}}, 3, 3, 0, 3},
        {"greater than, FX levels 12 and 9", ParameterPreset::FX, kLeft, kRight, 12, 9,
         [](auto& s, auto& a, auto& b, auto& r, auto&) { approxGreaterThan(s.eval, s.btp, a, b, r, 8, 3); },
         [](double a, double b) { return std::make_pair(greaterThanModel(a, b, 8, 3), 0.0); },
         {{"Bootstrap", 3}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 44}, {"ctxt + cnst", 34}, {"ctxt + ctxt", 1}}, 3, 0, 3,
         0},
        {"greater than, FVa", ParameterPreset::FVa, kLeft, kRight, 16, 16,
         [](auto& s, auto& a, auto& b, auto& r, auto&) { approxGreaterThan(s.eval, s.btp, a, b, r, 8, 3); },
         [](double a, double b) { return std::make_pair(greaterThanModel(a, b, 8, 3), 0.0); },
         {{"Bootstrap", 2}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 44}, {"ctxt + cnst", 34}, {"ctxt + ctxt", 1}}, 7, 0, 2,
         0},
        {"min max, FX levels 12 and 9", ParameterPreset::FX, kLeft, kRight, 12, 9,
         [](auto& s, auto& a, auto& b, auto& lo, auto& hi) { approxMinMax(s.eval, s.btp, a, b, lo, hi, 8, 3); },
         [](double a, double b) { return minMaxModel(a, b, 8, 3); },
         {{"Bootstrap", 4}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 45}, {"ctxt + cnst", 34}, {"ctxt + ctxt", 4}}, 8, 8, 4,
         0},
        {"min max, FX levels 12 and 12", ParameterPreset::FX, kLeft, kRight, 12, 12,
         [](auto& s, auto& a, auto& b, auto& lo, auto& hi) { approxMinMax(s.eval, s.btp, a, b, lo, hi, 8, 3); },
         [](double a, double b) { return minMaxModel(a, b, 8, 3); },
         {{"Bootstrap", 3}, {"ctxt * cnst", 11}, {"ctxt * ctxt", 45}, {"ctxt + cnst", 34}, {"ctxt + ctxt", 4}}, 5, 5, 3,
         0},
        {"equal zero, FX log_range 6", ParameterPreset::FX, kGrid, kRight, 12, 12,
         [](auto& s, auto& a, auto&, auto& r, auto&) { approxDiscreteEqualZero(s.eval, s.btp, a, r, 6, 0); },
         [](double a, double) { return std::make_pair(equalZeroModel(a, 6, 0), 0.0); },
         {{"Bootstrap", 2}, {"ctxt * cnst", 6}, {"ctxt * ctxt", 27}, {"ctxt * imag", 1}, {"ctxt * int", 6},
          {"ctxt + cnst", 21}, {"ctxt + ctxt", 1}}, 9, 0, 1, 1},
        {"equal zero, FX log_range 0: no doubling", ParameterPreset::FX, {0.0, 1.0, -1.0}, kRight, 12, 12,
         [](auto& s, auto& a, auto&, auto& r, auto&) { approxDiscreteEqualZero(s.eval, s.btp, a, r, 0, 0); },
         [](double a, double) { return std::make_pair(equalZeroModel(a, 0, 0), 0.0); },
         {{"Bootstrap", 1}, {"ctxt * cnst", 6}, {"ctxt * ctxt", 15}, {"ctxt + cnst", 15}}, 6, 0, 1, 0},
        {"equal zero, FX log_range 20: two extensions", ParameterPreset::FX, scaledBy(kGrid, 16384.0), kRight, 12, 12,
         [](auto& s, auto& a, auto&, auto& r, auto&) { approxDiscreteEqualZero(s.eval, s.btp, a, r, 20, 0); },
         [](double a, double) { return std::make_pair(equalZeroModel(a, 20, 0), 0.0); },
         {{"Bootstrap", 6}, {"Conjugate", 3}, {"Rescale", 19}, {"ctxt * cnst", 6}, {"ctxt * cnst W/R", 19},
          {"ctxt * ctxt", 55}, {"ctxt * imag", 1}, {"ctxt * int", 15}, {"ctxt + cnst", 27}, {"ctxt + ctxt", 20}}, 6, 0,
         5, 1},
        {"equal zero, FX log_range 40, log_dist -12", ParameterPreset::FX, scaledBy(kGrid, std::ldexp(1.0, 33)), kRight,
         12, 12, [](auto& s, auto& a, auto&, auto& r, auto&) { approxDiscreteEqualZero(s.eval, s.btp, a, r, 40, -12); },
         [](double a, double) { return std::make_pair(equalZeroModel(a, 40, -12), 0.0); },
         {{"Bootstrap", 18}, {"Conjugate", 15}, {"Rescale", 75}, {"ctxt * cnst", 6}, {"ctxt * cnst W/R", 75},
          {"ctxt * ctxt", 109}, {"ctxt * imag", 1}, {"ctxt * int", 27}, {"ctxt + cnst", 27}, {"ctxt + ctxt", 86}}, 6, 0,
         17, 1},
        {"equal zero, FX level 4, log_dist -3", ParameterPreset::FX, scaledBy(kGrid, 0.125), kRight, 4, 4,
         [](auto& s, auto& a, auto&, auto& r, auto&) { approxDiscreteEqualZero(s.eval, s.btp, a, r, 6, -3); },
         [](double a, double) { return std::make_pair(equalZeroModel(a, 6, -3), 0.0); },
         {{"Bootstrap", 3}, {"ctxt * cnst", 6}, {"ctxt * ctxt", 33}, {"ctxt * imag", 1}, {"ctxt * int", 9},
          {"ctxt + cnst", 24}, {"ctxt + ctxt", 1}}, 9, 0, 2, 1},
        {"equal, FX levels 12 and 9", ParameterPreset::FX, kGrid, scaledBy(kGrid, 0.0), 12, 9,
         [](auto& s, auto& a, auto& b, auto& r, auto&) { approxDiscreteEqual(s.eval, s.btp, a, b, r, 6, 0); },
         [](double a, double b) { return std::make_pair(equalZeroModel(a - b, 6, 0), 0.0); },
         {{"Bootstrap", 2}, {"ctxt * cnst", 6}, {"ctxt * ctxt", 27}, {"ctxt * imag", 1}, {"ctxt * int", 6},
          {"ctxt + cnst", 21}, {"ctxt + ctxt", 2}}, 6, 0, 1, 1},
    };
}

double relativeError(const Ciphertext& ctxt, const Values& expected) {
    double worst = 0.0;
    for (u64 i = 0; i < expected.size(); ++i) {
        const double distance = std::abs(ctxt.message()[i] - Complex(expected[i], 0.0));
        worst = std::fmax(worst, distance / std::fmax(1.0, std::fabs(expected[i])));
    }
    return worst;
}

TEST(ComparisonTest, OperationsLevelsAndValues) {
    for (const ComparisonCase& c : comparisonCases()) {
        MathSetup s(c.preset);
        const Ciphertext op1 = s.input(c.left, c.level1);
        const Ciphertext op2 = s.input(c.right, c.level2);
        Ciphertext res1(s.context);
        Ciphertext res2(s.context);
        const bool warmUp = !s.context->bootstrapWarmedUp;
        const Effect effect = measure(s.context, [&] { c.call(s, op1, op2, res1, res2); });
        EXPECT_EQ(effect.history, c.history) << c.name;
        EXPECT_EQ(effect.duration, bootstrapCost(s.context, c.realBootstraps, c.complexBootstraps, warmUp)) << c.name;
        EXPECT_EQ(res1.getLevel(), c.outLevel1) << c.name;
        if (c.outLevel2 != 0) {
            EXPECT_EQ(res2.getLevel(), c.outLevel2) << c.name;
        }
        EXPECT_EQ(op1.getLevel(), c.level1) << c.name;
        EXPECT_EQ(op2.getLevel(), c.level2) << c.name;

        Values first;
        Values second;
        for (u64 i = 0; i < c.left.size(); ++i) {
            const auto [x, y] = c.model(c.left[i], c.right[i % c.right.size()]);
            first.push_back(x);
            second.push_back(y);
        }
        EXPECT_LT(relativeError(res1, first), 1e-12) << c.name;
        if (c.outLevel2 != 0) {
            EXPECT_LT(relativeError(res2, second), 1e-12) << c.name;
        }
    }
}

TEST(ComparisonTest, IndicatorsNearOneAndZero) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    // Equal inputs compare as exactly one half: both polynomials are odd.
    approxGreaterThan(s.eval, s.btp, s.input(kLeft, 12), s.input(kLeft, 12), res, 8, 3);
    EXPECT_LT(maxError(res, Values(kLeft.size(), 0.5)), 1e-15);

    approxGreaterThan(s.eval, s.btp, s.input({0.5, -0.5, 0.01}, 12), s.input({-0.5, 0.5, 0.0}, 12), res, 8, 3);
    EXPECT_LT(maxError(res, {1.0, 0.0, 1.0}), 1e-12);

    Ciphertext lo(s.context);
    Ciphertext hi(s.context);
    const Ciphertext a = s.input(kLeft, 12);
    approxMinMax(s.eval, s.btp, a, a, lo, hi, 8, 3);
    EXPECT_EQ(lo.message().slots(), a.message().slots());
    EXPECT_EQ(hi.message().slots(), a.message().slots());
}

TEST(ComparisonTest, DiscreteEqualityOnTheWholeGrid) {
    MathSetup s(ParameterPreset::FVa);
    Values grid;
    for (int m = -64; m <= 64; ++m)
        grid.push_back(m);
    Ciphertext res(s.context);
    for (const u64 logRange : {u64{6}, u64{20}}) {
        approxDiscreteEqualZero(s.eval, s.btp, s.input(grid, 16), res, logRange, 0);
        EXPECT_NEAR(res.message()[64].real(), 1.0, 1e-13) << logRange;
        for (u64 i = 0; i < grid.size(); ++i) {
            if (i != 64) {
                EXPECT_NEAR(res.message()[i].real(), 0.0, 1e-12) << logRange << " at " << grid[i];
            }
        }
    }
}

// Every output may be every input, but for the pair of min and max that is the same object.
TEST(ComparisonTest, OutputsMayBeInputs) {
    MathSetup s(ParameterPreset::FX);
    const Ciphertext a = s.input(kLeft, 12);
    const Ciphertext b = s.input(kRight, 12);
    const auto slotsOf = [](const Ciphertext& c) { return c.message().slots(); };

    Ciphertext gt(s.context);
    approxGreaterThan(s.eval, s.btp, a, b, gt, 8, 3);
    for (const int which : {1, 2}) {
        Ciphertext x = a;
        Ciphertext y = b;
        approxGreaterThan(s.eval, s.btp, x, y, which == 1 ? x : y, 8, 3);
        EXPECT_EQ(slotsOf(which == 1 ? x : y), slotsOf(gt)) << which;
    }

    Ciphertext lo(s.context);
    Ciphertext hi(s.context);
    approxMinMax(s.eval, s.btp, a, b, lo, hi, 8, 3);
    struct Aliasing {
        const char* name;
        bool minIsFirst; // otherwise the second input, or neither when minIsNeither
        bool minIsNeither;
        bool maxIsFirst;
        bool maxIsNeither;
    };
    for (const Aliasing& al :
         {Aliasing{"min op1", true, false, false, true}, Aliasing{"min op2", false, false, false, true},
          Aliasing{"max op2", false, true, false, false}, Aliasing{"max op1", false, true, true, false},
          Aliasing{"min op2 max op1", false, false, true, false},
          Aliasing{"min op1 max op2", true, false, false, false}}) {
        Ciphertext x = a;
        Ciphertext y = b;
        Ciphertext otherMin(s.context);
        Ciphertext otherMax(s.context);
        Ciphertext& minOut = al.minIsNeither ? otherMin : (al.minIsFirst ? x : y);
        Ciphertext& maxOut = al.maxIsNeither ? otherMax : (al.maxIsFirst ? x : y);
        const Effect effect = measure(s.context, [&] { approxMinMax(s.eval, s.btp, x, y, minOut, maxOut, 8, 3); });
        EXPECT_EQ(slotsOf(minOut), slotsOf(lo)) << al.name;
        EXPECT_EQ(slotsOf(maxOut), slotsOf(hi)) << al.name;
        EXPECT_EQ(minOut.getLevel(), lo.getLevel()) << al.name;
        EXPECT_EQ(maxOut.getLevel(), hi.getLevel()) << al.name;
        EXPECT_EQ(effect.history.at("ctxt + ctxt"), 4u) << al.name;
    }
    // A max that is op1 is written as in place: it keeps its own extended flag.
    Ciphertext extended(s.context, true);
    extended.message() = a.message();
    extended.setLevel(12);
    Ciphertext second = b;
    approxMinMax(s.eval, s.btp, extended, second, second, extended, 8, 3);
    EXPECT_TRUE(extended.isModUp());
    EXPECT_EQ(slotsOf(extended), slotsOf(hi));
    EXPECT_EQ(extended.getLevel(), hi.getLevel());

    const Ciphertext grid = s.input(kGrid, 12);
    Ciphertext eq(s.context);
    approxDiscreteEqualZero(s.eval, s.btp, grid, eq, 6, 0);
    Ciphertext x = grid;
    approxDiscreteEqualZero(s.eval, s.btp, x, x, 6, 0);
    EXPECT_EQ(slotsOf(x), slotsOf(eq));
    Ciphertext y = s.input({0.0}, 12);
    x = grid;
    approxDiscreteEqual(s.eval, s.btp, x, y, y, 6, 0);
    EXPECT_EQ(slotsOf(y), slotsOf(eq));

    Ciphertext z1(s.context);
    Ciphertext z2(s.context);
    approxGreaterThanZeroPair(s.eval, s.btp, a, b, z1, z2, 8, 3, 0);
    x = a;
    y = b;
    approxGreaterThanZeroPair(s.eval, s.btp, x, y, y, x, 8, 3, 0);
    EXPECT_EQ(slotsOf(y), slotsOf(z1));
    EXPECT_EQ(slotsOf(x), slotsOf(z2));
    x = a;
    approxGreaterThanZero(s.eval, s.btp, x, x, 8, 3, 0);
    EXPECT_EQ(slotsOf(x), slotsOf(z1));
}

TEST(ComparisonTest, ChecksInOrder) {
    MathSetup fx(ParameterPreset::FX);
    const RefusingSetups bad;
    const auto& st19Eval = bad.st19Eval;
    const auto& ftbEval = bad.ftbEval;
    const auto& ftbBtp = bad.ftbBtp;
    const auto& ftbLow = bad.ftbInput;
    const Ciphertext fine = fx.input({0.5}, 12);
    const Ciphertext level3 = fx.input({0.5}, 3);
    const Ciphertext level2 = fx.input({0.5}, 2);
    Ciphertext unready = fx.input({0.5}, 0);
    unready.setLogSlots(4);
    const auto& e = fx.eval;
    const auto& b = fx.btp;
    const i64 minI64 = std::numeric_limits<i64>::min();
    const i64 maxI64 = std::numeric_limits<i64>::max();
    const std::vector<OrderCase> cases = {
        {"gtz: range", [&](auto& r, auto&) { approxGreaterThanZero(e, b, level2, r, 8, 3, 39); },
         "[approxGreaterThanZero] log_range must be <= 38.", {}},
        {"gtz: level with a range", [&](auto& r, auto&) { approxGreaterThanZero(e, b, level3, r, 8, 3, 1); },
         "[approxGreaterThanZero] Input level >= 4 is needed.", {}},
        {"gtz pair: second level",
         [&](auto& r, auto&) { approxGreaterThanZeroPair(e, b, fine, level2, r, r, 8, 3, 0); },
         "[approxGreaterThanZeroPair] Input level >= 3 is needed.", {}},
        {"gt: unbootstrappable before all",
         [&](auto& r, auto&) { approxGreaterThan(st19Eval, b, unready, level2, r, 8, 3); },
         "[approxGreaterThan] Parameter should be bootstrappable.", {}},
        {"gt: second readiness", [&](auto& r, auto&) { approxGreaterThan(e, b, level2, unready, r, 8, 3); },
         "[approxGreaterThan] bootstraper not ready for 4 slot bootstrapping.", {}},
        {"gt: available levels", [&](auto& r, auto&) { approxGreaterThan(ftbEval, ftbBtp, ftbLow, ftbLow, r, 8, 3); },
         "[approxGreaterThan] Available level (maximum level after bootstrap - minimum level for bootstrap)  >= 3 "
         "is needed.", {}},
        {"gt: second level", [&](auto& r, auto&) { approxGreaterThan(e, b, fine, level2, r, 8, 3); },
         "[approxGreaterThan] Input level >= 3 is needed.", {}},
        {"min max: its own name", [&](auto& r, auto&) { approxMinMax(e, b, level2, fine, r, r, 8, 3); },
         "[approxMinMax] Input level >= 3 is needed.", {}},
        {"equal zero: available levels",
         [&](auto& r, auto&) { approxDiscreteEqualZero(ftbEval, ftbBtp, ftbLow, r, 41, 1); },
         "[approxDiscreteEqualZero] Available level (maximum level after bootstrap - minimum level for bootstrap)  "
         ">= 4 is needed.", {}},
        {"equal zero: level before range", [&](auto& r, auto&) { approxDiscreteEqualZero(e, b, level3, r, 41, 1); },
         "[approxDiscreteEqualZero] Input level >= 4 is needed.", {}},
        {"equal zero: range before distance", [&](auto& r, auto&) { approxDiscreteEqualZero(e, b, fine, r, 41, 1); },
         "[approxDiscreteEqualZero] log_range must be <= 40.", {}},
        {"equal zero: distance 1", [&](auto& r, auto&) { approxDiscreteEqualZero(e, b, fine, r, 40, 1); },
         "[approxDiscreteEqualZero] log_dist must be in [-12, 0].", {}},
        {"equal zero: distance -13", [&](auto& r, auto&) { approxDiscreteEqualZero(e, b, fine, r, 6, -13); },
         "[approxDiscreteEqualZero] log_dist must be in [-12, 0].", {}},
        {"equal zero: smallest distance", [&](auto& r, auto&) { approxDiscreteEqualZero(e, b, fine, r, 6, minI64); },
         "[approxDiscreteEqualZero] log_dist must be in [-12, 0].", {}},
        {"equal zero: largest distance", [&](auto& r, auto&) { approxDiscreteEqualZero(e, b, fine, r, 6, maxI64); },
         "[approxDiscreteEqualZero] log_dist must be in [-12, 0].", {}},
        {"equal: second level", [&](auto& r, auto&) { approxDiscreteEqual(e, b, fine, level3, r, 41, 1); },
         "[approxDiscreteEqual] Input level >= 4 is needed.", {}},
        // The difference is taken first; the called function then refuses it under its own name.
        {"equal: inner range", [&](auto& r, auto&) { approxDiscreteEqual(e, b, fine, fine, r, 41, 0); },
         "[approxDiscreteEqualZero] log_range must be <= 40.",
         {{"ctxt + ctxt", 1}}},
    };
    expectCheckOrder(fx, cases);
    Ciphertext res(fx.context);
    for (const i64 logDist : {i64{0}, i64{-12}})
        EXPECT_NO_THROW(approxDiscreteEqualZero(e, b, fx.input({0.0}, 4), res, 40, logDist)) << logDist;
}

TEST(ComparisonTest, FailedDiscreteEqualityLeavesAnAliasedInputIntact) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext x = s.input(kGrid, 12);
    const Ciphertext y = s.input({1.0}, 12);
    EXPECT_EQ(thrownMessage([&] { approxDiscreteEqual(s.eval, s.btp, x, y, x, 6, 3); }),
              "[approxDiscreteEqualZero] log_dist must be in [-12, 0].");
    EXPECT_EQ(x.message().slots(), s.input(kGrid, 12).message().slots());
    EXPECT_EQ(x.getLevel(), 12u);
}

// A failure inside the sign iterations (here their first bootstrap, without a conjugation key) leaves res as the
// function wrote it before them, the difference or u - 0.5: the iterations run on a working copy.
TEST(ComparisonTest, FailedSignIterationsLeaveTheResultWrittenBefore) {
    MathSetup s(ParameterPreset::FX);
    KeyPack pack(s.context);
    KeyGenerator(s.context, s.sk, pack).genMultiplicationKey();
    const HomEvaluator eval(s.context, pack);
    const Bootstrapper btp(eval);

    Ciphertext res(s.context);
    EXPECT_EQ(thrownMessage([&] { approxGreaterThan(eval, btp, s.input(kLeft, 12), s.input(kRight, 12), res, 8, 3); }),
              "[bootstrap] no conjugation key");
    Values difference;
    for (u64 i = 0; i < kLeft.size(); ++i)
        difference.push_back(kLeft[i] - kRight[i]);
    EXPECT_EQ(res.getLevel(), 12u);
    EXPECT_EQ(maxError(res, difference), 0.0);

    EXPECT_EQ(thrownMessage([&] { approxDiscreteEqualZero(eval, btp, s.input(kGrid, 12), res, 0, 0); }),
              "[bootstrap] no conjugation key");
    EXPECT_EQ(res.getLevel(), 8u);
    EXPECT_LT(maxError(res, mapped(kGrid,
                                   [](double v) {
                                       const double y = v * 3.141592653589793;
                                       const double x2 = y * y;
                                       return (x2 * 0.008333333333333333 + -0.16666666666666666) * x2 + 1.0 - 0.5;
                                   })),
              1e-12);
}

// An output that is an input is never written before the sign steps' last: a failure in them leaves it as it was.
// (An output apart keeps what was written into it before them, above.)
TEST(ComparisonTest, FailedSignIterationsLeaveAnOutputThatIsAnInputAsItWas) {
    const std::string message = "[bootstrap] no conjugation key";
    const std::vector<FailingCall> calls = {
        {"compare into the first",
         [](auto& e, auto& b, auto& x, auto& y, auto&) { approxGreaterThan(e, b, x, y, x, 8, 3); }, message},
        {"compare into the second",
         [](auto& e, auto& b, auto& x, auto& y, auto&) { approxGreaterThan(e, b, x, y, y, 8, 3); }, message},
        {"equality to zero in place",
         [](auto& e, auto& b, auto& x, auto&, auto&) { approxDiscreteEqualZero(e, b, x, x, 0, 0); }, message},
        {"equality into the first",
         [](auto& e, auto& b, auto& x, auto& y, auto&) { approxDiscreteEqual(e, b, x, y, x, 0, 0); }, message},
        {"equality into the second",
         [](auto& e, auto& b, auto& x, auto& y, auto&) { approxDiscreteEqual(e, b, x, y, y, 0, 0); }, message},
    };
    MathSetup s(ParameterPreset::FX);
    expectFailuresLeaveCiphertexts(s, calls, kLeft, kRight, 12);
}

} // namespace
