// Encoder, encryptor and decryptor: slot rules, bookkeeping copied, size checks, the encryption-key check
// with its lazy load, and the labels, including the three that the report never shows.
#include "tests/eval/EvalTestSupport.hpp"

namespace evaltest {
namespace {

Complex value(u64 i) { return Complex(static_cast<double>(i + 1), 0.5 * static_cast<double>(i) - 1.0); }

class EncoderTest : public ::testing::Test {
protected:
    Context context = makeContext(ParameterPreset::FX); // 32 full slots, encryption level 12
    EnDecoder encoder{context};
    Encryptor encryptor{context};
    Decryptor decryptor{context};
    SecretKey sk{context};
};

TEST_F(EncoderTest, EncodeSpreadsTheMessageAndDecodeAveragesItBack) {
    Message msg = messageOfSize(4, value);
    msg.allocate(Device(DeviceType::GPU, 1));
    const Plaintext pt = encoder.encode(msg);
    EXPECT_EQ(2u, pt.getLogSlots());
    EXPECT_EQ(12u, pt.getLevel());
    EXPECT_EQ(0, pt.getRescaleCounter());
    EXPECT_EQ(32u, pt.message().getSize());
    EXPECT_TRUE(slotsAre(pt.message(), [](u64 k) { return value(k % 4); }));
    EXPECT_TRUE(sameDevice(Device(), pt.getDevice()));

    const Message back = encoder.decode(pt);
    EXPECT_EQ(4u, back.getSize());
    EXPECT_TRUE(slotsAre(back, value));
    EXPECT_EQ(1u, countOf(context, "Encode"));
    EXPECT_EQ(1u, countOf(context, "Decode"));
}

TEST_F(EncoderTest, EncodeTakesLevelAndCounterAsGiven) {
    const Plaintext pt = encoder.encode(messageOfSize(32, value), 0, -3);
    EXPECT_EQ(0u, pt.getLevel());
    EXPECT_EQ(-3, pt.getRescaleCounter());
    EXPECT_EQ(5u, pt.getLogSlots());
    EXPECT_TRUE(slotsAre(pt.message(), value));
    const Plaintext same = encoder.encodeWithoutNTT(messageOfSize(32, value), 0, -3);
    EXPECT_TRUE(slotsAre(same.message(), value));
    EXPECT_EQ(-3, same.getRescaleCounter());
    EXPECT_EQ(12u, encoder.encodeWithoutNTT(messageOfSize(8, value)).getLevel());
    EXPECT_EQ(3u, countOf(context, "Encode"));
}

TEST_F(EncoderTest, MessagesLongerThanTheFullSlotCountOrEmptyAreRefused) {
    // Between the full slot count and twice it the log slots would pass and the spread would be all zeros.
    for (const u64 size : {u64{0}, u64{33}, u64{48}, u64{63}, u64{64}, u64{1000}}) {
        SCOPED_TRACE(size);
        const Message msg = messageOfSize(size, value);
        EXPECT_EQ("[Encode] Message size is too large.", thrownMessage([&] { encoder.encode(msg); }));
        Ciphertext ct(context);
        ct.setLevel(3);
        EXPECT_EQ("[Encode] Message size is too large.", thrownMessage([&] { encryptor.encrypt(msg, sk, ct); }));
        EXPECT_EQ(3u, ct.getLevel());
    }
    EXPECT_TRUE(getOpHistory(context).empty());
}

TEST_F(EncoderTest, DecodeAveragesCompleteBlocks) {
    Plaintext pt(context);
    fill(pt.message(), [](u64 k) { return Complex(static_cast<double>(k + 1), 0); });
    pt.setLogSlots(3);
    const Message msg = encoder.decode(pt);
    ASSERT_EQ(8u, msg.getSize());
    for (u64 j = 0; j < 8; ++j)
        EXPECT_EQ(static_cast<double>(13 + j), msg[j].real());
    // More log slots than the plaintext holds has no complete block to average.
    pt.setLogSlots(6);
    EXPECT_EQ("[Decode] log_slots 6 exceeds the slots held", thrownMessage([&] { encoder.decode(pt); }));
    EXPECT_EQ(1u, countOf(context, "Decode"));
}

TEST_F(EncoderTest, EncryptAndDecryptCopyBookkeepingAndKeepTheRest) {
    Plaintext pt = encoder.encode(messageOfSize(8, value), 7, 2);
    pt.allocate(Device(DeviceType::GPU, 3));
    const Context other = makeContext(ParameterPreset::FX);
    Ciphertext ct(other, true);
    ct.setSize(3);
    const u64 primes = ct.getPoly(0).numPrimes;
    encryptor.encrypt(pt, sk, ct);
    EXPECT_EQ(3u, ct.getLogSlots());
    EXPECT_EQ(7u, ct.getLevel());
    EXPECT_EQ(2, ct.getRescaleCounter());
    EXPECT_TRUE(slotsAre(ct.message(), [](u64 k) { return value(k % 8); }));
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 3), ct.getDevice()));
    EXPECT_EQ(3u, ct.getSize());
    EXPECT_TRUE(ct.isModUp());
    EXPECT_EQ(primes, ct.getPoly(0).numPrimes);
    EXPECT_EQ(other.get(), ct.context().get());

    Plaintext out(context);
    decryptor.decrypt(ct, sk, out);
    EXPECT_EQ(3u, out.getLogSlots());
    EXPECT_EQ(7u, out.getLevel());
    EXPECT_EQ(2, out.getRescaleCounter());
    EXPECT_TRUE(slotsAre(out.message(), [](u64 k) { return value(k % 8); }));
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 3), out.getDevice()));

    Ciphertext copy(context);
    decryptor.partialDecrypt(ct, sk, copy);
    EXPECT_EQ(3u, copy.getSize());
    EXPECT_TRUE(copy.isModUp());
    EXPECT_EQ(other.get(), copy.context().get());
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 3), copy.getDevice()));

    // Counted in the encryptor's and decryptor's context, without a device suffix.
    const std::map<std::string, u64> expected = {
        {"Encode", 1}, {"Encrypt from ptxt by sk", 1}, {"Decrypt to ptxt", 1}};
    EXPECT_EQ(expected, getOpHistory(context));
    EXPECT_TRUE(getOpHistory(other).empty());
}

