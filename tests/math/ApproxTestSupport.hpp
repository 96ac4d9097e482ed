#pragma once

#include "tests/math/MathTestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace approxtest {

using namespace Morvane;
using mathtest::Effect;
using mathtest::History;
using mathtest::MathSetup;

// Bootstraps of each kind that one call makes.
struct Boots {
    u64 real = 0;
    u64 complex = 0;
    u64 realExtended = 0;
    u64 complexExtended = 0;
};

// The stopwatch advance of `boots` on a context that has not bootstrapped yet.
inline u64 coldCost(const Context& context, const Boots& boots) {
    return mathtest::bootstrapCost(context, boots.real, boots.complex, true, boots.realExtended, boots.complexExtended);
}

// One row of an accounting table: a call on a fresh context and what it must leave behind.
struct AccountingCase {
    std::string name;
    ParameterPreset preset;
    u64 level;
    std::vector<double> slots;
    std::function<void(const MathSetup&, const Ciphertext&, Ciphertext&)> call;
    History history;
    u64 outputLevel;
    Boots boots;
};

// Rows print by name in failure messages.
inline void PrintTo(const AccountingCase& c, std::ostream* os) { *os << c.name; }

inline std::string caseName(const ::testing::TestParamInfo<AccountingCase>& info) { return info.param.name; }

// Runs the row's call on its slots at its level and compares the whole history, the output level and the
// stopwatch advance.
inline void expectAccounting(const AccountingCase& c) {
    MathSetup s(c.preset);
    const Ciphertext op = s.input(c.slots, c.level);
    Ciphertext res(s.context);
    const Effect effect = mathtest::measure(s.context, [&] { c.call(s, op, res); });
    EXPECT_EQ(effect.history, c.history);
    EXPECT_EQ(res.getLevel(), c.outputLevel);
    EXPECT_EQ(effect.duration, coldCost(s.context, c.boots));
}

// Slot i of the first `values.size()` slots, real part.
inline double slot(const Ciphertext& ctxt, u64 i) { return ctxt.message()[i].real(); }

// n points spread evenly over [a, b], both ends included.
inline std::vector<double> grid(double a, double b, u64 n) {
    std::vector<double> out(n);
    for (u64 i = 0; i < n; ++i)
        out[i] = a + (b - a) * static_cast<double>(i) / static_cast<double>(n - 1);
    return out;
}

// The message of what `f` throws, with the history it left (empty when the checks threw first).
struct Refusal {
    std::string message;
    History history;
};

inline Refusal refusal(const Context& context, const std::function<void()>& f) {
    Context ctx = context;
    clearOpHistory(ctx);
    const std::string message = thrownMessage(f);
    return {message, getOpHistory(context)};
}

} // namespace approxtest
