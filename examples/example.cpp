// A first encrypted program, run on the simulator: keys, encryption, arithmetic, rotation and bootstrapping,
// with the operation history and the modelled costs that the real library would spend on it.
#include "morvane/morvane.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

using namespace Morvane;

namespace {

void showParameters(ParameterPreset preset) {
    const Context context = makeContext(preset);
    const Parameter& p = context->parameter;
    std::printf("  %-5s log_dimension %2llu  slots %6llu  chain %2llu  encryption level %2llu  bootstrap %-3s"
                "  creation cost %5llu ms\n",
                p.presetName.c_str(), static_cast<unsigned long long>(p.log_dimension),
                static_cast<unsigned long long>(p.fullSlots), static_cast<unsigned long long>(p.chain_length),
                static_cast<unsigned long long>(p.encryptionLevel), p.bootstrappable ? "yes" : "no",
                static_cast<unsigned long long>(getDuration(context)));
}

void printSlots(const char* title, const Message& msg, u64 count) {
    std::printf("%s", title);
    for (u64 i = 0; i < count && i < msg.getSize(); ++i)
        std::printf(" (%.6g, %.6g)", msg[i].real(), msg[i].imag());
    std::printf("\n");
}

} // namespace

int main() {
    std::printf("Presets:\n");
    for (const ParameterPreset preset : {ParameterPreset::FGb, ParameterPreset::FVa, ParameterPreset::FTa,
                                         ParameterPreset::ST19, ParameterPreset::SD3, ParameterPreset::FX})
        showParameters(preset);

    // Alerts tell which answers only real cryptography can give; this one is the first a user meets.
    Context context = makeContext(ParameterPreset::FGb);
    std::printf("\nPrime list of FGb (simulated away):\n");
    std::printf("  %zu primes\n", getPrimeList(context).size());
    simulateAlert(false);

    // Keys: generated into a key directory, then read back lazily by an evaluator.
    const auto keyDir = std::filesystem::temp_directory_path() / "morvane-example-keys";
    std::filesystem::remove_all(keyDir);
    std::filesystem::create_directories(keyDir);

    startStopWatch(context);
    const SecretKey sk(context);
    KeyGenerator keygen(context, sk);
    keygen.genEncryptionKey();
    keygen.genMultiplicationKey();
    keygen.genConjugationKey();
    keygen.genRotKeysForBootstrap(4);
    keygen.save(keyDir.string());
    std::printf("\nKey generation would take %llu ms\n", static_cast<unsigned long long>(getDuration(context)));

    const HomEvaluator eval(context, keyDir.string());
    const EnDecoder encoder(context);
    const Encryptor encryptor(context);
    const Decryptor decryptor(context);
    const KeyPack pack(context, keyDir.string());

    // (x + 1) * x, rotated left by one, on 16 slots.
    const u64 logSlots = 4;
    Message x(logSlots);
    for (u64 i = 0; i < x.getSize(); ++i)
        x[i] = Complex(0.1 * static_cast<double>(i), 0.0);

    Ciphertext ctxt(context), sum(context), product(context), rotated(context);
    encryptor.encrypt(encoder.encode(x), pack, ctxt);
    eval.add(ctxt, Complex(1.0, 0.0), sum);
    eval.mult(sum, ctxt, product);
    eval.leftRotate(product, 1, rotated);

    Message result;
    decryptor.decrypt(rotated, sk, result);
    printSlots("\nInput            :", x, 4);
    printSlots("((x + 1) * x) << 1:", result, 4);
    std::printf("level %llu after one multiplication (from %llu)\n",
                static_cast<unsigned long long>(rotated.getLevel()),
                static_cast<unsigned long long>(getEncryptionLevel(context)));

    // Objects record the device they would live on and keep their files; nothing moves or is encrypted.
    rotated.to(Device(DeviceType::GPU, 0));
    rotated.to(getDefaultDevice());
    const auto ctxtFile = keyDir / "rotated.ctxt";
    rotated.save(ctxtFile.string());
    Ciphertext reloaded(context);
    reloaded.load(ctxtFile.string());
    const auto contextFile = keyDir / "context.bin";
    saveContextToFile(context, contextFile.string());
    const Context restored = makeContextFromFile(contextFile.string());
    std::printf("reloaded ciphertext at level %llu; context from file is %s, equal: %s\n",
                static_cast<unsigned long long>(reloaded.getLevel()), restored->parameter.presetName.c_str(),
                *restored == *context ? "yes" : "no");

    // Bootstrapping restores the level and adds the simulated error of the real library.
    const Bootstrapper bootstrapper(eval, logSlots);
    Ciphertext low(context), refreshed(context);
    eval.levelDown(rotated, bootstrapper.getMinLevelForBootstrap(), low);
    startStopWatch(context);
    bootstrapper.bootstrap(low, refreshed, false);
    const u64 bootstrapMs = getDuration(context);

    Message afterBootstrap;
    decryptor.decrypt(refreshed, sk, afterBootstrap);
    double worst = 0.0;
    for (u64 i = 0; i < result.getSize(); ++i)
        worst = std::max(worst, std::abs(afterBootstrap[i] - result[i]));
    std::printf("\nBootstrap: level %llu -> %llu, would take %llu ms (first bootstrap of the context), "
                "largest error %.3g\n",
                static_cast<unsigned long long>(low.getLevel()),
                static_cast<unsigned long long>(refreshed.getLevel()),
                static_cast<unsigned long long>(bootstrapMs), worst);

    std::printf("\n%s", representOpHistory(context, true).c_str());
    std::filesystem::remove_all(keyDir);
    return 0;
}
