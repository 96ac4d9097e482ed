#include "morvane/core/Context.hpp"
#include "morvane/core/Parameter.hpp"
#include "morvane/core/tables/ErrorSampleBlobs.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace Morvane;

namespace {

const std::vector<std::string> kEvaluatorKeys = {"make_context", "gen_enckey", "gen_multkey", "gen_rotkey",
                                                 "gen_conjkey",  "encrypt",    "add",         "tensor",
                                                 "mult",         "rot",        "conj"};
const std::vector<std::string> kBootstrapKeys = {"bootstrap_real", "bootstrap_real_extended", "bootstrap_complex",
                                                 "bootstrap_complex_extended"};

std::set<std::string> keysOf(const std::string& preset) {
    std::set<std::string> keys;
    for (const auto& [key, entry] : zeroResponseTable.at(preset))
        keys.insert(key);
    return keys;
}

std::set<std::string> join(std::vector<std::vector<std::string>> parts) {
    std::set<std::string> keys;
    for (const auto& part : parts)
        keys.insert(part.begin(), part.end());
    return keys;
}

ParameterPreset presetNamed(const std::string& name) {
    for (std::int32_t value = 0; value <= 17; ++value) {
        const auto preset = static_cast<ParameterPreset>(value);
        if (preset != ParameterPreset::CUSTOM && Parameter(preset).presetName == name)
            return preset;
    }
    throw std::invalid_argument(name);
}

} // namespace

TEST(ZeroResponseTableTest, PresetsAndKeySets) {
    std::set<std::string> presets;
    std::size_t entries = 0;
    for (const auto& [preset, row] : zeroResponseTable) {
        presets.insert(preset);
        entries += row.size();
    }
    EXPECT_EQ(presets, (std::set<std::string>{"FVa", "FVb", "FVc", "FGa", "FGb", "FGd", "FTa", "FTb", "ST19", "ST14",
                                              "ST11", "ST8", "ST7", "SS7", "SD3", "FX", "SGd0"}));
    EXPECT_EQ(entries, 225u);

    const std::set<std::string> full = join({kEvaluatorKeys, kBootstrapKeys, {"bootstrap_warmup"}});
    for (const char* preset : {"FVa", "FVb", "FVc", "FGa", "FGb", "FX"})
        EXPECT_EQ(keysOf(preset), full) << preset;
    EXPECT_EQ(keysOf("FGd"), join({kEvaluatorKeys, kBootstrapKeys, {"bootstrap_warmup", "gen_ssekey"}}));
    for (const char* preset : {"FTa", "FTb"})
        EXPECT_EQ(keysOf(preset),
                  join({kEvaluatorKeys, {"bootstrap_real", "bootstrap_complex", "bootstrap_warmup"}}))
            << preset;
    for (const char* preset : {"ST19", "ST14", "ST11", "ST8", "ST7", "SS7", "SD3"})
        EXPECT_EQ(keysOf(preset), join({kEvaluatorKeys})) << preset;
    EXPECT_EQ(keysOf("SGd0"), (std::set<std::string>{"make_context", "gen_enckey", "gen_multkey", "gen_rotkey",
                                                     "gen_conjkey", "encrypt", "add"}));
}

