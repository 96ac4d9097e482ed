#include "morvane/core/Exception.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/keys/KeyGenerator.hpp"
#include "morvane/keys/KeyPack.hpp"
#include "tests/keys/KeyTestSupport.hpp"
#include "tests/support/FullDisk.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>

using namespace Morvane;
using keytest::Bytes;
using keytest::cerealMessage;
using keytest::KeyDir;
using keytest::Record;
using keytest::expectDevice;
using keytest::filesIn;

namespace {

using History = std::map<std::string, u64>;

// Writes the stored rotation-key file of index `idx` (stored index = idx unless given).
void writeRotKey(const KeyDir& dir, const Context& ctx, u64 idx, std::optional<u64> stored = std::nullopt) {
    Serialize::save(dir.file("RotKey" + std::to_string(idx) + ".bin"), *makeEmptyRotationKey(ctx, stored.value_or(idx)));
}

std::istringstream streamOf(const Record& r) { return std::istringstream(r.str()); }

} // namespace

TEST(KeyPackTest, ConstructorChecksRunInOrder) {
    const Context fgd = makeContext(ParameterPreset::FGd);
    const Context sgd0 = makeContext(ParameterPreset::SGd0);
    const Context fgb = makeContext(ParameterPreset::FGb);
    KeyDir good;
    KeyDir noPk;
    std::filesystem::remove(noPk.pk());
    const std::string plainFile = good.root().file("file");
    datatest::writeFile(plainFile, {1});

    const std::string noSupport = "[KeyPack] context does not support sparse secret encapsulation";
    const std::string mismatch = "[KeyPack] parameter of context and context_sparse does not match";
    struct Case {
        const char* name;
        std::function<void()> make;
        std::string message;
    };
    const Case cases[] = {
        {"plain", [&] { KeyPack{fgb}; }, "<no exception>"},
        {"sparse ok", [&] { KeyPack(fgd, sgd0); }, "<no exception>"},
        {"sparse unsupported", [&] { KeyPack(fgb, sgd0); }, noSupport},
        {"sparse mismatch", [&] { KeyPack(fgd, fgb); }, mismatch},
        {"dir ok", [&] { KeyPack(fgb, good.path()); }, "<no exception>"},
        {"dir without PK", [&] { KeyPack(fgb, noPk.path()); }, "Cannot find path " + noPk.path()},
        {"dir missing", [&] { KeyPack(fgb, good.path() + "/x"); }, "Cannot find path " + good.path() + "/x"},
        {"dir is a file", [&] { KeyPack(fgb, plainFile); }, "Cannot find path " + plainFile},
        {"dir empty", [&] { KeyPack(fgb, std::string()); }, "Cannot find path "},
        {"both ok", [&] { KeyPack(fgd, sgd0, good.path()); }, "<no exception>"},
        {"directory before support", [&] { KeyPack(fgb, sgd0, noPk.path()); }, "Cannot find path " + noPk.path()},
        {"support after directory", [&] { KeyPack(fgb, sgd0, good.path()); }, noSupport},
        {"mismatch after directory", [&] { KeyPack(fgd, fgb, good.path()); }, mismatch},
        {"mismatch after support", [&] { KeyPack(fgb, fgb, good.path()); }, noSupport},
    };
    for (const Case& c : cases)
        EXPECT_EQ(thrownMessage(c.make), c.message) << c.name;
}

TEST(KeyPackTest, RotationIndicesAreReducedLeftAndRight) {
    const Context ctx = keytest::smallContext();
    KeyDir dir;
    for (u64 i = 0; i < 32; ++i)
        writeRotKey(dir, ctx, i);
    KeyPack pack(ctx, dir.path());

    // L(35) = 3; R(1) = 31; R(0) = R(32) = 0.
    pack.loadLeftRotKey(35);
    pack.loadRightRotKey(1);
    pack.loadRightRotKey(32);
    EXPECT_EQ(pack.getImpl()->peekRotKeys().size(), 3u);
    EXPECT_TRUE(pack.isLeftRotKeyLoaded(3));
    EXPECT_TRUE(pack.isLeftRotKeyLoaded(31));
    EXPECT_TRUE(pack.isLeftRotKeyLoaded(0));
    EXPECT_EQ(pack.getRightRotKey(1)->rot_idx, 31u);
    EXPECT_EQ(pack.getLeftRotKey(64 + 3)->rot_idx, 3u);
    for (u64 r = 0; r < 70; ++r)
        EXPECT_EQ(pack.isRightRotKeyLoaded(r), pack.isLeftRotKeyLoaded((64 - r) % 32)) << r;
    EXPECT_EQ(getOpHistory(ctx), (History{{"Load rotation key", 3}}));

    // The file test alone takes its index unreduced.
    EXPECT_TRUE(pack.isLeftRotKeyFileAvailable(3));
    EXPECT_FALSE(pack.isLeftRotKeyFileAvailable(35));
    writeRotKey(dir, ctx, 35);
    EXPECT_TRUE(pack.isLeftRotKeyFileAvailable(35));
}

