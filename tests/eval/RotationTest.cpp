#include "tests/eval/KeyedEvaluator.hpp"

#include "morvane/eval/HomEvaluator.hpp"
#include "morvane/eval/HomEvaluatorRotations.hpp"

#include <random>
#include <thread>

namespace {

using namespace keyedtest;

const std::string kMissing = "[Load Rotation Key] no left rotation key for index ";

Context customContext(u64 log_dimension) { return makeContext(log_dimension, 5, 40, 40, 40, 5); }

std::vector<u64> powersOfTwoBelow(u64 n) {
    std::vector<u64> keys;
    for (u64 b = 1; b < n; b <<= 1)
        keys.push_back(b);
    return keys;
}

std::vector<u64> allIndicesBelow(u64 n) {
    std::vector<u64> keys;
    for (u64 i = 1; i < n; ++i)
        keys.push_back(i);
    return keys;
}

// Sum of rotations of `op` by 0, g, ..., (n - 1) g, left or right, computed naively on the slots.
std::vector<Complex> plainRotationSum(const std::vector<Complex>& op, u64 g, u64 n, bool left) {
    const u64 m = op.size();
    std::vector<Complex> sum(op);
    for (u64 k = 1; k < n; ++k) {
        const u64 s = (k * (g % m)) % m;
        std::vector<Complex> rotated(m);
        for (u64 i = 0; i < m; ++i)
            rotated[i] = left ? op[(i + s) % m] : op[(i + m - s) % m];
        for (u64 i = 0; i < m; ++i)
            sum[i] = sum[i] + rotated[i];
    }
    return sum;
}

struct SteppingCase {
    u64 slots;
    std::vector<u64> keys;
    u64 index;
    bool right;
    u64 rotates;         // "Rotate" counted, also before a failing step
    std::string message; // empty: succeeds
};

TEST(RotationTest, KeySteppingTable) {
    const std::vector<u64> powers32 = powersOfTwoBelow(32);
    const std::vector<u64> bundle32 = {1, 2, 4, 8, 16, 24, 28, 30, 31};
    const std::vector<SteppingCase> cases = {
        // Own key, or power-of-two steps from the smallest up.
        {32, powers32, 1, false, 1, ""},
        {32, powers32, 16, false, 1, ""},
        {32, powers32, 3, false, 2, ""},  // 1, 4
        {32, powers32, 5, false, 2, ""},  // 1, 4
        {32, powers32, 6, false, 2, ""},  // 2, 8
        {32, powers32, 7, false, 2, ""},  // 1, 8
        {32, powers32, 11, false, 3, ""}, // 1, 4, 16
        {32, powers32, 13, false, 3, ""}, // 1, 4, 16
        {32, powers32, 27, false, 2, ""}, // 1, 4 and a step of 32 that counts nothing
        {32, {1, 2, 4, 8, 16, 3}, 3, false, 1, ""},
        // An index that is, or whose complement is, a power of two needs its own key.
        {32, powers32, 28, false, 0, kMissing + "28"},
        {32, powers32, 31, false, 0, kMissing + "31"},
        {32, {1, 2, 8, 16}, 4, false, 0, kMissing + "4"},
        {32, powers32, 4, true, 0, kMissing + "28"},
        {32, bundle32, 4, true, 1, ""},
        {32, bundle32, 28, false, 1, ""},
        // A missing step fails after the steps before it were counted; the step is the left index f.
        {32, {1}, 5, false, 1, kMissing + "4"},
        {32, {2, 4, 8, 16}, 7, false, 0, kMissing + "1"},
        {32, {1, 2, 4, 16}, 6, false, 1, kMissing + "8"},
        // Rotations by 0 or the full slot count need nothing.
        {32, {}, 0, false, 0, ""},
        {32, {}, 32, false, 0, ""},
        {32, {}, 0, true, 0, ""},
        // A larger slot count: 21 steps through 1, 4, 16; 43 through 1, 4, 16, 64 where 64 is the slot count.
        {64, powersOfTwoBelow(64), 21, false, 3, ""},
        {64, powersOfTwoBelow(64), 43, false, 3, ""},
        {64, powersOfTwoBelow(64), 60, false, 0, kMissing + "60"},
    };
    for (const SteppingCase& c : cases) {
        SCOPED_TRACE("slots " + std::to_string(c.slots) + (c.right ? " right " : " left ") +
                     std::to_string(c.index));
        const Context context = c.slots == 32 ? makeContext(ParameterPreset::FX) : customContext(7);
        ASSERT_EQ(context->parameter.fullSlots, c.slots);
        Keyed k(context);
        k.genLeftKeys(c.keys);
        clearOpHistory(k.context);
        const Ciphertext op = ciphertextOf(context, integerSlot);
        Ciphertext res(context, false);
        // The implementation receives the index unreduced, as rotSum and the ladders pass it.
        const std::string message = thrownMessage([&] {
            if (c.right)
                k.eval.impl->rightRotate(op, c.index, res);
            else
                k.eval.impl->leftRotate(op, c.index, res);
        });
        EXPECT_EQ(message, c.message.empty() ? "<no exception>" : c.message);
        EXPECT_EQ(countOf(context, "Rotate"), c.rotates);
        if (!c.message.empty())
            continue;
        const u64 n = c.slots;
        const u64 shift = c.right ? (n - c.index % n) % n : c.index % n;
        for (u64 i = 0; i < n; ++i)
            ASSERT_EQ(res.message()[i], op.message()[(i + shift) % n]) << "slot " << i;
        EXPECT_EQ(getOpHistory(context).size(), c.rotates == 0 ? 0u : 1u);
    }
}

// Called directly with an amount above the slot count, the key stepping is that of the amount's residue.
TEST(RotationTest, KeySteppingOfALargeAmountIsThatOfItsResidue) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.genLeftKeys({1, 2});
    const std::vector<std::pair<u64, SteppingCase>> cases = {
        {63, {32, {}, 31, false, 0, kMissing + "31"}},
        {~u64{0}, {32, {}, 31, false, 0, kMissing + "31"}},
        {35, {32, {}, 3, false, 1, kMissing + "4"}},
        {66, {32, {}, 2, false, 1, ""}},
        {64, {32, {}, 0, false, 0, ""}},
    };
    for (const auto& [amount, c] : cases) {
        SCOPED_TRACE("amount " + std::to_string(amount));
        clearOpHistory(k.context);
        const std::string message =
            thrownMessage([&] { k.eval.impl->recordLeftRotation(k.pack, amount, static_cast<int>(DeviceType::CPU)); });
        EXPECT_EQ(message, c.message.empty() ? "<no exception>" : c.message);
        EXPECT_EQ(countOf(k.context, "Rotate"), c.rotates);
    }
}