TEST(ZeroResponseTableTest, SelectedEntriesHoldTheirFixedValues) {
    struct Case {
        const char* preset;
        const char* key;
        u64 timeMs;
        u64 auxValue;
        bool hasBlob;
        u64 sampleBytes;
    };
    const Case cases[] = {
        {"FVa", "make_context", 4462, 0, false, 0},
        {"FVa", "tensor", 2, 4, false, 1048584},
        {"FVa", "bootstrap_warmup", 34540, 0, false, 0},
        {"FVa", "bootstrap_complex_extended", 1023, 45, true, 1048584},
        {"FVb", "bootstrap_real", 349, 0, true, 1048584},
        {"FGd", "gen_ssekey", 51, 0, false, 0},
        {"FGb", "bootstrap_complex", 222, 103, true, 524296},
        {"FTb", "conj", 9, 85, false, 262152},
        {"ST19", "mult", 9, 60, false, 262152},
        {"SS7", "rot", 0, 8, false, 131080},
        {"SD3", "encrypt", 1, 0, false, 65544},
        {"SGd0", "gen_rotkey", 202, 0, false, 0},
        {"FX", "make_context", 5, 0, false, 0},
        {"FX", "gen_enckey", 0, 0, false, 0},
        {"FX", "encrypt", 54, 0, false, 520},
        {"FX", "bootstrap_real", 18, 13, true, 520},
        {"FX", "bootstrap_warmup", 4, 0, false, 0},
    };
    for (const Case& c : cases) {
        const ZeroResponse* entry = findZeroResponse(c.preset, c.key);
        ASSERT_NE(entry, nullptr) << c.preset << " " << c.key;
        EXPECT_EQ(entry->timeMs, c.timeMs) << c.preset << " " << c.key;
        EXPECT_EQ(entry->auxValue, c.auxValue) << c.preset << " " << c.key;
        EXPECT_EQ(entry->sampleData != nullptr, c.hasBlob) << c.preset << " " << c.key;
        EXPECT_EQ(entry->sampleBytes, c.sampleBytes) << c.preset << " " << c.key;
    }
    for (const auto& [preset, row] : zeroResponseTable)
        EXPECT_EQ(row.at("add").timeMs, 0u) << preset;

    EXPECT_EQ(findZeroResponse("CUSTOM", "make_context"), nullptr);
    EXPECT_EQ(findZeroResponse("FVa", "gen_ssekey"), nullptr);
    EXPECT_EQ(findZeroResponse("fva", "make_context"), nullptr);
    EXPECT_EQ(zeroResponseTimeMs("CUSTOM", "gen_rotkey"), 0u);

    EXPECT_EQ(getDuration(makeContext(ParameterPreset::FX)), 5u);
    EXPECT_EQ(getDuration(makeContext(ParameterPreset::FVa)), 4462u);
}

// Sample sizes follow the preset's full slots, and only the bootstrapping entries carry a blob.
TEST(ZeroResponseTableTest, SampleEntriesFollowFullSlots) {
    const std::set<std::string> sized = {"encrypt", "add", "tensor", "mult", "rot", "conj",
                                         "bootstrap_real", "bootstrap_real_extended", "bootstrap_complex",
                                         "bootstrap_complex_extended"};
    std::size_t blobs = 0;
    std::set<const char*> addresses;
    for (const auto& [preset, row] : zeroResponseTable) {
        const u64 slots = Parameter(presetNamed(preset)).fullSlots;
        for (const auto& [key, entry] : row) {
            const bool isBootstrap = key.rfind("bootstrap_", 0) == 0 && key != "bootstrap_warmup";
            EXPECT_EQ(entry.sampleBytes, sized.count(key) ? 8 + 16 * slots : 0) << preset << " " << key;
            EXPECT_EQ(entry.sampleData != nullptr, isBootstrap) << preset << " " << key;
            if (entry.sampleData == nullptr)
                continue;
            ++blobs;
            addresses.insert(entry.sampleData);
            ASSERT_EQ(materialiseSamples(entry), entry.sampleData);
            u64 count = 0;
            std::memcpy(&count, entry.sampleData, sizeof count);
            EXPECT_EQ(count, slots) << preset << " " << key;
        }
    }
    EXPECT_EQ(blobs, 32u);
    EXPECT_EQ(addresses.size(), 32u);
}

