#include "tests/math/ApproxTestSupport.hpp"

#include "morvane/math/Chebyshev.hpp"
#include "morvane/math/Sigmoid.hpp"

#include <cmath>
#include <limits>

namespace {

using namespace approxtest;
using Morvane::Math::approxReLU;
using Morvane::Math::approxSigmoid;
using Morvane::Math::approxSigmoidWide;
using Morvane::Math::miniMaxSigmoid;
using Morvane::Math::tools::ChebyshevCoefficients;

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

// The minimax record as miniMaxSigmoid builds it.
const ChebyshevCoefficients& miniMaxRecord() {
    static const ChebyshevCoefficients record{{
#include "morvane/math/tables/MiniMaxSigmoidCoefficients.inc"
                                              },
                                              16, 16, 4, 4, 8, 1};
    return record;
}

// What one 32-coefficient sigmoid expansion records after its transform: its even terms are negligible.
History sigmoidExpansion(u64 bootstraps) {
    History h{{"ctxt * ctxt", 13}, {"ctxt * int", 8}, {"ctxt * cnst", 17}, {"ctxt + cnst", 11}, {"ctxt + ctxt", 18}};
    if (bootstraps != 0)
        h["Bootstrap"] = bootstraps;
    return h;
}

// The 256-coefficient expansion: 32 products, 128 odd terms, the scaling by 1/48 and `extra` on top.
History miniMaxExpansion(const History& extra) {
    History h{{"ctxt * ctxt", 32}, {"ctxt * int", 14}, {"ctxt * cnst", 128}, {"ctxt + cnst", 26}, {"ctxt + ctxt", 134}};
    for (const auto& [label, count] : extra)
        h[label] += count;
    return h;
}

class SigmoidAccounting : public ::testing::TestWithParam<AccountingCase> {};

TEST_P(SigmoidAccounting, RecordsItsOperationsLevelsAndBootstraps) { expectAccounting(GetParam()); }

const auto sigmoidWith = [](double range) {
    return [range](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxSigmoid(s.eval, s.btp, op, res, range);
    };
};
const auto sigmoidWideWith = [](double domain_range) {
    return [domain_range](const MathSetup& s, const Ciphertext& op, Ciphertext& res) {
        approxSigmoidWide(s.eval, s.btp, op, res, domain_range);
    };
};
const auto relu = [](const MathSetup& s, const Ciphertext& op, Ciphertext& res) { approxReLU(s.eval, s.btp, op, res); };

INSTANTIATE_TEST_SUITE_P(
    Calls, SigmoidAccounting,
    ::testing::Values(
        AccountingCase{"SigmoidRange8", ParameterPreset::FX, 12, {4.0, -1.5}, sigmoidWith(8.0), sigmoidExpansion(0), 6,
                       {}},
        AccountingCase{"SigmoidRange16", ParameterPreset::FX, 12, {12.0}, sigmoidWith(16.0), sigmoidExpansion(0), 6,
                       {}},
        // The transform leaves level 5, below 5 + 3.
        AccountingCase{"SigmoidLowInput", ParameterPreset::FX, 6, {4.0}, sigmoidWith(8.0), sigmoidExpansion(1), 7,
                       {1}},
        AccountingCase{"SigmoidFVa", ParameterPreset::FVa, 29, {4.0}, sigmoidWith(8.0), sigmoidExpansion(0), 23, {}},
        // Up to 48 no domain extension: 1/48, then the minimax expansion from level 11.
        AccountingCase{"WideRange48", ParameterPreset::FX, 12, {30.0}, sigmoidWideWith(48.0),
                       miniMaxExpansion({{"ctxt * cnst", 1}}), 3, {}},
        // k = 1: one shrinking step, the degree-7 inverse, a bootstrap before the expansion.
        AccountingCase{"WideRange96", ParameterPreset::FX, 12, {60.0}, sigmoidWideWith(96.0),
                       miniMaxExpansion({{"ctxt * ctxt", 6},
                                         {"ctxt * cnst", 3},
                                         {"ctxt * cnst W/R", 1},
                                         {"Rescale", 1},
                                         {"ctxt + ctxt", 4},
                                         {"ctxt + cnst", 1},
                                         {"Negate ctxt", 1},
                                         {"Bootstrap", 1}}),
                       4, {1}},
        // The default of the binding, 48 * 2^10: ten steps with two refreshes, a bootstrap before the inverse and
        // one before the expansion.
        AccountingCase{"WideRange49152", ParameterPreset::FX, 12, {30000.0}, sigmoidWideWith(49152.0),
                       miniMaxExpansion({{"ctxt * ctxt", 24},
                                         {"ctxt * cnst", 3},
                                         {"ctxt * cnst W/R", 12},
                                         {"Rescale", 12},
                                         {"ctxt + ctxt", 24},
                                         {"ctxt + cnst", 1},
                                         {"ctxt * int", 2},
                                         {"Conjugate", 2},
                                         {"Negate ctxt", 1},
                                         {"Bootstrap", 4}}),
                       4, {4}},
        AccountingCase{"ReLU", ParameterPreset::FX, 12, {0.5}, relu,
                       {{"ctxt * ctxt", 5},
                        {"ctxt * cnst", 2},
                        {"ctxt * int", 3},
                        {"ctxt + cnst", 4},
                        {"ctxt + ctxt", 4}},
                       8, {}},
        AccountingCase{"ReLULowInput", ParameterPreset::FX, 6, {0.5}, relu,
                       {{"ctxt * ctxt", 5},
                        {"ctxt * cnst", 2},
                        {"ctxt * int", 3},
                        {"ctxt + cnst", 4},
                        {"ctxt + ctxt", 4},
                        {"Bootstrap", 1}},
                       8, {1}}),
    caseName);

// Each record within the accuracy it was made for; a range above 8 switches to the interval [-16, 16].
TEST(SigmoidTest, SigmoidMeetsTheAccuracyOfItsRecord) {
    struct Row {
        double range;
        double span;
        double accuracy;
    };
    for (const Row& row : {Row{8.0, 8.0, 2e-6}, Row{16.0, 16.0, 7.3e-4}, Row{8.5, 16.0, 7.3e-4}}) {
        MathSetup s(ParameterPreset::FX);
        const std::vector<double> xs = grid(-row.span, row.span, 32);
        Ciphertext res(s.context);
        approxSigmoid(s.eval, s.btp, s.input(xs, 12), res, row.range);
        EXPECT_LE(mathtest::maxError(res, mathtest::mapped(xs, sigmoid)), row.accuracy) << "range " << row.range;
    }
    // Range 8 maps 12 outside [-1, 1], where the expansion is no sigmoid at all.
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    approxSigmoid(s.eval, s.btp, s.input({12.0}, 12), res, 8.0);
    EXPECT_GT(std::fabs(slot(res, 0) - sigmoid(12.0)), 0.01);
}

TEST(SigmoidTest, SigmoidRunsWithoutABootstrapperFromLevelNine) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext op = s.input({4.0}, 9);
    op.setLogSlots(3);
    Ciphertext res(s.context);
    approxSigmoid(s.eval, s.btp, op, res, 8.0);
    EXPECT_EQ(res.getLevel(), 3u);
    // From level 6 the transform leaves level 5 and the refresh fails in the bootstrapper.
    op.setLevel(6);
    const Refusal r = refusal(s.context, [&] { approxSigmoid(s.eval, s.btp, op, res, 8.0); });
    EXPECT_EQ(r.message, "Bootstrapping constants for log slots 3 do not exist.");
    EXPECT_EQ(r.history, (History{{"ctxt * cnst", 1}}));
}

