#include "tests/math/ApproxTestSupport.hpp"

#include "morvane/math/Chebyshev.hpp"

#include <cmath>

namespace {

using namespace approxtest;
using Morvane::Math::tools::ChebyshevCoefficients;
using Morvane::Math::tools::evaluateChebyshevExpansion;
using Morvane::Math::tools::InputInterval;
using Morvane::Math::tools::linearTransform;

// Coefficients that are neither negligible nor integers, before or after the split of the top block.
std::vector<double> someCoefficients(u64 n) {
    std::vector<double> c(n);
    for (u64 i = 0; i < n; ++i)
        c[i] = (i % 2 == 0 ? 0.5 : -0.75) / static_cast<double>(i + 1) + 0.01;
    return c;
}

// The odd record of basis type 1: only odd positions and position 0 hold coefficients.
std::vector<double> oddCoefficients(u64 n) {
    std::vector<double> c = someCoefficients(n);
    for (u64 i = 2; i < n; i += 2)
        c[i] = 0.0;
    return c;
}

std::vector<double> withZeroAt(std::vector<double> c, u64 i) {
    c[i] = 0.0;
    return c;
}

double chebyshevT(u64 n, double t) { return std::cos(static_cast<double>(n) * std::acos(t)); }

// The value the record stands for, straight from its definition: the blocks B_k times the giant-step
// polynomials of the set bits of k.
double blockFormValue(const ChebyshevCoefficients& r, double m, double t) {
    double total = 0.0;
    for (u64 k = 0; k < r.num_gs; ++k) {
        const u64 begin = k * r.num_bs;
        const u64 end = std::min<u64>(begin + r.num_bs, r.coefficients.size());
        double block = 0.0;
        for (u64 i = begin; i < end; ++i)
            block += m * r.coefficients[i] * chebyshevT(i - begin, t);
        for (u64 bit = 0; (k >> bit) != 0; ++bit)
            if ((k >> bit) & 1)
                block *= chebyshevT(r.num_bs << bit, t);
        total += block;
    }
    return total;
}

struct RecordCase {
    std::string name;
    ChebyshevCoefficients record;
    u64 products; // ciphertext-by-ciphertext multiplications
};

class ExpansionValues : public ::testing::TestWithParam<RecordCase> {};

// The value of the block form and the products and levels its evaluation order costs.
TEST_P(ExpansionValues, MatchTheBlockFormWithTheirProductsAndLevels) {
    const RecordCase& c = GetParam();
    MathSetup s(ParameterPreset::FX);
    const std::vector<double> ts = grid(-1.0, 1.0, 32);
    const Ciphertext op = s.input(ts, 12);
    Ciphertext res(s.context);
    const Effect effect =
        mathtest::measure(s.context, [&] { res = evaluateChebyshevExpansion(s.eval, s.btp, op, c.record, 1.5); });
    for (u64 i = 0; i < ts.size(); ++i)
        EXPECT_NEAR(slot(res, i), blockFormValue(c.record, 1.5, ts[i]), 1e-11) << "t = " << ts[i];
    EXPECT_EQ(res.getLevel(), 12 - c.record.level_cost);
    EXPECT_EQ(effect.history.at("ctxt * ctxt"), c.products);
    EXPECT_EQ(effect.history.count("Bootstrap"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ExpansionValues,
    ::testing::Values(
        // 6 basis products, T_8 and T_16, 2 in the split top block, 3 joining the blocks.
        RecordCase{"FourBlocksOfEight", {someCoefficients(32), 8, 4, 3, 2, 5, 0}, 13},
        RecordCase{"ShortTopBlock", {someCoefficients(18), 8, 3, 3, 2, 5, 0}, 10},
        RecordCase{"ThreeBlocksOfFour", {someCoefficients(12), 4, 3, 2, 2, 4, 0}, 7},
        // The single top coefficient is added as a multiple of T_8.
        RecordCase{"SingleTopCoefficient", {someCoefficients(9), 4, 3, 2, 2, 4, 0}, 5},
        RecordCase{"OneBlock", {someCoefficients(4), 4, 1, 2, 0, 2, 0}, 3},
        // Odd basis: T_6, T_10, T_12 and T_14 are never computed.
        RecordCase{"OddBasis", {oddCoefficients(32), 16, 2, 4, 1, 5, 1}, 15},
        // T_3 is the first giant-step polynomial, built from T_2 and T_1; the single top coefficient multiplies it.
        RecordCase{"OddBlockLength", {someCoefficients(10), 3, 4, 2, 2, 4, 0}, 5},
        // A top coefficient of 0: the part below is the value.
        RecordCase{"ZeroTopCoefficient", {withZeroAt(someCoefficients(9), 8), 4, 3, 2, 2, 4, 0}, 5},
        // T_16 and T_32 are built and never read.
        RecordCase{"UnreadGiantSteps", {someCoefficients(16), 8, 2, 3, 3, 4, 0}, 12},
        RecordCase{"SixteenBlocksOfSixteen", {someCoefficients(256), 16, 16, 4, 4, 8, 0}, 36}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

// The complete operation list of one 32-coefficient evaluation; a multiplier of 0 still applies the first
// product of every block (by the integer 0, keeping the level) and every constant.
TEST(ChebyshevTest, ExpansionRecordsItsOperationsAndAlwaysAppliesFirstProductsAndConstants) {
    const ChebyshevCoefficients record{someCoefficients(32), 8, 4, 3, 2, 5, 0};
    struct Row {
        double multiplier;
        History history;
    };
    const std::vector<Row> rows = {
        {1.0,
         {{"ctxt * ctxt", 13}, {"ctxt * int", 8}, {"ctxt * cnst", 26}, {"ctxt + cnst", 11}, {"ctxt + ctxt", 28}}},
        {0.0, {{"ctxt * ctxt", 13}, {"ctxt * int", 12}, {"ctxt + cnst", 11}, {"ctxt + ctxt", 6}}},
    };
    for (const Row& row : rows) {
        MathSetup s(ParameterPreset::FX);
        const Ciphertext op = s.input(grid(-1.0, 1.0, 32), 12);
        Ciphertext res(s.context);
        const Effect effect = mathtest::measure(
            s.context, [&] { res = evaluateChebyshevExpansion(s.eval, s.btp, op, record, row.multiplier); });
        EXPECT_EQ(effect.history, row.history) << "multiplier " << row.multiplier;
        EXPECT_EQ(res.getLevel(), 7u);
        if (row.multiplier == 0.0) {
            EXPECT_EQ(slot(res, 3), 0.0);
        }
    }
}

// A basis element that is never built reads as a fresh ciphertext, with zero slots: its term adds nothing, also
// when the working ciphertexts of elements no longer read are free to be taken again. Here T_3 and T_5 are read
// last in block 0; block 1 reads T_6, which the odd basis never builds.
TEST(ChebyshevTest, ExpansionReadsAnElementTheBasisNeverBuildsAsZeros) {
    std::vector<double> plain = {0.25, 0.5, 0.0, -0.3, 0.0,  0.2,  0.0, -0.1, 0.125, -0.4, 0.0, 0.0,
                                 0.0,  0.0, 0.0, 0.35, -0.2, 0.45, 0.0, 0.0,  0.0,   0.0,  0.0, 0.0};
    std::vector<double> withEvenTerm = plain;
    withEvenTerm[8 + 6] = 0.25;
    MathSetup s(ParameterPreset::FX);
    const Ciphertext op = s.input(grid(-1.0, 1.0, 32), 12);
    Ciphertext expected(s.context);
    Ciphertext res(s.context);
    const Effect plainEffect = mathtest::measure(s.context, [&] {
        expected = evaluateChebyshevExpansion(s.eval, s.btp, op, {plain, 8, 3, 3, 2, 5, 1}, 1.5);
    });
    const Effect effect = mathtest::measure(s.context, [&] {
        res = evaluateChebyshevExpansion(s.eval, s.btp, op, {withEvenTerm, 8, 3, 3, 2, 5, 1}, 1.5);
    });
    for (u64 i = 0; i < 32; ++i)
        EXPECT_EQ(res.message()[i], expected.message()[i]) << "slot " << i;
    EXPECT_EQ(res.getLevel(), expected.getLevel());
    // The term is still applied: one constant product and one sum more.
    History more = plainEffect.history;
    ++more["ctxt * cnst"];
    ++more["ctxt + ctxt"];
    EXPECT_EQ(effect.history, more);
}

// Giant-step polynomials beyond those the blocks read are built as the record asks, each from the one before, until
// the levels run out: a log_gs of 2^62 fails like one of 12, after the same operations, and holds no list of that
// length.
TEST(ChebyshevTest, ExpansionBuildsUnreadGiantStepsUntilTheLevelsRunOut) {
    MathSetup s(ParameterPreset::FX);
    const Ciphertext op = s.input(grid(-1.0, 1.0, 32), 12);
    const Refusal twelve = refusal(s.context, [&] {
        evaluateChebyshevExpansion(s.eval, s.btp, op, {someCoefficients(16), 8, 2, 3, 12, 4, 0}, 1.0);
    });
    EXPECT_EQ(twelve.message, "The level of the operand is zero");
    const Refusal huge = refusal(s.context, [&] {
        evaluateChebyshevExpansion(s.eval, s.btp, op, {someCoefficients(16), 8, 2, 3, u64{1} << 62, 4, 0}, 1.0);
    });
    EXPECT_EQ(huge.message, twelve.message);
    EXPECT_EQ(huge.history, twelve.history);
}

// A term whose scaled coefficient is at most 1e-8 is left out, judged after the multiplier.
TEST(ChebyshevTest, ExpansionSkipsTermsThatAreNegligibleAfterTheMultiplier) {
    struct Row {
        double multiplier;
        u64 constantProducts;
    };
    std::vector<double> coefficients = someCoefficients(32);
    coefficients[9] = 5e-9; // block 1, T_1
    const ChebyshevCoefficients record{coefficients, 8, 4, 3, 2, 5, 0};
    for (const Row& row : {Row{1.0, 25}, Row{-1.0, 25}, Row{4.0, 26}}) {
        MathSetup s(ParameterPreset::FX);
        const Ciphertext op = s.input({0.25}, 12);
        const Effect effect = mathtest::measure(
            s.context, [&] { evaluateChebyshevExpansion(s.eval, s.btp, op, record, row.multiplier); });
        EXPECT_EQ(effect.history.at("ctxt * cnst"), row.constantProducts) << "multiplier " << row.multiplier;
        EXPECT_EQ(effect.history.at("ctxt + ctxt"), row.constantProducts + 2) << "multiplier " << row.multiplier;
    }
}

// The input needs level_cost levels, plus the minimum bootstrap level when a bootstrap is ready for its slots.
TEST(ChebyshevTest, ExpansionNeedsItsLevelCostAboveTheBootstrapLevelWhenOneIsReady) {
    const ChebyshevCoefficients record{someCoefficients(32), 8, 4, 3, 2, 5, 0};
    struct Row {
        u64 logSlots;
        u64 level;
        std::string message;
    };
    const std::vector<Row> rows = {
        {5, 8, "<no exception>"},
        {5, 7, "[evaluateChebyshevExpansion] Input level >= 8 is needed."},
        {3, 5, "<no exception>"},
        {3, 4, "[evaluateChebyshevExpansion] Input level >= 5 is needed."},
    };
    for (const Row& row : rows) {
        MathSetup s(ParameterPreset::FX);
        Ciphertext op = s.input({0.5}, row.level);
        op.setLogSlots(row.logSlots);
        Ciphertext res(s.context);
        const Refusal r =
            refusal(s.context, [&] { res = evaluateChebyshevExpansion(s.eval, s.btp, op, record, 1.0); });
        EXPECT_EQ(r.message, row.message) << "level " << row.level;
        if (row.message == "<no exception>") {
            EXPECT_EQ(res.getLevel(), row.level - 5);
        } else {
            EXPECT_TRUE(r.history.empty());
        }
    }
}

// A record that does not fit its layout is refused before any operation instead of being read out of bounds.
TEST(ChebyshevTest, ExpansionRefusesRecordsThatDoNotFitTheirLayout) {
    const std::string prefix = "[evaluateChebyshevExpansion] ";
    const std::string fit = prefix + "The number of coefficients does not fit num_bs and num_gs";
    const std::string top = prefix + "The length of the last block must be a power of two";
    struct Row {
        ChebyshevCoefficients record;
        std::string message;
    };
    const std::vector<Row> rows = {
        {{someCoefficients(32), 8, 4, 3, 2, 5, 2}, prefix + "basis_type must be 0 or 1"},
        {{someCoefficients(32), 8, 4, 3, 2, 5, -1}, prefix + "basis_type must be 0 or 1"},
        {{someCoefficients(4), 1, 4, 0, 2, 5, 0}, prefix + "num_bs must be >= 2"},
        {{someCoefficients(32), 8, 0, 3, 2, 5, 0}, prefix + "num_gs must be >= 1"},
        {{someCoefficients(24), 8, 4, 3, 2, 5, 0}, fit},
        {{someCoefficients(33), 8, 4, 3, 2, 5, 0}, fit},
        {{{}, 8, 1, 3, 0, 5, 0}, fit},
        {{someCoefficients(4), 8, 1, 3, 0, 5, 0}, fit},
        {{someCoefficients(27), 8, 4, 3, 2, 5, 0}, top},
        {{someCoefficients(6), 6, 1, 3, 0, 5, 0}, top},
        {{someCoefficients(32), 8, 4, 3, 1, 5, 0}, prefix + "log_gs must be >= ceil(log2(num_gs))"},
        {{someCoefficients(40), 8, 5, 3, 2, 5, 0}, prefix + "log_gs must be >= ceil(log2(num_gs))"},
    };
    MathSetup s(ParameterPreset::FX);
    const Ciphertext op = s.input({0.5}, 12);
    for (u64 i = 0; i < rows.size(); ++i) {
        const Refusal r =
            refusal(s.context, [&] { evaluateChebyshevExpansion(s.eval, s.btp, op, rows[i].record, 1.0); });
        EXPECT_EQ(r.message, rows[i].message) << "row " << i;
        EXPECT_TRUE(r.history.empty()) << "row " << i;
    }
}

// At most one subtraction and one multiplication, each left out when its constant would do nothing; the level
// check bears the expansion's name.
TEST(ChebyshevTest, LinearTransformMapsTheIntervalOntoMinusOneToOne) {
    struct Row {
        InputInterval interval;
        double x;
        double expected;
        History history;
    };
    const std::vector<Row> rows = {
        {{-8.0, 8.0}, 4.0, 0.5, {{"ctxt * cnst", 1}}},
        {{0.125, 1.0}, 1.0, 1.0, {{"ctxt + cnst", 1}, {"ctxt * cnst", 1}}},
        {{0.125, 1.0}, 0.125, -1.0, {{"ctxt + cnst", 1}, {"ctxt * cnst", 1}}},
        {{3.0, 3.0}, 5.0, 2.0, {{"ctxt + cnst", 1}}},
        // Integral factors keep the level.
        {{-0.5, 0.5}, 0.25, 0.5, {{"ctxt * int", 1}}},
        {{-1.0, 1.0}, 0.3, 0.3, {{"ctxt * int", 1}}},
        {{0.0, 0.0}, 7.0, 7.0, {}},
    };
    for (const Row& row : rows) {
        MathSetup s(ParameterPreset::FX);
        const Ciphertext op = s.input({row.x}, 6);
        Ciphertext res(s.context);
        const Effect effect =
            mathtest::measure(s.context, [&] { res = linearTransform(s.eval, s.btp, op, row.interval); });
        EXPECT_DOUBLE_EQ(slot(res, 0), row.expected) << row.interval.left << ", " << row.interval.right;
        EXPECT_EQ(effect.history, row.history) << row.interval.left << ", " << row.interval.right;
    }

    MathSetup s(ParameterPreset::FX);
    Ciphertext low = s.input({0.5}, 3);
    EXPECT_EQ(thrownMessage([&] { linearTransform(s.eval, s.btp, low, {-8.0, 8.0}); }),
              "[evaluateChebyshevExpansion] Input level >= 4 is needed.");
    low.setLogSlots(3);
    EXPECT_EQ(thrownMessage([&] { linearTransform(s.eval, s.btp, low, {-8.0, 8.0}); }), "<no exception>");
    low.setLevel(0);
    EXPECT_EQ(thrownMessage([&] { linearTransform(s.eval, s.btp, low, {-8.0, 8.0}); }),
              "[evaluateChebyshevExpansion] Input level >= 1 is needed.");
}

} // namespace
