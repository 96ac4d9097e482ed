#include "tests/eval/KeyedEvaluator.hpp"

#include "morvane/eval/HomEvaluator.hpp"

#include <cmath>

namespace {

using namespace keyedtest;

const Complex kSlot(2.0, 3.0);

// Checks in order: the first failing one decides; `size` is the result's size afterwards.
struct CheckCase {
    std::string name;
    u64 level;
    int rescaleCounter;
    u64 opSize;
    std::function<void(const HomEvaluator&, Ciphertext&, Ciphertext&)> run;
    std::string message;
    u64 resultSize;
};

TEST(LevelsTest, ChecksInOrder) {
    // FX: chain length 25, so the maximum level is 24.
    const std::vector<CheckCase> cases = {
        {"rescale level 0 before counter", 0, 0, 2, [](auto& e, auto& op, auto&) { e.rescale(op); },
         "The level of the operand is zero", 5},
        {"rescale counter 0", 3, 0, 2, [](auto& e, auto& op, auto&) { e.rescale(op); },
         "[rescale] Rescale Counter of the Ciphertext is zero or less", 5},
        {"rescale counter negative", 3, -1, 2, [](auto& e, auto& op, auto&) { e.rescale(op); },
         "[rescale] Rescale Counter of the Ciphertext is zero or less", 5},
        {"inverseRescale at the maximum", 24, 0, 2, [](auto& e, auto& op, auto&) { e.inverseRescale(op); },
         "[inverseRescale] Cannot inverseRescale when the level is greater than or equal to the maximum level", 5},
        {"levelDown above the level", 3, 1, 3, [](auto& e, auto& op, auto& res) { e.levelDown(op, 4, res); },
         "[level down] target level is greater than level of Ciphertext", 3},
        {"levelDown counter", 3, 1, 3, [](auto& e, auto& op, auto& res) { e.levelDown(op, 2, res); },
         "The Operand should have rescale counter zero", 3},
        {"levelDownOne level 0", 0, 1, 3, [](auto& e, auto& op, auto& res) { e.levelDownOne(op, res); },
         "The level of the operand is zero", 3},
        {"levelDownOne counter", 1, 1, 3, [](auto& e, auto& op, auto& res) { e.levelDownOne(op, res); },
         "The Operand should have rescale counter zero", 3},
        {"conjugate size", 0, 0, 3, [](auto& e, auto& op, auto& res) { e.conjugate(op, res); }, "Size should be 2",
         5},
        {"conjugate key", 0, 0, 2, [](auto& e, auto& op, auto& res) { e.conjugate(op, res); },
         "[Conjugate] no conjugation key", 2},
        {"killImag size", 1, 0, 3, [](auto& e, auto& op, auto& res) { e.killImag(op, res); }, "Size should be 2", 5},
        {"killImag key", 1, 0, 2, [](auto& e, auto& op, auto& res) { e.killImag(op, res); },
         "[Conjugate] no conjugation key", 5},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        Keyed k(makeContext(ParameterPreset::FX));
        Ciphertext op = ciphertextOf(k.context, [](u64) { return kSlot; }, c.level, c.rescaleCounter);
        op.setSize(c.opSize);
        Ciphertext res(k.context, false);
        res.setSize(5);
        clearOpHistory(k.context);
        EXPECT_EQ(thrownMessage([&] { c.run(k.eval, op, res); }), c.message);
        EXPECT_EQ(res.getSize(), c.resultSize);
        EXPECT_EQ(res.message()[0], Complex());
        EXPECT_EQ(op.getLevel(), c.level);
        EXPECT_EQ(op.getRescaleCounter(), c.rescaleCounter);
        EXPECT_TRUE(getOpHistory(k.context).empty());
    }
}

TEST(LevelsTest, RescaleAndInverseRescale) {
    Keyed k(makeContext(ParameterPreset::FX));
    Ciphertext op = ciphertextOf(k.context, [](u64) { return kSlot; }, 3, 1);
    op.setSize(3);
    op.setLogSlots(2);
    k.eval.rescale(op);
    EXPECT_EQ(op.getLevel(), 2u);
    EXPECT_EQ(op.getRescaleCounter(), 0);
    EXPECT_EQ(op.getSize(), 3u);
    EXPECT_EQ(op.getLogSlots(), 2u);
    EXPECT_EQ(op.message()[7], kSlot);
    EXPECT_EQ(countOf(k.context, "Rescale"), 1u);
    EXPECT_THROW(k.eval.rescale(op), RuntimeException);

    op.setLevel(23);
    op.setRescaleCounter(-5);
    k.eval.inverseRescale(op);
    EXPECT_EQ(op.getLevel(), 24u);
    EXPECT_EQ(op.getRescaleCounter(), -4);
    EXPECT_EQ(countOf(k.context, "Inverse rescale"), 1u);
    EXPECT_THROW(k.eval.inverseRescale(op), RuntimeException);
    EXPECT_EQ(countOf(k.context, "Inverse rescale"), 1u);
}

TEST(LevelsTest, LevelDownCopiesAtTheTargetLevel) {
    Keyed k(makeContext(ParameterPreset::FX));
    Ciphertext op = ciphertextOf(k.context, integerSlot, 6, 0);
    op.setSize(3);
    op.setLogSlots(4);
    op.allocate(Device(DeviceType::GPU, 3));
    Ciphertext res(k.context, false);
    k.eval.levelDown(op, 6, res); // the current level is allowed
    EXPECT_EQ(res.getLevel(), 6u);
    k.eval.levelDown(op, 1, res);
    EXPECT_EQ(res.getLevel(), 1u);
    EXPECT_EQ(res.getSize(), 3u);
    EXPECT_EQ(res.getLogSlots(), 4u);
    EXPECT_EQ(res.getDevice().type(), DeviceType::GPU);
    EXPECT_EQ(res.getDevice().id(), 3);
    EXPECT_EQ(res.message().slots(), op.message().slots());
    k.eval.levelDownOne(op, op);
    EXPECT_EQ(op.getLevel(), 5u);
    EXPECT_EQ(countOf(k.context, "Level down (GPU)"), 3u);
    EXPECT_EQ(countOf(k.context, "Level down"), 0u);
}

TEST(LevelsTest, ConjugateFlipsTheImaginarySignBit) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.keygen.genConjugationKey();
    Ciphertext op = ciphertextOf(k.context, [](u64 i) { return i == 0 ? Complex(1.0, 0.0) : Complex(-2.0, -0.5); },
                                 0, 7);
    op.setLogSlots(1);
    Ciphertext res(k.context, false);
    k.eval.conjugate(op, res);
    EXPECT_TRUE(sameBits(res.message()[0], Complex(1.0, -0.0)));
    EXPECT_TRUE(sameBits(res.message()[1], Complex(-2.0, 0.5)));
    EXPECT_EQ(res.getLevel(), 0u);
    EXPECT_EQ(res.getRescaleCounter(), 7);
    EXPECT_EQ(res.getLogSlots(), 1u);
    EXPECT_EQ(countOf(k.context, "Conjugate"), 1u);

