// The calls into Python that outlive the interpreter's finalization, the object locks of the data objects, the
// interrupt check of long library loops, and the release of the interpreter lock.

#include "morvane/python/Locking.hpp"

#include "morvane/core/tables/NeverDestroyed.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <pthread.h>

namespace {

// Waiting calls sleep on `woken`; `wakeups` changes, under both the interpreter lock and `wakeMutex`, whenever
// waiting calls have been given their objects. `wakeMutex` is held only around the count and the wait itself,
// never while waiting for the interpreter lock. Both outlive the process's exit, which a daemon thread may still
// sleep through: destroying a condition variable waits for its sleepers.
Morvane::detail::NeverDestroyed<std::mutex> wakeMutex;
Morvane::detail::NeverDestroyed<std::condition_variable> woken;
std::uint64_t wakeups = 0;

// The depth of NestedCalls scopes on this thread.
thread_local unsigned nestedDepth = 0;

// How often the main thread wakes while it waits for an object, to handle signals.
constexpr std::chrono::milliseconds kSignalInterval(20);

constexpr const char* kNestedWait =
    "the object is in use, and a call made inside another call of the same thread cannot wait for it";
constexpr const char* kFinalizingWait =
    "the object is in use, and a call made while the interpreter finalizes cannot wait for it";

// The thread that handles signals: the one the interpreter runs its main program in, and in a forked child the
// forking thread. Known without the interpreter lock, so that no other thread ever takes it to find out.
std::atomic<unsigned long> mainThread{0};

bool onMainThread() { return PyThread_get_thread_ident() == mainThread.load(std::memory_order_relaxed); }

// Read without the interpreter lock. From the start of finalization on, a thread other than the finalizing
// (main) one that takes the interpreter lock is ended by the interpreter.
bool interpreterEnding() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0 || Py_IsInitialized() == 0;
#else
    return _Py_IsFinalizing() != 0 || Py_IsInitialized() == 0;
#endif
}

// Found at import, with the interpreter lock held.
unsigned long findMainThread() {
#if PY_VERSION_HEX < 0x030D0000
    if (_PyOS_IsMainThread() != 0)
        return PyThread_get_thread_ident();
#endif
    try {
        const py::object main = callPython(attributeOf(importModule("threading"), "main_thread"));
        return attributeOf(main, "ident").cast<unsigned long>();
    } catch (const std::exception&) {
        // Signals are then handled by long calls of the importing thread.
        return PyThread_get_thread_ident();
    }
}

// Handles the main thread's pending signals (interpreter lock held); a handler's exception ends the call.
void handleSignals() {
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

// Signals are handled by the main thread only, so other threads' polls never take the interpreter lock; nor
// does any poll once the interpreter is ending.
void checkInterrupt() {
    if (!onMainThread() || interpreterEnding())
        return;
    // The poll may come from a call that holds the interpreter lock, or from one that released it.
    const py::gil_scoped_acquire gil;
    const NestedCalls nested;
    handleSignals();
}

// The check installed before the import: a program that embeds the interpreter may have one of its own.
Morvane::InterruptCheck checkBeforeImport = nullptr;

// Polls that come after the interpreter is finalized, from a program that embeds it, run the check it had before
// the import; one it installed since stays.
void restoreInterruptCheck() { Morvane::replaceInterruptCheck(&checkInterrupt, checkBeforeImport); }

} // namespace

void stopForGood() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

void printLine(const std::string& text) {
    // Python's print reads sys.stdout so, without importing sys.
    PyObject* const out = PySys_GetObject("stdout");
    if (out == nullptr)
        return;
    // Borrowed from sys, whose stdout the calls below may replace.
    const auto keptOut = py::reinterpret_borrow<py::object>(out);
    const py::object write = attributeOf(out, "write");
    callPython(write, py::make_tuple(py::str(text)));
    callPython(write, py::make_tuple(py::str("\n")));
}

