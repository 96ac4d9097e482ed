#include "morvane/core/Alert.hpp"
#include "morvane/core/SecretKey.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace Morvane;
using namespace datatest;

TEST(SecretKeyTest, DefaultKeyIsAnExtendedZeroPolynomial) {
    struct Case {
        ParameterPreset preset;
        u64 numPrimes;
        u64 slots;
    };
    for (const Case& c : {Case{ParameterPreset::FGb, 30, 32768}, Case{ParameterPreset::FVa, 40, 65536}}) {
        const Context ctx = makeContext(c.preset);
        const SecretKey key(ctx);
        EXPECT_EQ(key.getSx().numPrimes, c.numPrimes);
        EXPECT_EQ(key.getSx().level, c.numPrimes - 1);
        EXPECT_TRUE(key.getSx().is_extended);
        EXPECT_EQ(key.getSx().message.getSize(), c.slots);
        EXPECT_TRUE(detail::isZeroMessage(key.getSx().message));
        EXPECT_EQ(key.getDevice().type(), DeviceType::CPU);
        EXPECT_EQ(key.getContext(), ctx);
    }
}

TEST(SecretKeyTest, SaveAndSeedOnlyWriteThePolynomialRecord) {
    const Context ctx = makeContext(6, 4, 0, 0, 0, 2);
    SecretKey key(ctx);
    key.getSx().message[3] = {1, -1};
    TempDir dir;
    key.save(dir.file("full.bin"));
    key.saveSeedOnly(dir.file("seed.bin"));
    const Bytes full = readFile(dir.file("full.bin"));
    EXPECT_EQ(full, readFile(dir.file("seed.bin")));
    ASSERT_EQ(full.size(), 25u + 16u * 32u);
    const Bytes head = Record().u64(6).u8(1).u64(5).u64(32).bytes();
    EXPECT_EQ(Bytes(full.begin(), full.begin() + 25), head);

    std::ostringstream a, b;
    key.save(a);
    key.saveSeedOnly(b);
    EXPECT_EQ(bytesOf(a.str()), full);
    EXPECT_EQ(a.str(), b.str());

    const SecretKey back(ctx, dir.file("seed.bin"));
    EXPECT_EQ(back.getSx().message.slots(), key.getSx().message.slots());
    std::istringstream in(a.str());
    const SecretKey fromStream(ctx, in);
    EXPECT_EQ(fromStream.getSx().message[3], Complex(1, -1));
    EXPECT_TRUE(ctx->getOpHistory().empty());

    const std::string missing = dir.file("none/key.bin");
    EXPECT_EQ(thrownMessage([&] { key.save(missing); }), "Cannot open file " + missing);
    EXPECT_EQ(thrownMessage([&] { key.saveSeedOnly(missing); }), "Cannot open file " + missing);
    EXPECT_EQ(thrownMessage([&] { SecretKey k(ctx, missing); }), "Cannot open file " + missing);
    if (std::ofstream("/dev/full").is_open()) {
        EXPECT_EQ(thrownMessage([&] { key.save(std::string("/dev/full")); }), "Cannot write file /dev/full");
    }
}

// A key of another context is taken as stored; the key keeps the context it was read for.
TEST(SecretKeyTest, ReadingTakesStoredValuesUnderTheGivenContext) {
    const Context small = makeContext(6, 4, 0, 0, 0, 2);
    const Context fgb = makeContext(ParameterPreset::FGb);
    std::stringstream stream;
    SecretKey(small).save(stream);
    const SecretKey key(fgb, stream);
    EXPECT_EQ(key.getContext(), fgb);
    EXPECT_EQ(key.getSx().numPrimes, 6u);
    EXPECT_EQ(key.getSx().level, 5u);
    EXPECT_EQ(key.getSx().message.getSize(), 32u);
    EXPECT_EQ(key.getDevice().type(), DeviceType::CPU);

    std::istringstream truncated(Record().u64(6).u8(1).str());
    EXPECT_EQ(cerealMessage([&] { SecretKey k(fgb, truncated); }), "Failed to read 8 bytes from input stream! Read 0");
    std::istringstream hostile(Record().u64(6).u8(1).u64(5).u64(u64{1} << 40).str());
    EXPECT_EQ(cerealMessage([&] { SecretKey k(small, hostile); }), "Failed to read 8 bytes from input stream! Read 0");
}

TEST(SecretKeyTest, MovesCompareTypesAndCountNothing) {
    const Context ctx = makeContext(6, 4, 0, 0, 0, 2);
    SecretKey key(ctx);
    key.to(Device(DeviceType::GPU, 0));
    key.to(Device(DeviceType::GPU, 5));
    EXPECT_EQ(key.getDevice().type(), DeviceType::GPU);
    EXPECT_EQ(key.getDevice().id(), 0);
    key.to(Device(DeviceType::CPU_PINNED, 1));
    EXPECT_EQ(key.getDevice().type(), DeviceType::CPU_PINNED);
    EXPECT_EQ(key.getDevice().id(), 1);
    EXPECT_TRUE(ctx->getOpHistory().empty());

    SecretKey target(makeContext(ParameterPreset::FGb));
    const Message& held = target.getSx().message;
    target = key;
    EXPECT_EQ(&held, &target.getSx().message);
    EXPECT_EQ(held.getSize(), 32u);
    EXPECT_EQ(target.getContext(), ctx);
    EXPECT_EQ(target.getDevice().type(), DeviceType::CPU_PINNED);
}

TEST(SecretKeyTest, CoefficientConstructorGivesTheDefaultKeyWithAlert) {
    const Context ctx = makeContext(6, 4, 0, 0, 0, 2);
    int coefficients[] = {1, -1, 0};
    const SecretKey::Coefficients pointer = coefficients;
    const std::string line = "[SecretKey::SecretKey(const Context &, const SecretKey::Coefficients &)] Always "
                             "return the default SecretKey in Morvane-simulator\n";
    EXPECT_EQ(capturedStdout([&] {
                  const SecretKey key(ctx, pointer);
                  EXPECT_EQ(key.getSx().numPrimes, 6u);
                  EXPECT_TRUE(detail::isZeroMessage(key.getSx().message));
              }),
              line);
    simulateAlert(false);
    EXPECT_EQ(capturedStdout([&] { SecretKey key(ctx, pointer); }), "");
    simulateAlert(true);
}
