#include "morvane/core/Exception.hpp"
#include "morvane/core/Parameter.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

using namespace Morvane;

namespace {

using Constants = std::optional<std::array<std::int32_t, 4>>;

struct PresetCase {
    ParameterPreset preset;
    const char* name;
    u64 logDimension, dimension, fullSlots, chainLength, gadgetRank, numQP, numTP, encryptionLevel, weight;
    bool bootstrappable, extended, sparse;
    Constants constants;
};

const std::vector<PresetCase> kPresetCases = {
    {ParameterPreset::FVa, "FVa", 17, 131072, 65536, 30, 3, 29, 10, 29, 64, true, true, false, std::nullopt},
    {ParameterPreset::FVb, "FVb", 17, 131072, 65536, 30, 3, 29, 10, 14, 128, true, true, false,
     Constants{{-4, -10, 0, 4}}},
    {ParameterPreset::FGa, "FGa", 16, 65536, 32768, 24, 6, 23, 4, 9, 192, true, true, false,
     Constants{{-4, -12, -3, 0}}},
    {ParameterPreset::FGb, "FGb", 16, 65536, 32768, 25, 5, 24, 5, 12, 192, true, true, false,
     Constants{{0, -16, 0, 0}}},
    {ParameterPreset::FTa, "FTa", 15, 32768, 16384, 20, 10, 19, 2, 8, 192, true, false, false,
     Constants{{3, -10, 0, 4}}},
    {ParameterPreset::FTb, "FTb", 15, 32768, 16384, 16, 16, 15, 1, 4, 192, true, false, false,
     Constants{{-2, -13, -3, 0}}},
    {ParameterPreset::ST19, "ST19", 15, 32768, 16384, 20, 20, 19, 1, 19, 21845, false, false, false, std::nullopt},
    {ParameterPreset::ST14, "ST14", 15, 32768, 16384, 15, 3, 14, 5, 14, 21845, false, false, false, std::nullopt},
    {ParameterPreset::ST11, "ST11", 15, 32768, 16384, 12, 3, 11, 4, 11, 21845, false, false, false, std::nullopt},
    {ParameterPreset::ST8, "ST8", 15, 32768, 16384, 9, 3, 8, 3, 8, 21845, false, false, false, std::nullopt},
    {ParameterPreset::ST7, "ST7", 15, 32768, 16384, 8, 2, 7, 4, 7, 21845, false, false, false, std::nullopt},
    {ParameterPreset::SS7, "SS7", 14, 16384, 8192, 8, 4, 7, 2, 7, 10922, false, false, false, std::nullopt},
    {ParameterPreset::SD3, "SD3", 13, 8192, 4096, 4, 4, 3, 1, 3, 5461, false, false, false, std::nullopt},
    {ParameterPreset::FVc, "FVc", 17, 131072, 65536, 30, 3, 29, 10, 13, 128, true, true, false,
     Constants{{-4, -7, 0, 4}}},
    {ParameterPreset::FX, "FX", 6, 64, 32, 25, 5, 24, 5, 12, 8, true, true, false, Constants{{0, -16, 0, 0}}},
    {ParameterPreset::FGd, "FGd", 16, 65536, 32768, 25, 5, 24, 5, 12, 192, true, true, true,
     Constants{{0, -16, 0, 0}}},
    {ParameterPreset::SGd0, "SGd0", 16, 65536, 32768, 1, 1, 0, 1, 0, 32, false, false, false, std::nullopt},
};

} // namespace

TEST(ParameterTest, EveryPresetHasItsTableValues) {
    ASSERT_EQ(kPresetCases.size(), 17u);
    for (const PresetCase& c : kPresetCases) {
        SCOPED_TRACE(c.name);
        const Parameter p(c.preset);
        EXPECT_EQ(p.preset, c.preset);
        EXPECT_EQ(p.presetName, c.name);
        EXPECT_EQ(p.bootstrappable, c.bootstrappable);
        EXPECT_EQ(p.extendedBootstrapSupported, c.extended);
        EXPECT_EQ(p.sparseSecretEncapsulationSupported, c.sparse);
        EXPECT_EQ(p.log_dimension, c.logDimension);
        EXPECT_EQ(p.dimension, c.dimension);
        EXPECT_EQ(p.fullSlots, c.fullSlots);
        EXPECT_EQ(p.chain_length, c.chainLength);
        EXPECT_EQ(p.gadget_rank, c.gadgetRank);
        EXPECT_EQ(p.numBP, 1u);
        EXPECT_EQ(p.numQP, c.numQP);
        EXPECT_EQ(p.numTP, c.numTP);
        EXPECT_EQ(p.encryptionLevel, c.encryptionLevel);
        EXPECT_EQ(p.weight, c.weight);
        EXPECT_EQ(p.fixedReal, 3.2);
        EXPECT_EQ(p.bpsize, 0u);
        EXPECT_EQ(p.tpsize, 0u);
        EXPECT_EQ(p.qpsize, 0u);
        EXPECT_EQ(p.extraConstants, c.constants);
    }
}