ReleasedInterpreter::~ReleasedInterpreter() {
    if (interpreterEnding() && !onMainThread())
        stopForGood();
    // A thread that was already waiting for the lock when finalization began is ended inside this wait.
    intoPython(PyEval_RestoreThread, state_);
}

void installThreadSupport() {
    mainThread.store(findMainThread(), std::memory_order_relaxed);
    checkBeforeImport = Morvane::setInterruptCheck(&checkInterrupt);
    // Run once the interpreter is finalized; the interpreter keeps a few such functions only, and when they are
    // taken, Python's own exit functions, which run before finalization, do it.
    if (Py_AtExit(&restoreInterruptCheck) != 0)
        callPython(attributeOf(importModule("atexit"), "register"),
                   py::make_tuple(py::cpp_function(&restoreInterruptCheck)));
    pthread_atfork(nullptr, nullptr, &ObjectLocks::afterForkInChild);
}

NestedCalls::NestedCalls() { ++nestedDepth; }
NestedCalls::~NestedCalls() {
    --nestedDepth;
    // The stretch's Python code may have forked, and this thread's call goes on with its records.
    ObjectLocks::keepForkingThreadOnly();
}

ObjectLocks::ObjectLocks(const std::vector<const Morvane::Ciphertext*>& read, Morvane::Ciphertext& written)
    : spill_(new Request[read.size() + 1]), requests_(spill_.get()) {
    Request* const end = requests_ + read.size();
    std::transform(read.begin(), read.end(), requests_, [](const Morvane::Ciphertext* ctxt) {
        return Request{storageOf(*ctxt), false};
    });
    *end = {storageOf(written), true};
    // Sorted by storage, then the requests of one object merged into one.
    std::sort(requests_, end + 1,
              [](const Request& a, const Request& b) { return std::less<const void*>()(a.storage, b.storage); });
    for (const Request* request = requests_; request != end + 1; ++request) {
        if (count_ != 0 && requests_[count_ - 1].storage == request->storage)
            requests_[count_ - 1].write = requests_[count_ - 1].write || request->write;
        else
            requests_[count_++] = *request;
    }
    keepForkingThreadOnly();
    owner_ = PyThread_get_thread_ident();
    acquireAmongOthers();
}

// A call that would overtake a waiting call on one of its objects queues behind it, so that a writer is not kept
// out by readers that keep coming.
void ObjectLocks::acquireAmongOthers() {
    if (!blockedByHeld() && (queueHead_ == nullptr || !blockedByQueued(nullptr)))
        linkHeld();
    else
        wait();
}

// A brief member waits for the calls that hold its objects only, not behind queued ones: it holds them for no time.
void ObjectLocks::waitBriefly() {
    brief_ = true;
    owner_ = PyThread_get_thread_ident();
    wait();
}

// Whether the two records cannot hold their objects at once: one of them writes an object of both.
bool ObjectLocks::conflictsWith(const ObjectLocks& other) const {
    for (std::size_t i = 0; i < other.count_; ++i)
        for (std::size_t j = 0; j < count_; ++j)
            if (requests_[j].storage == other.requests_[i].storage && (requests_[j].write || other.requests_[i].write))
                return true;
    return false;
}

bool ObjectLocks::blockedByHeld() const {
    for (const ObjectLocks* other = held_; other != nullptr; other = other->next_)
        if (conflictsWith(*other))
            return true;
    return false;
}

// Whether a queued call ahead of `until` (null: of all) wants one of the objects first. A call that waits is
// never nested, so the queue holds no earlier call of this thread.
bool ObjectLocks::blockedByQueued(const ObjectLocks* until) const {
    for (const ObjectLocks* other = queueHead_; other != until; other = other->next_)
        if (conflictsWith(*other))
            return true;
    return false;
}