TEST_F(EncoderTest, MessageFormsCountEveryStep) {
    KeyPack pack(context);
    KeyGenerator keygen(context, sk, pack);
    keygen.genEncryptionKey();
    clearOpHistory(context);

    Ciphertext ct(context);
    encryptor.encrypt(messageOfSize(4, value), sk, ct);
    EXPECT_EQ(12u, ct.getLevel());
    encryptor.encrypt(messageOfSize(4, value), sk, ct, 5, 1);
    EXPECT_EQ(5u, ct.getLevel());
    EXPECT_EQ(1, ct.getRescaleCounter());
    encryptor.encrypt(messageOfSize(4, value), pack, ct);
    encryptor.encrypt(messageOfSize(4, value), pack, ct, 4, 0);
    EXPECT_EQ(4u, ct.getLevel());

    Message msg(7);
    decryptor.decrypt(ct, sk, msg);
    EXPECT_EQ(4u, msg.getSize());
    EXPECT_TRUE(slotsAre(msg, value));

    const std::map<std::string, u64> expected = {
        {"Encode", 4},      {"Encrypt from ptxt by sk", 2}, {"Encrypt by sk", 2}, {"Encrypt from ptxt by pk", 2},
        {"Encrypt by pk", 2}, {"Decrypt to ptxt", 1},       {"Decode", 1},        {"Decrypt", 1}};
    EXPECT_EQ(expected, getOpHistory(context));

    // Counted, but not rows of the report.
    const std::string report = representOpHistory(context, true);
    EXPECT_NE(std::string::npos, report.find("| Encode "));
    EXPECT_NE(std::string::npos, report.find("| Decrypt to ptxt "));
    EXPECT_EQ(std::string::npos, report.find("| Decrypt  "));
    EXPECT_EQ(std::string::npos, report.find("| Encrypt by sk "));
    EXPECT_EQ(std::string::npos, report.find("| Encrypt by pk "));
}

TEST_F(EncoderTest, KeyPackFormsNeedAnEncryptionKey) {
    const KeyPack empty(context);
    const Plaintext pt = encoder.encode(messageOfSize(4, value));
    Ciphertext ct(context);
    ct.setLevel(2);
    clearOpHistory(context);
    EXPECT_EQ("[Encryption] There is no encryption key.", thrownMessage([&] { encryptor.encrypt(pt, empty, ct); }));
    EXPECT_EQ(2u, ct.getLevel());
    EXPECT_TRUE(getOpHistory(context).empty());
    EXPECT_EQ("[Encryption] There is no encryption key.",
              thrownMessage([&] { encryptor.encrypt(messageOfSize(4, value), empty, ct); }));
    EXPECT_EQ((std::map<std::string, u64>{{"Encode", 1}}), getOpHistory(context));
    EXPECT_EQ(2u, ct.getLevel());
}

TEST_F(EncoderTest, EncryptionKeyIsLoadedLazilyFromTheKeyDirectory) {
    TempDir dir;
    {
        KeyGenerator keygen(context, sk);
        keygen.genEncryptionKey();
        keygen.save(dir.str());
    }
    const KeyPack pack(context, dir.str());
    clearOpHistory(context);
    Ciphertext ct(context);
    encryptor.encrypt(encoder.encode(messageOfSize(4, value)), pack, ct);
    encryptor.encrypt(encoder.encode(messageOfSize(4, value)), pack, ct);
    EXPECT_EQ(1u, countOf(context, "Load encryption key"));
    EXPECT_EQ(2u, countOf(context, "Encrypt from ptxt by pk"));
    EXPECT_TRUE(pack.isEncKeyLoaded());
}

TEST_F(EncoderTest, DecryptionToAMessageOfAGpuCiphertext) {
    Ciphertext ct(context);
    encryptor.encrypt(messageOfSize(16, value), sk, ct);
    ct.allocate(Device(DeviceType::GPU, 0));
    clearOpHistory(context);
    Plaintext pt(context);
    decryptor.decrypt(ct, sk, pt);
    EXPECT_TRUE(sameDevice(Device(DeviceType::GPU, 0), pt.getDevice()));
    EXPECT_EQ(1u, countOf(context, "Decrypt to ptxt"));
    EXPECT_EQ(0u, countOf(context, "Decrypt to ptxt (GPU)"));
}

} // namespace
} // namespace evaltest
