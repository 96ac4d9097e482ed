// A program that ends while threads are still inside library calls: the built-in tables those calls read (costs,
// error samples, coefficients, history labels) are still there after every exit handler has run.
#include "morvane/math/Inverse.hpp"
#include "morvane/math/LogExp.hpp"
#include "morvane/math/Sigmoid.hpp"
#include "morvane/morvane.hpp"
#include "tests/support/MathKeySetup.hpp"
#include "tests/support/ReadToEnd.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace Morvane;
using Clock = std::chrono::steady_clock;

// Rounds of table-reading calls the looping thread has finished.
std::atomic<u64> rounds{0};
// Set in the child only: there the last exit handler waits for the looping thread.
std::atomic<bool> waitAtExit{false};

void waitForRounds(u64 target, const char* what) {
    const Clock::time_point giveUp = Clock::now() + std::chrono::minutes(5);
    while (rounds.load() < target) {
        if (Clock::now() > giveUp) {
            std::fprintf(stderr, "the looping thread made no progress %s\n", what);
            std::_Exit(3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Registered before any static object of the program is made, so it runs after all of their destructors: the
// looping thread then finishes a whole round that starts after every one of them.
void awaitRoundAfterDestructors() {
    if (waitAtExit.load())
        waitForRounds(rounds.load() + 2, "after the exit handlers");
}

// Priority 101 runs before every C++ static initialiser (65535).
__attribute__((constructor(101))) void registerLastExitHandler() { std::atexit(awaitRoundAfterDestructors); }

struct Setup : mathtest::MathKeySetup {
    Setup() : MathKeySetup(ParameterPreset::FX), op(context), res(context) {
        for (u64 i = 0; i < context->parameter.fullSlots; ++i)
            op.message()[i] = Complex(1.5, 0.0);
    }
    Ciphertext op;
    Ciphertext res;
};

template <typename F>
void runOrDie(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "a call failed: %s\n", e.what());
        std::_Exit(4);
    }
}

// Bootstraps with error samples (cost entries, sample blobs), the Chebyshev coefficients of the sigmoids and the
// logarithm, the history labels and the report's label lists.
void readEveryTable(Setup& s) {
    s.btp.bootstrap(s.op, s.res, false);
    s.btp.bootstrap(s.op, s.res, true);
    s.btp.bootstrapExtended(s.op, s.res, false);
    Math::approxSigmoid(s.eval, s.btp, s.op, s.res, 8.0);
    Math::approxSigmoid(s.eval, s.btp, s.op, s.res, 16.0);
    Math::miniMaxSigmoid(s.eval, s.btp, s.op, s.res);
    Math::approxLogEForGreaterThanOne(s.eval, s.btp, s.op, s.res, 2, 1.0);
    (void)getOpHistory(s.context);
    (void)representOpHistory(s.context, true);
}

[[noreturn]] void exitWhileThreadsAreInCalls() {
    waitAtExit.store(true);
    const auto inSqrt = std::make_shared<Setup>();
    const auto looping = std::make_shared<Setup>();
    std::thread([inSqrt] {
        runOrDie([&] { Math::approxSqrt(inSqrt->eval, inSqrt->btp, inSqrt->op, inSqrt->res, u64{1} << 40); });
    }).detach();
    std::thread([looping] {
        for (;;) {
            runOrDie([&] { readEveryTable(*looping); });
            rounds.fetch_add(1);
        }
    }).detach();
    waitForRounds(1, "before the exit");
    std::exit(0);
}

// Run under the address checker, a table destroyed by the exit handlers is a use after free in the threads.
TEST(ProgramExit, ThreadsStillInCallsReadTheTablesAfterTheExitHandlers) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ends[0]);
        ::dup2(ends[1], STDERR_FILENO);
        ::close(ends[1]);
        exitWhileThreadsAreInCalls();
    }
    ::close(ends[1]);
    const std::string errors = datatest::readToEnd(ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 && errors.find("Sanitizer") == std::string::npos;
    EXPECT_TRUE(clean) << "wait status " << status << ", standard error:\n" << errors;
}

} // namespace
