#pragma once

// Parameter presets and the numbers of each parameter set.

#include "morvane/core/Types.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace Morvane {

enum class ParameterPreset : std::int32_t {
    FVa = 0,
    FVb = 1,
    FGa = 2,
    FGb = 3,
    FTa = 4,
    FTb = 5,
    ST19 = 6,
    ST14 = 7,
    ST11 = 8,
    ST8 = 9,
    ST7 = 10,
    SS7 = 11,
    SD3 = 12,
    CUSTOM = 13,
    FVc = 14,
    FX = 15,
    FGd = 16,
    SGd0 = 17,
};

// The fixed numbers of one parameter set: a named preset or checked custom values.
struct Parameter {
    ParameterPreset preset = ParameterPreset::CUSTOM;
    std::string presetName;
    bool bootstrappable = false;
    bool extendedBootstrapSupported = false;
    bool sparseSecretEncapsulationSupported = false;
    u64 log_dimension = 0;
    u64 dimension = 0;
    u64 fullSlots = 0;
    u64 chain_length = 0;
    u64 gadget_rank = 0;
    u64 numBP = 1;
    u64 numQP = 0;
    u64 numTP = 0;
    u64 encryptionLevel = 0;
    u64 weight = 0;
    double fixedReal = 3.2;
    u64 bpsize = 0;
    u64 tpsize = 0;
    u64 qpsize = 0;
    std::optional<std::array<std::int32_t, 4>> extraConstants;

    explicit Parameter(const ParameterPreset& preset);
    Parameter(u64 log_dimension, u64 chain_length, u64 gadget_rank, u64 bpsize, u64 tpsize, u64 qpsize);
};

// The sparse companion preset used by sparse secret encapsulation.
ParameterPreset getSparseParameterPresetFor(ParameterPreset preset);

} // namespace Morvane