TEST(SigmoidTest, ChecksRefuseBeforeAnyOperation) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    const auto sig = [&](u64 level, u64 log_slots, double range) {
        Ciphertext op = s.input({1.0}, level);
        op.setLogSlots(log_slots);
        return refusal(s.context, [&] { approxSigmoid(s.eval, s.btp, op, res, range); });
    };
    const auto wide = [&](u64 level, u64 log_slots, double domain_range) {
        Ciphertext op = s.input({1.0}, level);
        op.setLogSlots(log_slots);
        return refusal(s.context, [&] { approxSigmoidWide(s.eval, s.btp, op, res, domain_range); });
    };
    const auto rel = [&](u64 level, u64 log_slots) {
        Ciphertext op = s.input({1.0}, level);
        op.setLogSlots(log_slots);
        return refusal(s.context, [&] { approxReLU(s.eval, s.btp, op, res); });
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<Refusal, std::string>> rows = {
        {sig(12, 5, 16.5), "[approxSigmoid] right_end must be <= 16.000000."},
        {sig(3, 5, 8.0), "[approxSigmoid] Input level >= 4 is needed."},
        {sig(5, 3, 8.0), "[approxSigmoid] Input level >= 6 is needed."},
        {sig(3, 3, 16.5), "[approxSigmoid] Input level >= 6 is needed."},
        {wide(12, 3, 48.0), "[approxSigmoidWide] bootstraper not ready for 3 slot bootstrapping."},
        {wide(4, 5, 48.0), "[approxSigmoidWide] Input level >= 5 is needed."},
        {wide(12, 5, 52776558133249.0), "[approxSigmoidWide] right_end must be <= 52776558133248.000000."},
        {wide(12, 5, inf), "[approxSigmoidWide] right_end must be <= 52776558133248.000000."},
        // A NaN (or -inf) passes the ordered check but would reach the integer conversion of the step count.
        {wide(12, 5, nan), "[approxSigmoidWide] domain_range must be finite"},
        {wide(12, 5, -inf), "[approxSigmoidWide] domain_range must be finite"},
        {rel(2, 5), "[approxReLU] Input level >= 3 is needed."},
        {rel(3, 3), "[approxReLU] Input level >= 4 is needed."},
    };
    for (const auto& [r, message] : rows) {
        EXPECT_EQ(r.message, message);
        EXPECT_TRUE(r.history.empty()) << message;
    }
}