namespace {

struct PartStats {
    double mean;
    double sd;
    double maxMagnitude;
    double kurtosis;
    double negativeShare;
    bool allFiniteNonZero;
    bool allExactZero;
};

PartStats statsOf(const ZeroResponse& entry, int part) {
    const char* data = materialiseSamples(entry);
    u64 count = 0;
    std::memcpy(&count, data, sizeof count);
    std::vector<double> values(count);
    for (u64 i = 0; i < count; ++i)
        std::memcpy(&values[i], data + 8 + 16 * i + 8 * part, sizeof(double));

    PartStats s{0, 0, 0, 0, 0, true, true};
    double sum = 0;
    std::size_t negative = 0;
    for (double v : values) {
        sum += v;
        s.maxMagnitude = std::max(s.maxMagnitude, std::abs(v));
        negative += v < 0;
        s.allFiniteNonZero = s.allFiniteNonZero && std::isfinite(v) && v != 0.0;
        s.allExactZero = s.allExactZero && v == 0.0 && !std::signbit(v);
    }
    const double n = static_cast<double>(count);
    s.mean = sum / n;
    double m2 = 0, m4 = 0;
    for (double v : values) {
        const double d = (v - s.mean) * (v - s.mean);
        m2 += d;
        m4 += d * d;
    }
    m2 /= n;
    m4 /= n;
    s.sd = std::sqrt(m2);
    s.kurtosis = m2 > 0 ? m4 / (m2 * m2) : 0;
    s.negativeShare = static_cast<double>(negative) / n;
    return s;
}

struct BlobExpectation {
    const char* preset;
    const char* key;
    double realMean, realSd, realMax;
    double imagMean, imagSd, imagMax; // all 0: a real blob
};

// Measured statistics of the bootstrapping error per blob.
const BlobExpectation kBlobExpectations[] = {
    {"FVa", "bootstrap_real", -6.3e-11, 1.5e-08, 6.4e-08, 0, 0, 0},
    {"FVa", "bootstrap_real_extended", 3.3e-11, 1.5e-08, 7.7e-08, 0, 0, 0},
    {"FVa", "bootstrap_complex", -3.0e-11, 1.5e-08, 8.1e-08, -6.9e-11, 1.5e-08, 7.6e-08},
    {"FVa", "bootstrap_complex_extended", -5.6e-11, 1.6e-08, 6.6e-08, 3.4e-11, 1.5e-08, 7.1e-08},
    {"FVb", "bootstrap_real", -3.9e-11, 8.9e-11, 7.0e-10, 0, 0, 0},
    {"FVb", "bootstrap_real_extended", -2.9e-13, 3.0e-11, 2.5e-10, 0, 0, 0},
    {"FVb", "bootstrap_complex", -4.0e-11, 1.0e-10, 7.0e-10, -3.9e-11, 1.0e-10, 8.7e-10},
    {"FVb", "bootstrap_complex_extended", -4.9e-13, 3.0e-11, 2.6e-10, -1.7e-13, 3.0e-11, 2.4e-10},
    {"FVc", "bootstrap_real", -4.9e-12, 1.1e-11, 7.3e-11, 0, 0, 0},
    {"FVc", "bootstrap_real_extended", 8.5e-16, 3.7e-12, 2.9e-11, 0, 0, 0},
    {"FVc", "bootstrap_complex", -4.9e-12, 1.3e-11, 9.6e-11, -4.9e-12, 1.3e-11, 8.9e-11},
    {"FVc", "bootstrap_complex_extended", 9.9e-16, 3.7e-12, 2.9e-11, -2.4e-14, 3.7e-12, 2.7e-11},
    {"FGa", "bootstrap_real", -9.3e-11, 1.9e-10, 1.2e-09, 0, 0, 0},
    {"FGa", "bootstrap_real_extended", -1.9e-12, 1.2e-10, 8.0e-10, 0, 0, 0},
    {"FGa", "bootstrap_complex", -9.4e-11, 2.0e-10, 1.2e-09, -9.7e-11, 2.0e-10, 9.9e-10},
    {"FGa", "bootstrap_complex_extended", -1.3e-12, 1.2e-10, 8.6e-10, -1.4e-12, 1.2e-10, 9.2e-10},
    {"FGb", "bootstrap_real", -4.7e-10, 8.4e-09, 5.4e-08, 0, 0, 0},
    {"FGb", "bootstrap_real_extended", -1.7e-10, 7.7e-09, 6.3e-08, 0, 0, 0},
    {"FGb", "bootstrap_complex", -4.6e-10, 9.1e-09, 6.9e-08, -4.6e-10, 9.2e-09, 6.7e-08},
    {"FGb", "bootstrap_complex_extended", -1.6e-10, 7.7e-09, 7.6e-08, -1.2e-10, 7.7e-09, 4.7e-08},
    {"FGd", "bootstrap_real", -1.0e-09, 9.3e-09, 6.4e-08, 0, 0, 0},
    {"FGd", "bootstrap_real_extended", -2.7e-10, 7.9e-09, 5.8e-08, 0, 0, 0},
    {"FGd", "bootstrap_complex", -8.7e-10, 1.1e-08, 7.0e-08, -1.1e-09, 1.1e-08, 6.3e-08},
    {"FGd", "bootstrap_complex_extended", -2.2e-10, 7.8e-09, 5.5e-08, -2.5e-10, 7.9e-09, 6.0e-08},
    {"FTa", "bootstrap_real", -5.8e-07, 6.6e-05, 4.8e-04, 0, 0, 0},
    {"FTa", "bootstrap_complex", -2.0e-07, 6.8e-05, 3.9e-04, 2.3e-07, 7.0e-05, 4.7e-04},
    {"FTb", "bootstrap_real", 1.4e-09, 3.0e-07, 2.0e-06, 0, 0, 0},
    {"FTb", "bootstrap_complex", 2.9e-09, 3.2e-07, 2.3e-06, 1.2e-09, 3.2e-07, 1.8e-06},
    {"FX", "bootstrap_real", -2.3e-09, 8.1e-10, 3.9e-09, 0, 0, 0},
    {"FX", "bootstrap_real_extended", -5.6e-10, 2.4e-10, 1.0e-09, 0, 0, 0},
    {"FX", "bootstrap_complex", -2.1e-09, 9.5e-10, 4.6e-09, -2.1e-09, 9.8e-10, 4.7e-09},
    {"FX", "bootstrap_complex_extended", -5.1e-10, 2.8e-10, 1.1e-09, -5.6e-10, 1.8e-10, 9.0e-10},
};

void expectPart(const PartStats& s, double mean, double sd, double maxMagnitude, const std::string& what) {
    EXPECT_TRUE(s.allFiniteNonZero) << what;
    EXPECT_NEAR(s.mean, mean, 0.01 * sd) << what;
    EXPECT_NEAR(s.sd, sd, 0.03 * sd) << what;
    EXPECT_NEAR(s.maxMagnitude, maxMagnitude, 0.03 * maxMagnitude) << what;
}

} // namespace

