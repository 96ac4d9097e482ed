#include "morvane/core/Exception.hpp"
#include "morvane/keys/KeyPack.hpp"
#include "tests/keys/KeyTestSupport.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <sstream>
#include <string>

using namespace Morvane;
using keytest::Bytes;
using keytest::cerealMessage;
using keytest::Record;

namespace {

constexpr std::uint32_t kFirst = 0x80000000u;

Bytes packBytes(const KeyPack& pack) {
    std::ostringstream out;
    pack.save(out);
    return keytest::bytesOf(out);
}

Record& appendEval(Record& r, u64 parameterId, char type, u64 rotIdx) {
    return keytest::evalRecord(r, parameterId, type, rotIdx);
}

// A pack holding every kind of key, each its own object.
KeyPack fullPack(const Context& ctx) {
    KeyPack pack(ctx);
    const auto& impl = pack.getImpl();
    impl->setEncKey(std::make_shared<EncryptionKey>(ctx));
    impl->setMultKey(makeEmptyMultKey(ctx));
    impl->setConjKey(makeEmptyConjugationKey(ctx));
    impl->setRotKey(2, makeEmptyRotationKey(ctx, 2));
    impl->setRotKey(1, makeEmptyRotationKey(ctx, 1));
    impl->setSparseSecretEncapsulationKey(makeEmptySparseSecretEncapsulationKey(ctx, ctx));
    return pack;
}

void loadInto(KeyPack& pack, const Record& r) {
    std::istringstream in(r.str());
    pack.load(in);
}

} // namespace

TEST(KeyPackStreamTest, FieldsIdsAndRecordsOfTheExamplePack) {
    const Context ctx = keytest::smallContext();
    const u64 p = ctx->parameterId;
    KeyPack pack = fullPack(ctx);
    pack.getImpl()->setSparseSecretEncapsulationKey(nullptr);

    Record expected;
    expected.i32(static_cast<std::int32_t>(kFirst | 1)).i32(0).u64(p);
    expected.i32(static_cast<std::int32_t>(kFirst | 2));
    appendEval(expected, p, 'm', 0).i32(static_cast<std::int32_t>(kFirst | 3));
    appendEval(expected, p, 'c', 0).u64(2).u64(1).i32(static_cast<std::int32_t>(kFirst | 4));
    appendEval(expected, p, 'r', 1).u64(2).i32(static_cast<std::int32_t>(kFirst | 5));
    appendEval(expected, p, 'r', 2).i32(0);
    const Bytes written = packBytes(pack);
    EXPECT_EQ(written.size(), 144u);
    EXPECT_EQ(written, expected.bytes());

    // With a sparse key it is object 6, two evaluation records.
    pack.getImpl()->setSparseSecretEncapsulationKey(makeEmptySparseSecretEncapsulationKey(ctx, ctx));
    Bytes withSse(expected.bytes().begin(), expected.bytes().end() - 4);
    Record tail;
    tail.i32(static_cast<std::int32_t>(kFirst | 6));
    appendEval(tail, p, 's', 0);
    appendEval(tail, p, 's', 0);
    withSse.insert(withSse.end(), tail.bytes().begin(), tail.bytes().end());
    EXPECT_EQ(packBytes(pack), withSse);
}

TEST(KeyPackStreamTest, EmptyPackIsTwentyFourZeroBytesAndEmptiesAPackOnLoad) {
    const Context ctx = keytest::smallContext();
    EXPECT_EQ(packBytes(KeyPack(ctx)), Bytes(24, 0));

    KeyPack pack = fullPack(ctx);
    std::istringstream in(std::string(24, '\0'));
    pack.load(in);
    EXPECT_FALSE(pack.isEncKeyLoaded());
    EXPECT_FALSE(pack.isMultKeyLoaded());
    EXPECT_FALSE(pack.isConjKeyLoaded());
    EXPECT_FALSE(pack.isSparseSecretEncapsulationKeyLoaded());
    EXPECT_TRUE(pack.getImpl()->peekRotKeys().empty());
    EXPECT_TRUE(getOpHistory(ctx).empty());
}