TEST(RotationTest, RotationCopiesBookkeepingAndTakesTheDevice) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.genLeftKeys({3});
    Ciphertext op = ciphertextOf(k.context, integerSlot, 7, -2);
    op.setLogSlots(4);
    op.allocate(Device(DeviceType::GPU, 1));
    Ciphertext res(k.context, false);
    res.setSize(3);
    clearOpHistory(k.context);

    k.eval.leftRotate(op, 3, res);
    EXPECT_EQ(res.getSize(), 2u);
    EXPECT_EQ(res.getLevel(), 7u);
    EXPECT_EQ(res.getRescaleCounter(), -2);
    EXPECT_EQ(res.getLogSlots(), 4u);
    EXPECT_EQ(res.getDevice().type(), DeviceType::GPU);
    EXPECT_EQ(res.getDevice().id(), 1);
    EXPECT_EQ(countOf(k.context, "Rotate (GPU)"), 1u);
    EXPECT_EQ(countOf(k.context, "Rotate"), 0u);

    // In place gives the same slots as into another object.
    Ciphertext inPlace = op;
    k.eval.leftRotate(inPlace, 3, inPlace);
    for (u64 i = 0; i < 32; ++i)
        ASSERT_EQ(inPlace.message()[i], res.message()[i]);

    // Other device types rotate and count nothing.
    for (const DeviceType type : {DeviceType::UNDEFINED, DeviceType::CPU_PINNED}) {
        op.allocate(Device(type, 0));
        clearOpHistory(k.context);
        k.eval.leftRotate(op, 3, res);
        EXPECT_TRUE(getOpHistory(k.context).empty());
        EXPECT_EQ(res.message()[0], op.message()[3]);
    }
}

