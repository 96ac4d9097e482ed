#include "morvane/core/Exception.hpp"
#include "morvane/core/SecretKey.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/keys/EncryptionKey.hpp"
#include "morvane/keys/EvaluationKey.hpp"
#include "morvane/keys/SparseSecretEncapsulationKey.hpp"
#include "tests/keys/KeyTestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

using namespace Morvane;
using keytest::Bytes;
using keytest::cerealMessage;
using keytest::Record;
using keytest::expectDevice;

namespace {

constexpr const char* kVerifier = "[Verifier::load] Validation failed during deserializing objects.";

void expectEval(const EvaluationKey& k, char type, u64 rotIdx, u64 parameterId) {
    EXPECT_EQ(k.type, type);
    EXPECT_EQ(k.rot_idx, rotIdx);
    EXPECT_EQ(k.parameterId, parameterId);
}

template <typename Key>
Bytes streamBytes(const Key& key) {
    std::ostringstream out;
    save(key, out);
    return keytest::bytesOf(out);
}

} // namespace

TEST(KeyRecordTest, RecordsAreTheirTaggedFieldsByteForByte) {
    const Context ctx = keytest::smallContext();
    const Context other = makeContext(ParameterPreset::FGb);
    const u64 p = ctx->parameterId;
    Record sse;
    keytest::evalRecord(sse, other->parameterId, 's', 0);
    keytest::evalRecord(sse, p, 's', 0);

    struct Case {
        const char* name;
        Bytes produced;
        Bytes expected;
    };
    const Case cases[] = {
        {"encryption", streamBytes(EncryptionKey(ctx)), keytest::encRecord(p).bytes()},
        {"encryption from secret key", streamBytes(EncryptionKey(ctx, SecretKey(ctx))), keytest::encRecord(p).bytes()},
        {"multiplication", streamBytes(*makeEmptyMultKey(ctx)), keytest::evalRecord(p, 'm', 0).bytes()},
        {"conjugation", streamBytes(*makeEmptyConjugationKey(ctx)), keytest::evalRecord(p, 'c', 0).bytes()},
        {"rotation 5", streamBytes(*makeEmptyRotationKey(ctx, 5)), keytest::evalRecord(p, 'r', 5).bytes()},
        // Neither checked nor reduced.
        {"rotation 0", streamBytes(*makeEmptyRotationKey(ctx, 0)), keytest::evalRecord(p, 'r', 0).bytes()},
        {"rotation past n", streamBytes(*makeEmptyRotationKey(ctx, 100)), keytest::evalRecord(p, 'r', 100).bytes()},
        // The part of the sparse context (second argument) comes first.
        {"sparse secret encapsulation", streamBytes(*makeEmptySparseSecretEncapsulationKey(ctx, other)), sse.bytes()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.produced, c.expected) << c.name;
    EXPECT_EQ(cases[0].expected.size(), 12u);
    EXPECT_EQ(cases[2].expected.size(), 21u);
    EXPECT_EQ(cases[7].expected.size(), 42u);
}

TEST(KeyRecordTest, ConstructedKeysAreOnTheDefaultCpuDevice) {
    const Context ctx = keytest::smallContext();
    const EncryptionKey enc(ctx, SecretKey(ctx));
    expectDevice(enc.device, DeviceType::CPU, 0);
    EXPECT_EQ(enc.parameterId, ctx->parameterId);
    const SparseSecretEncapsulationKey sse(ctx, ctx);
    expectDevice(sse.getDTSPart().device, DeviceType::CPU, 0);
    expectEval(sse.getSTDPart(), 's', 0, ctx->parameterId);
}

TEST(KeyRecordTest, DeviceOperationsStoreTheWholeDeviceAndTheDeviceIsNeverStored) {
    const Context ctx = keytest::smallContext();
    EncryptionKey enc(ctx);
    enc.to(Device(DeviceType::GPU, 1));
    expectDevice(enc.device, DeviceType::GPU, 1);
    enc.to(Device(DeviceType::UNDEFINED, 7));
    expectDevice(enc.device, DeviceType::UNDEFINED, 7);

    auto rot = makeEmptyRotationKey(ctx, 3);
    rot->copyTo(Device(DeviceType::GPU, 2));
    expectDevice(rot->device, DeviceType::GPU, 2);
    rot->removeExcept(Device(DeviceType::GPU, 1));
    expectDevice(rot->device, DeviceType::GPU, 1);

    SparseSecretEncapsulationKey sse(ctx, ctx);
    sse.removeExcept(Device(DeviceType::GPU, 3));
    expectDevice(sse.getDTSPart().device, DeviceType::GPU, 3);
    expectDevice(sse.getSTDPart().device, DeviceType::GPU, 3);

    // Saved from a GPU, read into a fresh key: the fresh key stays on CPU 0; reloading a GPU key keeps GPU.
    keytest::KeyDir dir;
    Serialize::save(dir.file("RotKey3.bin"), *rot);
    EvaluationKey fresh;
    Serialize::load(dir.file("RotKey3.bin"), fresh);
    expectDevice(fresh.device, DeviceType::CPU, 0);
    expectEval(fresh, 'r', 3, ctx->parameterId);
    Serialize::load(dir.file("RotKey3.bin"), *rot);
    expectDevice(rot->device, DeviceType::GPU, 1);
}

TEST(KeyRecordTest, LoadingTakesTheStoredTypeIndexAndParameterId) {
    const Context ctx = keytest::smallContext();
    const Context other = makeContext(ParameterPreset::FGb);
    keytest::KeyDir dir;
    Serialize::save(dir.file("MultKey.bin"), *makeEmptyMultKey(other));
    Serialize::save(dir.file("RotKey3.bin"), *makeEmptyRotationKey(ctx, 3));

    auto conj = makeEmptyConjugationKey(ctx);
    Serialize::load(dir.file("MultKey.bin"), *conj);
    expectEval(*conj, 'm', 0, other->parameterId);

    auto rot7 = makeEmptyRotationKey(ctx, 7);
    Serialize::load(dir.file("RotKey3.bin"), *rot7);
    expectEval(*rot7, 'r', 3, ctx->parameterId);

    EncryptionKey enc(ctx);
    enc.save(dir.file("EncKey.bin"));
    EXPECT_EQ(datatest::readFile(dir.file("EncKey.bin")).size(), 12u);
    EncryptionKey back;
    back.load(dir.file("EncKey.bin"));
    EXPECT_EQ(back.parameterId, ctx->parameterId);
}

TEST(KeyRecordTest, WrongTagIsRefusedBeforeAnyFieldChanges) {
    const Context ctx = keytest::smallContext();
    keytest::KeyDir dir;
    const std::string bad = dir.file("bad.bin");
    datatest::writeFile(bad, Record().i32(2).u64(99).u8('m').u64(9).u64(0).u64(0).u64(0).bytes());

    EncryptionKey enc(ctx);
    EXPECT_EQ(thrownMessage([&] { enc.load(bad); }), kVerifier);
    EXPECT_EQ(enc.parameterId, ctx->parameterId);
    auto mult = makeEmptyMultKey(ctx);
    EXPECT_EQ(thrownMessage([&] { Serialize::load(bad, *mult); }), kVerifier);
    expectEval(*mult, 'm', 0, ctx->parameterId);
    auto sse = makeEmptySparseSecretEncapsulationKey(ctx, ctx);
    EXPECT_EQ(thrownMessage([&] { Serialize::load(bad, *sse); }), kVerifier);
    expectEval(sse->getDTSPart(), 's', 0, ctx->parameterId);

    // Encryption and evaluation records are not interchangeable.
    const std::string encFile = dir.file("EncKey.bin");
    const std::string multFile = dir.file("MultKey.bin");
    EncryptionKey(ctx).save(encFile);
    Serialize::save(multFile, *makeEmptyMultKey(ctx));
    EXPECT_EQ(thrownMessage([&] { Serialize::load(encFile, *mult); }), kVerifier);
    EXPECT_EQ(thrownMessage([&] { enc.load(multFile); }), kVerifier);
}

TEST(KeyRecordTest, SparseKeyReplacesItsFirstPartBeforeASecondFailure) {
    const Context ctx = keytest::smallContext();
    const Context other = makeContext(ParameterPreset::FGb);
    keytest::KeyDir dir;

    // One evaluation record only: the first part is read, the second tag is cut short.
    const std::string single = dir.file("single.bin");
    Serialize::save(single, *makeEmptyRotationKey(other, 9));
    auto sse = makeEmptySparseSecretEncapsulationKey(ctx, ctx);
    EXPECT_EQ(cerealMessage([&] { Serialize::load(single, *sse); }),
              "Failed to read 4 bytes from input stream! Read 0");
    expectEval(sse->getDTSPart(), 'r', 9, other->parameterId);
    expectEval(sse->getSTDPart(), 's', 0, ctx->parameterId);

    // A wrong second tag fails after the first part was replaced.
    Record r;
    keytest::evalRecord(r, 11, 'x', 1);
    r.i32(0).u64(12).u8('y').u64(2);
    const std::string wrongSecond = dir.file("wrong.bin");
    datatest::writeFile(wrongSecond, r.bytes());
    EXPECT_EQ(thrownMessage([&] { Serialize::load(wrongSecond, *sse); }), kVerifier);
    expectEval(sse->getDTSPart(), 'x', 1, 11);
    expectEval(sse->getSTDPart(), 's', 0, ctx->parameterId);
}

TEST(KeyRecordTest, ShortReadsReplaceOnlyTheFieldsRead) {
    const Context ctx = keytest::smallContext();
    keytest::KeyDir dir;
    const std::string empty = dir.file("empty.bin");
    datatest::writeFile(empty, {});
    EncryptionKey enc(ctx);
    EXPECT_EQ(cerealMessage([&] { enc.load(empty); }), "Failed to read 4 bytes from input stream! Read 0");
    EXPECT_EQ(enc.parameterId, ctx->parameterId);

    // Tag, parameter id, type, then three of the eight index bytes.
    Bytes cut = keytest::evalRecord(77, 'c', 5).bytes();
    cut.resize(16);
    const std::string truncated = dir.file("cut.bin");
    datatest::writeFile(truncated, cut);
    auto rot = makeEmptyRotationKey(ctx, 4);
    EXPECT_EQ(cerealMessage([&] { Serialize::load(truncated, *rot); }),
              "Failed to read 8 bytes from input stream! Read 3");
    EXPECT_EQ(rot->parameterId, 77u);
    EXPECT_EQ(rot->type, 'c');
}

TEST(KeyRecordTest, RecordsFollowOneAnotherOnOneStream) {
    const Context ctx = keytest::smallContext();
    std::stringstream stream;
    save(EncryptionKey(ctx), stream);
    save(*makeEmptyRotationKey(ctx, 6), stream);
    save(*makeEmptySparseSecretEncapsulationKey(ctx, ctx), stream);
    save(*makeEmptyMultKey(ctx), stream);

    EncryptionKey enc;
    EvaluationKey rot;
    SparseSecretEncapsulationKey sse;
    EvaluationKey mult;
    load(enc, stream);
    load(rot, stream);
    load(sse, stream);
    load(mult, stream);
    EXPECT_EQ(enc.parameterId, ctx->parameterId);
    expectEval(rot, 'r', 6, ctx->parameterId);
    expectEval(sse.getDTSPart(), 's', 0, ctx->parameterId);
    expectEval(mult, 'm', 0, ctx->parameterId);
    EXPECT_EQ(stream.peek(), std::char_traits<char>::eof());
}

TEST(KeyRecordTest, FileFailuresAreReported) {
    const Context ctx = keytest::smallContext();
    keytest::KeyDir dir;
    const std::string missing = dir.root().file("nowhere") + "/EncKey.bin";
    EncryptionKey enc(ctx);
    EXPECT_EQ(thrownMessage([&] { enc.save(missing); }), "Cannot open file " + missing);
    EXPECT_EQ(thrownMessage([&] { enc.load(missing); }), "Cannot open file " + missing);
    EvaluationKey eval;
    EXPECT_EQ(thrownMessage([&] { Serialize::save(missing, eval); }), "Cannot open file " + missing);
    EXPECT_EQ(thrownMessage([&] { Serialize::load(missing, eval); }), "Cannot open file " + missing);

    // The bytes only fail to reach the disk when the file is flushed on close.
    EXPECT_EQ(thrownMessage([&] { enc.save("/dev/full"); }), "Cannot write file /dev/full");
    EXPECT_EQ(thrownMessage([&] { Serialize::save("/dev/full", eval); }), "Cannot write file /dev/full");

    // A stream that takes only part of a field.
    datatest::LimitedBuffer buffer(14);
    std::ostream limited(&buffer);
    EXPECT_EQ(cerealMessage([&] { save(*makeEmptyMultKey(ctx), limited); }),
              "Failed to write 8 bytes to output stream! Wrote 1");
    EXPECT_EQ(buffer.written().size(), 14u);
}