TEST(ZeroResponseBlobTest, StatisticsPerBlob) {
    for (const BlobExpectation& b : kBlobExpectations) {
        const std::string what = std::string(b.preset) + " " + b.key;
        const ZeroResponse& entry = zeroResponseTable.at(b.preset).at(b.key);
        const PartStats real = statsOf(entry, 0);
        const PartStats imag = statsOf(entry, 1);
        expectPart(real, b.realMean, b.realSd, b.realMax, what + " real");
        if (b.imagSd == 0)
            EXPECT_TRUE(imag.allExactZero) << what;
        else
            expectPart(imag, b.imagMean, b.imagSd, b.imagMax, what + " imag");

        const std::string preset = b.preset;
        const bool extended = std::string(b.key).find("extended") != std::string::npos;
        for (const PartStats* s : {&real, &imag}) {
            if (s->allExactZero)
                continue;
            if (preset == "FX") {
                EXPECT_GE(s->negativeShare, 30.0 / 32) << what;
            } else if (preset == "FVa") {
                EXPECT_NEAR(s->kurtosis, 3.0, 0.3) << what;
            } else {
                EXPECT_GE(s->kurtosis, extended ? 4.5 : 3.5) << what;
                EXPECT_LE(s->kurtosis, 6.6) << what;
            }
        }
        if (preset == "FX" && std::string(b.key) == "bootstrap_real") {
            EXPECT_EQ(real.negativeShare, 1.0);
        }
        if (preset == "FVb" && !extended) {
            EXPECT_NEAR(real.negativeShare, 2.0 / 3, 0.05) << what;
        }
        if (preset == "FVa" || preset == "FTa" || preset == "FTb") {
            EXPECT_NEAR(real.negativeShare, 0.5, 0.02) << what;
        }
    }
}

namespace {

std::uint64_t fnv1a(const char* data, u64 bytes) {
    std::uint64_t hash = 0xcbf29ce484222325;
    for (u64 i = 0; i < bytes; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 0x100000001b3;
    }
    return hash;
}

} // namespace

// The samples are the same in every run: regenerating gives the stored bytes, and two blobs keep fixed digests.
TEST(ZeroResponseBlobTest, SamplesAreDeterministic) {
    for (std::size_t i = 0; i < detail::sampleBlobCount; ++i) {
        const char* stored = detail::materialiseSampleBlob(i);
        std::vector<char> again(detail::sampleBlobBytes(i));
        detail::generateSampleBlob(i, again.data());
        EXPECT_EQ(std::memcmp(stored, again.data(), again.size()), 0) << i;
    }
    const ZeroResponse& fx = zeroResponseTable.at("FX").at("bootstrap_complex");
    const ZeroResponse& ftb = zeroResponseTable.at("FTb").at("bootstrap_real");
    EXPECT_EQ(fnv1a(materialiseSamples(fx), fx.sampleBytes), 16062224565346343200u);
    EXPECT_EQ(fnv1a(materialiseSamples(ftb), ftb.sampleBytes), 2796208429507953816u);
}