TEST(RotationTest, RotationByZeroCopiesWholeAndSizeIsCheckedFirst) {
    Keyed k(makeContext(ParameterPreset::FX));
    const Context other = makeContext(ParameterPreset::FX);
    Ciphertext op = ciphertextOf(other, integerSlot, 2, 3);
    op.setLogSlots(3);
    Ciphertext res(k.context, false);
    clearOpHistory(k.context);

    k.eval.leftRotate(op, 8, res); // reduced to 0 by the handle
    EXPECT_EQ(res.context(), other);
    EXPECT_EQ(res.getLevel(), 2u);
    EXPECT_EQ(res.getRescaleCounter(), 3);
    EXPECT_EQ(res.message()[5], op.message()[5]);
    k.eval.rightRotate(op, 0, res);
    EXPECT_TRUE(getOpHistory(k.context).empty());

    op.setSize(3);
    Ciphertext untouched(k.context, false);
    untouched.setSize(4);
    EXPECT_EQ(thrownMessage([&] { k.eval.leftRotate(op, 0, untouched); }), "Size should be 2");
    EXPECT_EQ(untouched.getSize(), 4u);
    // A missing key leaves the result with size 2 and nothing else written.
    op.setSize(2);
    EXPECT_EQ(thrownMessage([&] { k.eval.leftRotate(op, 4, untouched); }), kMissing + "4");
    EXPECT_EQ(untouched.getSize(), 2u);
    EXPECT_EQ(untouched.getLevel(), Ciphertext(k.context, false).getLevel());
    EXPECT_EQ(untouched.message()[0], Complex());
}

TEST(RotationTest, StepKeysAreLoadedLazilyFromTheKeyDirectory) {
    Context context = makeContext(ParameterPreset::FX);
    const datatest::SavedKeyDir dir(context, [](KeyGenerator& keygen) { keygen.genRotationKeyBundle(); });
    clearOpHistory(context);
    HomEvaluator eval(context, dir.path());
    const Ciphertext op = ciphertextOf(context, integerSlot);
    Ciphertext res(context, false);

    eval.leftRotate(op, 5, res); // no RotKey5.bin: steps 1 and 4, each read on first use
    EXPECT_EQ(countOf(context, "Load rotation key"), 2u);
    EXPECT_EQ(countOf(context, "Rotate"), 2u);
    eval.leftRotate(op, 4, res);
    eval.rightRotate(op, 4, res); // left index 28 of the bundle
    EXPECT_EQ(countOf(context, "Load rotation key"), 3u);
    EXPECT_EQ(countOf(context, "Rotate"), 4u);
}

TEST(RotationTest, DecomposeIntoPowersOfTwo) {
    const std::vector<std::pair<u64, std::vector<u64>>> cases = {
        {1, {1}},
        {4, {4}},
        {3, {4, 2, 1}},
        {5, {8, 4, 1}},
        {7, {8, 2, 1}},
        {11, {16, 8, 4, 2, 1}},
        {13, {16, 4, 1}},
        {10, {16, 8, 2}},
        {u64{1} << 63, {u64{1} << 63}},
    };
    std::vector<u64> list = {99, 98};
    for (const auto& [n, expected] : cases) {
        u64 count = 42;
        decomposeIntoPowersOfTwo(n, list, count);
        EXPECT_EQ(list, expected) << n;
        EXPECT_EQ(count, expected.size()) << n;
    }
    u64 count = 0;
    decomposeIntoPowersOfTwo(0, list, count);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(count, 0u);
    EXPECT_THROW(decomposeIntoPowersOfTwo((u64{1} << 63) + 1, list, count), RuntimeException);
}

// Rotations and additions of the ladders per count: n = 0 to 9.
struct LadderCounts {
    u64 rotations;
    u64 additions;
};
const LadderCounts kLadder[] = {{0, 0}, {0, 0}, {1, 1}, {2, 2}, {2, 2}, {4, 5}, {3, 3}, {4, 5}, {3, 3}, {5, 6}};

TEST(RotationTest, CiphertextLaddersMatchThePlainSum) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.genLeftKeys(allIndicesBelow(32));
    const Ciphertext op = ciphertextOf(k.context, integerSlot, 6, 0);
    const std::vector<Complex> slots = op.message().slots();
    for (const bool left : {true, false}) {
        for (u64 gap : {u64{1}, u64{3}}) {
            for (u64 n = 0; n <= 9; ++n) {
                SCOPED_TRACE((left ? "left n " : "right n ") + std::to_string(n) + " gap " + std::to_string(gap));
                clearOpHistory(k.context);
                Ciphertext out(k.context, false);
                if (left)
                    k.eval.leftRotateReduce(op, gap, n, out);
                else
                    k.eval.rightRotateReduce(op, gap, n, out);
                EXPECT_EQ(countOf(k.context, "Rotate"), kLadder[n].rotations);
                EXPECT_EQ(countOf(k.context, "ctxt + ctxt"), kLadder[n].additions);
                EXPECT_EQ(out.getLevel(), 6u);
                EXPECT_EQ(out.getSize(), 2u);
                const std::vector<Complex> expected = plainRotationSum(slots, gap, n == 0 ? 1 : n, left);
                for (u64 i = 0; i < 32; ++i)
                    ASSERT_EQ(out.message()[i], expected[i]) << "slot " << i;
            }
        }
    }
}

