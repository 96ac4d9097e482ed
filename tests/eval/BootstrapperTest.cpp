#include "tests/eval/KeyedEvaluator.hpp"

#include "morvane/eval/Bootstrapper.hpp"
#include "morvane/eval/HomEvaluator.hpp"

#include <algorithm>
#include <optional>
#include <thread>
#include <tuple>

namespace {

using namespace keyedtest;

// A context with the keys bootstrapping asks for, optionally leaving one out.
struct BootKeys {
    explicit BootKeys(ParameterPreset preset) : k(makeContext(preset)) {}

    Context& context() { return k.context; }
    u64 logFull() const { return getLogFullSlots(k.context); }

    void genMult() const { k.keygen.genMultiplicationKey(); }
    void genConj() const { k.keygen.genConjugationKey(); }
    void genRot(u64 log_slots, std::optional<i64> except = std::nullopt) const {
        const u64 n = k.context->parameter.fullSlots;
        for (const i64 index : getRotIndicesForBootstrap(k.context, log_slots))
            if (index != except)
                k.keygen.genLeftRotationKey(static_cast<u64>(index) & (n - 1));
    }
    void genSse() const {
        if (!isSparseSecretEncapsulationSupported(k.context))
            return;
        const Context sparse = makeContext(getSparseParameterPresetFor(k.context->parameter.preset));
        KeyGenerator(k.context, sparse, k.sk, k.pack).genSparseSecretEncapsulationKey();
    }
    void genAll(const std::vector<u64>& logSlots) const {
        genMult();
        genConj();
        for (const u64 ls : logSlots)
            genRot(ls);
        genSse();
    }

    Ciphertext input(u64 level, const std::function<Complex(u64)>& value = integerSlot) const {
        return ciphertextOf(k.context, value, level, 0);
    }

