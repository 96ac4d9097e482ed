// The object locks of the data objects and the interrupt check of long library loops.

#include "morvane/python/Locking.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>

namespace {

// Waiting calls sleep on `woken`; `wakeups` changes, under both the interpreter lock and `wakeMutex`, whenever
// waiting calls have been given their objects. `wakeMutex` is held only around the count and the wait itself,
// never while waiting for the interpreter lock.
std::mutex wakeMutex;
std::condition_variable woken;
std::uint64_t wakeups = 0;

// The depth of NestedCalls scopes on this thread.
thread_local unsigned nestedDepth = 0;

// How often a waiting call wakes to let the main thread handle signals.
constexpr std::chrono::milliseconds kSignalInterval(20);

constexpr const char* kNestedWait =
    "the object is in use, and a call made inside another call of the same thread cannot wait for it";

// Handles the main thread's pending signals (interpreter lock held); a handler's exception ends the call.
void handleSignals() {
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

// Signals are handled by the main thread only, so other threads' polls need not take the interpreter lock. A
// thread finds out once, on its first check; if it cannot, it goes on checking.
enum class ThreadRole : unsigned char { Unknown, Main, Other };

bool isMainThread() {
    try {
        const py::object main = py::module_::import("threading").attr("main_thread")();
        return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
    } catch (const std::exception&) {
        return true;
    }
}

void checkInterrupt() {
    thread_local ThreadRole role = ThreadRole::Unknown;
    if (role == ThreadRole::Other)
        return;
    // The poll may come from a call that holds the interpreter lock, or from one that released it.
    const py::gil_scoped_acquire gil;
    const NestedCalls nested;
    if (role == ThreadRole::Unknown)
        role = isMainThread() ? ThreadRole::Main : ThreadRole::Other;
    if (role == ThreadRole::Main)
        handleSignals();
}

} // namespace

void installInterruptCheck() { Morvane::setInterruptCheck(&checkInterrupt); }

NestedCalls::NestedCalls() { ++nestedDepth; }
NestedCalls::~NestedCalls() { --nestedDepth; }

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
    // is in its way; it never waits, since what it would wait for may be the call it runs in.
    if (nestedDepth != 0) {
        if (blockedByHeld())
            throw std::runtime_error(kNestedWait);
        linkHeld();
        return;
    }
    enqueue();
    try {
        while (!holding_) {
            const std::uint64_t seen = wakeups;
            {
                const py::gil_scoped_release release;
                std::unique_lock<std::mutex> lock(wakeMutex);
                woken.wait_for(lock, kSignalInterval, [seen] { return wakeups != seen; });
            }
            const NestedCalls nested;
            handleSignals();
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
            const std::lock_guard<std::mutex> lock(wakeMutex);
            ++wakeups;
        }
        woken.notify_all();
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