TEST(RotationTest, LadderOfFiveRotatesThreeTimesLeftAndOnceRight) {
    // With only the keys of the ladder of 5 (left 4, 1, 2 and right 4 = left 28), any other use would fail.
    Keyed k(makeContext(ParameterPreset::FX));
    k.genLeftKeys({1, 2, 4, 28});
    const Ciphertext op = ciphertextOf(k.context, integerSlot);
    Ciphertext out(k.context, false);
    clearOpHistory(k.context);
    k.eval.leftRotateReduce(op, 1, 5, out);
    EXPECT_EQ(countOf(k.context, "Rotate"), 4u);
    EXPECT_EQ(countOf(k.context, "ctxt + ctxt"), 5u);
}

// The left indices each ladder rotates by with a gap of 1 on 32 slots (a right rotation by x is the left index
// 32 - x), and its "Rotate" and "ctxt + ctxt" counts. Given only these keys, a rotation by any other amount
// either fails or steps through powers of two and counts more.
struct LadderKeys {
    u64 n;
    std::vector<u64> keys;
    u64 rotations;
    u64 additions;
};

TEST(RotationTest, LaddersRotateByTheirSequencesAmounts) {
    const std::vector<LadderKeys> cases = {
        {2, {1}, 1, 1},
        {3, {1}, 2, 2},
        {4, {1, 2}, 2, 2},
        {5, {4, 1, 2, 28}, 4, 5},          // L4 L1 L2 R4
        {6, {1, 2}, 3, 3},                 // L1 L2 L2
        {7, {6, 1, 30, 28}, 4, 5},         // L6 L1 R2 R4
        {8, {1, 2, 4}, 3, 3},
        {9, {8, 1, 2, 4, 24}, 5, 6},       // L8 L1 L2 L4 R8
        {10, {8, 1, 2, 4, 24}, 5, 6},
        {11, {10, 1, 30, 4, 24}, 5, 8},    // L10 L1 R2 L4 R8
        {12, {1, 2, 4}, 4, 4},             // L1 L2 L4 L4
        {13, {12, 1, 2, 28, 24}, 5, 6},    // L12 L1 L2 R4 R8
    };
    for (const bool left : {true, false}) {
        for (const LadderKeys& c : cases) {
            SCOPED_TRACE((left ? "left n " : "right n ") + std::to_string(c.n));
            Keyed k(makeContext(ParameterPreset::FX));
            for (const u64 key : c.keys)
                k.keygen.genLeftRotationKey(left ? key : 32 - key);
            const Ciphertext op = ciphertextOf(k.context, integerSlot);
            Ciphertext out(k.context, false);
            clearOpHistory(k.context);
            if (left)
                k.eval.leftRotateReduce(op, 1, c.n, out);
            else
                k.eval.rightRotateReduce(op, 1, c.n, out);
            EXPECT_EQ(getOpHistory(k.context),
                      (std::map<std::string, u64>{{"Rotate", c.rotations}, {"ctxt + ctxt", c.additions}}));
            EXPECT_EQ(out.message().slots(), plainRotationSum(op.message().slots(), 1, c.n, left));
        }
    }
}

TEST(RotationTest, LaddersCopyWithoutChecksWhenNothingRotates) {
    Keyed k(makeContext(ParameterPreset::FX));
    Ciphertext op = ciphertextOf(k.context, integerSlot, 4, 1);
    op.setSize(3);
    for (const auto& [gap, n] : std::vector<std::pair<u64, u64>>{{1, 0}, {1, 1}, {0, 8}}) {
        Ciphertext out(k.context, false);
        clearOpHistory(k.context);
        k.eval.leftRotateReduce(op, gap, n, out);
        EXPECT_EQ(out.getSize(), 3u);
        EXPECT_EQ(out.getRescaleCounter(), 1);
        EXPECT_EQ(out.message()[1], op.message()[1]);
        EXPECT_TRUE(getOpHistory(k.context).empty());
    }
    Ciphertext out(k.context, false);
    EXPECT_EQ(thrownMessage([&] { k.eval.rightRotateReduce(op, 1, 2, out); }), "Size should be 2");
}

