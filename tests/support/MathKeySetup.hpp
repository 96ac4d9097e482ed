#pragma once

// The keyed context of the approximation functions, shared by their tests and benchmarks.

#include "morvane/morvane.hpp"

namespace mathtest {

// A bootstrappable context with every key the math functions use: multiplication, conjugation, the bootstrap
// rotation keys of the full slot count and the power-of-two rotation keys; its evaluator and bootstrapper.
struct MathKeySetup {
    explicit MathKeySetup(Morvane::ParameterPreset preset)
        : context(Morvane::makeContext(preset)), sk(context), pack(context), keygen(context, sk, pack),
          eval(context, pack), btp(eval) {
        keygen.genMultiplicationKey();
        keygen.genConjugationKey();
        keygen.genRotKeysForBootstrap(Morvane::getLogFullSlots(context));
        keygen.genRotationKeyBundle();
    }

    Morvane::Context context;
    Morvane::SecretKey sk;
    Morvane::KeyPack pack;
    Morvane::KeyGenerator keygen;
    Morvane::HomEvaluator eval;
    Morvane::Bootstrapper btp;
};

} // namespace mathtest
