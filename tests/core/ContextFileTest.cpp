#include "morvane/core/ContextFile.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

using namespace Morvane;
using namespace datatest;

namespace {

Bytes contextRecord(std::int32_t preset, u64 logDim, u64 encLevel, u64 gadgetRank, u64 bp, u64 tp, u64 qp,
                    u64 chain) {
    return Record().i32(preset).u64(logDim).u64(encLevel).u64(gadgetRank).u64(bp).u64(tp).u64(qp).u64(chain).bytes();
}

} // namespace

TEST(ContextFileTest, PresetRecordRoundTripsToAFreshContext) {
    TempDir dir;
    const std::string path = dir.file("fgb.ctx");
    const Context saved = makeContext(ParameterPreset::FGb);
    saved->updateOpHistory("Encode");
    saveContextToFile(saved, path);
    EXPECT_EQ(readFile(path), contextRecord(3, 16, 12, 5, 0, 0, 0, 25));

    const Context loaded = makeContextFromFile(path, {2, 0});
    EXPECT_TRUE(*loaded == *saved);
    EXPECT_EQ(loaded->parameter.preset, ParameterPreset::FGb);
    EXPECT_TRUE(loaded->getOpHistory().empty());
    EXPECT_EQ(loaded->devices.size(), 2u);
    EXPECT_EQ(loaded->getDuration(), 1695u);
}

TEST(ContextFileTest, CustomRecordRebuildsInArgumentOrder) {
    TempDir dir;
    const std::string path = dir.file("custom.ctx");
    const Context custom = makeContext(16, 24, 60, 40, 50, 6);
    saveContextToFile(custom, path);
    EXPECT_EQ(readFile(path), contextRecord(13, 16, 23, 6, 60, 50, 40, 24));

    // The stored encryption level is ignored: the context recomputes it.
    writeFile(path, contextRecord(13, 16, 99, 6, 60, 50, 40, 24));
    const Context loaded = makeContextFromFile(path);
    const Parameter& p = loaded->parameter;
    EXPECT_EQ(p.preset, ParameterPreset::CUSTOM);
    EXPECT_EQ(p.log_dimension, 16u);
    EXPECT_EQ(p.chain_length, 24u);
    EXPECT_EQ(p.gadget_rank, 6u);
    EXPECT_EQ(p.bpsize, 60u);
    EXPECT_EQ(p.tpsize, 50u);
    EXPECT_EQ(p.qpsize, 40u);
    EXPECT_EQ(p.encryptionLevel, 23u);
}

TEST(ContextFileTest, StoredValuesAndFailures) {
    TempDir dir;
    const std::string path = dir.file("c.ctx");

    // A preset record ignores its numbers; trailing bytes are not read.
    Bytes st14 = contextRecord(7, 1, 2, 3, 4, 5, 6, 7);
    st14.push_back(0xAB);
    writeFile(path, st14);
    EXPECT_EQ(makeContextFromFile(path)->parameter.preset, ParameterPreset::ST14);

    writeFile(path, contextRecord(13, 16, 23, 5, 0, 0, 0, 24));
    EXPECT_EQ(thrownMessage([&] { makeContextFromFile(path); }), "[Parameter] gadget_rank should divide chain_length");
    writeFile(path, contextRecord(18, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(thrownMessage([&] { makeContextFromFile(path); }), "The input parameter preset is not yet supported.");
    writeFile(path, contextRecord(-1, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(thrownMessage([&] { makeContextFromFile(path); }), "The input parameter preset is not yet supported.");

    const Bytes full = contextRecord(3, 16, 12, 5, 0, 0, 0, 25);
    writeFile(path, Bytes(full.begin(), full.begin() + 59));
    EXPECT_EQ(cerealMessage([&] { makeContextFromFile(path); }), "Failed to read 8 bytes from input stream! Read 7");
    writeFile(path, Bytes(full.begin(), full.begin() + 2));
    EXPECT_EQ(cerealMessage([&] { makeContextFromFile(path); }), "Failed to read 4 bytes from input stream! Read 2");

    const std::string missing = dir.file("missing.ctx");
    EXPECT_EQ(thrownMessage([&] { makeContextFromFile(missing); }), "[makeContextFromFile] Cannot open " + missing);
    const std::string badDir = dir.file("no/dir/c.ctx");
    const Context ctx = makeContext(ParameterPreset::FGb);
    EXPECT_EQ(thrownMessage([&] { saveContextToFile(ctx, badDir); }), "Cannot open file " + badDir);
    if (std::ofstream("/dev/full").is_open()) {
        EXPECT_EQ(thrownMessage([&] { saveContextToFile(ctx, "/dev/full"); }), "Cannot write file /dev/full");
    }
}
