#include "tests/math/ApproxTestSupport.hpp"

#include "morvane/math/LogExp.hpp"

#include <cmath>
#include <limits>

namespace {

using namespace approxtest;
using namespace Morvane::Math;

constexpr double kTwoTo18 = 262144.0;
constexpr double kTwoTo22 = 4194304.0;
constexpr double kTwoToMinus20 = 9.5367431640625e-07;
constexpr double kK = 1048576.0;

using Call = std::function<void(const MathSetup&, const Ciphertext&, Ciphertext&)>;

Call root(double right_end, double error) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approx8thRootInverse(s.eval, s.btp, op, res, right_end, error);
    };
}
Call logE(u64 log_range, double multiplier, bool greater_than_one = true) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        if (greater_than_one)
            approxLogEForGreaterThanOne(s.eval, s.btp, op, res, log_range, multiplier);
        else
            approxLogEForLessThanOne(s.eval, s.btp, op, res, log_range, multiplier);
    };
}
Call logBase(double base, u64 log_range, bool greater_than_one = true) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        if (greater_than_one)
            approxLogForGreaterThanOne(s.eval, s.btp, op, res, base, log_range);
        else
            approxLogForLessThanOne(s.eval, s.btp, op, res, base, log_range);
    };
}
Call exponential(double multiplier) {
    return [=](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxExponentialLessThanZero(s.eval, s.btp, op, res, multiplier);
    };
}

// What the natural logarithm of log_range 18 records on FX from level 12: 17 root steps with eight bootstraps,
// the transform onto [-1, 1], a bootstrap and the 32-coefficient expansion, whose last four terms are negligible
// after the multiplier -8.
History logHistory(const History& extra) {
    History h{{"ctxt * ctxt", 93}, {"ctxt * cnst", 42}, {"ctxt * int", 9},
              {"ctxt + cnst", 13}, {"ctxt + ctxt", 42}, {"Bootstrap", 9}};
    for (const auto& [label, count] : extra)
        h[label] += count;
    return h;
}

class LogExpAccounting : public ::testing::TestWithParam<AccountingCase> {};

