#pragma once

#include "morvane/morvane.hpp"
#include "tests/eval/EvalTestSupport.hpp"
#include "tests/support/SavedKeyDir.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace keyedtest {

using namespace Morvane;

// A context with an empty key pack, a generator writing into it and an evaluator sharing it.
struct Keyed {
    explicit Keyed(const Context& ctx) : context(ctx), sk(ctx), pack(ctx), keygen(ctx, sk, pack), eval(ctx, pack) {}

    void genLeftKeys(const std::vector<u64>& indices) const {
        for (const u64 idx : indices)
            keygen.genLeftRotationKey(idx);
    }

    Context context;
    SecretKey sk;
    KeyPack pack;
    KeyGenerator keygen;
    HomEvaluator eval;
};

using evaltest::countOf;

// A full-slot ciphertext whose slot i is value(i).
inline Ciphertext ciphertextOf(const Context& context, const std::function<Complex(u64)>& value, u64 level = 5,
                               int rescale_counter = 0) {
    return evaltest::ciphertextOf(context, value, level, rescale_counter);
}

// Small integers: every sum and difference of a few of them is exact in double precision.
inline Complex integerSlot(u64 i) { return evaltest::firstSlot(i); }

inline bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool sameBits(const Complex& a, const Complex& b) {
    return sameBits(a.real(), b.real()) && sameBits(a.imag(), b.imag());
}

} // namespace keyedtest
