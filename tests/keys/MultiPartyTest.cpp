#include "morvane/core/Alert.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/keys/MultiParty.hpp"
#include "tests/keys/KeyTestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace Morvane;
using datatest::capturedStdout;
using Config = CollectiveKeyGenConfig;

namespace {

// Restores the process-wide alert switch whatever a test does with it.
struct AlertSwitchGuard {
    ~AlertSwitchGuard() { simulateAlert(true); }
};

const Config kRot5{Config::Rot, 5};

} // namespace

TEST(MultiPartyTest, ConfigEqualityComparesTheIndexOfRotationsOnly) {
    EXPECT_EQ(static_cast<std::uint32_t>(Config::Enc), 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(Config::SparseSecretEncapsulation), 4u);
    EXPECT_TRUE((Config{Config::Rot, 5} == Config{Config::Rot, 5}));
    EXPECT_TRUE((Config{Config::Rot, 5} != Config{Config::Rot, 6}));
    EXPECT_TRUE((Config{Config::Mult, 1} == Config{Config::Mult, 9}));
    EXPECT_TRUE((Config{Config::Enc, 0} != Config{Config::Conj, 0}));
}

TEST(MultiPartyTest, EveryOperationPrintsItsAlertLineExactlyWhileTheSwitchIsOn) {
    AlertSwitchGuard guard;
    const Context ctx = keytest::smallContext();
    const Context sparse = makeContext(ParameterPreset::SGd0);
    const SecretKey sk(ctx);
    const CollectiveKeyGenerator gen(ctx, sparse);
    CollectiveKeyGenData data(kRot5);
    const CollectiveKeyGenData& cdata = data;
    const std::vector<const CollectiveKeyGenData*> parts = {&data};
    std::ostringstream out;
    std::istringstream in("abc");

    struct Case {
        const char* line;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"[CollectiveKeyGenData::emplacePoly] Nothing happen in Morvane-simulator",
         [&] { data.emplacePoly(ctx, true, 3); }},
        {"[CollectiveKeyGenData::getSize] Always return 0 in Morvane-simulator", [&] { (void)data.getSize(); }},
        {"[CollectiveKeyGenData::save] Nothin happen in Morvane-simulator", [&] { data.save(out); }},
        {"[CollectiveKeyGenData::load] Nothin happen in Morvane-simulator", [&] { data.load(in); }},
        {"[CollectiveKeyGenData::getPolyIter] Always return an empty iterator in Morvane-simulator",
         [&] { (void)data.getPolyIter(); }},
        {"[CollectiveKeyGenData::getPolyIter] Always return an empty iterator in Morvane-simulator",
         [&] { (void)cdata.getPolyIter(); }},
        {"[CollectiveKeyGenerator::genCommonRandomData] Always return the default CollectiveKeyGenData in "
         "Morvane-simulator",
         [&] { (void)gen.genCommonRandomData(kRot5); }},
        {"[CollectiveKeyGenerator::genKeyShare] Always return the default CollectiveKeyGenData in Morvane-simulator",
         [&] { (void)gen.genKeyShare(sk, data); }},
        {"[CollectiveKeyGenerator::aggregateKeyShare] Always return the default CollectiveKeyGenData in "
         "Morvane-simulator",
         [&] { (void)gen.aggregateKeyShare(parts); }},
        {"[CollectiveKeyGenerator::genMultKeyShareRoundOne] Always return the default CollectiveKeyGenData in "
         "Morvane-simulator",
         [&] { (void)gen.genMultKeyShareRoundOne(sk, sk, data); }},
        {"[CollectiveKeyGenerator::genMultKeyShareRoundTwo] Always return the default CollectiveKeyGenData in "
         "Morvane-simulator",
         [&] { (void)gen.genMultKeyShareRoundTwo(sk, sk, data); }},
        {"[CollectiveKeyGenerator::genEncKey] Always return an empty EncryptionKey in Morvane-simulator",
         [&] { (void)gen.genEncKey(data, data); }},
        {"[CollectiveKeyGenerator::genRotKey] Always return an empty rotation key in Morvane-simulator",
         [&] { (void)gen.genRotKey(data, data); }},
        {"[CollectiveKeyGenerator::genMultKey] Always return an empty multiplication key in Morvane-simulator",
         [&] { (void)gen.genMultKey(data, data); }},
        {"[CollectiveKeyGenerator::genConjKey] Always return an empty conjugation key in Morvane-simulator",
         [&] { (void)gen.genConjKey(data, data); }},
        {"[CollectiveKeyGenerator::genSparseSecretEncapsulationKey] Always return an empty "
         "SparseSecretEncapsulationKey key in Morvane-simulator",
         [&] { (void)gen.genSparseSecretEncapsulationKey(data, data); }},
    };
    for (const Case& c : cases) {
        simulateAlert(true);
        EXPECT_EQ(capturedStdout(c.call), std::string(c.line) + "\n");
        simulateAlert(false);
        EXPECT_EQ(capturedStdout(c.call), "") << c.line;
    }
    // Construction is silent; nothing reaches the history or the stopwatch.
    simulateAlert(true);
    EXPECT_EQ(capturedStdout([&] {
                  CollectiveKeyGenerator other(ctx);
                  CollectiveKeyGenData more(kRot5);
                  (void)more.getConfig();
              }),
              "");
    EXPECT_TRUE(ctx->getOpHistory().empty());
}

