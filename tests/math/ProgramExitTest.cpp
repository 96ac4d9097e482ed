// A program that ends while threads are still inside library calls: the built-in tables those calls read (costs,
// error samples, coefficients, history labels) are still there after every exit handler has run.
#include "morvane/math/Inverse.hpp"
#include "morvane/math/LogExp.hpp"
#include "morvane/math/Sigmoid.hpp"
#include "morvane/morvane.hpp"
#include "tests/support/DataTestSupport.hpp"
#include "tests/support/FullDisk.hpp"
#include "tests/support/MathKeySetup.hpp"
#include "tests/support/ReadToEnd.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <sys/stat.h>
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

// Calls made where their thread's kept storage is already destroyed: in an exit handler of the main thread (run
// after its thread_local objects are destroyed) and in a thread_local destructor of another thread that runs after
// the storage's. Each is made once before, so that the storage exists; both give the same result, and under the
// address checker a use of the destroyed storage would be reported.
using LateCall = std::string (*)(Setup&);

std::string firstSlot(const Ciphertext& ctxt) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", ctxt.message()[0].real());
    return text;
}

void fillOp(Setup& s) {
    for (u64 i = 0; i < s.op.message().getSize(); ++i)
        s.op.message()[i] = Complex(0.25 + 0.01 * static_cast<double>(i), 0.0);
}

// The file a save in place writes: in a directory the child may not write.
std::string lateFile;

const LateCall lateCalls[] = {
    // The scratch of an in-place rotation.
    [](Setup& s) {
        fillOp(s);
        s.eval.leftRotate(s.op, 3, s.op);
        return firstSlot(s.op);
    },
    // The running sum of a rotate-and-sum.
    [](Setup& s) {
        fillOp(s);
        s.eval.leftRotateReduce(s.op, 1, 4, s.res);
        return firstSlot(s.res);
    },
    // The workspace of a math call.
    [](Setup& s) {
        fillOp(s);
        Math::approxInverseNewton(s.eval, s.btp, s.op, s.res, 2.0, 3);
        return firstSlot(s.res);
    },
    // The memory of a save in place.
    [](Setup& s) {
        fillOp(s);
        s.op.message().save(lateFile);
        Message loaded;
        loaded.load(lateFile);
        return std::to_string(loaded.getSize()) + " " + std::to_string(loaded[1].real());
    },
};

// Writes each call's result now and again where the thread's kept storage is gone, one line each, to `report`.
int lateReport = -1;
std::string earlyResults;
std::unique_ptr<Setup> lateSetup;

void writeReport(const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = ::write(lateReport, text.data() + sent, text.size() - sent);
        if (n <= 0)
            std::_Exit(5);
        sent += static_cast<std::size_t>(n);
    }
}

std::unique_ptr<Setup> makeLateSetup() { return std::make_unique<Setup>(); }

void callLate() {
    std::string lines;
    runOrDie([&] {
        for (const LateCall call : lateCalls)
            lines += call(*lateSetup) + "\n";
    });
    writeReport(earlyResults + "---\n" + lines);
}

void callEarly() {
    runOrDie([] {
        for (const LateCall call : lateCalls)
            earlyResults += call(*lateSetup) + "\n";
    });
}

struct CallsAtThreadEnd {
    ~CallsAtThreadEnd() { callLate(); }
};

TEST(ProgramExit, CallsMadeAfterTheThreadsKeptStorageIsDestroyedWorkWithStorageOfTheirOwn) {
    datatest::TempDir top;
    const std::string dir = top.file("d");
    std::filesystem::create_directories(dir);
    lateFile = dir + "/m.bin";
    Message().save(lateFile);
    ASSERT_EQ(::chmod(top.str().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(lateFile.c_str(), 0666), 0);
    for (const bool onAnotherThread : {false, true}) {
        SCOPED_TRACE(onAnotherThread ? "a thread_local destructor of another thread" : "an exit handler");
        int report[2], errors[2];
        ASSERT_EQ(::pipe(report), 0);
        ASSERT_EQ(::pipe(errors), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(report[0]);
            ::close(errors[0]);
            ::dup2(errors[1], STDERR_FILENO);
            lateReport = report[1];
            // No temporary beside the file: saves go in place.
            const bool inPlace = ::geteuid() == 0 ? datatest::becomeSecondUser() : ::chmod(dir.c_str(), 0555) == 0;
            if (!inPlace)
                std::_Exit(6);
            lateSetup = makeLateSetup();
            if (onAnotherThread) {
                std::thread([] {
                    // Made before the kept storage, so destroyed after it.
                    thread_local CallsAtThreadEnd atEnd;
                    static_cast<void>(&atEnd);
                    callEarly();
                }).join();
            } else {
                callEarly();
                std::atexit(callLate);
            }
            std::exit(0);
        }
        ::close(report[1]);
        ::close(errors[1]);
        const std::string results = datatest::readToEnd(report[0]);
        const std::string stderrText = datatest::readToEnd(errors[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && stderrText.find("Sanitizer") == std::string::npos)
            << "wait status " << status << ", standard error:\n"
            << stderrText;
        const std::size_t split = results.find("---\n");
        ASSERT_NE(split, std::string::npos) << results;
        EXPECT_EQ(results.substr(split + 4), results.substr(0, split));
        EXPECT_EQ(std::count(results.begin(), results.end(), '\n'), 9);
    }
}

} // namespace
