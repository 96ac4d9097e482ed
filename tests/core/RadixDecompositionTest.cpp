#include "morvane/core/Context.hpp"
#include "morvane/core/RadixDecomposition.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

using namespace Morvane;

namespace {

using Levels = std::vector<i64>;

struct DecompositionCase {
    unsigned long logSlots;
    Levels logRadix, radix, stride, babySteps, giantSteps;
};

const std::vector<DecompositionCase> kDecompositions = {
    {0, {}, {}, {}, {}, {}},
    {1, {1}, {2}, {1}, {2}, {1}},
    {2, {2}, {4}, {1}, {2}, {2}},
    {3, {3}, {8}, {1}, {4}, {2}},
    {4, {4}, {16}, {1}, {4}, {4}},
    {5, {3, 2}, {8, 4}, {4, 1}, {4, 4}, {2, 2}},
    {6, {3, 3}, {8, 8}, {8, 1}, {4, 4}, {2, 4}},
    {7, {4, 3}, {16, 8}, {8, 1}, {4, 4}, {4, 4}},
    {8, {3, 3, 2}, {8, 8, 4}, {32, 4, 1}, {4, 4, 4}, {2, 4, 2}},
    {9, {3, 3, 3}, {8, 8, 8}, {64, 8, 1}, {4, 4, 4}, {2, 4, 4}},
    {10, {4, 3, 3}, {16, 8, 8}, {64, 8, 1}, {4, 4, 4}, {4, 4, 4}},
    {11, {4, 4, 3}, {16, 16, 8}, {128, 8, 1}, {4, 8, 4}, {4, 4, 4}},
    {12, {4, 4, 4}, {16, 16, 16}, {256, 16, 1}, {4, 8, 8}, {4, 4, 4}},
    {13, {5, 4, 4}, {32, 16, 16}, {256, 16, 1}, {8, 8, 8}, {4, 4, 4}},
    {14, {5, 4, 5}, {32, 16, 32}, {512, 32, 1}, {8, 8, 8}, {4, 4, 8}},
    {15, {5, 5, 5}, {32, 32, 32}, {1024, 32, 1}, {8, 8, 8}, {4, 8, 8}},
    {16, {6, 5, 5}, {64, 32, 32}, {1024, 32, 1}, {8, 8, 8}, {8, 8, 8}},
    {17, {6, 6, 5}, {64, 64, 32}, {2048, 32, 1}, {8, 16, 8}, {8, 8, 8}},
};

Levels firstLevels(const std::array<i64, 3>& values, i64 count) {
    return Levels(values.begin(), values.begin() + count);
}

std::set<i64> powersOfTwo(i64 from, i64 below) {
    std::set<i64> result;
    for (i64 p = from; p < below; p *= 2)
        result.insert(p);
    return result;
}

std::set<i64> join(std::set<i64> a, const std::set<i64>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

} // namespace

TEST(RadixDecompositionTest, DecompositionTable) {
    for (const DecompositionCase& c : kDecompositions) {
        SCOPED_TRACE(c.logSlots);
        const RadixDecomposition d(c.logSlots);
        ASSERT_EQ(d.levelCount, static_cast<i64>(c.logRadix.size()));
        EXPECT_EQ(firstLevels(d.logRadix, d.levelCount), c.logRadix);
        EXPECT_EQ(firstLevels(d.radix, d.levelCount), c.radix);
        EXPECT_EQ(firstLevels(d.stride, d.levelCount), c.stride);
        EXPECT_EQ(firstLevels(d.babyStepCount, d.levelCount), c.babySteps);
        EXPECT_EQ(firstLevels(d.giantStepCount, d.levelCount), c.giantSteps);
    }
}

TEST(RadixDecompositionTest, BabyAndGiantSteps) {
    const RadixDecomposition five(5);
    EXPECT_EQ(five.getRotIndicesForBabyStep(0), (Levels{0, 4, 8, 12}));
    EXPECT_EQ(five.getRotIndicesForGiantStep(0), (Levels{-16, 0}));
    EXPECT_EQ(five.getRotIndicesForBabyStep(1), (Levels{0, 1, 2, 3}));
    EXPECT_EQ(five.getRotIndicesForGiantStep(1), (Levels{-4, 0}));

    // A single giant step is the rotation by 0.
    EXPECT_EQ(RadixDecomposition(1).getRotIndicesForGiantStep(0), (Levels{0}));
    EXPECT_EQ(RadixDecomposition(17).getRotIndicesForGiantStep(1),
              (Levels{-2048, -1536, -1024, -512, 0, 512, 1024, 1536}));

    EXPECT_EQ(thrownMessage([] { RadixDecomposition(0).getRotIndicesForBabyStep(0); }),
              "[RadixDecomposition] Invalid level");
    EXPECT_EQ(thrownMessage([] { RadixDecomposition(5).getRotIndicesForGiantStep(2); }),
              "[RadixDecomposition] Invalid level");
    EXPECT_EQ(thrownMessage([] { RadixDecomposition(17).getRotIndicesForGiantStep(3); }),
              "[RadixDecomposition] Invalid level");
}

TEST(RadixDecompositionTest, IndicesForBootstrap) {
    const Context fgb = makeContext(ParameterPreset::FGb); // 2^15 full slots
    const Context fx = makeContext(ParameterPreset::FX);   // 32 full slots
    struct Case {
        const Context* context;
        unsigned long logSlots;
        std::set<i64> expected;
    };
    const std::vector<Case> cases = {
        {&fgb, 0, powersOfTwo(1, 32768)},
        {&fgb, 3, join({-4, 1, 2, 3}, powersOfTwo(8, 32768))},
        {&fgb, 5, join({-16, -4, 1, 2, 3, 4, 8, 12}, powersOfTwo(32, 32768))},
        {&fgb, 14, {-8192, -4096, -512, -256, -32, -24, -16, -8,   1,    2,    3,    4,
                    5,     6,     7,    8,    16,  24,  32,  64,   96,   128,  160,  192,
                    224,   256,   512,  1024, 1536, 2048, 2560, 3072, 3584, 4096, 16384}},
        {&fx, 3, {-4, 1, 2, 3, 8, 16}},
        // At or beyond the full slot count no power of two is added.
        {&fx, 5, {-16, -4, 1, 2, 3, 4, 8, 12}},
        {&fx, 6, {-32, -8, -4, 1, 2, 3, 4, 8, 16, 24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (*c.context)->parameter.presetName << " log_slots " << c.logSlots);
        EXPECT_EQ(getRotIndicesForBootstrap(*c.context, c.logSlots), c.expected);
        EXPECT_EQ((*c.context)->getRotIndicesForBootstrap(c.logSlots), c.expected);
    }
    EXPECT_EQ(getRotIndicesForBootstrap(fgb, 3).size(), 16u);
    EXPECT_EQ(getRotIndicesForBootstrap(fgb, 14).size(), 35u);
    EXPECT_EQ(getRotIndicesForBootstrap(fgb, 62).count(0), 0u);
}

TEST(RadixDecompositionTest, ExtraIndices) {
    constexpr u64 M = 32768;
    const Context fgb = makeContext(ParameterPreset::FGb);
    EXPECT_EQ(fgb->getExtraRotIndicesForBootstrap(0), std::vector<u64>{});
    EXPECT_EQ(fgb->getExtraRotIndicesForBootstrap(3), (std::vector<u64>{1, 2, 3, M - 4}));
    EXPECT_EQ(fgb->getExtraRotIndicesForBootstrap(5), (std::vector<u64>{4, 8, 12, M - 16, 1, 2, 3, M - 4}));
    // Unchecked: a context without bootstrapping gets a result too.
    EXPECT_EQ(makeContext(ParameterPreset::ST19)->getExtraRotIndicesForBootstrap(3),
              (std::vector<u64>{1, 2, 3, 16384 - 4}));
    // Duplicates stay; a giant step of exactly -M becomes 0 and is dropped; one beyond -M wraps.
    const Context fx = makeContext(ParameterPreset::FX);
    EXPECT_EQ(fx->getExtraRotIndicesForBootstrap(6), (std::vector<u64>{8, 16, 24, 1, 2, 3, 24, 28, 4}));
    EXPECT_EQ(fx->getExtraRotIndicesForBootstrap(8).at(3), static_cast<u64>(i64{-96}));
}

TEST(RadixDecompositionTest, NonBootstrappableContextsThrowFirst) {
    const std::vector<Context> contexts = {
        makeContext(ParameterPreset::ST19), makeContext(ParameterPreset::ST14), makeContext(ParameterPreset::ST11),
        makeContext(ParameterPreset::ST8),  makeContext(ParameterPreset::ST7),  makeContext(ParameterPreset::SS7),
        makeContext(ParameterPreset::SD3),  makeContext(ParameterPreset::SGd0), makeContext(16, 24, 0, 0, 0, 6)};
    for (const Context& context : contexts) {
        SCOPED_TRACE(context->parameter.presetName);
        for (const unsigned long logSlots : {0UL, 3UL, 14UL, 63UL, 1000UL})
            EXPECT_EQ(thrownMessage([&] { getRotIndicesForBootstrap(context, logSlots); }),
                      "The parameter does not support bootstrap.");
    }
}

TEST(RadixDecompositionTest, TooLargeLogSlotsAreRefused) {
    const Context fgb = makeContext(ParameterPreset::FGb);
    for (const unsigned long logSlots : {63UL, 64UL, 1000UL}) {
        SCOPED_TRACE(logSlots);
        EXPECT_EQ(thrownMessage([&] { getRotIndicesForBootstrap(fgb, logSlots); }),
                  "[getRotIndicesForBootstrap] log_slots is too large");
        EXPECT_EQ(thrownMessage([&] { fgb->getExtraRotIndicesForBootstrap(logSlots); }),
                  "[getExtraRotIndicesForBootstrap] log_slots is too large");
        EXPECT_EQ(thrownMessage([&] { RadixDecomposition d(logSlots); }),
                  "[RadixDecomposition] log_slots is too large");
    }
    EXPECT_EQ(thrownMessage([&] { fgb->getExtraRotIndicesForBootstrap(62); }), "<no exception>");
}
