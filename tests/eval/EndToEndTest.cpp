// The whole road of an encrypted program: keys saved to a key directory, an evaluator reading them lazily,
// arithmetic, rotation and bootstrapping, then the exact history report and stopwatch.
#include "morvane/morvane.hpp"
#include "tests/support/DataTestSupport.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace Morvane;

TEST(EndToEndTest, KeysEvaluationBootstrapAndAccounting) {
    const datatest::TempDir keyDir;
    const Context context = makeContext(ParameterPreset::FGb);
    const u64 logSlots = 4;

    // Key generation, charged from FGb's costs: 10 + 59 + 108 and 17 rotation keys at 2247.
    startStopWatch(context);
    const SecretKey sk(context);
    {
        KeyGenerator keygen(context, sk);
        keygen.genEncryptionKey();
        keygen.genMultiplicationKey();
        keygen.genConjugationKey();
        keygen.genRotKeysForBootstrap(logSlots);
        keygen.save(keyDir.str());
    }
    EXPECT_EQ(getDuration(context), 10u + 59u + 108u + 17u * 2247u);

    const HomEvaluator eval(context, keyDir.str());
    const KeyPack pack(context, keyDir.str());
    const Encryptor encryptor(context);
    const Decryptor decryptor(context);

    Message x(logSlots);
    for (u64 i = 0; i < x.getSize(); ++i)
        x[i] = Complex(static_cast<double>(i) / 8.0, static_cast<double>(i) / 16.0);

    Ciphertext ctxt(context), squared(context), rotated(context), low(context);
    encryptor.encrypt(x, pack, ctxt);
    eval.mult(ctxt, ctxt, squared);
    eval.leftRotate(squared, 3, rotated);
    eval.levelDown(rotated, 3, low);
    EXPECT_EQ(squared.getLevel(), 11u);
    EXPECT_EQ(low.getLevel(), 3u);

    // Without simulated error a real bootstrap keeps exactly the real parts.
    const Bootstrapper bootstrapper(eval, logSlots);
    simulateError(context, false);
    startStopWatch(context);
    Ciphertext refreshed(context);
    bootstrapper.bootstrap(low, refreshed, false);
    EXPECT_EQ(getDuration(context), 168u + 9436u); // first bootstrap of the context pays the warm-up
    EXPECT_EQ(refreshed.getLevel(), 12u);

    Message exact;
    decryptor.decrypt(refreshed, sk, exact);
    ASSERT_EQ(exact.getSize(), x.getSize());
    for (u64 j = 0; j < exact.getSize(); ++j) {
        const Complex v = x[(j + 3) % x.getSize()];
        EXPECT_EQ(exact[j], Complex((v * v).real(), 0.0)) << "slot " << j;
    }

    // With simulated error the result moves by at most FGb's largest real error; imaginary parts stay 0.
    simulateError(context, true);
    startStopWatch(context);
    Ciphertext noisy(context);
    bootstrapper.bootstrap(low, noisy, false);
    EXPECT_EQ(getDuration(context), 168u);

    Message approx;
    decryptor.decrypt(noisy, sk, approx);
    ASSERT_EQ(approx.getSize(), exact.getSize());
    for (u64 j = 0; j < approx.getSize(); ++j) {
        EXPECT_NEAR(approx[j].real(), exact[j].real(), 6e-8) << "slot " << j;
        EXPECT_EQ(approx[j].imag(), 0.0) << "slot " << j;
    }

    // Lazy loads: the encryptor's pack reads the encryption key; the evaluator's pack reads the
    // multiplication key when built, key 3 for the rotation and the other 16 keys and the conjugation key
    // when bootstrapping.
    const std::string expected = "================ Operation Usage =================\n"
                                 "| operation                              | count |\n"
                                 "|----------------------------------------|-------|\n"
                                 "| Encode                                 |     1 |\n"
                                 "| Decode                                 |     2 |\n"
                                 "| Encrypt from ptxt by pk                |     1 |\n"
                                 "| Decrypt to ptxt                        |     2 |\n"
                                 "| ctxt * ctxt                            |     1 |\n"
                                 "| Rotate                                 |     1 |\n"
                                 "| Level down                             |     1 |\n"
                                 "| Bootstrap                              |     2 |\n"
                                 "| Generate encryption key                |     1 |\n"
                                 "| Generate multiplication key            |     1 |\n"
                                 "| Generate conjugation key               |     1 |\n"
                                 "| Generate rotation key                  |    17 |\n"
                                 "| Generate homevaluator                  |     2 |\n"
                                 "| Save encryption key                    |     1 |\n"
                                 "| Save multiplication key                |     1 |\n"
                                 "| Save rotation key                      |    17 |\n"
                                 "| Save conjugation key                   |     1 |\n"
                                 "| Load encryption key                    |     1 |\n"
                                 "| Load multiplication key                |     1 |\n"
                                 "| Load rotation key                      |    17 |\n"
                                 "| Load conjugation key                   |     1 |\n"
                                 "|----------------------------------------|-------|\n";
    EXPECT_EQ(representOpHistory(context, true), expected);

    // The labels outside the report are still counted.
    const auto history = getOpHistory(context);
    EXPECT_EQ(history.at("Encrypt by pk"), 1u);
    EXPECT_EQ(history.at("Decrypt"), 2u);
}
