#include "morvane/core/Alert.hpp"
#include "morvane/core/Context.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace Morvane;
using datatest::capturedStdout;

TEST(ContextTest, ParameterIdIsTheSumOfItsTerms) {
    EXPECT_EQ(makeContext(ParameterPreset::FVa)->parameterId,
              17ULL * 10000000000ULL + 65536ULL * 100000000ULL + 30ULL * 1000000ULL + 1ULL * 10000ULL +
                  29ULL * 100ULL + 10ULL);
    EXPECT_EQ(makeContext(16, 24, 60, 40, 50, 6)->parameterId,
              16ULL * 10000000000ULL + 32768ULL * 100000000ULL + 24ULL * 1000000ULL + 1ULL * 10000ULL +
                  23ULL * 100ULL + 4ULL);
}

TEST(ContextTest, CustomValuesReachTheParameterInItsOrder) {
    // makeContext takes (log_dimension, chain_length, bpsize, qpsize, tpsize, gadget_rank).
    const Context context = makeContext(16, 24, 60, 40, 50, 6);
    const Parameter& p = context->parameter;
    EXPECT_EQ(p.log_dimension, 16u);
    EXPECT_EQ(p.chain_length, 24u);
    EXPECT_EQ(p.bpsize, 60u);
    EXPECT_EQ(p.qpsize, 40u);
    EXPECT_EQ(p.tpsize, 50u);
    EXPECT_EQ(p.gadget_rank, 6u);
    EXPECT_EQ(p.presetName, "CUSTOM");
}

TEST(ContextTest, ConstructionPropagatesParameterFailures) {
    EXPECT_EQ(thrownMessage([] { makeContext(ParameterPreset::CUSTOM); }),
              "Need to specify some parameters in order to use CUSTOM parameters.");
    EXPECT_EQ(thrownMessage([] { makeContext(static_cast<ParameterPreset>(18), {0}); }),
              "The input parameter preset is not yet supported.");
    EXPECT_EQ(thrownMessage([] { makeContext(5, 30, 0, 0, 0, 3); }), "[Parameter] Invalid log_dimension");
    EXPECT_EQ(thrownMessage([] { makeContext(17, 51, 0, 0, 0, 3); }), "[Parameter] Invalid chain_length");
    EXPECT_EQ(thrownMessage([] { makeContext(17, 30, 0, 0, 0, 4); }),
              "[Parameter] gadget_rank should divide chain_length");
    EXPECT_EQ(thrownMessage([] { makeContext(17, 30, 0, 0, 0, 0); }),
              "[Parameter] gadget_rank should divide chain_length");
}

TEST(ContextTest, QueriesOfPresetAndCustomContexts) {
    const Context fgb = makeContext(ParameterPreset::FGb);
    EXPECT_EQ(getLogFullSlots(fgb), 15u);
    EXPECT_EQ(getEncryptionLevel(fgb), 12u);
    EXPECT_EQ(getSecurityLevel(fgb), SecurityLevel::None);
    EXPECT_TRUE(isBootstrappableParameter(fgb));
    EXPECT_TRUE(isExtendedBootstrapSupported(fgb));
    EXPECT_FALSE(isSparseSecretEncapsulationSupported(fgb));
    EXPECT_TRUE(isSparseSecretEncapsulationSupported(makeContext(ParameterPreset::FGd)));
    EXPECT_FALSE(isExtendedBootstrapSupported(makeContext(ParameterPreset::FTa)));

    const Context custom = makeContext(16, 24, 0, 0, 0, 6);
    EXPECT_EQ(getLogFullSlots(custom), 15u);
    EXPECT_EQ(getEncryptionLevel(custom), 23u);
    EXPECT_FALSE(isBootstrappableParameter(custom));
    EXPECT_EQ(getSecurityLevel(custom), SecurityLevel::None);

    EXPECT_TRUE(fgb->historyReportPrefix.empty());
    EXPECT_EQ(fgb->nameColumnWidth, 40u);
    EXPECT_EQ(fgb->countColumnWidth, 7u);
    EXPECT_TRUE(fgb->simulateErrorFlag.load());
    EXPECT_FALSE(fgb->bootstrapWarmedUp.load());
    simulateError(fgb, false);
    EXPECT_FALSE(fgb->simulateErrorFlag.load());
    simulateError(fgb, true);
    EXPECT_TRUE(fgb->simulateErrorFlag.load());
}

TEST(ContextTest, AlertQueriesReturnEmptyEitherWay) {
    const Context context = makeContext(ParameterPreset::FGb);
    const auto queryBoth = [&] {
        EXPECT_TRUE(getDefaultScaleFactorList(context).empty());
        EXPECT_TRUE(getPrimeList(context).empty());
    };
    EXPECT_EQ(capturedStdout(queryBoth),
              "[getDefaultScaleFactorList] Always return an empty vector<Real> in Morvane-simulator\n"
              "[getPrimeList] Always return an empty vector<u64> Morvane-simulator\n");
    simulateAlert(false);
    EXPECT_EQ(capturedStdout(queryBoth), "");
    simulateAlert(true);
}

TEST(ContextTest, EqualityComparesPresetsOnly) {
    const Context a = makeContext(ParameterPreset::FGb, {});
    const Context b = makeContext(ParameterPreset::FGb, {0, 5});
    const Context c = makeContext(ParameterPreset::FGd);
    const Context custom1 = makeContext(16, 24, 0, 0, 0, 6);
    const Context custom2 = makeContext(10, 4, 1, 2, 3, 2);
    EXPECT_TRUE(*a == *b);
    EXPECT_FALSE(*a != *b);
    EXPECT_TRUE(*a != *c);
    EXPECT_TRUE(*custom1 == *custom2);
    EXPECT_TRUE(*custom1 != *a);
}

