#include "tests/math/MathTestSupport.hpp"

#include "morvane/math/Sort.hpp"

#include "tests/support/AllocationWatch.hpp"

#include <climits>

namespace {

using namespace mathtest;
using namespace Morvane::Math;

using Values = std::vector<double>;

// The network in plain doubles over a vector of all the slots.
double greaterThanModel(double a, double b) { return signModel(a - b, 6, 3, 0.5) + 0.5; }

Values twoSortModel(const Values& x, u64 d, bool ascent) {
    const u64 n = x.size();
    Values v0(n);
    Values v1(n);
    for (u64 i = 0; i < n; ++i) {
        const double selected = (i / d) % 2 == 0 ? 1.0 : 0.0;
        const double a = x[i] * selected;
        const double b = x[(i + d) % n] * selected;
        const double g = greaterThanModel(x[i], b);
        double& larger = ascent ? v1[i] : v0[i];
        double& smaller = ascent ? v0[i] : v1[i];
        larger = g * (a - b) + b;
        smaller = (a + b) - larger;
    }
    Values out(n);
    for (u64 i = 0; i < n; ++i)
        out[i] = v0[i] + v1[(i + n - d % n) % n];
    return out;
}

Values flipModel(Values x, u64 d) {
    for (u64 i = 0; i < x.size(); ++i)
        x[i] *= (i / (2 * d)) % 2 == 1 ? 1.0 : -1.0;
    return x;
}

Values sortModel(Values x, int n, bool ascent, bool only_last_stage) {
    if (n <= 1)
        return x;
    const int stages = static_cast<int>(std::ceil(std::log2(n)));
    for (int i = only_last_stage ? stages - 1 : 0; i < stages; ++i) {
        if (i != stages - 1)
            x = flipModel(x, u64{1} << i);
        for (int j = i; j >= 0; --j)
            x = twoSortModel(x, u64{1} << j, ascent);
        if (i != stages - 1)
            x = flipModel(x, u64{1} << i);
    }
    return x;
}

// 32 distinct values in [-0.5, 0.5], at least 0.01 apart.
Values spreadValues() {
    Values values;
    for (int i = 0; i < 32; ++i)
        values.push_back(static_cast<double>((i * 13) % 32) / 31.0 - 0.5);
    return values;
}

class SortTest : public ::testing::Test {
protected:
    MathSetup s{ParameterPreset::FX};
};

TEST_F(SortTest, SelectionMasks) {
    struct Case {
        u64 logSlots;
        u64 d;
        Values expected;
    };
    const std::vector<Case> cases = {
        {3, 1, {1, 0, 1, 0, 1, 0, 1, 0}},
        {3, 2, {1, 1, 0, 0, 1, 1, 0, 0}},
        {3, 3, {1, 1, 1, 0, 0, 0, 1, 1}},
        {3, 8, {1, 1, 1, 1, 1, 1, 1, 1}},
        // A negative distance sign-extended is beyond every slot.
        {2, ~u64{0}, {1, 1, 1, 1}},
        {0, 1, {1}},
    };
    for (const Case& c : cases) {
        const Message mask = genMasks(c.logSlots, c.d);
        ASSERT_EQ(mask.getSize(), c.expected.size()) << c.d;
        for (u64 i = 0; i < mask.getSize(); ++i)
            EXPECT_EQ(mask[i], Complex(c.expected[i], 0.0)) << c.d << " slot " << i;
    }
    EXPECT_EQ(thrownMessage([] { genMasks(4, 0); }), "[genMasks] d must be positive.");
}

TEST_F(SortTest, FlipNegatesTheEvenBlocks) {
    const Values values = spreadValues();
    for (const int d : {1, 4, 16, 32, INT_MAX / 2}) {
        Ciphertext x = s.input(values, 9);
        x.to(Device(DeviceType::GPU, 0));
        const Effect effect = measure(s.context, [&] { flipCtxt(s.eval, x, d); });
        EXPECT_EQ(effect.history, (History{{"ctxt * msg (GPU)", 1}})) << d;
        EXPECT_EQ(x.getLevel(), 8u) << d;
        EXPECT_EQ(x.getDevice().type(), DeviceType::GPU) << d;
        const Values expected = flipModel(values, static_cast<u64>(d));
        EXPECT_EQ(maxError(x, expected), 0.0) << d;
    }
    // No block size of 0 or less, and none whose double leaves int.
    for (const int d : {0, -1, INT_MIN, INT_MAX / 2 + 1, INT_MAX}) {
        Ciphertext x = s.input(values, 9);
        const Effect effect = measure(s.context, [&] {
            EXPECT_EQ(thrownMessage([&] { flipCtxt(s.eval, x, d); }), "[flipCtxt] d must be in [1, 1073741823].") << d;
        });
        EXPECT_TRUE(effect.history.empty()) << d;
        EXPECT_EQ(x.getLevel(), 9u) << d;
    }
}

TEST_F(SortTest, CompareExchangeParts) {
    const Values values = spreadValues();
    const Ciphertext x = s.input(values, 12);
    const Message mask = genMasks(x.getLogSlots(), 4);

    Ciphertext g(s.context);
    const Effect compared = measure(s.context, [&] { compForSort(s.eval, s.btp, x, mask, 4, g); });
    EXPECT_EQ(compared.history, (History{{"Bootstrap", 3}, {"Rotate", 1}, {"ctxt * cnst", 9}, {"ctxt * ctxt", 36},
                                         {"ctxt * msg", 1}, {"ctxt + cnst", 28}, {"ctxt + ctxt", 1}}));
    Values expectedG;
    for (u64 i = 0; i < values.size(); ++i)
        expectedG.push_back(greaterThanModel(values[i], (i / 4) % 2 == 0 ? values[(i + 4) % 32] : 0.0));
    EXPECT_LT(maxError(g, expectedG), 1e-12);

    const Ciphertext a = s.input({0.3, -0.2}, 9);
    const Ciphertext b = s.input({-0.1, 0.4}, 9);
    const Ciphertext gt = s.input({1.0, 0.0}, 9);
    for (const bool ascent : {true, false}) {
        std::vector<Ciphertext> v{Ciphertext(s.context), Ciphertext(s.context)};
        const Effect effect = measure(s.context, [&] { twoSubSort(s.eval, a, b, gt, ascent, v); });
        EXPECT_EQ(effect.history, (History{{"ctxt * ctxt", 1}, {"ctxt + ctxt", 4}})) << ascent;
        // (0.3, -0.1) and (-0.2, 0.4): the minimum stays below when ascending.
        EXPECT_LT(maxError(v[ascent ? 0 : 1], {-0.1, -0.2}), 1e-15) << ascent;
        EXPECT_LT(maxError(v[ascent ? 1 : 0], {0.3, 0.4}), 1e-15) << ascent;
        EXPECT_EQ(v[0].getLevel(), 8u) << ascent;
    }

    std::vector<Ciphertext> three{s.input({1.0}, 9), s.input({2.0}, 9), s.input({4.0}, 9)};
    for (u64 i = 0; i < 32; ++i) {
        three[1].message()[i] = Complex(i == 0 ? 2.0 : 0.0, 0.0);
        three[2].message()[i] = Complex(i == 0 ? 4.0 : 0.0, 0.0);
    }
    Ciphertext out(s.context);
    // Right rotations by 4 and 8 use the keys of 28 and 24, one step each.
    const Effect assembled = measure(s.context, [&] { assembleSlot(s.eval, three, 4, out); });
    EXPECT_EQ(assembled.history, (History{{"Rotate", 2}, {"ctxt + ctxt", 2}}));
    EXPECT_EQ(out.message()[0], Complex(1.0, 0.0));
    EXPECT_EQ(out.message()[4], Complex(3.0, 0.0));
    EXPECT_EQ(out.message()[8], Complex(5.0, 0.0));
    EXPECT_EQ(three[2].message()[8], Complex(4.0, 0.0));
    // An out that is an element of the list first becomes v[0], then is rotated as that element: 2 v[0] rotated
    // right by d, plus v[2] rotated right by 2d.
    three = {s.input({1.0}, 9), s.input({7.0}, 9), s.input({0.0}, 9)};
    three[2].message()[0] = Complex(4.0, 0.0);
    assembleSlot(s.eval, three, 4, three[1]);
    EXPECT_EQ(three[1].message()[0], Complex(2.0, 0.0));
    EXPECT_EQ(three[1].message()[8], Complex(6.0, 0.0));
    // out is a copy of v[0] before the sums, flags included.
    Ciphertext extendedOut(s.context, true);
    assembleSlot(s.eval, three, 4, extendedOut);
    EXPECT_FALSE(extendedOut.isModUp());

    std::vector<Ciphertext> one{s.input({0.5}, 9)};
    assembleSlot(s.eval, one, 3, out);
    EXPECT_EQ(out.message().slots(), one[0].message().slots());

    std::vector<Ciphertext> empty;
    EXPECT_EQ(thrownMessage([&] { assembleSlot(s.eval, empty, 1, out); }), "[assembleSlot] v must not be empty.");
    EXPECT_EQ(thrownMessage([&] { twoSubSort(s.eval, a, b, gt, true, one); }),
              "[twoSubSort] v must hold two ciphertexts.");
}

TEST_F(SortTest, TwoSortExchangesEveryPairOfOneDistance) {
    const Values values = spreadValues();
    for (const bool ascent : {true, false}) {
        Ciphertext x = s.input(values, 12);
        const Effect effect = measure(s.context, [&] { twoSort(s.eval, s.btp, x, 2, ascent); });
        EXPECT_EQ(effect.history, (History{{"Bootstrap", 3}, {"Rotate", 3}, {"ctxt * cnst", 9}, {"ctxt * ctxt", 37},
                                           {"ctxt * msg", 3}, {"ctxt + cnst", 28}, {"ctxt + ctxt", 6}}));
        EXPECT_EQ(x.getLevel(), 8u);
        EXPECT_LT(maxError(x, twoSortModel(values, 2, ascent)), 1e-12) << ascent;
    }
    Ciphertext x = s.input(values, 12);
    EXPECT_EQ(thrownMessage([&] { twoSort(s.eval, s.btp, x, 0, true); }), "[genMasks] d must be positive.");
}

struct SortCase {
    const char* name;
    u64 level;
    int n;
    bool ascent;
    bool onlyLastStage;
    History history;
    u64 outLevel;
    u64 bootstraps;
};

TEST_F(SortTest, OperationsLevelsAndValues) {
    const History none;
    const std::vector<SortCase> cases = {
        {"n 1 copies", 12, 1, true, false, none, 12, 0},
        {"n 0 copies", 12, 0, true, true, none, 12, 0},
        {"negative n copies", 12, -7, false, false, none, 12, 0},
        {"n 2: one exchange", 12, 2, true, false,
         {{"Bootstrap", 3}, {"Rotate", 3}, {"ctxt * cnst", 9}, {"ctxt * ctxt", 37}, {"ctxt * msg", 3},
          {"ctxt + cnst", 28}, {"ctxt + ctxt", 6}}, 8, 3},
        {"n 3 sorts blocks of 4", 12, 3, true, false,
         {{"Bootstrap", 10}, {"Rotate", 9}, {"ctxt * cnst", 27}, {"ctxt * ctxt", 111}, {"ctxt * msg", 11},
          {"ctxt + cnst", 84}, {"ctxt + ctxt", 18}}, 8, 10},
        {"n 8: six exchanges, four flips", 12, 8, true, false,
         {{"Bootstrap", 21}, {"Rotate", 18}, {"ctxt * cnst", 54}, {"ctxt * ctxt", 222}, {"ctxt * msg", 22},
          {"ctxt + cnst", 168}, {"ctxt + ctxt", 36}}, 5, 21},
        {"n 8 descending", 12, 8, false, false,
         {{"Bootstrap", 21}, {"Rotate", 18}, {"ctxt * cnst", 54}, {"ctxt * ctxt", 222}, {"ctxt * msg", 22},
          {"ctxt + cnst", 168}, {"ctxt + ctxt", 36}}, 5, 21},
        {"n 8 last stage: three exchanges", 12, 8, true, true,
         {{"Bootstrap", 10}, {"Rotate", 9}, {"ctxt * cnst", 27}, {"ctxt * ctxt", 111}, {"ctxt * msg", 9},
          {"ctxt + cnst", 84}, {"ctxt + ctxt", 18}}, 8, 10},
        {"all 32 slots from level 5", 5, 32, true, false,
         {{"Bootstrap", 55}, {"Rotate", 45}, {"ctxt * cnst", 135}, {"ctxt * ctxt", 555}, {"ctxt * msg", 53},
          {"ctxt + cnst", 420}, {"ctxt + ctxt", 90}}, 8, 55},
    };
    const Values values = spreadValues();
    for (const SortCase& c : cases) {
        Ciphertext op = s.input(values, c.level);
        Ciphertext res(s.context);
        const bool warmUp = !s.context->bootstrapWarmedUp;
        const Effect effect =
            measure(s.context, [&] { unitSort(s.eval, s.btp, op, res, c.n, c.ascent, c.onlyLastStage); });
        EXPECT_EQ(effect.history, c.history) << c.name;
        EXPECT_EQ(effect.duration, bootstrapCost(s.context, c.bootstraps, 0, warmUp)) << c.name;
        EXPECT_EQ(res.getLevel(), c.outLevel) << c.name;
        EXPECT_EQ(op.getLevel(), c.level) << c.name;
        EXPECT_EQ(op.message().slots(), s.input(values, c.level).message().slots()) << c.name;
        EXPECT_LT(maxError(res, sortModel(values, c.n, c.ascent, c.onlyLastStage)), 1e-12) << c.name;
    }
}

TEST_F(SortTest, BlocksComeOutOrdered) {
    const Values values = spreadValues();
    for (const bool ascent : {true, false}) {
        Ciphertext op = s.input(values, 12);
        unitSort(s.eval, s.btp, op, op, 8, ascent, false);
        for (u64 block = 0; block < 32; block += 8)
            for (u64 i = block; i + 1 < block + 8; ++i) {
                const double step = op.message()[i + 1].real() - op.message()[i].real();
                EXPECT_GT(ascent ? step : -step, 0.005) << ascent << " slot " << i;
            }
    }
    // A bitonic block needs only the last stage.
    Ciphertext bitonic = s.input({-0.4, -0.1, 0.2, 0.45, 0.3, 0.0, -0.2, -0.35}, 12);
    unitSort(s.eval, s.btp, bitonic, bitonic, 8, true, true);
    for (u64 i = 0; i + 1 < 8; ++i)
        EXPECT_GT(bitonic.message()[i + 1].real() - bitonic.message()[i].real(), 0.01) << i;
}

TEST_F(SortTest, EqualSlotsComeOutUnchanged) {
    Ciphertext op = s.input({0.25, 0.25, -0.125, -0.125}, 12);
    Ciphertext res(s.context);
    unitSort(s.eval, s.btp, op, res, 2, true, false);
    EXPECT_EQ(maxError(res, {0.25, 0.25, -0.125, -0.125}), 0.0);
}

TEST_F(SortTest, RefusesMoreThanTheSlotCount) {
    Ciphertext op = s.input(spreadValues(), 12);
    Ciphertext res = s.input({0.0}, 20);
    const Effect effect = measure(s.context, [&] {
        EXPECT_EQ(thrownMessage([&] { unitSort(s.eval, s.btp, op, res, 33, true, false); }),
                  "[unitSort] n must be <= 32, the number of slots.");
    });
    EXPECT_TRUE(effect.history.empty());
    EXPECT_EQ(res.getLevel(), 20u);
    // The slot count is that of the input's log slots.
    op.setLogSlots(2);
    EXPECT_EQ(thrownMessage([&] { unitSort(s.eval, s.btp, op, res, 5, true, true); }),
              "[unitSort] n must be <= 4, the number of slots.");
}

TEST_F(SortTest, ALogSlotCountBeyondTheSlotsFailsBeforeAnyMask) {
    // 2^30 slots of masks would be 16 GiB: the comparison's readiness check refuses the call first.
    Ciphertext op = s.input(spreadValues(), 12);
    op.setLogSlots(30);
    Ciphertext res = s.input({9.0}, 20);
    allocationwatch::largest = 0;
    allocationwatch::watching = true;
    const Effect effect = measure(s.context, [&] {
        EXPECT_EQ(thrownMessage([&] { unitSort(s.eval, s.btp, op, res, 32, true, false); }),
                  "[approxGreaterThan] bootstraper not ready for 30 slot bootstrapping.");
        EXPECT_EQ(thrownMessage([&] { unitSort(s.eval, s.btp, op, res, 8, false, true); }),
                  "[approxGreaterThan] bootstraper not ready for 30 slot bootstrapping.");
        EXPECT_EQ(thrownMessage([&] { twoSort(s.eval, s.btp, op, 4, true); }),
                  "[approxGreaterThan] bootstraper not ready for 30 slot bootstrapping.");
    });
    allocationwatch::watching = false;
    EXPECT_LT(allocationwatch::largest.load(), std::size_t{1} << 20);
    EXPECT_TRUE(effect.history.empty());
    EXPECT_EQ(res.getLevel(), 20u);
    // Within the slots the ciphertext holds, the checks stay where the comparisons run them.
    op.setLogSlots(4);
    const Effect within = measure(s.context, [&] {
        EXPECT_EQ(thrownMessage([&] { unitSort(s.eval, s.btp, op, res, 8, true, false); }),
                  "[approxGreaterThan] bootstraper not ready for 4 slot bootstrapping.");
    });
    EXPECT_EQ(within.history, (History{{"Rotate", 1}, {"ctxt * msg", 2}}));
}

TEST_F(SortTest, ComparisonChecksRunInEveryExchange) {
    Ciphertext op = s.input(spreadValues(), 2);
    Ciphertext res(s.context);
    // unitSort checks nothing itself: an input below the minimum level fails at the first exchange's refresh,
    // an unbootstrappable evaluator at the first comparison's checks.
    EXPECT_EQ(thrownMessage([&] { unitSort(s.eval, s.btp, op, res, 2, true, false); }),
              "[bootstrap] Level of ciphertext should be >= 3.");
    const Context st19 = makeContext(ParameterPreset::ST19);
    KeyPack pack(st19);
    KeyGenerator(st19, SecretKey(st19), pack).genRotationKeyBundle();
    const HomEvaluator st19Eval(st19, pack);
    Ciphertext x(st19);
    x.setLevel(12);
    Ciphertext y(st19);
    EXPECT_EQ(thrownMessage([&] { unitSort(st19Eval, s.btp, x, y, 2, true, false); }),
              "[approxGreaterThan] Parameter should be bootstrappable.");
}

// A sort whose first comparison fails at its first bootstrap, after the negation of the first stage, leaves its
// output as it was, also in place.
TEST_F(SortTest, FailedSortsLeaveTheirOutputAsItWas) {
    const std::string message = "[bootstrap] no conjugation key";
    const std::vector<FailingCall> calls = {
        {"sort apart", [](auto& e, auto& b, auto& x, auto&, auto& r) { unitSort(e, b, x, r, 8, true, false); },
         message},
        {"sort in place", [](auto& e, auto& b, auto& x, auto&, auto&) { unitSort(e, b, x, x, 8, true, false); },
         message},
    };
    expectFailuresLeaveCiphertexts(s, calls, spreadValues(), spreadValues(), 12);
}

} // namespace
