// Placeholder with only the context-creation costs; the full table replaces it.
#include "morvane/core/tables/ZeroResponse.hpp"

namespace Morvane {

const ZeroResponseTable zeroResponseTable = {
    {"FVa", {{"make_context", {4462, 0, nullptr, 0}}}},  {"FVb", {{"make_context", {3928, 0, nullptr, 0}}}},
    {"FVc", {{"make_context", {4114, 0, nullptr, 0}}}},  {"FGa", {{"make_context", {1682, 0, nullptr, 0}}}},
    {"FGb", {{"make_context", {1695, 0, nullptr, 0}}}},  {"FGd", {{"make_context", {1746, 0, nullptr, 0}}}},
    {"FTa", {{"make_context", {500, 0, nullptr, 0}}}},   {"FTb", {{"make_context", {497, 0, nullptr, 0}}}},
    {"ST19", {{"make_context", {510, 0, nullptr, 0}}}},  {"ST14", {{"make_context", {510, 0, nullptr, 0}}}},
    {"ST11", {{"make_context", {465, 0, nullptr, 0}}}},  {"ST8", {{"make_context", {356, 0, nullptr, 0}}}},
    {"ST7", {{"make_context", {360, 0, nullptr, 0}}}},   {"SS7", {{"make_context", {151, 0, nullptr, 0}}}},
    {"SD3", {{"make_context", {56, 0, nullptr, 0}}}},    {"FX", {{"make_context", {5, 0, nullptr, 0}}}},
    {"SGd0", {{"make_context", {146, 0, nullptr, 0}}}},
};

const ZeroResponse* findZeroResponse(const std::string& presetName, const std::string& operation) {
    const auto row = zeroResponseTable.find(presetName);
    if (row == zeroResponseTable.end())
        return nullptr;
    const auto entry = row->second.find(operation);
    return entry == row->second.end() ? nullptr : &entry->second;
}

u64 zeroResponseTimeMs(const std::string& presetName, const std::string& operation) {
    const ZeroResponse* entry = findZeroResponse(presetName, operation);
    return entry != nullptr ? entry->timeMs : 0;
}

} // namespace Morvane