TEST(KeyPackTest, KeyDirectoryRoundTripLoadsEachKeyOnceOnDemand) {
    const Context ctx = keytest::smallContext();
    const Context sparse = makeContext(ParameterPreset::FGb);
    KeyDir dir;
    {
        KeyPack pack(ctx);
        std::stringstream keys;
        save(EncryptionKey(ctx), keys);
        save(*makeEmptyMultKey(ctx), keys);
        save(*makeEmptyConjugationKey(ctx), keys);
        for (u64 idx : {16u, 1u, 2u})
            save(*makeEmptyRotationKey(ctx, idx), keys);
        save(*makeEmptySparseSecretEncapsulationKey(ctx, sparse), keys);
        pack.loadEncKey(keys);
        pack.loadMultKey(keys);
        pack.loadConjKey(keys);
        for (u64 idx : {16u, 1u, 2u})
            pack.loadLeftRotKey(idx, keys);
        pack.loadSparseSecretEncapsulationKey(keys);
        EXPECT_TRUE(getOpHistory(ctx).empty());

        pack.save(dir.path());
        EXPECT_EQ(getOpHistory(ctx), (History{{"Save conjugation key", 1},
                                              {"Save SSE key", 1},
                                              {"Save encryption key", 1},
                                              {"Save multiplication key", 1},
                                              {"Save rotation key", 3}}));
    }
    EXPECT_EQ(filesIn(dir.pk()), (std::set<std::string>{"ConjKey.bin", "EncKey.bin", "MultKey.bin", "RotKey1.bin",
                                                         "RotKey16.bin", "RotKey2.bin",
                                                         "SparseSecretEncapsulationKey.bin"}));
    EXPECT_EQ(datatest::readFile(dir.file("RotKey16.bin")), keytest::evalRecord(ctx->parameterId, 'r', 16).bytes());
    EXPECT_EQ(datatest::readFile(dir.file("EncKey.bin")), keytest::encRecord(ctx->parameterId).bytes());

    // A fresh pack of another context (no sparse context) reads each key at its first use only.
    const Context reader = keytest::smallContext();
    KeyPack pack(reader, dir.path());
    EXPECT_TRUE(pack.getImpl()->isKeyDirPathSet());
    EXPECT_TRUE(pack.getImpl()->isEncKeyFileAvailable());
    EXPECT_TRUE(pack.getImpl()->isSparseSecretEncapsulationKeyFileAvailable());
    EXPECT_TRUE(pack.getImpl()->isRotKeyFileAvailable(16));
    EXPECT_FALSE(pack.isMultKeyLoaded());
    EXPECT_FALSE(pack.isLeftRotKeyLoaded(16));

    pack.loadMultKey();
    pack.loadMultKey();
    EXPECT_EQ(pack.getMultKey()->type, 'm');
    EXPECT_EQ(pack.getEncKey()->parameterId, ctx->parameterId);
    EXPECT_EQ(pack.getLeftRotKey(16 + 32)->rot_idx, 16u);
    EXPECT_EQ(pack.getLeftRotKey(16)->rot_idx, 16u);
    EXPECT_EQ(pack.getLeftRotKey(5), nullptr);
    EXPECT_FALSE(pack.isLeftRotKeyLoaded(5));
    pack.loadSparseSecretEncapsulationKey();
    const auto sse = pack.getSparseSecretEncapsulationKey();
    ASSERT_NE(sse, nullptr);
    EXPECT_EQ(sse->getDTSPart().parameterId, sparse->parameterId);
    EXPECT_EQ(sse->getSTDPart().parameterId, ctx->parameterId);
    EXPECT_FALSE(pack.isConjKeyLoaded());
    EXPECT_EQ(getOpHistory(reader), (History{{"Load SSE key", 1},
                                             {"Load encryption key", 1},
                                             {"Load multiplication key", 1},
                                             {"Load rotation key", 1}}));

    // A second pack on the same directory loads again, into its own history.
    KeyPack second(reader, dir.path());
    second.loadMultKey();
    EXPECT_EQ(getOpHistory(reader).at("Load multiplication key"), 2u);
}

