#pragma once

#include "morvane/morvane.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/ThrownMessage.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace evaltest {

using namespace Morvane;

// How often `label` was counted in the context's history; 0 when never.
inline u64 countOf(const Context& context, const std::string& label) {
    const auto history = getOpHistory(context);
    const auto it = history.find(label);
    return it == history.end() ? 0 : it->second;
}

// Bitwise equality, except that any two NaNs agree.
inline bool samePart(double a, double b) {
    if (std::isnan(a) && std::isnan(b))
        return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool sameSlot(const Complex& a, const Complex& b) {
    return samePart(a.real(), b.real()) && samePart(a.imag(), b.imag());
}

inline ::testing::AssertionResult slotsAre(const Message& msg, const std::function<Complex(u64)>& expected) {
    for (u64 i = 0; i < msg.getSize(); ++i) {
        if (!sameSlot(msg[i], expected(i)))
            return ::testing::AssertionFailure() << "slot " << i << " is " << msg[i] << ", expected " << expected(i);
    }
    return ::testing::AssertionSuccess();
}

inline bool sameDevice(const Device& a, const Device& b) { return a.type() == b.type() && a.id() == b.id(); }

// Small integers: sums, differences and products of a few of them are exact.
inline Complex firstSlot(u64 i) { return Complex(static_cast<double>(i % 7) - 3.0, static_cast<double>(i % 5)); }
inline Complex secondSlot(u64 i) { return Complex(static_cast<double>(i % 3) - 1.0, 2.0 - static_cast<double>(i % 4)); }

inline void fill(Message& msg, const std::function<Complex(u64)>& value) {
    for (u64 i = 0; i < msg.getSize(); ++i)
        msg[i] = value(i);
}

inline Message messageOfSize(u64 size, const std::function<Complex(u64)>& value) {
    Message msg;
    msg.resize(size);
    fill(msg, value);
    return msg;
}

// A plaintext or ciphertext of `context` with the given slots, level and rescale counter.
template <typename T>
T filledObject(const Context& context, const std::function<Complex(u64)>& value, u64 level, int rescale_counter) {
    T obj(context);
    fill(obj.message(), value);
    obj.setLevel(level);
    obj.setRescaleCounter(rescale_counter);
    return obj;
}

inline Ciphertext ciphertextOf(const Context& context, const std::function<Complex(u64)>& value, u64 level,
                               int rescale_counter = 0) {
    return filledObject<Ciphertext>(context, value, level, rescale_counter);
}

inline Plaintext plaintextOf(const Context& context, const std::function<Complex(u64)>& value, u64 level,
                             int rescale_counter = 0) {
    return filledObject<Plaintext>(context, value, level, rescale_counter);
}

using datatest::TempDir;

// A context of 32 full slots (FX: chain length 25, encryption level 12) whose evaluator shares a pack that
// holds the multiplication key.
struct EvalFixture : ::testing::Test {
    EvalFixture() { keygen.genMultiplicationKey(); }

    Context context = makeContext(ParameterPreset::FX);
    SecretKey sk{context};
    KeyPack pack{context};
    KeyGenerator keygen{context, sk, pack};
    HomEvaluator eval{context, pack};
};

} // namespace evaltest
