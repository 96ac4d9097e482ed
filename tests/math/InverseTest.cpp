#include "tests/math/ApproxTestSupport.hpp"

#include "morvane/math/Inverse.hpp"

#include <cmath>
#include <limits>

namespace {

using namespace approxtest;
using namespace Morvane::Math;

constexpr double kTwoTo18 = 262144.0;
constexpr double kTwoTo30 = 1073741824.0;
constexpr double kTwoToMinus10 = 0.0009765625;

using Call = std::function<void(const MathSetup&, const Ciphertext&, Ciphertext&)>;

Call inverseGreater(double right_end, double error) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxInverseForGreaterThanOne(s.eval, s.btp, op, res, right_end, error);
    };
}
Call inverseLess(double left_end, double error) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxInverseForLessThanOne(s.eval, s.btp, op, res, left_end, error);
    };
}
Call inverseNewton(double init, u64 num_iter) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxInverseNewton(s.eval, s.btp, op, res, init, num_iter);
    };
}
Call sqrtInverseGreater(double right_end, double error) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxSqrtInverseForGreaterThanOne(s.eval, s.btp, op, res, right_end, error);
    };
}
Call sqrtInverseLess(double left_end, double error) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxSqrtInverseForLessThanOne(s.eval, s.btp, op, res, left_end, error);
    };
}
Call sqrtInverseNewton(double init, u64 num_iter) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxSqrtInverseNewton(s.eval, s.btp, op, res, init, num_iter);
    };
}
Call squareRoot(u64 num_iter) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxSqrt(s.eval, s.btp, op, res, num_iter);
    };
}

// The start value that approxSqrtInverseForGreaterThanOne makes for slots in [1, right_end].
double sqrtStart(double right_end) { return std::sqrt(2.0 / (right_end + 1.0)); }

class InverseAccounting : public ::testing::TestWithParam<AccountingCase> {};

