// A program that embeds the interpreter, imports the module and goes on using the library once the interpreter is
// finalized. Linked with its symbols exported, so that the module's library calls are this program's own: an
// interrupt check this program installs is the one the module's library loops poll.

#include "morvane/core/Exception.hpp"
#include "morvane/core/Interrupt.hpp"

#include <Python.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

// The interpreter keeps, past its finalization, memory it took for itself and for the module's import: not this
// program's leaks, for a build with the leak checker.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }
// The module holds a copy of the library as well, whose globals this program's own stand in for: for a build with
// the address checker, which would take the two copies for one global defined twice.
extern "C" const char* __asan_default_options() { return "detect_odr_violation=0"; }

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

const char* const kImport = "import sys\nsys.path.insert(0, '" MORVANE_MODULE_DIR "')\nimport pymorvane\n";

// The exception the library call of a case ends with, thrown by the interrupt check its loop polls.
using Thrower = void (*)(const char* text);
Thrower caseThrower = nullptr;
const char* caseText = nullptr;
void throwCase() { caseThrower(caseText); }

// An allocation failure with a text of its own.
class TextedBadAlloc : public std::bad_alloc {
public:
    explicit TextedBadAlloc(const char* text) : text_(text) {}
    const char* what() const noexcept override { return text_; }

private:
    const char* text_;
};

// What Python sees of the exception of a library call, for each case and text: its type and text, and those of its
// cause, the texts as os.fsencode would give them back. Every text is expected whole, with the exception type and
// cause the case's UTF-8 text gets, which go as pybind11 translates them.
const char* const kOutcomes = R"(
from pymorvane import HomEvaluator, KeyGenerator, Message, ParameterPreset, SecretKey, make_context
ctx = make_context(ParameterPreset.FX)
ev = HomEvaluator(ctx, KeyGenerator(ctx, SecretKey(ctx)).keypack)
msg, out = Message([1j] * 32), Message()
outcomes = {}

def described(error):
    if error is None:
        return "None", b""
    return type(error).__name__, str(error).encode("utf-8", "surrogateescape")

def record(case, text):
    try:
        ev.left_rotate_reduce(msg, 1, 2**64 - 1, out)
        seen = "returned", b"", "None", b""
    except BaseException as error:
        seen = described(error) + described(error.__cause__)
    outcomes.setdefault(case, []).append((text, seen))

def failures():
    found = []
    for case, seen in outcomes.items():
        utf8 = seen[0][1]
        for text, got in seen:
            if got != (utf8[0], text) + utf8[2:]:
                found.append(f"{case}: {got} where a UTF-8 text gives {utf8}")
    return "\n".join(found)
)";

// Run in a process of its own, since the module cannot be imported again once its interpreter is finalized, and the
// interrupt check it installed cannot be given back. The lines of the cases whose texts reach Python with another
// exception type or cause than their UTF-8 text, or not whole.
std::string translationFailures() {
    Py_InitializeEx(0);
    if (PyRun_SimpleString(kImport) != 0 || PyRun_SimpleString(kOutcomes) != 0)
        return "the module or the outcomes' code did not load";
    PyObject* const globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    Morvane::setInterruptCheck(&throwCase);
    const struct {
        const char* name;
        Thrower thrower;
    } cases[] = {
        {"bad_alloc", [](const char* text) { throw TextedBadAlloc(text); }},
        {"domain_error", [](const char* text) { throw std::domain_error(text); }},
        {"invalid_argument", [](const char* text) { throw std::invalid_argument(text); }},
        {"length_error", [](const char* text) { throw std::length_error(text); }},
        {"out_of_range", [](const char* text) { throw std::out_of_range(text); }},
        {"range_error", [](const char* text) { throw std::range_error(text); }},
        {"overflow_error", [](const char* text) { throw std::overflow_error(text); }},
        {"logic_error", [](const char* text) { throw std::logic_error(text); }},
        {"RuntimeException", [](const char* text) { throw Morvane::RuntimeException(text); }},
        {"nested",
         [](const char* text) {
             try {
                 throw std::out_of_range("inner");
             } catch (...) {
                 std::throw_with_nested(std::runtime_error(text));
             }
         }},
    };
    // UTF-8 first; then the same word in Latin-1, and bytes that no encoding of text makes.
    const char* const texts[] = {"caf\xc3\xa9", "caf\xe9", "missing-\xff\xfe"};
    PyObject* const record = PyDict_GetItemString(globals, "record");
    for (const auto& one : cases)
        for (const char* text : texts) {
            caseThrower = one.thrower;
            caseText = text;
            PyObject* const done = PyObject_CallFunction(record, "sy", one.name, text);
            if (done == nullptr) {
                PyErr_Print();
                return std::string(one.name) + ": the call was not recorded";
            }
            Py_DECREF(done);
        }
    Morvane::setInterruptCheck(nullptr);
    PyObject* const found = PyRun_String("failures()", Py_eval_input, globals, globals);
    if (found == nullptr) {
        PyErr_Print();
        return "the outcomes were not compared";
    }
    const std::string lines = PyUnicode_AsUTF8(found);
    Py_DECREF(found);
    return lines;
}