TEST(ContextTest, DeviceSetFromCudaIds) {
    const Context context = makeContext(ParameterPreset::FX, {3, 1});
    ASSERT_EQ(context->devices.size(), 2u);
    auto it = context->devices.begin();
    EXPECT_EQ(it->type(), DeviceType::GPU);
    EXPECT_EQ(it->id(), 1);
    ++it;
    EXPECT_EQ(it->type(), DeviceType::GPU);
    EXPECT_EQ(it->id(), 3);
    EXPECT_TRUE(makeContext(ParameterPreset::FX)->devices.empty());
}

TEST(ContextTest, StopwatchStartsStoppedAtCreationCost) {
    EXPECT_EQ(getDuration(makeContext(ParameterPreset::FGb)), 1695u);
    EXPECT_EQ(getDuration(makeContext(ParameterPreset::FVa)), 4462u);
    EXPECT_EQ(getDuration(makeContext(ParameterPreset::FX)), 5u);
    // Custom parameters have no cost row.
    EXPECT_EQ(getDuration(makeContext(16, 24, 0, 0, 0, 6)), 0u);

    const Context context = makeContext(ParameterPreset::FGb);
    context->tickStopWatch(10);
    EXPECT_EQ(getDuration(context), 1695u) << "a tick before any start is lost";
}

TEST(ContextTest, StopwatchAddsTicksOnlyWhileRunningAndRestartsFromZero) {
    const Context context = makeContext(ParameterPreset::FGb);
    startStopWatch(context);
    context->tickStopWatch(5);
    context->tickStopWatch(7);
    EXPECT_EQ(getDuration(context), 12u);
    context->tickStopWatch(3);
    EXPECT_EQ(getDuration(context), 12u) << "getDuration stops the watch";

    startStopWatch(context);
    EXPECT_EQ(getDuration(context), 0u) << "starting discards the previous total";

    startStopWatch(context);
    context->tickStopWatch(4);
    stopStopWatch(context);
    context->tickStopWatch(100);
    EXPECT_EQ(getDuration(context), 4u);
    startStopWatch(context);
    context->tickStopWatch(1);
    EXPECT_EQ(getDuration(context), 1u);
}

TEST(ContextTest, HistoryCountsAndClears) {
    Context context = makeContext(ParameterPreset::FGb);
    EXPECT_TRUE(getOpHistory(context).empty());
    context->updateOpHistory("Encode");
    context->updateOpHistory("Decode");
    context->updateOpHistory("Encode");
    const std::map<std::string, u64> expected = {{"Decode", 1}, {"Encode", 2}};
    EXPECT_EQ(getOpHistory(context), expected);
    EXPECT_EQ(context->getOpHistory().begin()->first, "Decode");

    startStopWatch(context);
    context->tickStopWatch(9);
    clearOpHistory(context);
    EXPECT_TRUE(getOpHistory(context).empty());
    EXPECT_EQ(getDuration(context), 9u) << "clearing leaves the stopwatch alone";
    context->updateOpHistory("Encode");
    EXPECT_EQ(getOpHistory(context), (std::map<std::string, u64>{{"Encode", 1}}));
}

TEST(ContextTest, ConcurrentCountsAreExact) {
    const Context context = makeContext(ParameterPreset::FX);
    constexpr int kThreads = 8;
    constexpr int kPerThread = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&context, t] {
            const std::string own = "label " + std::to_string(t);
            for (int i = 0; i < kPerThread; ++i) {
                context->updateOpHistory("Rotate");
                context->updateOpHistory(own);
                if (i % 1000 == 0)
                    (void)context->representOpHistory(true);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    const auto history = getOpHistory(context);
    ASSERT_EQ(history.size(), static_cast<std::size_t>(kThreads + 1));
    EXPECT_EQ(history.at("Rotate"), static_cast<u64>(kThreads) * kPerThread);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(history.at("label " + std::to_string(t)), static_cast<u64>(kPerThread));
}

TEST(ContextTest, ConcurrentTicksAreExact) {
    const Context context = makeContext(ParameterPreset::FGb);
    startStopWatch(context);
    constexpr int kThreads = 8;
    constexpr int kPerThread = 50000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&context, t] {
            for (int i = 0; i < kPerThread; ++i)
                context->tickStopWatch(static_cast<unsigned long>(t + 1));
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(getDuration(context), static_cast<u64>(kPerThread) * (kThreads * (kThreads + 1) / 2));
}

// Labels of the fixed table count without the map's lock; by constant or by text they reach one entry, and the
// history and its clearing see both kinds of label alike.
TEST(ContextTest, ConcurrentTableAndOtherLabelsShareOneHistory) {
    Context context = makeContext(ParameterPreset::FX);
    constexpr int kThreads = 8;
    constexpr int kPerThread = 10000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&context] {
            for (int i = 0; i < kPerThread; ++i) {
                context->updateOpHistory(labels::rotate.cpu);
                context->updateOpHistory(labels::rotate.gpuIndex);
                context->updateOpHistory("Rotate");
                context->updateOpHistory("rotate");
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    const u64 each = static_cast<u64>(kThreads) * kPerThread;
    EXPECT_EQ(getOpHistory(context),
              (std::map<std::string, u64>{{"Rotate", 2 * each}, {"Rotate (GPU)", each}, {"rotate", each}}));
    clearOpHistory(context);
    EXPECT_TRUE(getOpHistory(context).empty());
    context->updateOpHistory(labels::decrypt);
    EXPECT_EQ(getOpHistory(context), (std::map<std::string, u64>{{"Decrypt", 1}}));
}