TEST(RotationTest, LadderGapsBeyondTheSlotCountWrapWithoutOverflow) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.genLeftKeys(allIndicesBelow(32));
    const Ciphertext op = ciphertextOf(k.context, integerSlot);
    const auto run = [&](u64 gap, u64 n, bool left) {
        clearOpHistory(k.context);
        Ciphertext out(k.context, false);
        if (left)
            k.eval.leftRotateReduce(op, gap, n, out);
        else
            k.eval.rightRotateReduce(op, gap, n, out);
        return std::make_pair(out.message().slots(), getOpHistory(k.context));
    };
    // n * gap wraps in 64 bits here; the ladder still takes every step and rotates by the gap modulo 32.
    const u64 big = (u64{1} << 62) + 1;
    for (const u64 n : {4, 5, 6, 7}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(run(big, n, true), run(1, n, true));
        EXPECT_EQ(run(big, n, false), run(1, n, false));
    }
    // A gap that is a multiple of the slot count: every rotation is a copy, every addition still counts.
    const auto [slots, history] = run(u64{1} << 62, 8, true);
    EXPECT_EQ(history, (std::map<std::string, u64>{{"ctxt + ctxt", 3}}));
    for (u64 i = 0; i < 32; ++i)
        ASSERT_EQ(slots[i], op.message()[i] * 8.0);
    // A gap of 0 keeps the copy.
    EXPECT_EQ(run(0, 16, true).second.size(), 0u);
}

TEST(RotationTest, MessageRotateReduceAddsInOrderAndCountsNothing) {
    Keyed k(makeContext(ParameterPreset::FX));
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Message op(3);
    for (Complex& slot : op.slots())
        slot = Complex(value(engine), value(engine));
    op.allocate(Device(DeviceType::GPU, 2));
    clearOpHistory(k.context);
    for (const bool left : {true, false}) {
        for (const u64 gap : {u64{1}, u64{3}, u64{13}}) { // 3 * 8 and 13 exceed the 8 slots: they wrap
            for (u64 n = 0; n <= 9; ++n) {
                SCOPED_TRACE((left ? "left n " : "right n ") + std::to_string(n) + " gap " + std::to_string(gap));
                // The same additions in the same order, through rotated temporaries.
                Message expected = op;
                for (u64 i = 1; i < n; ++i) {
                    Message rotated(3);
                    const u64 s = (i * gap) % 8;
                    for (u64 j = 0; j < 8; ++j)
                        rotated[j] = left ? op[(j + s) % 8] : op[(j + 8 - s) % 8];
                    for (u64 j = 0; j < 8; ++j)
                        expected[j] = expected[j] + rotated[j];
                }
                Message out(5);
                Message inPlace = op;
                if (left) {
                    k.eval.leftRotateReduce(op, gap, n, out);
                    k.eval.leftRotateReduce(inPlace, gap, n, inPlace);
                } else {
                    k.eval.rightRotateReduce(op, gap, n, out);
                    k.eval.rightRotateReduce(inPlace, gap, n, inPlace);
                }
                ASSERT_EQ(out.getSize(), 8u);
                EXPECT_EQ(out.getDevice().type(), DeviceType::GPU);
                for (u64 j = 0; j < 8; ++j) {
                    ASSERT_TRUE(sameBits(out[j], expected[j])) << "slot " << j;
                    ASSERT_TRUE(sameBits(inPlace[j], expected[j])) << "slot " << j;
                }
            }
        }
    }
    EXPECT_TRUE(getOpHistory(k.context).empty());
}

struct Interrupted {};

TEST(RotationTest, MessageRotateReduceWithAHugeCountEndsAtAnInstalledCheck) {
    Keyed k(makeContext(ParameterPreset::FX));
    Message op(5, Complex(1.0, 0.0));
    Message out(5);
    static int checks = 0;
    checks = 0;
    setInterruptCheck([] {
        if (++checks == 3)
            throw Interrupted{};
    });
    EXPECT_THROW(k.eval.leftRotateReduce(op, 1, ~u64{0}, out), Interrupted);
    setInterruptCheck(nullptr);
    EXPECT_EQ(checks, 3);
    // Without a check installed, polls cost nothing and change nothing.
    k.eval.leftRotateReduce(op, 1, 4, out);
    EXPECT_EQ(out[0], Complex(4.0, 0.0));
}