TEST(KeyPackStreamTest, RoundTripKeepsKeysAndOrderAndPutsThemOnTheDefaultDevice) {
    const Context ctx = keytest::smallContext();
    KeyPack source = fullPack(ctx);
    source.to(Device(DeviceType::GPU, 1));
    std::stringstream stream;
    source.save(stream);
    stream << "trailing";

    KeyPack target(ctx);
    target.load(stream);
    EXPECT_EQ(target.getEncKey()->parameterId, ctx->parameterId);
    EXPECT_EQ(target.getMultKey()->type, 'm');
    EXPECT_EQ(target.getConjKey()->type, 'c');
    EXPECT_EQ(target.getSparseSecretEncapsulationKey()->getSTDPart().type, 's');
    const auto rot = target.getImpl()->peekRotKeys();
    ASSERT_EQ(rot.size(), 2u);
    EXPECT_EQ(rot[0].first, 1u);
    EXPECT_EQ(rot[0].second->rot_idx, 1u);
    EXPECT_EQ(rot[1].first, 2u);
    EXPECT_EQ(target.getEncKey()->device.type(), DeviceType::CPU);
    EXPECT_EQ(rot[1].second->device.type(), DeviceType::CPU);
    EXPECT_EQ(target.getSparseSecretEncapsulationKey()->getDTSPart().device.type(), DeviceType::CPU);
    EXPECT_EQ(packBytes(target), packBytes(source));
    // Only the pack is consumed.
    std::string rest;
    stream >> rest;
    EXPECT_EQ(rest, "trailing");
    EXPECT_TRUE(getOpHistory(ctx).empty());
}

TEST(KeyPackStreamTest, OneKeyObjectInTwoSlotsIsOneRecordAndABackReference) {
    const Context ctx = keytest::smallContext();
    const u64 p = ctx->parameterId;
    KeyPack pack(ctx);
    std::shared_ptr<EvaluationKey> shared = makeEmptyMultKey(ctx);
    pack.getImpl()->setMultKey(shared);
    pack.getImpl()->setConjKey(shared);
    pack.getImpl()->setRotKey(4, shared);

    Record expected;
    expected.i32(0).i32(static_cast<std::int32_t>(kFirst | 1));
    appendEval(expected, p, 'm', 0).i32(1).u64(1).u64(4).i32(1).i32(0);
    EXPECT_EQ(packBytes(pack), expected.bytes());

    KeyPack back(ctx);
    loadInto(back, expected);
    EXPECT_FALSE(back.isEncKeyLoaded());
    EXPECT_EQ(back.getMultKey(), back.getConjKey());
    EXPECT_EQ(back.getMultKey(), back.getLeftRotKey(4));
}

TEST(KeyPackStreamTest, ReadingReplacesFieldByFieldAndOrdersRotationEntries) {
    const Context ctx = keytest::smallContext();
    KeyPack pack = fullPack(ctx);

    // Entries in any order; a repeated index keeps its first entry; a number given a second time names the
    // later object from then on.
    Record r;
    r.i32(static_cast<std::int32_t>(kFirst | 1)).i32(0).u64(70);
    r.i32(0).i32(0).u64(4);
    r.u64(9).i32(static_cast<std::int32_t>(kFirst | 2));
    appendEval(r, 71, 'r', 9).u64(5).i32(static_cast<std::int32_t>(kFirst | 3));
    appendEval(r, 72, 'r', 5).u64(9).i32(static_cast<std::int32_t>(kFirst | 2));
    appendEval(r, 73, 'r', 9).u64(11).i32(2).i32(0);
    loadInto(pack, r);

    EXPECT_EQ(pack.getEncKey()->parameterId, 70u);
    EXPECT_FALSE(pack.isMultKeyLoaded());
    EXPECT_FALSE(pack.isConjKeyLoaded());
    EXPECT_FALSE(pack.isSparseSecretEncapsulationKeyLoaded());
    const auto rot = pack.getImpl()->peekRotKeys();
    ASSERT_EQ(rot.size(), 3u);
    EXPECT_EQ(rot[0].first, 5u);
    EXPECT_EQ(rot[1].first, 9u);
    EXPECT_EQ(rot[1].second->parameterId, 71u);
    EXPECT_EQ(rot[2].first, 11u);
    EXPECT_EQ(rot[2].second->parameterId, 73u);
}