TEST(KeyPackTest, PackWithoutKeyDirectoryLoadsNothing) {
    const Context ctx = keytest::smallContext();
    KeyPack pack(ctx);
    EXPECT_FALSE(pack.getImpl()->isKeyDirPathSet());
    EXPECT_FALSE(pack.getImpl()->isMultKeyFileAvailable());
    EXPECT_FALSE(pack.getImpl()->isRotKeyFileAvailable(1));
    pack.loadEncKey();
    pack.loadLeftRotKey(1);
    EXPECT_EQ(pack.getEncKey(), nullptr);
    EXPECT_EQ(pack.getMultKey(), nullptr);
    EXPECT_EQ(pack.getConjKey(), nullptr);
    EXPECT_EQ(pack.getLeftRotKey(1), nullptr);
    EXPECT_EQ(pack.getRightRotKey(1), nullptr);
    EXPECT_EQ(pack.getSparseSecretEncapsulationKey(), nullptr);
    EXPECT_FALSE(pack.isLeftRotKeyLoaded(1));
    EXPECT_TRUE(getOpHistory(ctx).empty());
}

// A pack made without key directory answers lazy loads without looking for files; once it is given one, by
// setKeyDirPath or by a save, its lazy loads read from it.
TEST(KeyPackTest, APackGivenAKeyDirectoryLaterLoadsFromIt) {
    const Context ctx = keytest::smallContext();
    const std::pair<const char*, std::function<void(KeyPack&, const std::string&)>> ways[] = {
        {"setKeyDirPath", [](KeyPack& pack, const std::string& dir) { pack.setKeyDirPath(dir); }},
        {"save", [](KeyPack& pack, const std::string& dir) { pack.save(dir); }},
    };
    for (const auto& [name, giveDirectory] : ways) {
        SCOPED_TRACE(name);
        ctx->clearOpHistory();
        KeyDir dir;
        Serialize::save(dir.file("ConjKey.bin"), *makeEmptyConjugationKey(ctx));
        writeRotKey(dir, ctx, 5);
        KeyPack pack(ctx);
        pack.loadConjKey();
        pack.loadLeftRotKey(5);
        EXPECT_FALSE(pack.isConjKeyLoaded());
        EXPECT_FALSE(pack.isLeftRotKeyLoaded(5));

        giveDirectory(pack, dir.path());
        EXPECT_TRUE(pack.getImpl()->isKeyDirPathSet());
        const auto conj = pack.getConjKey();
        const auto rot = pack.getLeftRotKey(5);
        ASSERT_NE(conj, nullptr);
        ASSERT_NE(rot, nullptr);
        EXPECT_EQ(conj->type, 'c');
        EXPECT_EQ(rot->rot_idx, 5u);
        EXPECT_EQ(getOpHistory(ctx), (History{{"Load conjugation key", 1}, {"Load rotation key", 1}}));
    }
}

TEST(KeyPackTest, UnreadableKeyFileLeavesTheKeyLoaded) {
    const Context ctx = keytest::smallContext();
    KeyDir dir;
    datatest::writeFile(dir.file("MultKey.bin"), {});
    datatest::writeFile(dir.file("RotKey4.bin"), keytest::encRecord(5).bytes());
    KeyPack pack(ctx, dir.path());

    EXPECT_EQ(cerealMessage([&] { pack.loadMultKey(); }), "Failed to read 4 bytes from input stream! Read 0");
    EXPECT_TRUE(pack.isMultKeyLoaded());
    EXPECT_EQ(pack.getMultKey()->type, 0);
    EXPECT_EQ(pack.getMultKey()->parameterId, 0u);
    EXPECT_EQ(thrownMessage([&] { pack.loadLeftRotKey(4); }),
              "[Verifier::load] Validation failed during deserializing objects.");
    EXPECT_TRUE(pack.isLeftRotKeyLoaded(4));

    // Never read again, even once the file is mended.
    Serialize::save(dir.file("MultKey.bin"), *makeEmptyMultKey(ctx));
    pack.loadMultKey();
    EXPECT_EQ(pack.getMultKey()->type, 0);
    EXPECT_TRUE(getOpHistory(ctx).empty());
}