    Keyed k;
};

std::vector<Complex> sortedSlots(const Message& m) {
    std::vector<Complex> slots = m.slots();
    std::sort(slots.begin(), slots.end(), [](const Complex& a, const Complex& b) {
        return a.real() != b.real() ? a.real() < b.real() : a.imag() < b.imag();
    });
    return slots;
}

Message blobOf(const Context& context, const std::string& key) {
    const ZeroResponse* entry = findZeroResponse(context->parameter.presetName, key);
    return binaryToMessage(context, entry->sampleData, entry->sampleBytes);
}

TEST(BootstrapperTest, ConstructorsCheckInTheirOrder) {
    const auto run = [](ParameterPreset preset, const std::function<void(const HomEvaluator&)>& make) {
        Keyed k(makeContext(preset));
        return thrownMessage([&] { make(k.eval); });
    };
    const Context sparse = makeContext(ParameterPreset::SGd0);
    const Context fx = makeContext(ParameterPreset::FX);
    const std::string unsupported = "The Parameter does not support bootstrap";

    EXPECT_EQ(run(ParameterPreset::ST19, [](auto& e) { Bootstrapper b(e); }), unsupported);
    // Without a sparse context the log slots are prepared before the support check.
    EXPECT_EQ(run(ParameterPreset::ST19, [](auto& e) { Bootstrapper b(e, 15); }), "log_slots should not exceed 14");
    EXPECT_EQ(run(ParameterPreset::ST19, [](auto& e) { Bootstrapper b(e, 14); }), unsupported);
    EXPECT_EQ(run(ParameterPreset::FX, [](auto& e) { Bootstrapper b(e, 6); }), "log_slots should not exceed 5");
    // With one, the three checks come first.
    EXPECT_EQ(run(ParameterPreset::ST19, [&](auto& e) { Bootstrapper b(e, sparse, 99); }), unsupported);
    EXPECT_EQ(run(ParameterPreset::FX, [&](auto& e) { Bootstrapper b(e, sparse, 99); }),
              "[Bootstrapper] context does not support sparse secret encapsulation");
    EXPECT_EQ(run(ParameterPreset::FGd, [&](auto& e) { Bootstrapper b(e, fx, 99); }),
              "[Bootstrapper] parameter of context and context_sparse does not match");
    EXPECT_EQ(run(ParameterPreset::FGd, [&](auto& e) { Bootstrapper b(e, sparse, 16); }),
              "log_slots should not exceed 15");
    EXPECT_EQ(run(ParameterPreset::FGd, [&](auto& e) { Bootstrapper b(e, sparse); }), "<no exception>");
    EXPECT_EQ(run(ParameterPreset::FGd, [&](auto& e) { Bootstrapper b(e, sparse, 4); }), "<no exception>");

    Keyed custom(makeContext(8, 6, 40, 40, 40, 3));
    EXPECT_EQ(thrownMessage([&] { Bootstrapper b(custom.eval); }), unsupported);
}

TEST(BootstrapperTest, BootConstantsArePreparedUpToTheFullSlotsAndSharedByCopies) {
    Keyed k(makeContext(ParameterPreset::FX));
    Bootstrapper b(k.eval, 3);
    EXPECT_TRUE(b.isBootstrapReady(0));
    EXPECT_TRUE(b.isBootstrapReady(3));
    EXPECT_FALSE(b.isBootstrapReady(4));
    EXPECT_FALSE(b.isBootstrapReady(5));
    EXPECT_EQ(thrownMessage([&] { b.loadBootConstants(4, Device(DeviceType::GPU, 1)); }),
              "Bootstrapping constants for log slots 4 do not exist.");
    b.makeBootConstants(4);
    b.makeBootConstants(4);
    b.makeBootConstants(0);
    EXPECT_TRUE(b.isBootstrapReady(4));
    b.loadBootConstants(4, Device());
    b.loadBootConstants(0, Device());
    EXPECT_EQ(thrownMessage([&] { b.makeBootConstants(6); }), "log_slots should not exceed 5");
    EXPECT_FALSE(b.isBootstrapReady(6));
    // Copies share the prepared set.
    Bootstrapper copy = b;
    copy.makeBootConstants(2);
    EXPECT_TRUE(b.isBootstrapReady(2));
    EXPECT_EQ(b.getMinLevelForBootstrap(), 3u);
    EXPECT_TRUE(Bootstrapper(k.eval).isBootstrapReady(5));
    EXPECT_FALSE(Bootstrapper(k.eval).isBootstrapReady(4));
}

enum class Form { One, Extended, Two, TwoExtended };
enum class Missing { None, Mult, Conj, Rot, Sse };

struct BootCheckCase {
    std::string name;
    ParameterPreset preset;
    std::optional<u64> bootLogSlots; // the bootstrapper's; none: the full slots
    std::vector<u64> keyLogSlots;
    Missing missing;
    i64 missingIndex;
    u64 size, level, logSlots;
    int rescaleCounter;
    Form form;
    std::string message;
    u64 resultSize; // the outputs' size afterwards (5 when untouched)
};

TEST(BootstrapperTest, BootstrapChecksInOrder) {
    const std::vector<BootCheckCase> cases = {
        {"size first", ParameterPreset::FX, {}, {5}, Missing::Mult, 0, 3, 2, 5, 1, Form::One, "Size should be 2", 5},
        {"level", ParameterPreset::FX, {}, {5}, Missing::Mult, 0, 2, 2, 5, 1, Form::One,
         "[bootstrap] Level of ciphertext should be >= 3.", 5},
        {"constants", ParameterPreset::FX, 3, {5}, Missing::Mult, 0, 2, 3, 4, 1, Form::One,
         "Bootstrapping constants for log slots 4 do not exist.", 5},
        {"mult key", ParameterPreset::FX, {}, {5}, Missing::Mult, 0, 2, 3, 5, 1, Form::One,
         "[bootstrap] no multiplication key", 5},
        {"conj key", ParameterPreset::FX, {}, {5}, Missing::Conj, 0, 2, 3, 5, 1, Form::One,
         "[bootstrap] no conjugation key", 5},
        {"negative giant step", ParameterPreset::FX, {}, {5}, Missing::Rot, -16, 2, 3, 5, 1, Form::One,
         "[bootstrap] no left rotation key for index -16", 5},
        {"negative giant step -4", ParameterPreset::FX, {}, {5}, Missing::Rot, -4, 2, 3, 5, 1, Form::One,
         "[bootstrap] no left rotation key for index -4", 5},
        {"baby step", ParameterPreset::FX, {}, {5}, Missing::Rot, 12, 2, 3, 5, 1, Form::One,
         "[bootstrap] no left rotation key for index 12", 5},
        {"power of two of fewer slots", ParameterPreset::FX, 3, {3}, Missing::Rot, 16, 2, 3, 3, 1, Form::One,
         "[bootstrap] no left rotation key for index 16", 5},
        {"sse key", ParameterPreset::FGd, {}, {15}, Missing::Sse, 0, 2, 3, 15, 1, Form::One, "[bootstrap] no SSE key",
         5},
        {"rescale counter last", ParameterPreset::FX, {}, {5}, Missing::None, 0, 2, 3, 5, 1, Form::One,
         "The Operand should have rescale counter zero", 2},
        {"extended support", ParameterPreset::FTa, {}, {14}, Missing::None, 0, 2, 2, 14, 1, Form::Extended,
         "This parameter does not support extended bootstrap", 5},
        {"extended level", ParameterPreset::FX, {}, {5}, Missing::None, 0, 2, 3, 5, 1, Form::Extended,
         "[bootstrap extended] Level of ciphertext should be >= 4.", 5},
        {"extended full-slot constants", ParameterPreset::FX, 3, {3}, Missing::None, 0, 2, 4, 3, 0, Form::Extended,
         "Bootstrapping constants for log slots 5 do not exist.", 5},
        {"two outputs: counter first", ParameterPreset::FX, {}, {5}, Missing::Mult, 0, 3, 0, 5, 1, Form::Two,
         "The Operand should have rescale counter zero", 5},
        {"two outputs: then the sizes", ParameterPreset::FX, {}, {5}, Missing::Mult, 0, 3, 0, 5, 0, Form::Two,
         "Size should be 2", 3},
        {"two outputs extended", ParameterPreset::FX, {}, {5}, Missing::None, 0, 2, 3, 5, 0, Form::TwoExtended,
         "[bootstrap extended] Level of ciphertext should be >= 4.", 2},
    };
    for (const BootCheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        BootKeys s(c.preset);
        if (c.missing != Missing::Mult)
            s.genMult();
        if (c.missing != Missing::Mult && c.missing != Missing::Conj)
            s.genConj();
        for (const u64 ls : c.keyLogSlots)
            s.genRot(ls, c.missing == Missing::Rot ? std::optional<i64>(c.missingIndex) : std::nullopt);
        if (c.missing != Missing::Sse)
            s.genSse();
        Bootstrapper b = c.bootLogSlots ? Bootstrapper(s.k.eval, *c.bootLogSlots) : Bootstrapper(s.k.eval);
        Ciphertext op = s.input(c.level);
        op.setSize(c.size);
        op.setLogSlots(c.logSlots);
        op.setRescaleCounter(c.rescaleCounter);
        Ciphertext res1(s.context(), false);
        Ciphertext res2(s.context(), false);
        res1.setSize(5);
        res2.setSize(5);
        clearOpHistory(s.context());
        startStopWatch(s.context());

        const std::string message = thrownMessage([&] {
            switch (c.form) {
            case Form::One: b.bootstrap(op, res1, true); break;
            case Form::Extended: b.bootstrapExtended(op, res1, true); break;
            case Form::Two: b.bootstrap(op, res1, res2); break;
            case Form::TwoExtended: b.bootstrapExtended(op, res1, res2); break;
            }
        });
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(res1.getSize(), c.resultSize);
        if (c.form == Form::Two || c.form == Form::TwoExtended) {
            EXPECT_EQ(res2.getSize(), c.resultSize);
        }
        EXPECT_EQ(res1.getLevel(), Ciphertext(s.context(), false).getLevel());
        EXPECT_EQ(res1.message()[1], Complex());
        EXPECT_TRUE(getOpHistory(s.context()).empty());
        EXPECT_EQ(getDuration(s.context()), 0u);
        EXPECT_FALSE(s.context()->bootstrapWarmedUp.load());
    }
}

TEST(BootstrapperTest, LevelsPerPreset) {
    const std::vector<std::pair<ParameterPreset, u64>> presets = {
        {ParameterPreset::FVa, 16}, {ParameterPreset::FVb, 14}, {ParameterPreset::FVc, 13},
        {ParameterPreset::FGa, 9},  {ParameterPreset::FGb, 12}, {ParameterPreset::FGd, 12},
        {ParameterPreset::FTa, 8},  {ParameterPreset::FTb, 4},  {ParameterPreset::FX, 12},
    };
    for (const auto& [preset, full] : presets) {
        BootKeys s(preset);
        SCOPED_TRACE(s.context()->parameter.presetName);
        simulateError(s.context(), false);
        s.genAll({0, s.logFull()});
        Bootstrapper b(s.k.eval);
        EXPECT_EQ(b.getLevelAfterFullSlotBootstrap(), full);

        Ciphertext op = s.input(3);
        Ciphertext res(s.context(), false);
        b.bootstrap(op, res);
        EXPECT_EQ(res.getLevel(), full);
        op.setLogSlots(0);
        b.bootstrap(op, res);
        EXPECT_EQ(res.getLevel(), preset == ParameterPreset::FVa ? 17u : full);
        EXPECT_EQ(res.getLogSlots(), 0u);
        if (isExtendedBootstrapSupported(s.context())) {
            op.setLevel(4);
            b.bootstrapExtended(op, res);
            EXPECT_EQ(res.getLevel(), full);
            op.setLogSlots(s.logFull());
            b.bootstrapExtended(op, res);
            EXPECT_EQ(res.getLevel(), full);
        }
    }
}

TEST(BootstrapperTest, CostsAndTheOnceWarmUpAcrossBootstrappersOfOneContext) {
    BootKeys s(ParameterPreset::FX);
    s.genAll({5});
    Bootstrapper first(s.k.eval);
    Bootstrapper second(s.k.eval);
    Ciphertext op = s.input(4);
    Ciphertext res(s.context(), false);
    const auto cost = [&](const std::function<void()>& f) {
        startStopWatch(s.context());
        f();
        return getDuration(s.context());
    };
    // A failed bootstrap costs nothing and leaves the warm-up to come.
    op.setRescaleCounter(1);
    EXPECT_EQ(cost([&] { EXPECT_THROW(first.bootstrap(op, res), RuntimeException); }), 0u);
    op.setRescaleCounter(0);
    EXPECT_EQ(cost([&] { first.bootstrap(op, res); }), 18u + 4u);
    EXPECT_EQ(cost([&] { second.bootstrap(op, res); }), 18u);
    EXPECT_EQ(cost([&] { second.bootstrap(op, res, true); }), 35u);
    EXPECT_EQ(cost([&] { first.bootstrapExtended(op, res); }), 48u);
    EXPECT_EQ(cost([&] { first.bootstrapExtended(op, res, true); }), 58u);
    EXPECT_EQ(cost([&] { first.bootstrap(op, res, res); }), 35u);
    EXPECT_EQ(cost([&] { second.bootstrapExtended(op, op, res); }), 58u);
    EXPECT_EQ(countOf(s.context(), "Bootstrap"), 4u);
    EXPECT_EQ(countOf(s.context(), "Bootstrap extended"), 3u);

    // Another context warms up on its own; an extended bootstrap takes the warm-up too.
    BootKeys t(ParameterPreset::FX);
    t.genAll({5});
    Ciphertext other = t.input(4);
    startStopWatch(t.context());
    Bootstrapper(t.k.eval).bootstrapExtended(other, other, true);
    EXPECT_EQ(getDuration(t.context()), 58u + 4u);
}

TEST(BootstrapperTest, ConcurrentFirstBootstrapsChargeTheWarmUpOnce) {
    BootKeys s(ParameterPreset::FX);
    s.genAll({5});
    const Bootstrapper b(s.k.eval);
    const Ciphertext op = s.input(3);
    startStopWatch(s.context());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            Ciphertext res(s.context(), false);
            for (int i = 0; i < 4; ++i)
                b.bootstrap(op, res);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(getDuration(s.context()), 32u * 18u + 4u);
    EXPECT_EQ(countOf(s.context(), "Bootstrap"), 32u);
}

TEST(BootstrapperTest, ErrorSamplesAreTheBlobShuffled) {
    for (const ParameterPreset preset : {ParameterPreset::FX, ParameterPreset::FGb}) {
        BootKeys s(preset);
        SCOPED_TRACE(s.context()->parameter.presetName);
        s.genAll({s.logFull()});
        const Bootstrapper b(s.k.eval);
        // Zero parts add nothing to the samples; a real bootstrap drops the imaginary parts first.
        const Ciphertext zero = s.input(3, [](u64) { return Complex(); });
        const Ciphertext imaginary = s.input(3, [](u64 i) { return Complex(0.0, 7.0 + static_cast<double>(i)); });
        for (const auto& [key, isComplex, extended] :
             std::vector<std::tuple<std::string, bool, bool>>{{"bootstrap_real", false, false},
                                                             {"bootstrap_complex", true, false},
                                                             {"bootstrap_real_extended", false, true},
                                                             {"bootstrap_complex_extended", true, true}}) {
            SCOPED_TRACE(key);
            Ciphertext first(s.context(), false);
            Ciphertext op = isComplex ? zero : imaginary;
            op.setLevel(4);
            Ciphertext second = op; // in place
            if (extended) {
                b.bootstrapExtended(op, first, isComplex);
                b.bootstrapExtended(second, second, isComplex);
            } else {
                b.bootstrap(op, first, isComplex);
                b.bootstrap(second, second, isComplex);
            }
            const std::vector<Complex> expected = sortedSlots(blobOf(s.context(), key));
            EXPECT_EQ(sortedSlots(first.message()), expected);
            EXPECT_EQ(sortedSlots(second.message()), expected);
            EXPECT_NE(first.message().slots(), second.message().slots());
        }

        // A real bootstrap of slots with imaginary parts keeps every imaginary part exactly +0.
        const Ciphertext complexInput = s.input(3, [](u64 i) { return Complex(0.25, 1.0 + static_cast<double>(i)); });
        Ciphertext res(s.context(), false);
        b.bootstrap(complexInput, res);
        for (const Complex& slot : res.message().slots()) {
            ASSERT_TRUE(sameBits(slot.imag(), 0.0));
            ASSERT_NE(slot.real(), 0.25);
        }
        Ciphertext in = complexInput;
        b.bootstrap(in, in, res); // real and imaginary parts, both as real slots
        for (const Ciphertext* out : {&in, &res})
            for (const Complex& slot : out->message().slots())
                ASSERT_TRUE(sameBits(slot.imag(), 0.0));
    }
}

TEST(BootstrapperTest, WithoutErrorTheSlotsAreExact) {
    BootKeys s(ParameterPreset::FX);
    s.genAll({5});
    simulateError(s.context(), false);
    const Bootstrapper b(s.k.eval);
    const Ciphertext op = s.input(3);
    Ciphertext res(s.context(), false);
    b.bootstrap(op, res, true);
    EXPECT_EQ(res.message().slots(), op.message().slots());
    b.bootstrap(op, res, false);
    for (u64 i = 0; i < 32; ++i)
        ASSERT_TRUE(sameBits(res.message()[i], Complex(op.message()[i].real(), 0.0)));
    // In place.
    Ciphertext same = op;
    b.bootstrap(same, same);
    EXPECT_EQ(same.message().slots(), res.message().slots());
    EXPECT_EQ(same.getLevel(), 12u);
}

TEST(BootstrapperTest, TwoOutputsFromOneBootstrap) {
    BootKeys s(ParameterPreset::FX);
    s.genAll({5});
    simulateError(s.context(), false);
    const Bootstrapper b(s.k.eval);
    Ciphertext op = s.input(3);
    op.setLogSlots(5);
    op.allocate(Device(DeviceType::GPU, 2));
    Ciphertext real(s.context(), false);
    Ciphertext imag(s.context(), false);
    real.setSize(3);
    clearOpHistory(s.context());
    startStopWatch(s.context());
    b.bootstrap(op, real, imag);
    EXPECT_EQ(getDuration(s.context()), 35u + 4u);
    EXPECT_EQ(getOpHistory(s.context()), (std::map<std::string, u64>{{"Bootstrap (GPU)", 1}}));
    for (u64 i = 0; i < 32; ++i) {
        ASSERT_TRUE(sameBits(real.message()[i], Complex(op.message()[i].real(), 0.0)));
        ASSERT_TRUE(sameBits(imag.message()[i], Complex(op.message()[i].imag(), 0.0)));
    }
    for (const Ciphertext* res : {&real, &imag}) {
        EXPECT_EQ(res->getSize(), 2u);
        EXPECT_EQ(res->getLevel(), 12u);
        EXPECT_EQ(res->getLogSlots(), 5u);
        EXPECT_EQ(res->getRescaleCounter(), 0);
        EXPECT_EQ(res->getDevice().type(), DeviceType::GPU);
        EXPECT_EQ(res->getDevice().id(), 2);
    }
    // The input may be the real output.
    op.setLevel(4);
    b.bootstrapExtended(op, op, imag);
    EXPECT_EQ(op.message().slots(), real.message().slots());
    EXPECT_EQ(countOf(s.context(), "Bootstrap extended (GPU)"), 1u);

    // The input may be the imaginary output; one object for both outputs ends with the imaginary parts.
    const Ciphertext input = s.input(3);
    Ciphertext overImag = input, first(s.context(), false), both = input;
    b.bootstrap(overImag, first, overImag);
    b.bootstrap(both, both, both);
    for (u64 i = 0; i < 32; ++i) {
        ASSERT_TRUE(sameBits(first.message()[i], Complex(input.message()[i].real(), 0.0)));
        ASSERT_TRUE(sameBits(overImag.message()[i], Complex(input.message()[i].imag(), 0.0)));
        ASSERT_TRUE(sameBits(both.message()[i], Complex(input.message()[i].imag(), 0.0)));
    }

    // A refusal leaves the first output as it was but for its size.
    Ciphertext low = s.input(2);
    low.setSize(2);
    Ciphertext kept = ciphertextOf(s.context(), [](u64 i) { return Complex(static_cast<double>(i), -1.0); }, 7);
    kept.setSize(5);
    const std::vector<Complex> before = kept.message().slots();
    EXPECT_THROW(b.bootstrap(low, kept, imag), RuntimeException);
    EXPECT_EQ(kept.message().slots(), before);
    EXPECT_EQ(kept.getLevel(), 7u);
    EXPECT_EQ(kept.getSize(), 2u);
}

TEST(BootstrapperTest, OneOutputOnDevicesAndShorterOutputs) {
    BootKeys s(ParameterPreset::FGb);
    s.genAll({15});
    const Bootstrapper b(s.k.eval);
    Ciphertext op = s.input(3);
    op.allocate(Device(DeviceType::GPU, 0));
    // An output of a context with fewer slots takes the input's length.
    const Context small = makeContext(ParameterPreset::FX);
    Ciphertext res(small, false);
    Ciphertext res2(small, false);
    clearOpHistory(s.context());
    b.bootstrap(op, res, true);
    ASSERT_EQ(res.message().getSize(), 32768u);
    EXPECT_EQ(res.getDevice().type(), DeviceType::GPU);
    EXPECT_NEAR(res.message()[20000].real(), op.message()[20000].real(), 1e-6);
    Ciphertext res1(small, false);
    b.bootstrap(op, res1, res2);
    EXPECT_EQ(res1.message().getSize(), 32768u);
    EXPECT_EQ(res2.message().getSize(), 32768u);
    EXPECT_EQ(countOf(s.context(), "Bootstrap (GPU)"), 2u);

    op.allocate(Device(DeviceType::UNDEFINED, 0));
    clearOpHistory(s.context());
    b.bootstrap(op, res);
    EXPECT_EQ(res.getDevice().type(), DeviceType::UNDEFINED);
    EXPECT_TRUE(getOpHistory(s.context()).empty());
}

TEST(BootstrapperTest, KeysAreLoadedLazilyFromTheKeyDirectory) {
    Context context = makeContext(ParameterPreset::FX);
    const datatest::SavedKeyDir dir(context, [](KeyGenerator& keygen) {
        keygen.genMultiplicationKey();
        keygen.genConjugationKey();
        keygen.genRotKeysForBootstrap(5);
        keygen.genRotKeysForBootstrap(3);
    });
    clearOpHistory(context);
    HomEvaluator eval(context, dir.path());
    Bootstrapper b(eval, 3);
    EXPECT_EQ(countOf(context, "Load multiplication key"), 1u);
    Ciphertext op = ciphertextOf(context, integerSlot, 3);
    op.setLogSlots(3);
    Ciphertext res(context, false);
    b.bootstrap(op, res);
    b.bootstrap(op, res);
    EXPECT_EQ(countOf(context, "Load conjugation key"), 1u);
    EXPECT_EQ(countOf(context, "Load rotation key"), getRotIndicesForBootstrap(context, 3).size());
    EXPECT_EQ(countOf(context, "Bootstrap"), 2u);
}

} // namespace