TEST(EmbeddedInterpreter, TextsThatAreNotUtf8KeepTheExceptionTypesOfUtf8Ones) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string failures = translationFailures();
            std::fputs(failures.c_str(), stderr);
            std::_Exit(failures.empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// The checks of the program itself: each counts its runs (the polls run on this thread only).
unsigned programChecks = 0;
unsigned laterChecks = 0;
void countProgramCheck() { ++programChecks; }
void countLaterCheck() { ++laterChecks; }

// The program installs a check of its own before the import; the module's check replaces it while the interpreter
// runs. Once the interpreter is finalized the polls run the program's check again, or the one the program
// installed after the import, which the module leaves in place.
TEST(EmbeddedInterpreter, TheProgramsOwnInterruptCheckIsBackOnceTheInterpreterIsFinalized) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const bool installsLater : {false, true}) {
        SCOPED_TRACE(installsLater ? "a check installed after the import" : "the check of before the import");
        EXPECT_EXIT(
            {
                Morvane::setInterruptCheck(&countProgramCheck);
                Py_InitializeEx(0);
                if (PyRun_SimpleString(kImport) != 0)
                    std::_Exit(2);
                {
                    const Deadline deadline(std::chrono::seconds(20), "the polls did not return\n");
                    PyThreadState* const state = PyEval_SaveThread();
                    pollFor(std::chrono::milliseconds(50));
                    PyEval_RestoreThread(state);
                }
                if (programChecks != 0)
                    std::_Exit(3);
                if (installsLater)
                    Morvane::setInterruptCheck(&countLaterCheck);
                if (Py_FinalizeEx() != 0)
                    std::_Exit(4);
                pollFor(std::chrono::milliseconds(50));
                const bool backAsExpected = installsLater ? programChecks == 0 && laterChecks != 0 : programChecks != 0;
                std::_Exit(backAsExpected ? 0 : 1);
            },
            testing::ExitedWithCode(0), "");
    }
}

void finalizeInterpreter() {
    if (Py_IsInitialized() && Py_FinalizeEx() != 0)
        std::_Exit(5);
}

// A program that finalizes the interpreter from an exit handler it registered before the import: the module's own
// static objects are gone by then, yet finalizers read message devices and buffer exports are let go. Run under the
// address checker, a record of the module destroyed with them is a use after free.
TEST(EmbeddedInterpreter, AnInterpreterFinalizedByAnExitHandlerFindsTheModulesRecords) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit(&finalizeInterpreter);
            Py_InitializeEx(0);
            if (PyRun_SimpleString(kImport) != 0 ||
                // The finalizer keeps what it uses, as the module's globals are cleared first; a failure in it
                // would only be printed, so it ends the process.
                PyRun_SimpleString("import os\n"
                                   "class Reader:\n"
                                   "    def __init__(self):\n"
                                   "        self.pm, self.os = pymorvane, os\n"
                                   "        self.message = pymorvane.Message([1, 2])\n"
                                   "        self.view = memoryview(self.message)\n"
                                   "    def __del__(self):\n"
                                   "        try:\n"
                                   "            device = self.message.device\n"
                                   "            self.pm.Message([3, 4]).to(device)\n"
                                   "            assert device.type == self.pm.DeviceType.CPU\n"
                                   "        except BaseException:\n"
                                   "            self.os._exit(3)\n"
                                   "readers = [Reader() for _ in range(64)]\n"
                                   // Records made and let go before the exit, as a program's are.
                                   "devices = [reader.message.device for reader in readers]\n"
                                   "del devices\n") != 0)
                std::_Exit(2);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(EmbeddedInterpreter, LibraryLoopsPollNothingOnceTheInterpreterIsFinalized) {
    Py_InitializeEx(0);
    ASSERT_EQ(PyRun_SimpleString(kImport), 0);
    // While the interpreter runs, the module's check handles this thread's signals: none is pending.
    {
        const Deadline deadline(std::chrono::seconds(20), "the polls did not return while the interpreter ran\n");
        PyThreadState* const state = PyEval_SaveThread();
        pollFor(std::chrono::milliseconds(50));
        PyEval_RestoreThread(state);
    }
    ASSERT_EQ(Py_FinalizeEx(), 0);
    {
        const Deadline deadline(std::chrono::seconds(20), "the polls did not return after the interpreter ended\n");
        pollFor(std::chrono::milliseconds(50));
    }
    // An interpreter started later never imported the module: the polls leave its pending signals to it, where a
    // check still installed would handle them for a module that is gone.
    Py_InitializeEx(0);
    ASSERT_EQ(PyRun_SimpleString("import signal\n"
                                 "def handler(signum, frame):\n"
                                 "    raise KeyboardInterrupt\n"
                                 "signal.signal(signal.SIGUSR1, handler)\n"),
              0);
    ASSERT_EQ(std::raise(SIGUSR1), 0);
    {
        const Deadline deadline(std::chrono::seconds(20), "the polls did not return in a later interpreter\n");
        EXPECT_NO_THROW(pollFor(std::chrono::milliseconds(100)));
    }
    EXPECT_EQ(PyErr_CheckSignals(), -1);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyboardInterrupt));
    PyErr_Clear();
    EXPECT_EQ(Py_FinalizeEx(), 0);
}

} // namespace