TEST_P(LogExpAccounting, RecordsItsOperationsLevelsAndBootstraps) { expectAccounting(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Calls, LogExpAccounting,
    ::testing::Values(
        AccountingCase{"LogEDefault", ParameterPreset::FX, 12, {1.0, 3.0, 1000.0, kTwoTo18}, logE(18, 1.0),
                       logHistory({}), 7, {9}},
        // From FVa's encryption level 29 the root first runs six steps without a bootstrap; full is 16 there.
        AccountingCase{"LogEFVa", ParameterPreset::FVa, 29, {1.0, 3.0, 1000.0, kTwoTo18}, logE(18, 1.0),
                       {{"ctxt * ctxt", 93}, {"ctxt * cnst", 42}, {"ctxt * int", 9}, {"ctxt + cnst", 13},
                        {"ctxt + ctxt", 42}, {"Bootstrap", 4}},
                       6, {4}},
        // x 2^18 by an integer constant, the form above one, then 18 ln 2 subtracted.
        AccountingCase{"LogELessThanOne", ParameterPreset::FX, 12, {1.0 / kTwoTo18, 0.5, 1.0}, logE(18, 1.0, false),
                       logHistory({{"ctxt * int", 1}, {"ctxt + cnst", 1}}), 7, {9}},
        AccountingCase{"LogELessThanOneLowInput", ParameterPreset::FX, 4, {0.5}, logE(18, 1.0, false),
                       logHistory({{"ctxt * int", 1}, {"ctxt + cnst", 1}, {"Bootstrap", 1}}), 7, {10}},
        // Four steps; the second bootstraps.
        AccountingCase{"RootRightEnd1", ParameterPreset::FX, 12, {1.0}, root(1.0, kTwoToMinus20),
                       {{"ctxt * cnst", 5},
                        {"ctxt + cnst", 1},
                        {"ctxt * ctxt", 15},
                        {"ctxt + ctxt", 3},
                        {"Bootstrap", 1}},
                       4, {1}},
        // Below the full level with a range above 2^20: scaled by 2^20 / 2^22 for the extended bootstrap, then by
        // -0.5; 20 steps with nine bootstraps.
        AccountingCase{"RootRightEnd2To22BelowFull", ParameterPreset::FX, 6, {1.0, kTwoTo22},
                       root(kTwoTo22, kTwoToMinus20),
                       {{"ctxt * cnst", 22}, {"ctxt + cnst", 1}, {"ctxt * ctxt", 95}, {"ctxt + ctxt", 19},
                        {"Bootstrap", 9}, {"Bootstrap extended", 1}},
                       4, {9, 0, 1}},
        // Twenty squarings; from the third on every other one first bootstraps the pair (x, z) at once.
        AccountingCase{"Exponential", ParameterPreset::FX, 12, {0.0, -0.5, -3.0}, exponential(1.0),
                       {{"ctxt * ctxt", 39}, {"ctxt * cnst", 40}, {"ctxt * int", 20}, {"ctxt + ctxt", 48},
                        {"ctxt + cnst", 1}, {"Conjugate", 18}, {"ctxt * cnst W/R", 18}, {"Rescale", 18},
                        {"ctxt * imag", 9}, {"Bootstrap extended", 9}},
                       5, {0, 0, 0, 9}},
        AccountingCase{"ExponentialFVa", ParameterPreset::FVa, 29, {0.0, -0.5, -3.0}, exponential(1.0),
                       {{"ctxt * ctxt", 39}, {"ctxt * cnst", 40}, {"ctxt * int", 20}, {"ctxt + ctxt", 43},
                        {"ctxt + cnst", 1}, {"Conjugate", 8}, {"ctxt * cnst W/R", 8}, {"Rescale", 8},
                        {"ctxt * imag", 4}, {"Bootstrap extended", 4}},
                       6, {0, 0, 0, 4}}),
    caseName);

// Newton steps of the root: one addition of the two products per step after the first.
u64 rootSteps(const MathSetup& s, u64 level, double right_end, double error) {
    Ciphertext res(s.context);
    const Ciphertext op = s.input({1.0}, level);
    const History h = mathtest::measure(s.context, [&] { root(right_end, error)(s, op, res); }).history;
    return 1 + (h.count("ctxt + ctxt") ? h.at("ctxt + ctxt") : 0);
}

// The worked counts, and bounds the recurrence cannot reach, which used to loop forever.
TEST(LogExpTest, RootIterationCountsFollowTheErrorBoundAndAlwaysEnd) {
    MathSetup s(ParameterPreset::FX);
    EXPECT_EQ(rootSteps(s, 12, 1.0, kTwoToMinus20), 4u);
    EXPECT_EQ(rootSteps(s, 12, kTwoTo18, kTwoToMinus20), 17u);
    EXPECT_EQ(rootSteps(s, 12, kTwoTo22, kTwoToMinus20), 20u);
    for (const double error : {0.0, -1.0, 1e-300})
        EXPECT_GE(rootSteps(s, 12, kTwoTo18, error), 17u) << error;
    // Right end 0: the start value 1 is exact at x = 1 and no step is counted; the first is made all the same.
    Ciphertext res(s.context);
    approx8thRootInverse(s.eval, s.btp, s.input({1.0, 0.5}, 12), res, 0.0, kTwoToMinus20);
    EXPECT_EQ(slot(res, 0), 1.0);
    EXPECT_EQ(slot(res, 1), 1.125 - 0.125 * 0.5);
}

struct ValueCase {
    std::string name;
    u64 level;
    std::vector<double> xs;
    Call call;
    std::function<double(double)> expected;
    double tolerance;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class LogExpValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(LogExpValues, StayWithinTheAccuracyOfTheirApproximation) {
    const ValueCase& c = GetParam();
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    c.call(s, s.input(c.xs, c.level), res);
    for (u64 i = 0; i < c.xs.size(); ++i)
        EXPECT_NEAR(slot(res, i), c.expected(c.xs[i]), c.tolerance) << "x = " << c.xs[i];
}

// The root within the bound its step count was derived from; the logarithms carry the record's 5e-9 times the
// multiplier 8; the exponential is (1 + x/2^20)^(2^20), within rounding of that power.
INSTANTIATE_TEST_SUITE_P(
    Calls, LogExpValues,
    ::testing::Values(
        ValueCase{"Root", 12, {1.0, 2.0, 1000.0, kTwoTo18}, root(kTwoTo18, kTwoToMinus20),
                  [](double x) { return std::pow(x, -0.125); }, kTwoToMinus20},
        ValueCase{"LogE", 12, {1.0, 3.0, 1000.0, kTwoTo18}, logE(18, 1.0), [](double x) { return std::log(x); }, 5e-8},
        ValueCase{"LogEMultiplier", 12, {3.0, 1000.0}, logE(18, -2.0), [](double x) { return -2.0 * std::log(x); },
                  1e-7},
        ValueCase{"LogELessThanOne", 12, {1.0 / kTwoTo18, 0.001, 0.5, 1.0}, logE(18, 1.0, false),
                  [](double x) { return std::log(x); }, 5e-8},
        ValueCase{"LogBase3", 12, {1.0, 9.0, 81.0}, logBase(3.0, 18),
                  [](double x) { return std::log(x) / std::log(3.0); }, 5e-8},
        ValueCase{"LogBase10LessThanOne", 12, {0.001, 0.1}, logBase(10.0, 10, false),
                  [](double x) { return std::log10(x); }, 3e-8},
        ValueCase{"Exponential", 12, {0.0, -0.5, -3.0, -10.0}, exponential(1.0),
                  [](double x) { return std::pow(1.0 + x / kK, kK); }, 1e-11},
        ValueCase{"ExponentialMultiplier", 12, {0.0, -1.0}, exponential(2.5),
                  [](double x) { return 2.5 * std::pow(1.0 + x / kK, kK); }, 1e-11}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

// The base-2 and base-10 forms and a base of 2 or 10 pass the same multiplier: identical slots and history.
TEST(LogExpTest, FixedBasesAreTheNaturalLogarithmWithTheirMultiplier) {
    using Form = void (*)(const HomEvaluator&, const Bootstrapper&, const Ciphertext&, Ciphertext&, u64);
    struct Row {
        Form fixed;
        double base;
        bool greater_than_one;
    };
    const std::vector<Row> rows = {{approxLog2ForGreaterThanOne, 2.0, true},
                                   {approxLog10ForGreaterThanOne, 10.0, true},
                                   {approxLog2ForLessThanOne, 2.0, false},
                                   {approxLog10ForLessThanOne, 10.0, false}};
    for (const Row& row : rows) {
        MathSetup s(ParameterPreset::FX);
        const std::vector<double> xs =
            row.greater_than_one ? std::vector<double>{1.0, 8.0, 100.0} : std::vector<double>{0.125, 0.01, 1.0};
        const Ciphertext op = s.input(xs, 12);
        Ciphertext fixed(s.context);
        Ciphertext any(s.context);
        const Effect a = mathtest::measure(s.context, [&] { row.fixed(s.eval, s.btp, op, fixed, 10); });
        const Effect b = mathtest::measure(s.context, [&] { logBase(row.base, 10, row.greater_than_one)(s, op, any); });
        EXPECT_EQ(fixed.message().slots(), any.message().slots()) << row.base;
        EXPECT_EQ(a.history, b.history) << row.base;
        for (u64 i = 0; i < xs.size(); ++i)
            EXPECT_NEAR(slot(fixed, i), std::log(xs[i]) / std::log(row.base), 1e-7) << xs[i];
    }
}

TEST(LogExpTest, ExponentialQueriesTheScaleFactorOncePerCall) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    const Ciphertext op = s.input({0.0}, 12);
    const bool before = RuntimeAlert::alert_switch;
    for (const bool on : {true, false}) {
        RuntimeAlert::alert_switch = on;
        ::testing::internal::CaptureStdout();
        approxExponentialLessThanZero(s.eval, s.btp, op, res, 1.0);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, on ? "[Ciphertext::getCurrentScaleFactor] Always return 1.0 in Morvane-simulator\n" : "");
    }
    RuntimeAlert::alert_switch = before;
    EXPECT_EQ(slot(res, 0), 1.0);
}

TEST(LogExpTest, ChecksRefuseBeforeAnyOperation) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Call log2Greater = [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxLog2ForGreaterThanOne(s.eval, s.btp, op, res, 23);
    };
    const Call log10Less = [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxLog10ForLessThanOne(s.eval, s.btp, op, res, 10);
    };
    struct Row {
        u64 level;
        u64 logSlots;
        Call call;
        std::string message;
        History history; // what ran before the refusal
    };
    const std::string rangeMessage = "[approxLogEForGreaterThanOne] log_range must be <= 22.";
    const std::vector<Row> rows = {
        {12, 5, logE(23, 1.0), rangeMessage, {}},
        {12, 3, logE(10, 1.0), "[approxLogEForGreaterThanOne] bootstraper not ready for 3 slot bootstrapping.", {}},
        {3, 5, logE(10, 1.0), "[approxLogEForGreaterThanOne] Input level >= 4 is needed.", {}},
        // The siblings pass the range on; its check bears the natural logarithm's name.
        {12, 5, log2Greater, rangeMessage, {}},
        {3, 5, log2Greater, "[approxLog2ForGreaterThanOne] Input level >= 4 is needed.", {}},
        {2, 5, log10Less, "[approxLog10ForLessThanOne] Input level >= 3 is needed.", {}},
        // The form below one scales first (bootstrapping a low input) and meets the range check after.
        {12, 5, logE(23, 1.0, false), rangeMessage, {{"ctxt * int", 1}}},
        {4, 5, logE(23, 1.0, false), rangeMessage, {{"Bootstrap", 1}, {"ctxt * int", 1}}},
        {12, 5, logBase(0.0, 10), "[approxLogForGreaterThanOne] The base must be greater than zero", {}},
        {12, 5, logBase(-2.0, 10, false), "[approxLogForLessThanOne] The base must be greater than zero", {}},
        {12, 5, logBase(nan, 10), "[approxLogForGreaterThanOne] The base must be greater than zero", {}},
        {3, 5, logBase(0.0, 10), "[approxLogForGreaterThanOne] Input level >= 4 is needed.", {}},
        // ln 1 = 0 would make the multiplier infinite.
        {12, 5, logBase(1.0, 10), "[approxLogForGreaterThanOne] The base must not be one", {}},
        {12, 5, logBase(1.0, 10, false), "[approxLogForLessThanOne] The base must not be one", {}},
        {3, 5, exponential(1.0), "[approxExponentialLessThanZero] Input level >= 4 is needed.", {}},
        {12, 3, exponential(1.0), "[approxExponentialLessThanZero] bootstraper not ready for 3 slot bootstrapping.",
         {}},
        // Below the full level a range above 2^20 is scaled into the extended bootstrap's range first: 2^-20 needs
        // a level of 5, 2^-30 (2^-4 times 2^-26) one of 6.
        {4, 5, root(1099511627776.0, kTwoToMinus20), "[approx8thRootInverse] Input Ciphertext level is not enough.",
         {}},
        {5, 5, root(1125899906842624.0, kTwoToMinus20), "[approx8thRootInverse] Input Ciphertext level is not enough.",
         {}},
        {12, 5, root(inf, kTwoToMinus20), "[approx8thRootInverse] right_end must be finite", {}},
        {12, 5, root(nan, kTwoToMinus20), "[approx8thRootInverse] right_end must be finite", {}},
        {12, 5, root(kTwoTo18, nan), "[approx8thRootInverse] error must be finite", {}},
        {6, 5, root(inf, kTwoToMinus20), "[approx8thRootInverse] right_end must be finite", {}},
    };
    for (const Row& row : rows) {
        MathSetup s(ParameterPreset::FX);
        Ciphertext op = s.input({2.0}, row.level);
        op.setLogSlots(row.logSlots);
        Ciphertext res(s.context);
        const Refusal r = refusal(s.context, [&] { row.call(s, op, res); });
        EXPECT_EQ(r.message, row.message);
        EXPECT_EQ(r.history, row.history) << row.message;
    }
    // log_range 22 is the largest admitted; 2^-30 is admitted from level 6.
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    EXPECT_EQ(thrownMessage([&] { logE(22, 1.0)(s, s.input({2.0}, 12), res); }), "<no exception>");
    EXPECT_EQ(thrownMessage([&] { root(1125899906842624.0, kTwoToMinus20)(s, s.input({2.0}, 6), res); }),
              "<no exception>");
}

} // namespace