TEST(SigmoidTest, WideSigmoidKeepsTheMiddleAndSaturatesOutside) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    // Up to 48 it is the minimax sigmoid of x/48.
    const std::vector<double> xs = grid(-48.0, 48.0, 32);
    approxSigmoidWide(s.eval, s.btp, s.input(xs, 12), res, 48.0);
    EXPECT_LE(mathtest::maxError(res, mathtest::mapped(xs, sigmoid)), 2e-8);
    // Shrunk values keep their sign and the middle stays put.
    const std::vector<double> wide = {0.0, 2.0, -2.0, 1000.0, -1000.0, 40000.0, -40000.0};
    approxSigmoidWide(s.eval, s.btp, s.input(wide, 12), res, 49152.0);
    EXPECT_NEAR(slot(res, 0), 0.5, 1e-8);
    EXPECT_NEAR(slot(res, 1), sigmoid(2.0), 1e-3);
    EXPECT_NEAR(slot(res, 2), sigmoid(-2.0), 1e-3);
    for (u64 i = 3; i < wide.size(); ++i)
        EXPECT_NEAR(slot(res, i), wide[i] > 0 ? 1.0 : 0.0, 1e-7) << wide[i];
}

// The listed entries of the minimax record, its shape, and the largest error of its expansion over 65536 points of
// [-1, 1], evaluated as miniMaxSigmoid evaluates it.
TEST(SigmoidTest, MiniMaxRecordHoldsItsListedValuesAndItsMaximumError) {
    const std::vector<double>& c = miniMaxRecord().coefficients;
    ASSERT_EQ(c.size(), 256u);
    const std::vector<std::pair<u64, std::vector<double>>> listed = {
        {0,
         {0.65994119715, -0.23507738092, 0.15023038074, -0.11441744318, 0.095366496797, -0.084350625429,
          0.078110586683, -0.075259351685}},
        {1,
         {0.070070779801, -0.062069468106, 0.055863029192, -0.051080429571, 0.047477986738, -0.044894165459,
          0.043223871948, -0.042403676501}},
        {15,
         {1.899167481e-07, -1.6664868301e-07, 1.4619782073e-07, -1.2828931194e-07, 1.1254286386e-07,
          -9.8761546119e-08, 8.6634216965e-08, -3.3025102523e-07}},
    };
    for (const auto& [block, values] : listed)
        for (u64 j = 0; j < values.size(); ++j)
            EXPECT_NEAR(c[16 * block + 2 * j + 1], values[j], 1e-11) << "block " << block << ", T_" << 2 * j + 1;
    EXPECT_EQ(c[0], 0.5);
    for (u64 i = 0; i < 256; ++i) {
        const u64 j = i % 16;
        if (j % 2 == 0 && i != 0) {
            EXPECT_LT(std::fabs(c[i]), 3e-16) << i;
        } else if (j % 2 == 1) {
            EXPECT_EQ(c[i] > 0, j % 4 == 1) << i;
            EXPECT_GT(std::fabs(c[i]), 8e-8) << i;
            EXPECT_LT(std::fabs(c[i]), 0.66) << i;
        }
    }

    MathSetup s(ParameterPreset::FVa);
    const std::vector<double> ts = grid(-1.0, 1.0, s.fullSlots());
    const Ciphertext op = s.input(ts, 29);
    const Ciphertext res = Math::tools::evaluateChebyshevExpansion(s.eval, s.btp, op, miniMaxRecord(), 1.0);
    const double error = mathtest::maxError(res, mathtest::mapped(ts, [](double t) { return sigmoid(48.0 * t); }));
    EXPECT_LT(error, 2e-8);
    EXPECT_GT(error, 1.5e-8);
    EXPECT_EQ(res.getLevel(), 21u);

    // miniMaxSigmoid evaluates this very record.
    Ciphertext same(s.context);
    miniMaxSigmoid(s.eval, s.btp, op, same);
    EXPECT_EQ(same.message().slots(), res.message().slots());
}

