#include "morvane/core/Parameter.hpp"

#include "morvane/core/Exception.hpp"

namespace Morvane {

namespace {

struct PresetRow {
    const char* name;
    u64 logDimension;
    u64 chainLength;
    u64 gadgetRank;
    u64 encryptionLevel;
    u64 weight;
    bool bootstrappable;
    bool extended;
    bool sparse;
    bool hasConstants;
    std::array<std::int32_t, 4> constants;
};

constexpr u64 kPresetCount = 18;
constexpr u64 kCustomIndex = 13;

// Indexed by the preset's value; the CUSTOM row only carries the name.
constexpr PresetRow kPresets[kPresetCount] = {
    {"FVa", 17, 30, 3, 29, 64, true, true, false, false, {}},
    {"FVb", 17, 30, 3, 14, 128, true, true, false, true, {-4, -10, 0, 4}},
    {"FGa", 16, 24, 6, 9, 192, true, true, false, true, {-4, -12, -3, 0}},
    {"FGb", 16, 25, 5, 12, 192, true, true, false, true, {0, -16, 0, 0}},
    {"FTa", 15, 20, 10, 8, 192, true, false, false, true, {3, -10, 0, 4}},
    {"FTb", 15, 16, 16, 4, 192, true, false, false, true, {-2, -13, -3, 0}},
    {"ST19", 15, 20, 20, 19, 21845, false, false, false, false, {}},
    {"ST14", 15, 15, 3, 14, 21845, false, false, false, false, {}},
    {"ST11", 15, 12, 3, 11, 21845, false, false, false, false, {}},
    {"ST8", 15, 9, 3, 8, 21845, false, false, false, false, {}},
    {"ST7", 15, 8, 2, 7, 21845, false, false, false, false, {}},
    {"SS7", 14, 8, 4, 7, 10922, false, false, false, false, {}},
    {"SD3", 13, 4, 4, 3, 5461, false, false, false, false, {}},
    {"CUSTOM", 0, 0, 0, 0, 0, false, false, false, false, {}},
    {"FVc", 17, 30, 3, 13, 128, true, true, false, true, {-4, -7, 0, 4}},
    {"FX", 6, 25, 5, 12, 8, true, true, false, true, {0, -16, 0, 0}},
    {"FGd", 16, 25, 5, 12, 192, true, true, true, true, {0, -16, 0, 0}},
    {"SGd0", 16, 1, 1, 0, 32, false, false, false, false, {}},
};

} // namespace

Parameter::Parameter(const ParameterPreset& preset_) : preset(preset_) {
    const auto index = static_cast<std::uint32_t>(preset_);
    if (index >= kPresetCount)
        throw RuntimeException("The input parameter preset is not yet supported.");
    if (index == kCustomIndex)
        throw RuntimeException("Need to specify some parameters in order to use CUSTOM parameters.");

    const PresetRow& row = kPresets[index];
    presetName = row.name;
    bootstrappable = row.bootstrappable;
    extendedBootstrapSupported = row.extended;
    sparseSecretEncapsulationSupported = row.sparse;
    log_dimension = row.logDimension;
    dimension = u64{1} << row.logDimension;
    fullSlots = dimension / 2;
    chain_length = row.chainLength;
    gadget_rank = row.gadgetRank;
    numBP = 1;
    numQP = chain_length - 1;
    numTP = chain_length / gadget_rank;
    encryptionLevel = row.encryptionLevel;
    weight = row.weight;
    if (row.hasConstants)
        extraConstants = row.constants;
}

Parameter::Parameter(u64 log_dimension_, u64 chain_length_, u64 gadget_rank_, u64 bpsize_, u64 tpsize_,
                     u64 qpsize_)
    : preset(ParameterPreset::CUSTOM), presetName("CUSTOM"), log_dimension(log_dimension_),
      // The dimension is only meaningful once log_dimension passed its check; never shift out of range.
      dimension(log_dimension_ < 64 ? u64{1} << log_dimension_ : 0), fullSlots(dimension / 2),
      chain_length(chain_length_), gadget_rank(gadget_rank_), numBP(1), numQP(chain_length_ - 1),
      numTP(gadget_rank_ != 0 ? chain_length_ / gadget_rank_ : 0), encryptionLevel(chain_length_ - 1),
      weight((2 * dimension) / 3), bpsize(bpsize_), tpsize(tpsize_), qpsize(qpsize_) {
    if (log_dimension < 6 || log_dimension > 20)
        throw RuntimeException("[Parameter] Invalid log_dimension");
    // A chain of no primes has no level to encrypt at.
    if (chain_length == 0 || chain_length > 50)
        throw RuntimeException("[Parameter] Invalid chain_length");
    if (gadget_rank == 0 || chain_length % gadget_rank != 0)
        throw RuntimeException("[Parameter] gadget_rank should divide chain_length");
}

ParameterPreset getSparseParameterPresetFor(ParameterPreset preset) {
    if (preset == ParameterPreset::FGd)
        return ParameterPreset::SGd0;
    throw RuntimeException("This parameter preset does not have corresponding sparse parameter preset");
}

} // namespace Morvane