TEST(MultiPartyTest, DataCarriesItsConfigThroughTheRoundTrip) {
    AlertSwitchGuard guard;
    simulateAlert(false);
    const Context ctx = keytest::smallContext();
    const CollectiveKeyGenerator gen(ctx);
    const SecretKey sk1(ctx), sk2(ctx);

    const CollectiveKeyGenData crd = gen.genCommonRandomData(kRot5);
    EXPECT_EQ(crd.getConfig().type, Config::Rot);
    EXPECT_EQ(crd.getConfig().rot_idx, 5);
    const CollectiveKeyGenData share1 = gen.genKeyShare(sk1, crd);
    const CollectiveKeyGenData share2 = gen.genKeyShare(sk2, crd);
    EXPECT_EQ(share1.getConfig(), kRot5);
    EXPECT_EQ(gen.aggregateKeyShare({&share1}).getConfig(), kRot5);
    EXPECT_EQ(gen.aggregateKeyShare({&share1, &share2}).getConfig(), kRot5);

    const CollectiveKeyGenData enc(Config{Config::Enc, 0});
    const CollectiveKeyGenData mult(Config{Config::Mult, 0});
    EXPECT_EQ(gen.aggregateKeyShare({&enc, &mult}).getConfig().type, Config::Enc);
    EXPECT_EQ(gen.genMultKeyShareRoundOne(sk1, sk2, mult).getConfig().type, Config::Mult);
    EXPECT_EQ(gen.genMultKeyShareRoundTwo(sk1, sk2, enc).getConfig().type, Config::Enc);
    EXPECT_EQ(enc.getSize(), 0u);

    // Copies are deep: a copy outlives its source.
    std::optional<CollectiveKeyGenData> source(CollectiveKeyGenData(Config{Config::Conj, 7}));
    const CollectiveKeyGenData copy = *source;
    source.reset();
    EXPECT_EQ(copy.getConfig().type, Config::Conj);
    EXPECT_EQ(copy.getConfig().rot_idx, 7);
}

TEST(MultiPartyTest, StreamsAreLeftUntouched) {
    AlertSwitchGuard guard;
    simulateAlert(false);
    CollectiveKeyGenData data(kRot5);
    std::ostringstream out;
    data.save(out);
    EXPECT_TRUE(out.str().empty());
    EXPECT_TRUE(out.good());

    std::istringstream in("some bytes");
    data.load(in);
    EXPECT_EQ(in.tellg(), 0);
    EXPECT_EQ(data.getConfig(), kRot5);
}