TEST(ParameterTest, UnsupportedPresetValuesThrow) {
    EXPECT_EQ(thrownMessage([] { Parameter p(ParameterPreset::CUSTOM); }),
              "Need to specify some parameters in order to use CUSTOM parameters.");
    for (const int value : {18, 19, 1000, -1}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(thrownMessage([value] { Parameter p(static_cast<ParameterPreset>(value)); }),
                  "The input parameter preset is not yet supported.");
    }
}

TEST(ParameterTest, CustomChecksInOrder) {
    struct Case {
        u64 logDimension, chainLength, gadgetRank;
        const char* message; // null: accepted
    };
    constexpr const char* kLogDim = "[Parameter] Invalid log_dimension";
    constexpr const char* kChain = "[Parameter] Invalid chain_length";
    constexpr const char* kGadget = "[Parameter] gadget_rank should divide chain_length";
    const std::vector<Case> cases = {
        {6, 30, 3, nullptr},  {20, 30, 3, nullptr},  {17, 50, 5, nullptr}, {16, 1, 1, nullptr},
        {5, 30, 3, kLogDim},  {21, 30, 3, kLogDim},  {0, 30, 3, kLogDim},  {64, 30, 3, kLogDim},
        {5, 51, 4, kLogDim},  {21, 30, 0, kLogDim},  {17, 51, 3, kChain},  {17, 51, 4, kChain},
        {17, 51, 0, kChain},  {17, 0, 3, kChain},    {17, 0, 0, kChain},   {17, 30, 4, kGadget},
        {17, 30, 0, kGadget}, {17, 30, 60, kGadget},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.logDimension << ", " << c.chainLength << ", " << c.gadgetRank);
        const std::string message =
            thrownMessage([&c] { Parameter p(c.logDimension, c.chainLength, c.gadgetRank, 60, 50, 40); });
        EXPECT_EQ(message, c.message != nullptr ? c.message : "<no exception>");
    }
}

TEST(ParameterTest, CustomFieldsFromTheirValues) {
    const Parameter p(16, 24, 6, 60, 50, 40);
    EXPECT_EQ(p.preset, ParameterPreset::CUSTOM);
    EXPECT_EQ(p.presetName, "CUSTOM");
    EXPECT_FALSE(p.bootstrappable);
    EXPECT_FALSE(p.extendedBootstrapSupported);
    EXPECT_FALSE(p.sparseSecretEncapsulationSupported);
    EXPECT_EQ(p.log_dimension, 16u);
    EXPECT_EQ(p.dimension, 65536u);
    EXPECT_EQ(p.fullSlots, 32768u);
    EXPECT_EQ(p.chain_length, 24u);
    EXPECT_EQ(p.gadget_rank, 6u);
    EXPECT_EQ(p.numBP, 1u);
    EXPECT_EQ(p.numQP, 23u);
    EXPECT_EQ(p.numTP, 4u);
    EXPECT_EQ(p.encryptionLevel, 23u);
    EXPECT_EQ(p.weight, 43690u);
    EXPECT_EQ(p.fixedReal, 3.2);
    EXPECT_EQ(p.bpsize, 60u);
    EXPECT_EQ(p.tpsize, 50u);
    EXPECT_EQ(p.qpsize, 40u);
    EXPECT_FALSE(p.extraConstants.has_value());

    // Sizes are stored as given, whatever their relation.
    const Parameter q(20, 50, 25, 0, 1000, 7);
    EXPECT_EQ(q.dimension, u64{1} << 20);
    EXPECT_EQ(q.weight, (2 * (u64{1} << 20)) / 3);
    EXPECT_EQ(q.numTP, 2u);
    EXPECT_EQ(q.bpsize, 0u);
    EXPECT_EQ(q.tpsize, 1000u);
    EXPECT_EQ(q.qpsize, 7u);
}

TEST(ParameterTest, OnlyFGdHasASparseCompanion) {
    EXPECT_EQ(getSparseParameterPresetFor(ParameterPreset::FGd), ParameterPreset::SGd0);
    for (int value = 0; value <= 18; ++value) {
        const auto preset = static_cast<ParameterPreset>(value);
        if (preset == ParameterPreset::FGd)
            continue;
        SCOPED_TRACE(value);
        EXPECT_EQ(thrownMessage([preset] { getSparseParameterPresetFor(preset); }),
                  "This parameter preset does not have corresponding sparse parameter preset");
    }
}