TEST(SigmoidTest, MiniMaxSigmoidBootstrapsBelowItsLevelCost) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    const Effect low =
        mathtest::measure(s.context, [&] { miniMaxSigmoid(s.eval, s.btp, s.input({0.0, 1.0}, 10), res); });
    EXPECT_EQ(low.history.at("Bootstrap"), 1u);
    EXPECT_EQ(res.getLevel(), 4u);
    EXPECT_NEAR(slot(res, 0), 0.5, 1e-15);
    EXPECT_NEAR(slot(res, 1), 1.0, 2e-8);
    const Effect high = mathtest::measure(s.context, [&] { miniMaxSigmoid(s.eval, s.btp, s.input({0.0}, 11), res); });
    EXPECT_EQ(high.history.count("Bootstrap"), 0u);
    EXPECT_EQ(res.getLevel(), 3u);
}

TEST(SigmoidTest, ReLUIsItsPolynomial) {
    MathSetup s(ParameterPreset::FX);
    Ciphertext res(s.context);
    approxReLU(s.eval, s.btp, s.input({0.0, 1.0, -1.0, 0.5}, 12), res);
    EXPECT_EQ(slot(res, 0), 0.0173448638);
    EXPECT_NEAR(slot(res, 1), 0.9826551338, 1e-12);
    EXPECT_NEAR(slot(res, 2), -0.0173448662, 1e-12);
    // ((a4 / 16 + a3 / 4 + a2) / 16 + a1 / 4 + a0 / 2 + c0, the e-terms below 1e-14.
    EXPECT_NEAR(slot(res, 3),
                (-3.11779341 / 16 + 6.85988028 / 4 - 5.18168132) / 16 + 1.90490472 / 4 + 0.25 + 0.0173448638, 1e-13);
    // Without a bootstrapper for the slots it runs down to level 0.
    Ciphertext op = s.input({0.5}, 4);
    op.setLogSlots(3);
    approxReLU(s.eval, s.btp, op, res);
    EXPECT_EQ(res.getLevel(), 0u);
}

} // namespace