TEST(MultiPartyTest, KeysAreRecordsOfTheGeneratorsContexts) {
    AlertSwitchGuard guard;
    simulateAlert(false);
    const Context a = makeContext(ParameterPreset::FGd);
    const Context b = makeContext(ParameterPreset::FX); // no relation to `a` is required
    const CollectiveKeyGenerator gen(a, b);
    const CollectiveKeyGenData any(kRot5);

    const auto enc = gen.genEncKey(any, any);
    EXPECT_EQ(enc->parameterId, a->parameterId);
    EXPECT_EQ(enc->device.type(), DeviceType::CPU);

    struct Eval {
        std::shared_ptr<EvaluationKey> key;
        char type;
        u64 index;
    };
    for (const Eval& e : {Eval{gen.genRotKey(any, any), 'r', 1}, Eval{gen.genMultKey(any, any), 'm', 0},
                          Eval{gen.genConjKey(any, any), 'c', 0}}) {
        ASSERT_TRUE(e.key);
        EXPECT_EQ(e.key->type, e.type);
        EXPECT_EQ(e.key->rot_idx, e.index);
        EXPECT_EQ(e.key->parameterId, a->parameterId);
        EXPECT_EQ(e.key->device.type(), DeviceType::CPU);
        EXPECT_EQ(e.key->device.id(), 0);
    }

    const auto sse = gen.genSparseSecretEncapsulationKey(any, any);
    EXPECT_EQ(sse->getDTSPart().parameterId, b->parameterId);
    EXPECT_EQ(sse->getSTDPart().parameterId, a->parameterId);
    EXPECT_EQ(sse->getDTSPart().type, 's');
    EXPECT_EQ(sse->getSTDPart().rot_idx, 0u);
    EXPECT_TRUE(a->getOpHistory().empty());
}

TEST(MultiPartyTest, UndefinedInputsPrintTheAlertThenAreRefused) {
    AlertSwitchGuard guard;
    simulateAlert(true);
    const Context ctx = keytest::smallContext();
    const CollectiveKeyGenerator gen(ctx); // no sparse context
    const CollectiveKeyGenData share(kRot5);

    const std::string aggregateLine = "[CollectiveKeyGenerator::aggregateKeyShare] Always return the default "
                                      "CollectiveKeyGenData in Morvane-simulator\n";
    struct Case {
        std::vector<const CollectiveKeyGenData*> parts;
        const char* message;
    };
    const Case cases[] = {
        {{}, "[CollectiveKeyGenerator::aggregateKeyShare] The list of key shares is empty"},
        {{nullptr}, "[CollectiveKeyGenerator::aggregateKeyShare] The first key share is null"},
        {{nullptr, &share}, "[CollectiveKeyGenerator::aggregateKeyShare] The first key share is null"},
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_EQ(capturedStdout([&] { message = thrownMessage([&] { (void)gen.aggregateKeyShare(c.parts); }); }),
                  aggregateLine);
        EXPECT_EQ(message, c.message);
    }
    // Shares after the first are never read, so a null one there is harmless.
    EXPECT_EQ(capturedStdout([&] { EXPECT_EQ(gen.aggregateKeyShare({&share, nullptr}).getConfig(), kRot5); }),
              aggregateLine);

    std::string message;
    EXPECT_EQ(capturedStdout([&] {
                  message = thrownMessage([&] { (void)gen.genSparseSecretEncapsulationKey(share, share); });
              }),
              "[CollectiveKeyGenerator::genSparseSecretEncapsulationKey] Always return an empty "
              "SparseSecretEncapsulationKey key in Morvane-simulator\n");
    EXPECT_EQ(message, "[CollectiveKeyGenerator::genSparseSecretEncapsulationKey] The generator is not constructed "
                       "with context_sparse");
}