TEST(KeyPackTest, KeyDirectoryPathCanBeSetAndIsUsedAsGiven) {
    const Context ctx = keytest::smallContext();
    KeyDir first;
    KeyDir second;
    Serialize::save(second.file("ConjKey.bin"), *makeEmptyConjugationKey(ctx));
    KeyPack pack(ctx, first.path());

    EXPECT_EQ(thrownMessage([&] { pack.setKeyDirPath(first.path() + "/PK/none"); }), "Cannot find key_dir_path.");
    EXPECT_EQ(pack.getImpl()->getKeyDirPath(), first.path());
    pack.loadConjKey();
    EXPECT_FALSE(pack.isConjKeyLoaded());

    // A trailing slash gives a double slash in the key paths, which still name the files.
    pack.setKeyDirPath(second.path() + "/");
    EXPECT_TRUE(pack.getImpl()->isConjKeyFileAvailable());
    pack.loadConjKey();
    EXPECT_TRUE(pack.isConjKeyLoaded());
    EXPECT_EQ(getOpHistory(ctx), (History{{"Load conjugation key", 1}}));
}

TEST(KeyPackTest, SavingToAKeyDirectory) {
    const Context ctx = keytest::smallContext();
    KeyDir dir;
    KeyDir other;

    // Empty pack: the directory is taken, nothing is written or counted.
    KeyPack empty(ctx);
    empty.save(dir.path());
    EXPECT_EQ(empty.getImpl()->getKeyDirPath(), dir.path());
    EXPECT_TRUE(filesIn(dir.pk()).empty());
    EXPECT_TRUE(getOpHistory(ctx).empty());

    // Missing PK: refused before anything is written; the pack keeps its directory.
    KeyPack pack(ctx, dir.path());
    std::istringstream keys(keytest::encRecord(1).str() + keytest::evalRecord(2, 'r', 3).str());
    pack.loadEncKey(keys);
    pack.loadLeftRotKey(3, keys);
    std::filesystem::remove(other.pk());
    EXPECT_EQ(thrownMessage([&] { pack.save(other.path()); }), "Cannot find key_dir_path.");
    EXPECT_EQ(pack.getImpl()->getKeyDirPath(), dir.path());
    EXPECT_TRUE(getOpHistory(ctx).empty());

    // Twice: overwritten and counted again; files of keys not held stay.
    datatest::writeFile(dir.file("ConjKey.bin"), {9});
    pack.save(dir.path());
    pack.save(dir.path());
    EXPECT_EQ(getOpHistory(ctx), (History{{"Save encryption key", 2}, {"Save rotation key", 2}}));
    EXPECT_EQ(datatest::readFile(dir.file("EncKey.bin")), keytest::encRecord(1).bytes());
    EXPECT_EQ(datatest::readFile(dir.file("RotKey3.bin")), keytest::evalRecord(2, 'r', 3).bytes());
    EXPECT_EQ(datatest::readFile(dir.file("ConjKey.bin")), Bytes{9});
}

TEST(KeyPackTest, SaveReportsAFileThatFailsOnlyWhenClosed) {
    const Context ctx = keytest::smallContext();
    KeyDir dir;
    std::filesystem::create_symlink("/dev/full", dir.file("MultKey.bin"));
    KeyPack pack(ctx);
    std::istringstream keys(keytest::encRecord(1).str() + keytest::evalRecord(1, 'm', 0).str() +
                            keytest::evalRecord(1, 'c', 0).str());
    pack.loadEncKey(keys);
    pack.loadMultKey(keys);
    pack.loadConjKey(keys);

    EXPECT_EQ(thrownMessage([&] { pack.save(dir.path()); }), "Cannot write file " + dir.file("MultKey.bin"));
    EXPECT_EQ(getOpHistory(ctx), (History{{"Save encryption key", 1}}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("ConjKey.bin")));
}