void ObjectLocks::wait() {
    // A call made inside a running or waiting call of this thread goes ahead of waiting calls when nothing held
    // is in its way; it never waits, since what it would wait for may be the call it runs in. Nor does a call made
    // once the interpreter finalizes, by a finalizer of the finalizing thread (the only one that still runs Python
    // code): a call that holds objects then never gives them back, since its thread stops as it returns.
    if (nestedDepth != 0 || interpreterEnding()) {
        if (blockedByHeld())
            throw std::runtime_error(nestedDepth != 0 ? kNestedWait : kFinalizingWait);
        linkHeld();
        return;
    }
    enqueue();
    try {
        while (!holding_) {
            const std::uint64_t seen = wakeups;
            const auto given = [seen] { return wakeups != seen; };
            // Only the main thread handles signals, so it alone wakes on its own; the others sleep until waiting
            // calls are given their objects.
            const bool handlesSignals = onMainThread();
            {
                const ReleasedInterpreter release;
                std::unique_lock<std::mutex> lock(*wakeMutex);
                if (handlesSignals)
                    woken->wait_for(lock, kSignalInterval, given);
                else
                    woken->wait(lock, given);
            }
            if (handlesSignals) {
                const NestedCalls nested;
                handleSignals();
            }
        }
    } catch (...) {
        // Given back as a failed call gives them back; calls queued behind this one may go now.
        if (holding_)
            unlinkHeld();
        else
            dequeue();
        promoteWaiting();
        throw;
    }
}

// Gives waiting calls, oldest first, the objects that nothing held or queued ahead of them keeps from them;
// their threads find them held when they wake.
void ObjectLocks::promoteWaiting() {
    bool promoted = false;
    for (ObjectLocks* waiting = queueHead_; waiting != nullptr;) {
        ObjectLocks* const next = waiting->next_;
        if (!waiting->blockedByHeld() && (waiting->brief_ || !waiting->blockedByQueued(waiting))) {
            waiting->dequeue();
            waiting->linkHeld();
            promoted = true;
        }
        waiting = next;
    }
    if (promoted) {
        {
            const std::lock_guard<std::mutex> lock(*wakeMutex);
            ++wakeups;
        }
        woken->notify_all();
    }
}

void ObjectLocks::enqueue() {
    previous_ = queueTail_;
    next_ = nullptr;
    if (queueTail_ != nullptr)
        queueTail_->next_ = this;
    else
        queueHead_ = this;
    queueTail_ = this;
}

void ObjectLocks::dequeue() {
    if (previous_ != nullptr)
        previous_->next_ = next_;
    else
        queueHead_ = next_;
    if (next_ != nullptr)
        next_->previous_ = previous_;
    else
        queueTail_ = previous_;
}

void ObjectLocks::afterForkInChild() {
    // A thread that held the wake mutex or slept on the condition variable at the fork is not in the child.
    wakeMutex.renew();
    woken.renew();
    const unsigned long self = PyThread_get_thread_ident();
    forkingThread_ = self;
    // A fork made with the interpreter lock, as Python's own, makes the forking thread the child's main thread.
    if (PyGILState_Check() != 0)
        mainThread.store(self, std::memory_order_relaxed);
}

void ObjectLocks::dropOtherThreads() {
    const unsigned long self = std::exchange(forkingThread_, 0);
    // Only a call of the forking thread may have records here: one inside which Python code forked.
    const auto keepOwn = [self](ObjectLocks*& head) {
        ObjectLocks* last = nullptr;
        ObjectLocks* record = head;
        head = nullptr;
        for (ObjectLocks* next; record != nullptr; record = next) {
            next = record->next_;
            if (record->owner_ != self)
                continue;
            record->previous_ = last;
            record->next_ = nullptr;
            (last != nullptr ? last->next_ : head) = record;
            last = record;
        }
        return last;
    };
    keepOwn(held_);
    queueTail_ = keepOwn(queueHead_);
    if (queueHead_ != nullptr)
        promoteWaiting();
}