TEST(RotationTest, RotSumAddsRotatedTermsEachNeedingItsOwnKey) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.genLeftKeys({1, 2, 4, 8, 16, 3});
    const Ciphertext a = ciphertextOf(k.context, integerSlot, 5);
    const Ciphertext b = ciphertextOf(k.context, [](u64 i) { return Complex(static_cast<double>(i), -1.0); }, 4);

    // One term is leftRotate alone, with its stepping; the first index is reduced modulo the slot count.
    Ciphertext single(k.context, false);
    Ciphertext rotated(k.context, false);
    clearOpHistory(k.context);
    k.eval.rotSum({a}, {32 + 5}, single);
    EXPECT_EQ(countOf(k.context, "Rotate"), 2u);
    k.eval.leftRotate(a, 5, rotated);
    EXPECT_EQ(single.message().slots(), rotated.message().slots());

    // Later terms need their own key.
    Ciphertext sum(k.context, false);
    clearOpHistory(k.context);
    k.eval.rotSum({a, b}, {5, 3}, sum);
    EXPECT_EQ(countOf(k.context, "Rotate"), 3u);
    EXPECT_EQ(countOf(k.context, "ctxt + ctxt"), 1u);
    EXPECT_EQ(sum.getLevel(), 4u);
    for (u64 i = 0; i < 32; ++i)
        ASSERT_EQ(sum.message()[i], a.message()[(i + 5) % 32] + b.message()[(i + 3) % 32]);
    EXPECT_EQ(thrownMessage([&] { k.eval.rotSum({a, b}, {3, 5}, sum); }), kMissing + "5");
    EXPECT_EQ(thrownMessage([&] { k.eval.rotSum({a, b}, {3, 0}, sum); }), kMissing + "0");

    Ciphertext other = b;
    other.setRescaleCounter(1);
    EXPECT_EQ(thrownMessage([&] { k.eval.rotSum({a, other}, {3, 3}, sum); }), "Two operands have different RescaleCounter");

    // Every ciphertext is size-checked, also those beyond the indices; lists that cannot be summed are refused;
    // none of these writes anything.
    Ciphertext big = b;
    big.setSize(3);
    Ciphertext untouched = ciphertextOf(k.context, integerSlot, 9, 0);
    untouched.setSize(3);
    clearOpHistory(k.context);
    EXPECT_EQ(thrownMessage([&] { k.eval.rotSum({a, b, big}, {3}, untouched); }), "Size should be 2");
    EXPECT_EQ(thrownMessage([&] { k.eval.rotSum({a, b}, {}, untouched); }), "[rotSum] no rotation index given");
    EXPECT_EQ(thrownMessage([&] { k.eval.rotSum({a}, {3, 3}, untouched); }),
              "[rotSum] fewer ciphertexts than rotation indices");
    EXPECT_EQ(thrownMessage([&] { k.eval.rotSum({}, {3}, untouched); }),
              "[rotSum] fewer ciphertexts than rotation indices");
    EXPECT_EQ(untouched.getSize(), 3u);
    EXPECT_EQ(untouched.getLevel(), 9u);
    EXPECT_TRUE(getOpHistory(k.context).empty());
}

} // namespace

// The ladders' temporaries come from one evaluator whatever the thread: more threads than it keeps
// temporaries for, each summing and killing imaginary parts over and over, all get the one-thread results.
TEST(RotationTest, ConcurrentLaddersOnOneEvaluatorAgree) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.genLeftKeys(allIndicesBelow(32));
    k.keygen.genConjugationKey();
    const Ciphertext op = ciphertextOf(k.context, integerSlot, 6, 0);
    const std::vector<Complex> slots = op.message().slots();
    Ciphertext killed(k.context, false);
    k.eval.killImag(op, killed);
    std::vector<std::thread> threads;
    std::vector<int> failures(12, 0);
    for (std::size_t t = 0; t < failures.size(); ++t)
        threads.emplace_back([&, t] {
            Ciphertext out(k.context, false);
            for (int round = 0; round < 100; ++round)
                for (const u64 n : {u64{5}, u64{7}, u64{11}}) {
                    const bool left = (round + t) % 2 == 0;
                    if (left)
                        k.eval.leftRotateReduce(op, 1, n, out);
                    else
                        k.eval.rightRotateReduce(op, 1, n, out);
                    failures[t] += out.message().slots() != plainRotationSum(slots, 1, n, left);
                    k.eval.killImag(op, out);
                    failures[t] += out.message().slots() != killed.message().slots();
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(failures.size(), 0));
}