TEST(KeyPackTest, KeyDirectoriesAndKeyFilesWithANulAreRefusedBeforeAnythingIsTouched) {
    const Context fgd = makeContext(ParameterPreset::FGd);
    const Context sgd0 = makeContext(ParameterPreset::SGd0);
    // What the system would take of the paths: a key directory holding an encryption key.
    KeyDir dir;
    EncryptionKey enc(fgd);
    enc.save(dir.file("EncKey.bin"));
    const Bytes encBytes = datatest::readFile(dir.file("EncKey.bin"));
    const std::string nul(1, '\0');
    const std::string dirPath = dir.path() + nul + "x";
    const std::string keyPath = dir.file("EncKey.bin") + nul + "x";

    KeyPack pack(fgd);
    std::istringstream keys(keytest::encRecord(1).str());
    pack.loadEncKey(keys);
    const KeyGenerator keygen(fgd, SecretKey(fgd));
    struct Case {
        const char* function;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"KeyPack::KeyPack", [&] { KeyPack(fgd, dirPath); }},
        {"KeyPack::KeyPack", [&] { KeyPack(fgd, sgd0, dirPath); }},
        {"KeyPack::setKeyDirPath", [&] { pack.setKeyDirPath(dirPath); }},
        {"KeyPack::save", [&] { pack.save(dirPath); }},
        {"KeyGenerator::save", [&] { keygen.save(dirPath); }},
        {"EncryptionKey::save", [&] { enc.save(keyPath); }},
        {"EncryptionKey::load", [&] { enc.load(keyPath); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        EXPECT_EQ(thrownMessage(c.call), "[" + std::string(c.function) + "] The path has an embedded null byte");
    }
    EXPECT_FALSE(pack.getImpl()->isKeyDirPathSet());
    EXPECT_EQ(filesIn(dir.root().str()), std::set<std::string>{"keys"});
    EXPECT_EQ(filesIn(dir.pk()), std::set<std::string>{"EncKey.bin"});
    EXPECT_EQ(datatest::readFile(dir.file("EncKey.bin")), encBytes);
    EXPECT_TRUE(getOpHistory(fgd).empty());
}

// A key save on a full disk: the key files saved before stay as they were, and a new directory gets no empty key
// file that a later pack would take for a key.
TEST(KeyPackTest, ASaveOnAFullDiskLeavesTheEarlierKeysAndNoEmptyFile) {
    const Context ctx = keytest::smallContext();
    KeyDir earlier;
    KeyDir fresh;
    datatest::writeFile(earlier.file("EncKey.bin"), keytest::encRecord(77).bytes());
    datatest::writeFile(earlier.file("MultKey.bin"), keytest::evalRecord(77, 'm', 0).bytes());
    KeyPack pack(ctx);
    std::istringstream keys(keytest::encRecord(1).str() + keytest::evalRecord(1, 'm', 0).str());
    pack.loadEncKey(keys);
    pack.loadMultKey(keys);

    for (const KeyDir* dir : {&earlier, &fresh}) {
        const std::string encFile = dir->file("EncKey.bin");
        EXPECT_EQ(datatest::messageOnAFullDisk([&] { pack.save(dir->path()); }, 5), "Cannot write file " + encFile);
    }
    EXPECT_EQ(filesIn(earlier.pk()), (std::set<std::string>{"EncKey.bin", "MultKey.bin"}));
    EXPECT_EQ(datatest::readFile(earlier.file("EncKey.bin")), keytest::encRecord(77).bytes());
    EXPECT_EQ(datatest::readFile(earlier.file("MultKey.bin")), keytest::evalRecord(77, 'm', 0).bytes());
    EXPECT_TRUE(filesIn(fresh.pk()).empty());
    KeyPack later(ctx, fresh.path());
    later.loadEncKey();
    EXPECT_FALSE(later.isEncKeyLoaded());
}

TEST(KeyPackTest, StreamLoadsReplaceSingleKeysButNeverRotationKeys) {
    const Context ctx = keytest::smallContext();
    KeyPack pack(ctx);

    std::istringstream encs(keytest::encRecord(11).str() + keytest::encRecord(12).str());
    pack.loadEncKey(encs);
    const auto first = pack.getEncKey();
    pack.loadEncKey(encs);
    EXPECT_EQ(first->parameterId, 11u);
    EXPECT_EQ(pack.getEncKey()->parameterId, 12u);

    // Read into a key of index L(35) = 3, whatever index the record holds; a held index is kept and the
    // record still consumed.
    std::istringstream rots(keytest::evalRecord(21, 'r', 9).str() + keytest::evalRecord(22, 'r', 3).str() +
                            keytest::evalRecord(23, 'm', 0).str());
    pack.loadLeftRotKey(35, rots);
    pack.loadLeftRotKey(3, rots);
    EXPECT_EQ(pack.getLeftRotKey(3)->parameterId, 21u);
    EXPECT_EQ(pack.getLeftRotKey(3)->rot_idx, 9u);
    pack.loadMultKey(rots);
    EXPECT_EQ(pack.getMultKey()->parameterId, 23u);

    // A failed single-key read leaves the fresh key with the fields read; a failed rotation read leaves the
    // pack as it was.
    Bytes cut = keytest::evalRecord(31, 'x', 1).bytes();
    cut.resize(13);
    std::istringstream shortConj(std::string(cut.begin(), cut.end()));
    EXPECT_EQ(cerealMessage([&] { pack.loadConjKey(shortConj); }), "Failed to read 8 bytes from input stream! Read 0");
    ASSERT_TRUE(pack.isConjKeyLoaded());
    EXPECT_EQ(pack.getConjKey()->parameterId, 31u);
    EXPECT_EQ(pack.getConjKey()->type, 'x');
    EXPECT_EQ(pack.getConjKey()->rot_idx, 0u);
    std::istringstream shortRot(std::string(cut.begin(), cut.end()));
    EXPECT_EQ(cerealMessage([&] { pack.loadRightRotKey(1, shortRot); }),
              "Failed to read 8 bytes from input stream! Read 0");
    EXPECT_FALSE(pack.isLeftRotKeyLoaded(31));

    // The sparse key loads into a pack without sparse context; nothing of the above is counted.
    Record sse;
    keytest::evalRecord(sse, 41, 's', 0);
    keytest::evalRecord(sse, 42, 's', 0);
    auto sseStream = streamOf(sse);
    pack.loadSparseSecretEncapsulationKey(sseStream);
    EXPECT_EQ(pack.getSparseSecretEncapsulationKey()->getDTSPart().parameterId, 41u);
    EXPECT_EQ(pack.getSparseSecretEncapsulationKey()->getSTDPart().parameterId, 42u);
    EXPECT_TRUE(getOpHistory(ctx).empty());
}

TEST(KeyPackTest, MovingKeysToADevice) {
    const Context ctx = keytest::smallContext();
    KeyDir dir;
    Serialize::save(dir.file("MultKey.bin"), *makeEmptyMultKey(ctx));
    KeyPack pack(ctx, dir.path());
    std::istringstream keys(keytest::encRecord(1).str() + keytest::evalRecord(1, 'c', 0).str() +
                            keytest::evalRecord(1, 'r', 1).str() + keytest::evalRecord(1, 'r', 2).str() +
                            keytest::evalRecord(1, 's', 0).str() + keytest::evalRecord(1, 's', 0).str());
    pack.loadEncKey(keys);
    pack.loadConjKey(keys);
    pack.loadLeftRotKey(1, keys);
    pack.loadLeftRotKey(2, keys);
    pack.loadSparseSecretEncapsulationKey(keys);
    // An index without key (only the generator's interface can make one) is passed over.
    pack.getImpl()->setRotKey(7, nullptr);

    pack.to(Device(DeviceType::GPU, 1));
    expectDevice(pack.getEncKey()->device, DeviceType::GPU, 1);
    expectDevice(pack.getConjKey()->device, DeviceType::GPU, 1);
    expectDevice(pack.getLeftRotKey(1)->device, DeviceType::GPU, 1);
    expectDevice(pack.getLeftRotKey(2)->device, DeviceType::GPU, 1);
    expectDevice(pack.getSparseSecretEncapsulationKey()->getDTSPart().device, DeviceType::GPU, 1);
    expectDevice(pack.getSparseSecretEncapsulationKey()->getSTDPart().device, DeviceType::GPU, 1);
    EXPECT_EQ(pack.getLeftRotKey(7), nullptr);

    // Loaded after the move: on the default device.
    expectDevice(pack.getMultKey()->device, DeviceType::CPU, 0);
    pack.to(Device(DeviceType::UNDEFINED, 2));
    expectDevice(pack.getMultKey()->device, DeviceType::UNDEFINED, 2);
    expectDevice(pack.getEncKey()->device, DeviceType::UNDEFINED, 2);

    // Saving passes over the index without key too.
    KeyDir out;
    pack.save(out.path());
    EXPECT_EQ(filesIn(out.pk()).count("RotKey7.bin"), 0u);
    EXPECT_EQ(getOpHistory(ctx).at("Save rotation key"), 2u);
}
