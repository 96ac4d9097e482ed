#pragma once

// The reference of the math benchmarks: the operations one call of a function records in its context's history,
// replayed through the evaluator and bootstrapper in a tight loop on working ciphertexts made beforehand. A
// function that runs close to its replay spends its time in the operations themselves, not around them.

#include "morvane/morvane.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace mathbench {

using namespace Morvane;

struct Replay;

// One replayed operation and how often one call records its label.
struct Step {
    void (*run)(Replay&);
    u64 count;
};

// Working ciphertexts at the encryption level and a full-slot mask; every replayed operation reads the
// inputs and writes `out`, or bootstraps `low` from the minimum level for bootstrapping.
struct Replay {
    Replay(const HomEvaluator& e, const Bootstrapper& b, const Context& context)
        : eval(e), btp(b), a(context), b2(context), out(context), low(context), unscaled(context),
          mask(getLogFullSlots(context), Complex(1.0, 0.0)) {
        const u64 level = getEncryptionLevel(context);
        for (Ciphertext* c : {&a, &b2}) {
            for (u64 i = 0; i < c->message().getSize(); ++i)
                c->message()[i] = Complex(0.25 + 0.5 * static_cast<double>(i % 7) / 7.0, 0.0);
            c->setLevel(level);
        }
        low = a;
        low.setLevel(btp.getMinLevelForBootstrap() + 1);
        eval.multWithoutRescale(a, Complex(0.5, 0.0), unscaled);
    }

    // The steps of `history`; throws for a label it cannot replay.
    std::vector<Step> plan(const std::map<std::string, u64>& history) const;

    void run(const std::vector<Step>& steps) {
        for (const Step& step : steps)
            for (u64 i = 0; i < step.count; ++i)
                step.run(*this);
    }

    const HomEvaluator& eval;
    const Bootstrapper& btp;
    Ciphertext a;
    Ciphertext b2;
    Ciphertext out;
    Ciphertext low;
    Ciphertext unscaled;
    Message mask;
};

inline std::vector<Step> Replay::plan(const std::map<std::string, u64>& history) const {
    using Run = void (*)(Replay&);
    static const std::map<std::string, Run> kOperations = {
        {"ctxt + ctxt", [](Replay& r) { r.eval.add(r.a, r.b2, r.out); }},
        {"ctxt + cnst", [](Replay& r) { r.eval.add(r.a, Complex(0.5, 0.0), r.out); }},
        {"ctxt * ctxt", [](Replay& r) { r.eval.mult(r.a, r.b2, r.out); }},
        {"ctxt * cnst", [](Replay& r) { r.eval.mult(r.a, Complex(0.5, 0.0), r.out); }},
        {"ctxt * cnst W/R", [](Replay& r) { r.eval.multWithoutRescale(r.a, Complex(0.5, 0.0), r.out); }},
        {"ctxt * int", [](Replay& r) { r.eval.multInteger(r.a, 3, r.out); }},
        {"ctxt * imag", [](Replay& r) { r.eval.multImagUnit(r.a, r.out); }},
        {"ctxt * msg", [](Replay& r) { r.eval.mult(r.a, r.mask, r.out); }},
        {"Negate ctxt", [](Replay& r) { r.eval.negate(r.a, r.out); }},
        {"Conjugate", [](Replay& r) { r.eval.conjugate(r.a, r.out); }},
        {"Rotate", [](Replay& r) { r.eval.leftRotate(r.a, 1, r.out); }},
        {"Level down", [](Replay& r) { r.eval.levelDown(r.a, r.a.getLevel() - 1, r.out); }},
        {"Rescale",
         [](Replay& r) {
             // Bookkeeping only: the counter and level are set back for the next one.
             r.eval.rescale(r.unscaled);
             r.unscaled.setLevel(r.a.getLevel());
             r.unscaled.setRescaleCounter(1);
         }},
        {"Bootstrap", [](Replay& r) { r.btp.bootstrap(r.low, r.out, false); }},
        {"Bootstrap extended", [](Replay& r) { r.btp.bootstrapExtended(r.low, r.out, false); }},
    };
    std::vector<Step> steps;
    for (const auto& [label, count] : history) {
        const auto found = kOperations.find(label);
        if (found == kOperations.end())
            throw std::runtime_error("no replay for \"" + label + "\"");
        steps.push_back({found->second, count});
    }
    return steps;
}

inline u64 operationCount(const std::map<std::string, u64>& history) {
    u64 total = 0;
    for (const auto& [label, count] : history)
        total += count;
    return total;
}

inline u64 bootstrapCount(const std::map<std::string, u64>& history) {
    u64 total = 0;
    for (const auto& [label, count] : history)
        if (label.rfind("Bootstrap", 0) == 0)
            total += count;
    return total;
}

// Runs `call` once to warm up, reads the history of a second call, then times calls and replays of that history
// in turn. Reports the call's time, its operations, and vs_replay: the call's time over the replay's.
inline void runAgainstReplay(benchmark::State& state, const HomEvaluator& eval, const Bootstrapper& btp,
                             Context& context, const std::function<void()>& call) {
    using Clock = std::chrono::steady_clock;
    call();
    clearOpHistory(context);
    call();
    const std::map<std::string, u64> history = getOpHistory(context);
    Replay replay(eval, btp, context);
    const std::vector<Step> steps = replay.plan(history);
    replay.run(steps);

    double callSeconds = 0.0;
    double replaySeconds = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        call();
        const auto t1 = Clock::now();
        replay.run(steps);
        const auto t2 = Clock::now();
        const double c = std::chrono::duration<double>(t1 - t0).count();
        callSeconds += c;
        replaySeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(c);
    }
    state.counters["ops"] = static_cast<double>(operationCount(history));
    state.counters["bootstraps"] = static_cast<double>(bootstrapCount(history));
    state.counters["vs_replay"] = replaySeconds > 0.0 ? callSeconds / replaySeconds : 0.0;
}

} // namespace mathbench