TEST(KeyPackStreamTest, ReferencesToUnknownOrOtherKindsAreRefused) {
    const Context ctx = keytest::smallContext();
    const u64 p = ctx->parameterId;
    const std::string unknown = "Error while trying to deserialize a smart pointer. Could not find id ";

    {
        KeyPack pack = fullPack(ctx);
        const auto enc = pack.getEncKey();
        Record r;
        r.i32(5);
        EXPECT_EQ(cerealMessage([&] { loadInto(pack, r); }), unknown + "5");
        EXPECT_EQ(pack.getEncKey(), enc);
    }
    {
        // The largest back-reference, in decimal without sign.
        KeyPack pack(ctx);
        Record r;
        r.i32(0x7FFFFFFF);
        EXPECT_EQ(cerealMessage([&] { loadInto(pack, r); }), unknown + "2147483647");
    }

    struct Case {
        const char* name;
        Record stream;
        bool multKept;
        bool rotationsCleared;
    };
    Record encAsMult;
    encAsMult.i32(static_cast<std::int32_t>(kFirst | 1)).i32(0).u64(p).i32(1);
    Record encAsRot;
    encAsRot.i32(static_cast<std::int32_t>(kFirst | 1)).i32(0).u64(p).i32(0).i32(0).u64(1).u64(3).i32(1);
    Record multAsSse;
    multAsSse.i32(0).i32(static_cast<std::int32_t>(kFirst | 1));
    appendEval(multAsSse, p, 'm', 0).i32(0).u64(0).i32(1);
    const Case cases[] = {{"encryption key as multiplication key", encAsMult, true, false},
                          {"encryption key as rotation key", encAsRot, false, true},
                          {"multiplication key as sparse key", multAsSse, false, true}};
    for (const Case& c : cases) {
        KeyPack pack = fullPack(ctx);
        const auto mult = pack.getMultKey();
        const auto sse = pack.getSparseSecretEncapsulationKey();
        EXPECT_EQ(cerealMessage([&] { loadInto(pack, c.stream); }),
                  "Error while trying to deserialize a smart pointer. Id 1 names a key of another kind")
            << c.name;
        // The slot being read keeps its key; the slots before it were replaced.
        EXPECT_EQ(pack.getSparseSecretEncapsulationKey(), sse) << c.name;
        EXPECT_EQ(pack.getMultKey() == mult, c.multKept) << c.name;
        EXPECT_EQ(pack.getImpl()->peekRotKeys().empty(), c.rotationsCleared) << c.name;
    }
}

TEST(KeyPackStreamTest, RotationEntryWithoutKeyIsRefused) {
    const Context ctx = keytest::smallContext();
    KeyPack pack = fullPack(ctx);
    Record r;
    r.i32(0).i32(0).i32(0).u64(2).u64(1).i32(static_cast<std::int32_t>(kFirst | 1));
    appendEval(r, 1, 'r', 1).u64(6).i32(0).i32(0);
    EXPECT_EQ(cerealMessage([&] { loadInto(pack, r); }),
              "Error while trying to deserialize a smart pointer. Rotation key of index 6 is null");
    // The entries read before the failure stay.
    const auto rot = pack.getImpl()->peekRotKeys();
    ASSERT_EQ(rot.size(), 1u);
    EXPECT_EQ(rot[0].first, 1u);
    EXPECT_FALSE(pack.isLeftRotKeyLoaded(6));
}

TEST(KeyPackStreamTest, IndexWithoutKeyIsLeftOutOfTheStream) {
    const Context ctx = keytest::smallContext();
    KeyPack pack(ctx);
    pack.getImpl()->setRotKey(1, makeEmptyRotationKey(ctx, 1));
    pack.getImpl()->setRotKey(7, nullptr);

    // Counted and written as if the pack held index 1 alone, so the stream reads back.
    Record expected;
    expected.i32(0).i32(0).i32(0).u64(1).u64(1).i32(static_cast<std::int32_t>(kFirst | 1));
    appendEval(expected, ctx->parameterId, 'r', 1).i32(0);
    EXPECT_EQ(packBytes(pack), expected.bytes());
    KeyPack back(ctx);
    loadInto(back, expected);
    EXPECT_TRUE(back.isLeftRotKeyLoaded(1));
    EXPECT_FALSE(back.isLeftRotKeyLoaded(7));
}

TEST(KeyPackStreamTest, BrokenStreamsFailWithTheirReadersMessage) {
    const Context ctx = keytest::smallContext();
    {
        // A count far beyond the stream only bounds the loop.
        KeyPack pack = fullPack(ctx);
        Record r;
        r.i32(0).i32(0).i32(0).u64(std::numeric_limits<u64>::max()).u64(3);
        EXPECT_EQ(cerealMessage([&] { loadInto(pack, r); }), "Failed to read 4 bytes from input stream! Read 0");
        EXPECT_TRUE(pack.getImpl()->peekRotKeys().empty());
        EXPECT_FALSE(pack.isEncKeyLoaded());
        EXPECT_TRUE(pack.isSparseSecretEncapsulationKeyLoaded());
    }
    {
        KeyPack pack = fullPack(ctx);
        const auto enc = pack.getEncKey();
        Record r;
        r.i32(static_cast<std::int32_t>(kFirst | 1)).i32(1).u64(0);
        EXPECT_EQ(thrownMessage([&] { loadInto(pack, r); }),
                  "[Verifier::load] Validation failed during deserializing objects.");
        EXPECT_EQ(pack.getEncKey(), enc);
    }
    {
        // Room for the encryption key's id and record, none for the next id.
        datatest::LimitedBuffer buffer(16);
        std::ostream out(&buffer);
        EXPECT_EQ(cerealMessage([&] { fullPack(ctx).save(out); }),
                  "Failed to write 4 bytes to output stream! Wrote 0");
        EXPECT_EQ(buffer.written().size(), 16u);
    }
}