    for (const DeviceType type : {DeviceType::UNDEFINED, DeviceType::CPU_PINNED}) {
        op.allocate(Device(type, 0));
        clearOpHistory(k.context);
        k.eval.conjugate(op, op);
        EXPECT_EQ(op.getDevice().type(), type);
        EXPECT_TRUE(getOpHistory(k.context).empty());
    }
    EXPECT_TRUE(sameBits(op.message()[0], Complex(1.0, 0.0))); // conjugated twice
}

TEST(LevelsTest, ConjugationKeyIsLoadedLazily) {
    Context context = makeContext(ParameterPreset::FX);
    const datatest::SavedKeyDir dir(context, [](KeyGenerator& keygen) { keygen.genConjugationKey(); });
    HomEvaluator eval(context, dir.path());
    clearOpHistory(context);
    const Ciphertext op = ciphertextOf(context, [](u64) { return kSlot; });
    Ciphertext res(context, false);
    eval.conjugate(op, res);
    eval.conjugate(op, res);
    EXPECT_EQ(countOf(context, "Load conjugation key"), 1u);
    EXPECT_EQ(countOf(context, "Conjugate"), 2u);
}

TEST(LevelsTest, KillImagKeepsRealPartsOneLevelLower) {
    for (const Device device : {Device(DeviceType::CPU, 0), Device(DeviceType::GPU, 0)}) {
        Keyed k(makeContext(ParameterPreset::FX));
        k.keygen.genConjugationKey();
        Ciphertext op = ciphertextOf(k.context, [](u64 i) { return Complex(2.0 + static_cast<double>(i), 3.0); }, 1,
                                     0);
        op.setLogSlots(3);
        op.allocate(device);
        Ciphertext res(k.context, false);
        res.setSize(3);
        clearOpHistory(k.context);
        k.eval.killImag(op, res);
        for (u64 i = 0; i < 32; ++i)
            ASSERT_EQ(res.message()[i], Complex(2.0 + static_cast<double>(i), 0.0));
        EXPECT_EQ(res.getLevel(), 0u);
        EXPECT_EQ(res.getRescaleCounter(), 0);
        EXPECT_EQ(res.getLogSlots(), 3u);
        EXPECT_EQ(res.getSize(), 2u);
        EXPECT_EQ(res.getDevice().type(), device.type());
        const std::string gpu = device.type() == DeviceType::GPU ? " (GPU)" : "";
        const std::map<std::string, u64> expected = {
            {"Conjugate" + gpu, 1}, {"ctxt * cnst W/R" + gpu, 1}, {"Rescale" + gpu, 1}};
        EXPECT_EQ(getOpHistory(k.context), expected);
    }
}

TEST(LevelsTest, KillImagFailuresAfterConjugation) {
    Keyed k(makeContext(ParameterPreset::FX));
    k.keygen.genConjugationKey();
    clearOpHistory(k.context);

    // Level 0 fails in the half-multiplication, after "Conjugate" and with the result's size set to 2.
    const Ciphertext flat = ciphertextOf(k.context, [](u64) { return kSlot; }, 0, 0);
    Ciphertext res(k.context, false);
    res.setSize(3);
    EXPECT_EQ(thrownMessage([&] { k.eval.killImag(flat, res); }), "The level of the operand is zero");
    EXPECT_EQ(res.getSize(), 2u);
    EXPECT_EQ(res.message()[0], Complex());
    EXPECT_EQ(getOpHistory(k.context), (std::map<std::string, u64>{{"Conjugate", 1}}));

    // A negative counter fails in the rescale, after the half was written.
    clearOpHistory(k.context);
    const Ciphertext negative = ciphertextOf(k.context, [](u64) { return kSlot; }, 2, -1);
    EXPECT_EQ(thrownMessage([&] { k.eval.killImag(negative, res); }),
              "[rescale] Rescale Counter of the Ciphertext is zero or less");
    EXPECT_EQ(res.message()[0], Complex(2.0, 0.0));
    EXPECT_EQ(res.getRescaleCounter(), 0);
    EXPECT_EQ(getOpHistory(k.context), (std::map<std::string, u64>{{"Conjugate", 1}, {"ctxt * cnst W/R", 1}}));
}

} // namespace
