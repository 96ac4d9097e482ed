#include "morvane/core/tables/ZeroResponse.hpp"

#include "morvane/core/Parameter.hpp"
#include "morvane/core/tables/ErrorSampleBlobs.hpp"
#include "morvane/core/tables/NeverDestroyed.hpp"

#include <array>
#include <cstdint>

namespace Morvane {

namespace {

constexpr std::size_t kPresetCount = 17;

// Column order of the cost lists below. Each preset's name and full slot count come from its Parameter.
constexpr std::array<ParameterPreset, kPresetCount> kPresets = {
    ParameterPreset::FVa,  ParameterPreset::FVb,  ParameterPreset::FVc,  ParameterPreset::FGa,  ParameterPreset::FGb,
    ParameterPreset::FGd,  ParameterPreset::FTa,  ParameterPreset::FTb,  ParameterPreset::ST19, ParameterPreset::ST14,
    ParameterPreset::ST11, ParameterPreset::ST8,  ParameterPreset::ST7,  ParameterPreset::SS7,  ParameterPreset::SD3,
    ParameterPreset::FX,   ParameterPreset::SGd0,
};

using Column = std::array<std::int64_t, kPresetCount>;

constexpr std::int64_t _ = -1; // the preset has no such entry

constexpr Column kNoAux = {};

struct OperationCosts {
    const char* operation;
    Column timeMs;
    Column auxValue;
    bool sized; // sampleBytes is one message of the preset's full slots
};

// Measured on the real library, one column per preset.
// clang-format off
constexpr OperationCosts kOperations[] = {
    {"make_context",
     {4462, 3928, 4114, 1682, 1695, 1746, 500, 497, 510, 510, 465, 356, 360, 151, 56, 5, 146}, kNoAux, false},
    {"gen_enckey",
     {24, 20, 33, 21, 10, 23, 6, 4, 10, 6, 15, 6, 6, 4, 2, 0, 4}, kNoAux, false},
    {"gen_multkey",
     {205, 75, 168, 123, 59, 105, 85, 126, 139, 16, 16, 18, 20, 14, 11, 5, 8}, kNoAux, false},
    {"gen_rotkey",
     {2644, 2266, 3215, 2486, 2247, 2183, 1869, 2621, 2552, 336, 407, 383, 230, 280, 116, 45, 202}, kNoAux, false},
    {"gen_conjkey",
     {93, 65, 93, 74, 108, 104, 69, 58, 99, 11, 11, 14, 9, 9, 5, 3, 6}, kNoAux, false},
    {"gen_ssekey",
     {_, _, _, _, _, 51, _, _, _, _, _, _, _, _, _, _, _}, kNoAux, false},
    {"encrypt",
     {73, 45, 30, 16, 14, 15, 6, 5, 8, 7, 8, 11, 6, 3, 1, 54, 8}, kNoAux, true},
    {"add",
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kNoAux, true},
    {"tensor",
     {2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, _},
     {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, _}, true},
    {"mult",
     {35, 17, 11, 8, 6, 7, 5, 5, 9, 2, 1, 0, 0, 0, 0, 0, _},
     {274, 131, 75, 73, 54, 56, 47, 49, 60, 10, 12, 7, 5, 4, 2, 0, _}, true},
    {"rot",
     {50, 22, 18, 13, 12, 10, 8, 8, 16, 2, 1, 1, 0, 0, 0, 0, _},
     {429, 185, 154, 120, 112, 93, 75, 78, 132, 20, 18, 12, 9, 8, 2, 0, _}, true},
    {"conj",
     {50, 20, 17, 13, 15, 10, 8, 9, 14, 1, 1, 1, 0, 0, 0, 0, _},
     {427, 169, 146, 122, 136, 90, 75, 85, 122, 18, 18, 13, 9, 9, 2, 0, _}, true},
    {"bootstrap_real",
     {376, 349, 365, 151, 168, 170, 81, 78, _, _, _, _, _, _, _, 18, _},
     {8, 0, 40, 35, 88, 77, 8, 9, _, _, _, _, _, _, _, 13, _}, true},
    {"bootstrap_real_extended",
     {888, 803, 851, 340, 371, 374, _, _, _, _, _, _, _, _, _, 48, _},
     {9, 10, 93, 20, 42, 38, _, _, _, _, _, _, _, _, _, 12, _}, true},
    {"bootstrap_complex",
     {506, 453, 469, 192, 222, 219, 110, 97, _, _, _, _, _, _, _, 35, _},
     {0, 20, 14, 23, 103, 53, 103, 37, _, _, _, _, _, _, _, 12, _}, true},
    {"bootstrap_complex_extended",
     {1023, 905, 942, 380, 431, 429, _, _, _, _, _, _, _, _, _, 58, _},
     {45, 5, 31, 0, 100, 71, _, _, _, _, _, _, _, _, _, 24, _}, true},
    {"bootstrap_warmup",
     {34540, 32916, 30259, 10426, 9436, 8981, 3993, 4397, _, _, _, _, _, _, _, 4, _}, kNoAux, false},
};
// clang-format on

ZeroResponseTable buildTable() {
    ZeroResponseTable table;
    for (std::size_t p = 0; p < kPresetCount; ++p) {
        const Parameter parameter(kPresets[p]);
        auto& row = table[parameter.presetName];
        for (const OperationCosts& op : kOperations) {
            if (op.timeMs[p] < 0)
                continue;
            ZeroResponse entry;
            entry.timeMs = static_cast<u64>(op.timeMs[p]);
            entry.auxValue = static_cast<u64>(op.auxValue[p]);
            entry.sampleData = detail::sampleBlobAddress(parameter.presetName, op.operation);
            entry.sampleBytes = op.sized ? 8 + 16 * parameter.fullSlots : 0;
            row.emplace(op.operation, entry);
        }
    }
    return table;
}

// Built by the first lookup, so that one made from another unit's static initialisation finds it complete.
const ZeroResponseTable& builtInTable() {
    static const detail::NeverDestroyed<ZeroResponseTable> table(buildTable());
    return *table;
}

} // namespace

const ZeroResponseTable& zeroResponseTable = builtInTable();

const ZeroResponse* findZeroResponse(const std::string& presetName, const std::string& operation) {
    const ZeroResponseTable& table = builtInTable();
    const auto row = table.find(presetName);
    if (row == table.end())
        return nullptr;
    const auto entry = row->second.find(operation);
    return entry == row->second.end() ? nullptr : &entry->second;
}

u64 zeroResponseTimeMs(const std::string& presetName, const std::string& operation) {
    const ZeroResponse* entry = findZeroResponse(presetName, operation);
    return entry != nullptr ? entry->timeMs : 0;
}

const char* materialiseSamples(const ZeroResponse& entry) {
    const std::size_t index = detail::sampleBlobIndex(entry.sampleData);
    if (index < detail::sampleBlobCount)
        detail::materialiseSampleBlob(index);
    return entry.sampleData;
}

} // namespace Morvane
