// Building an evaluator from a key pack or a key directory, the lazily found multiplication key, the shared
// implementation and the handle's index normalisation.
#include "tests/eval/EvalTestSupport.hpp"

#include <filesystem>
#include <fstream>

namespace evaltest {
namespace {

class HomEvaluatorTest : public ::testing::Test {
protected:
    Context context = makeContext(ParameterPreset::FX);
    SecretKey sk{context};
};

TEST_F(HomEvaluatorTest, FromAKeyPackCountsOnceAndFromADirectoryTwice) {
    const KeyPack pack(context);
    const HomEvaluator fromPack(context, pack);
    EXPECT_EQ((std::map<std::string, u64>{{"Generate homevaluator", 1}}), getOpHistory(context));
    EXPECT_EQ(context.get(), fromPack.context.get());

    TempDir dir;
    std::filesystem::create_directories(dir.str() + "/PK");
    clearOpHistory(context);
    const HomEvaluator fromDirectory(context, dir.str());
    EXPECT_EQ((std::map<std::string, u64>{{"Generate homevaluator", 2}}), getOpHistory(context));
}

TEST_F(HomEvaluatorTest, MissingDirectoryFailsWithTheKeyPackMessageAndCountsNothing) {
    TempDir dir;
    const std::string noPK = dir.str();
    EXPECT_EQ("Cannot find path " + noPK, thrownMessage([&] { HomEvaluator(context, noPK); }));
    EXPECT_EQ("Cannot find path ", thrownMessage([&] { HomEvaluator(context, std::string()); }));
    EXPECT_TRUE(getOpHistory(context).empty());
}

TEST_F(HomEvaluatorTest, KeyDirectoryWithANulIsRefusedBeforeTheKeyPack) {
    // The system would take the path up to the NUL: a key directory.
    TempDir dir;
    std::filesystem::create_directories(dir.str() + "/PK");
    const std::string path = dir.str() + std::string(1, '\0') + "x";
    EXPECT_EQ("[HomEvaluator::HomEvaluator] The path has an embedded null byte",
              thrownMessage([&] { HomEvaluator(context, path); }));
    EXPECT_TRUE(getOpHistory(context).empty());
}

TEST_F(HomEvaluatorTest, UnreadableMultiplicationKeyFileFailsTheConstructionUncounted) {
    TempDir dir;
    std::filesystem::create_directories(dir.str() + "/PK");
    std::ofstream(dir.str() + "/PK/MultKey.bin", std::ios::binary) << "xy";
    // The archive's own error passes through.
    try {
        HomEvaluator(context, dir.str());
        ADD_FAILURE() << "built from an unreadable key file";
    } catch (const std::exception& e) {
        EXPECT_EQ("Failed to read 4 bytes from input stream! Read 2", std::string(e.what()));
    }
    EXPECT_EQ(0u, countOf(context, "Generate homevaluator"));
    EXPECT_EQ(0u, countOf(context, "Load multiplication key"));
}

TEST_F(HomEvaluatorTest, MultiplicationKeyFileIsLoadedOnce) {
    TempDir dir;
    {
        KeyGenerator keygen(context, sk);
        keygen.genMultiplicationKey();
        keygen.save(dir.str());
    }
    clearOpHistory(context);
    const HomEvaluator eval(context, dir.str());
    EXPECT_EQ(1u, countOf(context, "Load multiplication key"));
    EXPECT_EQ(2u, countOf(context, "Generate homevaluator"));
    const Ciphertext x = ciphertextOf(context, firstSlot, 5);
    Ciphertext res(context);
    eval.mult(x, x, res);
    EXPECT_EQ(1u, countOf(context, "Load multiplication key"));
    EXPECT_EQ(1u, countOf(context, "ctxt * ctxt"));
}

TEST_F(HomEvaluatorTest, KeysThatAppearLaterAreFound) {
    // Generated into the shared pack after the evaluator was built.
    KeyPack pack(context);
    const HomEvaluator eval(context, pack);
    const Ciphertext x = ciphertextOf(context, firstSlot, 5);
    Ciphertext res(context);
    EXPECT_EQ("[mult] no multiplication key", thrownMessage([&] { eval.mult(x, x, res); }));
    KeyGenerator(context, sk, pack).genMultiplicationKey();
    eval.mult(x, x, res);
    EXPECT_EQ(1u, countOf(context, "ctxt * ctxt"));

    // Written into the key directory after the evaluator was built.
    TempDir dir;
    std::filesystem::create_directories(dir.str() + "/PK");
    const HomEvaluator late(context, dir.str());
    EXPECT_EQ("[mult] no multiplication key", thrownMessage([&] { late.square(x, res); }));
    {
        KeyGenerator keygen(context, sk);
        keygen.genMultiplicationKey();
        keygen.save(dir.str());
    }
    clearOpHistory(context);
    late.square(x, res);
    EXPECT_EQ((std::map<std::string, u64>{{"Load multiplication key", 1}, {"ctxt * ctxt", 1}}), getOpHistory(context));
}

TEST_F(HomEvaluatorTest, CopiesShareTheImplementationAndItsPack) {
    KeyPack pack(context);
    const HomEvaluator eval(context, pack);
    const HomEvaluator copy = eval;
    EXPECT_EQ(eval.impl.get(), copy.impl.get());
    EXPECT_EQ(pack.getImpl().get(), copy.impl->keyPack.getImpl().get());
    EXPECT_EQ(context.get(), copy.impl->context.get());
    EXPECT_NE(nullptr, copy.impl->enDecoder);
    // Building the evaluator made no key.
    EXPECT_FALSE(pack.isMultKeyLoaded());
}

TEST_F(HomEvaluatorTest, RotationIndicesAreNormalisedByTheHandle) {
    const HomEvaluator eval(context, KeyPack(context));
    // A message by its own length: 8 slots, so 11 rotates by 3 and 8 by nothing.
    const Message eight = messageOfSize(8, firstSlot);
    Message res;
    eval.leftRotate(eight, 11, res);
    EXPECT_TRUE(slotsAre(res, [](u64 k) { return firstSlot((k + 3) % 8); }));
    eval.rightRotate(eight, 8, res);
    EXPECT_TRUE(slotsAre(res, firstSlot));
    eval.rightRotate(eight, 9, res);
    EXPECT_TRUE(slotsAre(res, [](u64 k) { return firstSlot((k + 7) % 8); }));

    // A plaintext by its log slots, however long its slot vector: log slots 3 of 32 slots.
    Plaintext pt = plaintextOf(context, firstSlot, 5);
    pt.setLogSlots(3);
    Plaintext out(context);
    eval.leftRotate(pt, 11, out);
    EXPECT_TRUE(slotsAre(out.message(), [](u64 k) { return firstSlot((k + 3) % 32); }));
    eval.rightRotate(pt, 8, out);
    EXPECT_TRUE(slotsAre(out.message(), firstSlot));
    // Right by 1 is left by the full slot count less one.
    eval.rightRotate(pt, 9, out);
    EXPECT_TRUE(slotsAre(out.message(), [](u64 k) { return firstSlot((k + 31) % 32); }));
}

TEST_F(HomEvaluatorTest, CiphertextRotationIndicesAreReducedBeforeTheKeyStepping) {
    KeyPack pack(context);
    KeyGenerator(context, sk, pack).genRotationKeyBundle();
    const HomEvaluator eval(context, pack);
    Ciphertext ct = ciphertextOf(context, firstSlot, 5);
    ct.setLogSlots(3);
    Ciphertext res(context);
    clearOpHistory(context);
    // 11 reduces to 3, which steps through the keys 1 and 4; 11 itself would also need 16.
    eval.leftRotate(ct, 11, res);
    EXPECT_EQ(2u, countOf(context, "Rotate"));
    EXPECT_TRUE(slotsAre(res.message(), [](u64 k) { return firstSlot((k + 3) % 32); }));
    clearOpHistory(context);
    eval.rightRotate(ct, 8, res);
    EXPECT_TRUE(getOpHistory(context).empty());
    EXPECT_TRUE(slotsAre(res.message(), firstSlot));
}

} // namespace
} // namespace evaltest
