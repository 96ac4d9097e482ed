#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/tables/ErrorSamples.hpp"
#include "morvane/core/tables/ZeroResponse.hpp"
#include "tests/support/DataTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace Morvane;
using namespace datatest;

namespace {

// Slots as raw bit pairs, sorted: equal exactly when the two hold the same multiset of values.
std::vector<std::pair<std::uint64_t, std::uint64_t>> multiset(const Complex* begin, const Complex* end) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bits;
    for (const Complex* s = begin; s != end; ++s) {
        const double re = s->real(), im = s->imag();
        std::pair<std::uint64_t, std::uint64_t> b;
        std::memcpy(&b.first, &re, 8);
        std::memcpy(&b.second, &im, 8);
        bits.push_back(b);
    }
    std::sort(bits.begin(), bits.end());
    return bits;
}

auto multiset(const Message& m) { return multiset(m.begin(), m.end()); }

// The slots stored in a built-in blob, in blob order.
std::vector<Complex> blobSlots(const ZeroResponse& entry) {
    const char* data = materialiseSamples(entry);
    u64 count = 0;
    std::memcpy(&count, data, 8);
    std::vector<Complex> slots(count);
    std::memcpy(static_cast<void*>(slots.data()), data + 8, 16 * count);
    return slots;
}

const ZeroResponse& entryOf(const char* preset, const char* key) { return zeroResponseTable.at(preset).at(key); }

std::string errorOf(const Context& context, const std::string& block, bool nullData = false) {
    return cerealMessage([&] { binaryToMessage(context, nullData ? nullptr : block.data(), block.size()); });
}

} // namespace

TEST(ErrorSamplesTest, BuiltInBlobsComeBackShuffled) {
    const Context fx = makeContext(ParameterPreset::FX, {0, 1});
    for (const char* key : {"bootstrap_real", "bootstrap_real_extended", "bootstrap_complex",
                            "bootstrap_complex_extended"}) {
        // The raw table pointer is enough: the blob is materialised on the way.
        const ZeroResponse& entry = entryOf("FX", key);
        const Message m = binaryToMessage(fx, entry.sampleData, entry.sampleBytes);
        const std::vector<Complex> stored = blobSlots(entry);
        EXPECT_EQ(m.getSize(), 32u) << key;
        EXPECT_EQ(m.getDevice().type(), DeviceType::CPU) << key;
        EXPECT_EQ(multiset(m), multiset(stored.data(), stored.data() + stored.size())) << key;
    }

    const Context fva = makeContext(ParameterPreset::FVa);
    const ZeroResponse& real = entryOf("FVa", "bootstrap_real");
    const Message a = binaryToMessage(fva, real.sampleData, real.sampleBytes);
    const Message b = binaryToMessage(fva, real.sampleData, real.sampleBytes);
    ASSERT_EQ(a.getSize(), 65536u);
    EXPECT_EQ(multiset(a), multiset(b));
    EXPECT_FALSE(std::equal(a.begin(), a.end(), b.begin())) << "two calls gave the same order";
    EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](const Complex& s) { return s.imag() == 0.0; }));
}

// Hand-made blocks: the count decides the size, and a block that ends early fails at its first missing field.
TEST(ErrorSamplesTest, BlockReadingAndShortBlocks) {
    const Context fx = makeContext(ParameterPreset::FX);
    const std::string noCount = "";
    EXPECT_EQ(errorOf(fx, noCount), "Failed to read 8 bytes from input stream! Read 0");
    EXPECT_EQ(errorOf(fx, Record().u64(7).str(), true), "Failed to read 8 bytes from input stream! Read 0");
    EXPECT_EQ(errorOf(fx, "\x01\x02\x03\x04\x05"), "Failed to read 8 bytes from input stream! Read 5");

    const std::string empty = Record().u64(0).str();
    EXPECT_TRUE(binaryToMessage(fx, empty.data(), empty.size()).isEmpty());

    const std::string one = Record().u64(1).f64(-1.25e-9).f64(3.5e-10).str();
    const Message single = binaryToMessage(fx, one.data(), one.size());
    ASSERT_EQ(single.getSize(), 1u);
    EXPECT_EQ(single[0], Complex(-1.25e-9, 3.5e-10));

    // A count below the context's slot count is kept as stored.
    const std::string three = Record().u64(3).f64(1).f64(2).f64(3).f64(4).f64(5).f64(6).str();
    EXPECT_EQ(binaryToMessage(fx, three.data(), three.size()).getSize(), 3u);

    struct Truncated {
        std::size_t keep; // bytes of `three` kept
        const char* message;
    };
    for (const Truncated& t : {Truncated{8, "Failed to read 8 bytes from input stream! Read 0"},
                               Truncated{12, "Failed to read 8 bytes from input stream! Read 4"},
                               Truncated{20, "Failed to read 8 bytes from input stream! Read 4"},
                               Truncated{40, "Failed to read 8 bytes from input stream! Read 0"},
                               Truncated{55, "Failed to read 8 bytes from input stream! Read 7"}})
        EXPECT_EQ(errorOf(fx, three.substr(0, t.keep)), t.message) << t.keep;
}

