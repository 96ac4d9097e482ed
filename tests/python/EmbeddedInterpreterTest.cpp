// A program that embeds the interpreter, imports the module and goes on using the library once the interpreter is
// finalized. Linked with its symbols exported, so that the module's library calls are this program's own.

#include "morvane/core/Interrupt.hpp"

#include <Python.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

// The interpreter keeps, past its finalization, memory it took for itself and for the module's import: not this
// program's leaks, for a build with the leak checker.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }

namespace {

// Ends the process with a failure when its scope lasts longer than `limit`: a check that waits for a gone
// interpreter would otherwise keep the test from ever ending.
class Deadline {
public:
    Deadline(std::chrono::seconds limit, const char* failure)
        : watcher_([this, limit, failure] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!ended_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fputs(failure, stderr);
                  std::_Exit(1);
              }
          }) {}
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    ~Deadline() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ended_.notify_one();
        watcher_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread watcher_;
};

// Polls for longer than the library's interval between checks.
void pollFor(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end)
        Morvane::utils::pollInterrupt();
}

TEST(EmbeddedInterpreter, LibraryLoopsPollNothingOnceTheInterpreterIsFinalized) {
    Py_InitializeEx(0);
    const std::string import = "import sys\nsys.path.insert(0, '" MORVANE_MODULE_DIR "')\nimport pymorvane\n";
    ASSERT_EQ(PyRun_SimpleString(import.c_str()), 0);
    // While the interpreter runs, the module's check handles this thread's signals: none is pending.
    {
        const Deadline deadline(std::chrono::seconds(20), "the polls did not return while the interpreter ran\n");
        PyThreadState* const state = PyEval_SaveThread();
        pollFor(std::chrono::milliseconds(50));
        PyEval_RestoreThread(state);
    }
    ASSERT_EQ(Py_FinalizeEx(), 0);
    const Deadline deadline(std::chrono::seconds(20), "the polls did not return after the interpreter ended\n");
    pollFor(std::chrono::milliseconds(50));
}

} // namespace