TEST_P(InverseAccounting, RecordsItsOperationsLevelsAndBootstraps) { expectAccounting(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Calls, InverseAccounting,
    ::testing::Values(
        // 24 Newton steps (one negation each); y is bootstrapped whenever it falls below level 4.
        AccountingCase{"InverseRightEnd2To18", ParameterPreset::FX, 12, {1.0, 3.0, 1000.0, kTwoTo18},
                       inverseGreater(kTwoTo18, 1e-14),
                       {{"ctxt * cnst", 2}, {"Negate ctxt", 24}, {"ctxt + cnst", 24}, {"ctxt * ctxt", 46},
                        {"Bootstrap", 2}},
                       3, {2}},
        // From FVa's encryption level 29 y never falls below level 4.
        AccountingCase{"InverseFVa", ParameterPreset::FVa, 29, {1.0, 3.0}, inverseGreater(kTwoTo18, 1e-14),
                       {{"ctxt * cnst", 2}, {"Negate ctxt", 24}, {"ctxt + cnst", 24}, {"ctxt * ctxt", 46}}, 4, {}},
        AccountingCase{"InverseBelowFullLevel", ParameterPreset::FX, 6, {1.0, 3.0}, inverseGreater(kTwoTo18, 1e-14),
                       {{"ctxt * cnst", 2}, {"Negate ctxt", 24}, {"ctxt + cnst", 24}, {"ctxt * ctxt", 46},
                        {"Bootstrap", 2}, {"Bootstrap extended", 1}},
                       3, {2, 0, 1}},
        // Beyond 2^20 the input reaches the full level scaled by 2^-20, its bootstrap error corrected by a plain
        // bootstrap of the difference; 35 steps from 2^-30, which is applied as 2^-4 times 2^-26; y is refreshed
        // five times as y * 2^20 through the extended bootstrap and times 2^-20.
        AccountingCase{"InverseRightEnd2To30", ParameterPreset::FX, 6, {1.0, 3.0, 1048577.0, kTwoTo30},
                       inverseGreater(kTwoTo30, 1e-10),
                       {{"ctxt * cnst", 10}, {"ctxt * int", 6}, {"Negate ctxt", 35}, {"ctxt + cnst", 35},
                        {"ctxt * ctxt", 68}, {"ctxt + ctxt", 2}, {"Bootstrap", 1}, {"Bootstrap extended", 6}},
                       4, {1, 0, 6}},
        // The binding's defaults for inputs below one: c = 1024, 18 steps, then twice the real part times 512.
        AccountingCase{"InverseLessThanOneDefault", ParameterPreset::FX, 12, {kTwoToMinus10, 0.3, 1.0},
                       inverseLess(kTwoToMinus10, 1e-100),
                       {{"ctxt * int", 2}, {"ctxt * cnst", 2}, {"Negate ctxt", 18}, {"ctxt + cnst", 18},
                        {"ctxt * ctxt", 34}, {"Bootstrap", 2}, {"Conjugate", 1}, {"ctxt + ctxt", 1}},
                       9, {2}},
        // c = 3 is odd: the real part (one level) times 3.
        AccountingCase{"InverseLessThanOneOddFactor", ParameterPreset::FX, 12, {0.4, 0.5, 1.0}, inverseLess(0.4, 1e-12),
                       {{"ctxt * int", 2}, {"ctxt * cnst", 2}, {"Negate ctxt", 7}, {"ctxt + cnst", 7},
                        {"ctxt * ctxt", 12}, {"Conjugate", 1}, {"ctxt * cnst W/R", 1}, {"Rescale", 1}},
                       3, {}},
        AccountingCase{"InverseNewtonNoStepCount", ParameterPreset::FX, 12, {0.5}, inverseNewton(0.5, 0),
                       {{"ctxt * cnst", 2}, {"Negate ctxt", 1}, {"ctxt + cnst", 1}}, 10, {}},
        AccountingCase{"InverseNewtonOneStep", ParameterPreset::FX, 12, {0.5}, inverseNewton(0.5, 1),
                       {{"ctxt * cnst", 2}, {"Negate ctxt", 1}, {"ctxt + cnst", 1}}, 10, {}},
        // Five steps; the scaled input and its correction are bootstrapped, z once more in the fifth step.
        AccountingCase{"SqrtInverseRightEnd3", ParameterPreset::FX, 12, {1.0, 2.0, 3.0}, sqrtInverseGreater(3.0, 1e-10),
                       {{"ctxt * cnst", 4}, {"ctxt * int", 1}, {"ctxt + ctxt", 3}, {"Bootstrap", 3}, {"Negate ctxt", 1},
                        {"Conjugate", 1}, {"ctxt + cnst", 5}, {"ctxt * ctxt", 12}},
                       9, {3}},
        // d = 3 is odd: the real part (one level) times 3.
        AccountingCase{"SqrtInverseLessThanOneOddFactor", ParameterPreset::FX, 12, {0.2, 0.5, 1.0},
                       sqrtInverseLess(0.2, 1e-10),
                       {{"ctxt * int", 3}, {"ctxt * cnst", 4}, {"ctxt + ctxt", 3}, {"Bootstrap", 3}, {"Negate ctxt", 1},
                        {"Conjugate", 2}, {"ctxt * cnst W/R", 1}, {"Rescale", 1}, {"ctxt + cnst", 7},
                        {"ctxt * ctxt", 18}},
                       4, {3}},
        // The fifth round bootstraps the pair a + i c at once.
        AccountingCase{"SqrtFiveRounds", ParameterPreset::FX, 12, {0.25, 1.0, 2.0}, squareRoot(5),
                       {{"ctxt + cnst", 11}, {"ctxt * cnst", 1}, {"Negate ctxt", 5}, {"ctxt * ctxt", 15},
                        {"ctxt * imag", 1}, {"ctxt + ctxt", 1}, {"Bootstrap", 1}},
                       11, {0, 1}},
        AccountingCase{"SqrtNoRoundLowInput", ParameterPreset::FX, 3, {0.25}, squareRoot(0),
                       {{"Bootstrap", 1}, {"ctxt + cnst", 1}, {"ctxt * cnst", 1}}, 12, {1}}),
    caseName);

struct ValueCase {
    std::string name;
    u64 level;
    std::vector<double> xs;
    Call call;
    std::function<double(double)> exact;
    double relative; // bound on |result / exact - 1|
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class InverseValues : public ::testing::TestWithParam<ValueCase> {};

// Converged results within the error bound the iteration count was derived from (error simulation off).
TEST_P(InverseValues, ConvergeWithinTheirBound) {
    const ValueCase& c = GetParam();
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    c.call(s, s.input(c.xs, c.level), res);
    for (u64 i = 0; i < c.xs.size(); ++i) {
        EXPECT_NEAR(slot(res, i) / c.exact(c.xs[i]), 1.0, c.relative) << "x = " << c.xs[i];
        EXPECT_EQ(res.message()[i].imag(), 0.0);
    }
}

const auto inverse = [](double x) { return 1.0 / x; };
const auto sqrtInverse = [](double x) { return 1.0 / std::sqrt(x); };

INSTANTIATE_TEST_SUITE_P(
    Calls, InverseValues,
    ::testing::Values(
        ValueCase{"InverseRightEnd2To18", 12, {1.0, 3.0, 1000.0, kTwoTo18}, inverseGreater(kTwoTo18, 1e-14), inverse,
                  1e-14},
        ValueCase{"InverseRightEnd2To30", 6, {1.0, 3.0, 1048577.0, kTwoTo30}, inverseGreater(kTwoTo30, 1e-10), inverse,
                  1e-10},
        ValueCase{"InverseRightEnd2To40AtFullLevel", 12, {1.0, 5.0, 1099511627776.0},
                  inverseGreater(1099511627776.0, 1e-12), inverse, 1e-12},
        ValueCase{"InverseLessThanOneEvenFactor", 12, {kTwoToMinus10, 0.3, 1.0}, inverseLess(kTwoToMinus10, 1e-100),
                  inverse, 1e-14},
        ValueCase{"InverseLessThanOneOddFactor", 12, {0.4, 0.5, 1.0}, inverseLess(0.4, 1e-12), inverse, 1e-12},
        ValueCase{"InverseLessThanOneFactorOne", 12, {1.0}, inverseLess(1.0, 1e-12), inverse, 1e-15},
        ValueCase{"SqrtInverseRightEnd3", 12, {1.0, 2.0, 3.0}, sqrtInverseGreater(3.0, 1e-10), sqrtInverse, 1e-10},
        ValueCase{"SqrtInverseRightEnd2To30", 12, {1.0, 7.0, kTwoTo30}, sqrtInverseGreater(kTwoTo30, 1e-12),
                  sqrtInverse, 1e-12},
        ValueCase{"SqrtInverseLessThanOneEvenFactor", 12, {kTwoToMinus10, 0.1, 1.0},
                  sqrtInverseLess(kTwoToMinus10, 1e-14), sqrtInverse, 1e-14},
        ValueCase{"SqrtInverseLessThanOneOddFactor", 12, {0.2, 0.5, 1.0}, sqrtInverseLess(0.2, 1e-10), sqrtInverse,
                  1e-10},
        ValueCase{"Sqrt", 12, {0.01, 0.25, 1.0, 2.0}, squareRoot(17), [](double x) { return std::sqrt(x); }, 1e-14}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

// Beyond 2^20 the early y lie below the bootstrap's error and 1/x below it for the largest x: with the error
// simulated, plain refreshes of y made every slot diverge. Within the error of one bootstrap of the input near
// x = 1; at 2^40, where a refresh perturbs x y by up to 2^40 times the error / 2^20, the few steps after the last
// refresh leave about 4e-5.
TEST(InverseTest, InverseBeyond2To20ConvergesUnderBootstrapError) {
    MathSetup s(ParameterPreset::FVa, true);
    const std::vector<double> xs = {1.0, 3.0, 1000.0, kTwoTo30, 1099511627776.0};
    // Below FVa's full level 16 the input is bootstrapped scaled; from 20 it is not.
    for (const u64 level : {12u, 20u}) {
        Ciphertext res(s.context);
        approxInverseForGreaterThanOne(s.eval, s.btp, s.input(xs, level), res, 1099511627776.0, 1e-12);
        for (u64 i = 0; i < s.fullSlots(); ++i) {
            const double x = xs[i % xs.size()];
            const double bound = x < kTwoTo30 ? 2e-7 : 1e-4;
            ASSERT_NEAR(res.message()[i].real() * x, 1.0, bound) << "x = " << x << ", level " << level;
        }
    }
}

// How many Newton steps a call made: one negation per step of the inverse, one addition of 1.5 per step of the
// inverse square root.
u64 inverseSteps(const MathSetup& s, u64 level, double x, const Call& call) {
    Ciphertext res(s.context);
    return mathtest::measure(s.context, [&] { call(s, s.input({x}, level), res); }).history.at("Negate ctxt");
}
u64 sqrtInverseSteps(const MathSetup& s, double x, const Call& call) {
    Ciphertext res(s.context);
    const History h = mathtest::measure(s.context, [&] { call(s, s.input({x}, 12), res); }).history;
    return h.at("ctxt + cnst");
}

// Counts from the bound: the worked figures, and error bounds that no step can reach, which used to loop
// forever, now end where the error stops decreasing.
TEST(InverseTest, IterationCountsFollowTheErrorBoundAndAlwaysEnd) {
    MathSetup s(ParameterPreset::FX);
    // After 23 squarings 1 - 2^-18 is about 1.27e-14, not yet below 1e-14.
    EXPECT_EQ(inverseSteps(s, 12, 2.0, inverseGreater(kTwoTo18, 1e-14)), 24u);
    // The binding's default bound is that very value after 23 squarings.
    double bound = 1.0 - 1.0 / kTwoTo18;
    for (int i = 0; i < 23; ++i)
        bound *= bound;
    EXPECT_EQ(inverseSteps(s, 12, 2.0, inverseGreater(kTwoTo18, bound)), 24u);
    // (1 - 2^-18)^(2^28) underflows to 0.
    EXPECT_EQ(inverseSteps(s, 12, 2.0, inverseGreater(kTwoTo18, 0.0)), 28u);
    EXPECT_EQ(inverseSteps(s, 12, 2.0, inverseGreater(kTwoTo18, -1.0)), 28u);
    // A negative right end starts with an error above 1 that squaring only increases: the single first step.
    EXPECT_EQ(inverseSteps(s, 12, 2.0, inverseGreater(-2.0, 1e-10)), 1u);
    EXPECT_EQ(inverseSteps(s, 12, 2.0, inverseLess(kTwoToMinus10, 0.0)), 20u);

    EXPECT_EQ(sqrtInverseSteps(s, 2.0, sqrtInverseGreater(3.0, 1e-10)), 5u);
    // The recurrence reaches 0 in doubles after 7 steps.
    EXPECT_EQ(sqrtInverseSteps(s, 2.0, sqrtInverseGreater(3.0, 0.0)), 7u);
    EXPECT_EQ(sqrtInverseSteps(s, 2.0, sqrtInverseGreater(3.0, -5.0)), 7u);
    // Right end 1 gives the start value 1 and no step count: the first step is still made.
    EXPECT_EQ(sqrtInverseSteps(s, 1.0, sqrtInverseGreater(1.0, 1e-10)), 1u);
}

// The first Newton step is always made: with no step count the result is the step from the start value.
TEST(InverseTest, NewtonWithoutStepsMakesTheFirstStep) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    approxInverseNewton(s.eval, s.btp, s.input({0.5}, 12), res, 0.5, 0);
    EXPECT_EQ(slot(res, 0), 0.5 * (2.0 - 0.5 * 0.5));
    approxSqrtInverseNewton(s.eval, s.btp, s.input({1.0, 0.5}, 12), res, 1.0, 0);
    EXPECT_NEAR(slot(res, 0), 1.0, 1e-15);
    EXPECT_NEAR(slot(res, 1), 1.5 - 0.5 * 0.5, 1e-15);
}

TEST(InverseTest, SqrtInverseNewtonScalesItsInputByTheRangeOfItsStartValue) {
    struct Row {
        double range;
        u64 level;
        std::string message;
        u64 extended = 0;
        u64 constants = 0;
    };
    const std::vector<Row> rows = {
        {2097152.0, 4, "[approxSqrtInverseNewton] The input ciphertext level >= 5 is needed for such large range"},
        // 2/init^2 - 1 comes out just below 2^20: an ordinary bootstrap.
        {1048576.0, 4, "<no exception>", 0, 4},
        {2097152.0, 5, "<no exception>", 1, 4},
        // init^2 below 1e-8 is applied as two factors init.
        {3e8, 12, "<no exception>", 1, 5},
    };
    for (const Row& row : rows) {
        MathSetup s(ParameterPreset::FX);
        const double init = sqrtStart(row.range);
        const Ciphertext op = s.input({1.0, row.range}, row.level);
        Ciphertext res(s.context);
        const Refusal r = refusal(s.context, [&] { approxSqrtInverseNewton(s.eval, s.btp, op, res, init, 1); });
        EXPECT_EQ(r.message, row.message) << row.range;
        if (row.message != "<no exception>") {
            EXPECT_TRUE(r.history.empty());
            continue;
        }
        EXPECT_EQ(r.history.count("Bootstrap extended") ? r.history.at("Bootstrap extended") : 0, row.extended);
        EXPECT_EQ(r.history.at("ctxt * cnst"), row.constants) << row.range;
        // One step from the constant start value: init (1.5 - 0.5 x init^2).
        for (u64 i = 0; i < 2; ++i) {
            const double x = i == 0 ? 1.0 : row.range;
            EXPECT_NEAR(slot(res, i), init * (1.5 - 0.5 * x * init * init), 1e-12 * init) << x;
        }
    }
    // A start value above 1 makes for a range below 1: the smallest scaling exponent, 2.
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    approxSqrtInverseNewton(s.eval, s.btp, s.input({0.5}, 12), res, 1.2, 1);
    EXPECT_NEAR(slot(res, 0), 1.2 * (1.5 - 0.5 * 0.5 * 1.44), 1e-14);
}

TEST(InverseTest, ChecksRefuseBeforeAnyOperation) {
    MathSetup s(ParameterPreset::FX);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        u64 level;
        u64 logSlots;
        Call call;
        std::string message;
    };
    const std::vector<Row> rows = {
        {12, 3, inverseGreater(8.0, 1e-10),
         "[approxInverseForGreaterThanOne] bootstraper not ready for 3 slot bootstrapping."},
        {3, 5, inverseGreater(8.0, 1e-10), "[approxInverseForGreaterThanOne] Input level >= 4 is needed."},
        {12, 5, inverseGreater(1099511627777.0, 1e-10),
         "[approxInverseForGreaterThanOne] right_end must be <= 1099511627776.000000."},
        {12, 5, inverseGreater(nan, 1e-10), "[approxInverseForGreaterThanOne] right_end must be finite"},
        {12, 5, inverseGreater(-inf, 1e-10), "[approxInverseForGreaterThanOne] right_end must be finite"},
        {12, 5, inverseGreater(8.0, nan), "[approxInverseForGreaterThanOne] error must be finite"},
        // Above 2^20 below the full level the scaled extended bootstrap needs one level more.
        {4, 5, inverseGreater(kTwoTo30, 1e-10),
         "[approxInverseForGreaterThanOne] Input Ciphertext level is not enough."},
        {2, 5, inverseLess(0.5, 1e-10), "[approxInverseForLessThanOne] Input level >= 3 is needed."},
        {12, 5, inverseLess(4.7e-7, 1e-10), "[approxInverseForLessThanOne] left_end must be >= 0.000001."},
        {12, 5, inverseLess(nan, 1e-10), "[approxInverseForLessThanOne] left_end must be finite"},
        {12, 5, inverseLess(inf, 1e-10), "[approxInverseForLessThanOne] left_end must be finite"},
        {12, 5, inverseLess(0.5, -inf), "[approxInverseForLessThanOne] error must be finite"},
        {3, 5, sqrtInverseGreater(8.0, 1e-10), "[approxSqrtInverseForGreaterThanOne] Input level >= 4 is needed."},
        {12, 5, sqrtInverseGreater(inf, 1e-10),
         "[approxSqrtInverseForGreaterThanOne] right_end must be <= 1099511627776.000000."},
        {12, 5, sqrtInverseGreater(nan, 1e-10), "[approxSqrtInverseForGreaterThanOne] right_end must be finite"},
        {12, 5, sqrtInverseGreater(8.0, inf), "[approxSqrtInverseForGreaterThanOne] error must be finite"},
        {12, 3, sqrtInverseLess(0.5, 1e-10),
         "[approxSqrtInverseForLessThanOne] bootstraper not ready for 3 slot bootstrapping."},
        {12, 5, sqrtInverseLess(1e-7, 1e-10), "[approxSqrtInverseForLessThanOne] left_end must be >= 0.000001."},
        {12, 5, sqrtInverseLess(nan, 1e-10), "[approxSqrtInverseForLessThanOne] left_end must be finite"},
        {12, 5, sqrtInverseNewton(nan, 3), "[approxSqrtInverseNewton] init must be finite"},
        // A start value of 0 would scale by 2 to an infinite power.
        {12, 5, sqrtInverseNewton(0.0, 3), "[approxSqrtInverseNewton] 2/init^2 - 1 must be below 2^84"},
        {12, 5, sqrtInverseNewton(1e-13, 3), "[approxSqrtInverseNewton] 2/init^2 - 1 must be below 2^84"},
        {4, 5, sqrtInverseNewton(0.0, 3),
         "[approxSqrtInverseNewton] The input ciphertext level >= 5 is needed for such large range"},
        {2, 5, squareRoot(3), "[approxSqrt] Input level >= 3 is needed."},
        {12, 3, squareRoot(3), "[approxSqrt] bootstraper not ready for 3 slot bootstrapping."},
    };
    for (const Row& row : rows) {
        Ciphertext op = s.input({0.5}, row.level);
        op.setLogSlots(row.logSlots);
        Ciphertext res(s.context);
        const Refusal r = refusal(s.context, [&] { row.call(s, op, res); });
        EXPECT_EQ(r.message, row.message);
        EXPECT_TRUE(r.history.empty()) << row.message;
    }
}

// A call that fails part way leaves its output as it was, also when the output is the operand: it computes in
// ciphertexts of its own and writes the output once complete.
TEST(InverseTest, FailedCallsLeaveTheirOutputAsItWas) {
    const std::vector<mathtest::FailingCall> calls = {
        // The pair bootstrap of the fourth round fails.
        {"sqrt apart", [](auto& e, auto& b, auto& x, auto&, auto& r) { approxSqrt(e, b, x, r, 17); },
         "[bootstrap] no conjugation key"},
        {"sqrt in place", [](auto& e, auto& b, auto& x, auto&, auto&) { approxSqrt(e, b, x, x, 17); },
         "[bootstrap] no conjugation key"},
        // The iteration needs no bootstrap; the doubling of its real part by the even factor 4 fails.
        {"inverse below one apart",
         [](auto& e, auto& b, auto& x, auto&, auto& r) { approxInverseForLessThanOne(e, b, x, r, 0.25, 0.1); },
         "[Conjugate] no conjugation key"},
        {"inverse below one in place",
         [](auto& e, auto& b, auto& x, auto&, auto&) { approxInverseForLessThanOne(e, b, x, x, 0.25, 0.1); },
         "[Conjugate] no conjugation key"},
    };
    MathSetup s(ParameterPreset::FX);
    mathtest::expectFailuresLeaveCiphertexts(s, calls, {0.5, 0.75, 0.3}, {0.25}, 12);
}

} // namespace