// A count promising far more slots than follow must fail with the short-read message, not allocate for it.
TEST(ErrorSamplesTest, HugeCountInSmallBlockFailsFast) {
    const Context fva = makeContext(ParameterPreset::FVa);
    for (const u64 count : {u64{1} << 30, u64{1} << 40, std::numeric_limits<u64>::max()}) {
        const std::string block = Record().u64(count).f64(1).f64(2).f64(3).f64(4).str();
        EXPECT_EQ(errorOf(fva, block), "Failed to read 8 bytes from input stream! Read 0") << count;
        EXPECT_EQ(errorOf(fva, block + "abc"), "Failed to read 8 bytes from input stream! Read 3") << count;
    }
}

TEST(ErrorSamplesTest, BootstrapPathMatchesBinaryToMessage) {
    const Context fx = makeContext(ParameterPreset::FX);
    const Context fgb = makeContext(ParameterPreset::FGb);
    const struct {
        const Context& context;
        const char* preset;
        const char* key;
    } cases[] = {
        {fx, "FX", "bootstrap_real"},
        {fx, "FX", "bootstrap_complex_extended"},
        {fgb, "FGb", "bootstrap_real_extended"},
        {fgb, "FGb", "bootstrap_complex"},
    };
    for (const auto& c : cases) {
        const ZeroResponse& entry = entryOf(c.preset, c.key);
        const Message fast = errorSamplesForBootstrap(c.context, entry);
        const Message again = errorSamplesForBootstrap(c.context, entry);
        const Message reference = binaryToMessage(c.context, entry.sampleData, entry.sampleBytes);
        EXPECT_EQ(fast.getSize(), reference.getSize()) << c.preset << " " << c.key;
        EXPECT_EQ(multiset(fast), multiset(reference)) << c.preset << " " << c.key;
        EXPECT_EQ(multiset(again), multiset(reference)) << c.preset << " " << c.key;
        EXPECT_EQ(fast.getDevice().type(), DeviceType::CPU);
    }

    // An entry that is not a built-in blob takes the general path, failures included.
    const std::string block = Record().u64(2).f64(1).f64(2).f64(3).f64(4).str();
    const ZeroResponse custom{0, 0, block.data(), block.size()};
    EXPECT_EQ(multiset(errorSamplesForBootstrap(fx, custom)), multiset(binaryToMessage(fx, block.data(), block.size())));
    const ZeroResponse none = entryOf("ST19", "mult");
    EXPECT_EQ(cerealMessage([&] { errorSamplesForBootstrap(fx, none); }),
              "Failed to read 8 bytes from input stream! Read 0");
}

// First uses from several threads at once materialise and parse each blob exactly once, with one result.
TEST(ErrorSamplesTest, ConcurrentFirstUse) {
    const Context fgd = makeContext(ParameterPreset::FGd);
    const ZeroResponse& entry = entryOf("FGd", "bootstrap_complex");
    std::vector<Message> results(8);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&, t] {
            results[t] = t % 2 == 0 ? errorSamplesForBootstrap(fgd, entry)
                                    : binaryToMessage(fgd, entry.sampleData, entry.sampleBytes);
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::vector<Complex> stored = blobSlots(entry);
    const auto expected = multiset(stored.data(), stored.data() + stored.size());
    ASSERT_EQ(expected.size(), 32768u);
    for (const Message& m : results)
        EXPECT_EQ(multiset(m), expected);
}
