#include "morvane/core/Alert.hpp"
#include "morvane/core/Ciphertext.hpp"
#include "tests/support/DataTestSupport.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace Morvane;
using namespace datatest;

TEST(CiphertextTest, ExtendedConstructionStartsAboveThePlaintextLevel) {
    const Context ctx = makeContext(ParameterPreset::FGb);
    const Ciphertext plain(ctx, false);
    EXPECT_EQ(plain.getSize(), 2u);
    EXPECT_FALSE(plain.isModUp());
    EXPECT_EQ(plain.getPoly(0).numPrimes, 25u);
    EXPECT_EQ(plain.getLevel(), 24u);
    EXPECT_FALSE(Ciphertext(ctx).isModUp());

    Ciphertext extended(ctx, true);
    EXPECT_TRUE(extended.isModUp());
    EXPECT_EQ(extended.getPoly(0).numPrimes, 30u);
    EXPECT_EQ(extended.getLevel(), 29u);
    EXPECT_EQ(extended.getLogSlots(), 15u);
    EXPECT_EQ(&extended.getPoly(0), &extended.getPoly(1));
    EXPECT_EQ(extended.getParameterPreset(), ParameterPreset::FGb);
}

TEST(CiphertextTest, CopyWithContextKeepsTheSourceContext) {
    const Context a = makeContext(ParameterPreset::FGb);
    const Context b = makeContext(ParameterPreset::FVa);
    Ciphertext source(a, true);
    source.setSize(3);
    source.message()[2] = {4, 2};
    std::string printed;
    printed = capturedStdout([&] {
        const Ciphertext copy(b, source);
        EXPECT_EQ(copy.context(), a);
        EXPECT_EQ(copy.getSize(), 3u);
        EXPECT_TRUE(copy.isModUp());
        EXPECT_EQ(copy.message()[2], Complex(4, 2));
        EXPECT_NE(copy.message().begin(), source.message().begin());
    });
    EXPECT_EQ(printed, "[Ciphertext::Ciphertext(const Context &, const Ciphertext &)] Always return a copy of the "
                       "input ciphertext in Morvane-simulator\n");
    simulateAlert(false);
    EXPECT_EQ(capturedStdout([&] { EXPECT_EQ(Ciphertext(b, source).context(), a); }), "");
    simulateAlert(true);
}

TEST(CiphertextTest, SimulatedQueriesReturnFixedValuesEitherWay) {
    const Context ctx = makeContext(6, 4, 0, 0, 0, 2);
    const Ciphertext ctxt(ctx, false);
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on);
        simulateAlert(on);
        u64* data = nullptr;
        const std::string printed = capturedStdout([&] {
            EXPECT_EQ(ctxt.getCurrentPrime(), 1u);
            EXPECT_EQ(ctxt.getCurrentScaleFactor(), 1.0);
            data = ctxt.getPolyData(0, 0);
        });
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(*data, 0u);
        delete data;
        EXPECT_EQ(printed, on ? "[Ciphertext::getCurrentPrime] Always return 1 in Morvane-simulator\n"
                                "[Ciphertext::getCurrentScaleFactor] Always return 1.0 in Morvane-simulator\n"
                                "[Ciphertext::getPolyData] Always return an empty u64* in Morvane-simulator\n"
                              : "");
    }
    simulateAlert(true);
    EXPECT_TRUE(ctx->getOpHistory().empty());
}

// The size is not stored, and the flag byte sits at offset 20 of the record.
TEST(CiphertextTest, RecordLeavesSizeAndMarksExtension) {
    const Context ctx = makeContext(6, 4, 0, 0, 0, 2);
    for (const bool extended : {false, true}) {
        Ciphertext ctxt(ctx, extended);
        ctxt.setSize(3);
        std::stringstream stream;
        ctxt.save(stream);
        ASSERT_EQ(stream.str().size(), 549u);
        EXPECT_EQ(stream.str()[20], extended ? 1 : 0);
        Ciphertext fresh(ctx, !extended);
        fresh.load(stream);
        EXPECT_EQ(fresh.getSize(), 2u);
        EXPECT_EQ(fresh.isModUp(), extended);
        EXPECT_EQ(fresh.getLevel(), extended ? 5u : 3u);
    }
}

TEST(CiphertextTest, CopyMetaDataTakesContextLogSlotsAndRescaleCounterOnly) {
    const Context a = makeContext(6, 4, 0, 0, 0, 2);
    const Context b = makeContext(ParameterPreset::FGb);
    Ciphertext source(a, false);
    source.setLogSlots(3);
    source.setRescaleCounter(2);
    source.setSize(3);
    Ciphertext target(b, true);
    target.impl().copyMetaDataFrom(source.impl());
    EXPECT_EQ(target.context(), a);
    EXPECT_EQ(target.getLogSlots(), 3u);
    EXPECT_EQ(target.getRescaleCounter(), 2);
    EXPECT_EQ(target.getSize(), 2u);
    EXPECT_TRUE(target.isModUp());
    EXPECT_EQ(target.message().getSize(), 32768u);
}
