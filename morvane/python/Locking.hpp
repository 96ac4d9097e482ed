#pragma once

// The interpreter-lock helpers of the registration units: the way the module's own code calls into Python, the call
// guard of forwarding members, the locks that keep Python threads from replacing a data object's slots while
// another thread's call uses them, and the interrupt check of long library loops.
//
// Calls into Python. Once the interpreter has begun to finalize, it ends any other thread that takes the interpreter
// lock (back), by unwinding that thread's stack (pthread_exit) without the lock. Python code called from the module
// may take the lock back at any point, so the unwinding can start inside any such call; run through the module's
// frames, it would give back Python references (a py::object, pybind11's records of the call) without the lock
// while the finalizing thread frees objects, a crash or a fatal error at exit, and pybind11's dispatcher catches it
// by a reference to an exception object that does not exist. So every call of the module's own code into Python,
// and the lock's return after a release, go through intoPython, which stops the unwinding right at the C function
// it calls: the thread stops for good there, holding nothing, while the process ends, as a Python thread the
// interpreter ends never runs again. Argument conversions by pybind11's own casters (a number's __index__ or
// __float__, a sequence's __getitem__) and finalizers that an allocation runs are outside the module's reach.
//
// Object locks. A member that reads or writes a Message, Plaintext or Ciphertext holds that object for its
// duration: readers share an object, a writer has it alone. The holds are records kept with the interpreter lock
// held, so taking and giving them back costs no atomic operation: a call records its objects before it releases
// the interpreter lock and removes the record after it has taken it back, as it does anyway to return.
// - A call takes all its objects at once or none: one that finds an object held waits holding nothing, so no
//   order of objects and no aliasing (ev.add(a, a, a): one object, written) can deadlock.
// - Waiting calls queue, with the interpreter lock released. A call that gives its objects back hands them to
//   the waiting calls, oldest first, so a waiting call holds them before its thread has the interpreter lock
//   again and a thread that keeps coming back for an object cannot starve the others. While it waits, the main
//   thread still handles signals: Ctrl-C ends the wait with KeyboardInterrupt. The other threads sleep until
//   they are given their objects, so none of them takes the interpreter lock while the interpreter finalizes.
// - A call does not overtake a waiting call on an object they cannot share, so a writer is not kept out by
//   readers that keep coming. Members that keep the interpreter lock and make no Python object while they use
//   theirs (BriefLocks: item access, lengths, properties, repr) only wait for calls that hold the object.
// - A call made inside another call of its thread, by a signal handler (run from the interrupt check or from a
//   waiting call) or by a finalizer (run while a member makes Python objects), never waits, since what it would
//   wait for may be the call it runs in: it goes ahead when nothing held is in its way and is refused with a
//   RuntimeError where it would have had to wait; so is a use of a Device that follows a message such a call
//   holds, which reads the message. A call made once the interpreter finalizes (by a finalizer) does the same,
//   since the calls that hold objects then never end.
// - An object is known by its slot storage (the vector inside its message), which never moves while the object
//   lives: anything that shares an object's storage, as a property returned with reference_internal would, is
//   held with it.
// - A child forked while other threads' calls hold or wait for objects never sees those calls end: it starts with
//   the records of the forking thread only. A thread that forks without the interpreter lock (through ctypes, say)
//   may find another thread's change of the records halfway done, so the child reads them first when it uses them
//   with the interpreter lock held: it can take that lock again only if no thread held it at the fork, and then no
//   record was being changed. A child that never takes it (one that only starts another program) never reads them.
// The locks cover members only: a view exported through the buffer protocol reads and writes the slots with
// no lock at all, which its fixed length (see BufferExports.hpp) keeps within the storage.

#include "morvane/morvane.hpp"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace py = pybind11;

// Where the interpreter ends this thread: sleeps for good, so that no cleanup of the thread's frames runs.
[[noreturn]] void stopForGood();

// Calls `function`, a function of Python's C API, with `arguments` (handles as PyObject*, pointers, numbers: nothing
// that a cleanup would give back) and returns its result as it is. The forced unwinding of a thread the interpreter
// ends inside the call stops here, before any frame of the module's cleans up: see "Calls into Python" above.
template <typename Result, typename... Parameters, typename... Arguments>
Result intoPython(Result (*function)(Parameters...), Arguments... arguments) {
    static_assert((std::is_trivially_destructible_v<Arguments> && ...), "no cleanup between the call and the catch");
    try {
        return function(arguments...);
    } catch (...) {
        // A C function throws nothing: this is the interpreter ending the thread. The unwinding is caught, never
        // rethrown nor finished, and the thread sleeps holding nothing (the interpreter lock is not taken).
        stopForGood();
    }
}

// The new reference a call through intoPython returned, or the Python error it raised.
inline py::object newReference(PyObject* result) {
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}
// The module's calls into Python by name: import, getattr, a call with positional arguments.
inline py::object importModule(const char* name) { return newReference(intoPython(PyImport_ImportModule, name)); }
inline py::object attributeOf(py::handle object, const char* name) {
    return newReference(intoPython(PyObject_GetAttrString, object.ptr(), name));
}
inline py::object callPython(py::handle callable, const py::tuple& arguments = py::tuple()) {
    return newReference(intoPython(PyObject_CallObject, callable.ptr(), arguments.ptr()));
}

// Writes `text` and then a newline to sys.stdout, as py::print does, through intoPython; where sys has no stdout,
// nothing. Interpreter lock held.
void printLine(const std::string& text);

// Releases the interpreter lock for its scope, as py::gil_scoped_release does. Unlike it, a thread other than the
// main one that comes back after the interpreter has begun to finalize does not take the lock again: the
// interpreter would end the thread by unwinding it from inside this destructor, and an unwinding out of a
// destructor ends the process. The thread stops for good instead, its call unfinished, while the process ends;
// so does one that was already waiting for the lock when finalization began (its wait is a call into Python).
class ReleasedInterpreter {
public:
    ReleasedInterpreter() {
        // As pybind11's release: the records its later acquires rely on exist before any thread releases.
        py::detail::get_internals();
        state_ = PyEval_SaveThread();
    }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
    ~ReleasedInterpreter();

private:
    PyThreadState* state_;
};

// The call guard of a member that forwards to the library without a data object: the interpreter lock is
// released around the library call only.
using ReleaseLock = py::call_guard<ReleasedInterpreter>;

// At module import: installs the library's interrupt check, so that the polls of long loops let the main thread
// handle pending signals and Ctrl-C ends such a call with KeyboardInterrupt (or whatever the handler raises); once
// the interpreter is finalized, the check installed before the import is back, unless the program that embeds the
// interpreter installed another meanwhile. Also makes a forked child start with the object locks of its own thread
// only.
void installThreadSupport();

template <typename T>
inline constexpr bool isDataObject = std::is_same_v<T, Morvane::Message> || std::is_same_v<T, Morvane::Plaintext> ||
                                     std::is_same_v<T, Morvane::Ciphertext>;

// The storage an object is known by.
inline const void* storageOf(const Morvane::Message& message) { return &message.slots(); }
inline const void* storageOf(const Morvane::Plaintext& ptxt) { return &ptxt.message().slots(); }
inline const void* storageOf(const Morvane::Ciphertext& ctxt) { return &ctxt.message().slots(); }

// The holds of one member on its data objects, made and given back with the interpreter lock held. Objects are
// passed as the member has them: one taken by const reference is read, one taken by reference written; arguments
// of other types are ignored.
class ObjectLocks {
public:
    // The tag of BriefLocks' records: only calls that hold an object are in their way.
    struct Brief {};
    static constexpr Brief brief{};

    template <typename... Objects>
    explicit ObjectLocks(Objects&... objects) {
        static_assert((0 + ... + isDataObject<std::remove_const_t<Objects>>) <= kInlineRequests);
        (add(objects), ...);
        if (count_ == 0)
            return;
        keepForkingThreadOnly();
        owner_ = PyThread_get_thread_ident();
        if (held_ == nullptr && queueHead_ == nullptr)
            linkHeld();
        else
            acquireAmongOthers();
    }
    template <typename... Objects>
    explicit ObjectLocks(Brief, Objects&... objects) {
        static_assert((0 + ... + isDataObject<std::remove_const_t<Objects>>) <= kInlineRequests);
        (add(objects), ...);
        if (count_ != 0 && blockedByHeld())
            waitBriefly();
    }
    // rot_sum: the elements of its list read, its result written.
    ObjectLocks(const std::vector<const Morvane::Ciphertext*>& read, Morvane::Ciphertext& written);

    ObjectLocks(const ObjectLocks&) = delete;
    ObjectLocks& operator=(const ObjectLocks&) = delete;
    ~ObjectLocks() {
        if (!holding_)
            return;
        unlinkHeld();
        if (queueHead_ != nullptr)
            promoteWaiting();
    }

private:
    friend class BriefLocks;

    struct Request {
        const void* storage;
        bool write;
    };
    // The most data objects a member takes besides rot_sum's list (the packed bootstrap: two in, two out).
    static constexpr std::size_t kInlineRequests = 4;

    template <typename T>
    void add(T& object) {
        if constexpr (isDataObject<std::remove_const_t<T>>)
            addRequest(storageOf(object), !std::is_const_v<T>);
    }
    // One request per object: an object both read and written is written.
    void addRequest(const void* storage, bool write) {
        for (std::size_t i = 0; i < count_; ++i)
            if (requests_[i].storage == storage) {
                requests_[i].write = requests_[i].write || write;
                return;
            }
        inline_[count_++] = {storage, write};
    }

    void linkHeld() {
        previous_ = nullptr;
        next_ = held_;
        if (held_ != nullptr)
            held_->previous_ = this;
        held_ = this;
        holding_ = true;
    }
    void unlinkHeld() {
        if (previous_ != nullptr)
            previous_->next_ = next_;
        else
            held_ = next_;
        if (next_ != nullptr)
            next_->previous_ = previous_;
        holding_ = false;
    }

    void acquireAmongOthers();
    void waitBriefly();
    void wait();
    bool conflictsWith(const ObjectLocks& other) const;
    bool blockedByHeld() const;
    bool blockedByQueued(const ObjectLocks* until) const;
    void enqueue();
    void dequeue();
    static void promoteWaiting();
    // Run in a forked child by the forking thread, which may not hold the interpreter lock: reads no record, only
    // leaves them to keepForkingThreadOnly.
    static void afterForkInChild();
    // Called with the interpreter lock held where a call first reads the records, and where Python code it ran
    // may have forked (the end of NestedCalls). In a forked child the first call drops the records of the other
    // threads, whose calls the child never finishes, and gives the forking thread's waiting call what is free now.
    static void keepForkingThreadOnly() {
        if (forkingThread_ != 0)
            dropOtherThreads();
    }
    static void dropOtherThreads();
    friend void installThreadSupport();
    friend class NestedCalls;

    // The records of the calls that hold objects, and the queue of those that wait for them, oldest first.
    static inline ObjectLocks* held_ = nullptr;
    static inline ObjectLocks* queueHead_ = nullptr;
    static inline ObjectLocks* queueTail_ = nullptr;
    // In a forked child whose records have not been read yet, the thread that forked; 0 otherwise.
    static inline unsigned long forkingThread_ = 0;

    Request inline_[kInlineRequests];
    std::unique_ptr<Request[]> spill_;
    Request* requests_ = inline_;
    std::size_t count_ = 0;
    // In the list of held records; otherwise queued, or in no list at all.
    bool holding_ = false;
    bool brief_ = false;
    // The thread of the call, known once the record is in a list.
    unsigned long owner_ = 0;
    ObjectLocks* previous_ = nullptr;
    ObjectLocks* next_ = nullptr;
};

// The holds of a member that keeps the interpreter lock and runs no Python code while it uses its objects
// (nothing that allocates Python objects, which may collect garbage and run finalizers): no other call can start
// meanwhile, so it only makes sure that no call holds them in its way, waiting for those that do.
class BriefLocks {
public:
    template <typename... Objects>
    explicit BriefLocks(Objects&... objects) {
        ObjectLocks::keepForkingThreadOnly();
        if (ObjectLocks::held_ != nullptr)
            waited_.emplace(ObjectLocks::brief, objects...);
    }

private:
    // Recorded only when something is held, and then as holding once it has waited.
    std::optional<ObjectLocks> waited_;
};

// A stretch in which this thread may run Python code while it has object records: the interrupt check's and a
// waiting call's signal handlers, and members that make Python objects (which may run finalizers) while they hold
// their objects. A call made inside one is nested: it never waits.
class NestedCalls {
public:
    NestedCalls();
    NestedCalls(const NestedCalls&) = delete;
    NestedCalls& operator=(const NestedCalls&) = delete;
    ~NestedCalls();
};

// A member that forwards to a library function or member function: its data objects held, then the interpreter
// lock released around the call. The parameters are the function's own, so the signature pybind11 generates is
// the same as for the function itself; a lambda without captures is passed as a function, +[](...) { ... }.
template <typename R, typename... A>
auto guarded(R (*function)(A...)) {
    return [function](A... args) -> R {
        const ObjectLocks locks(args...);
        const ReleasedInterpreter release;
        return function(std::forward<A>(args)...);
    };
}

template <typename R, typename C, typename... A>
auto guarded(R (C::*member)(A...) const) {
    return [member](const C& self, A... args) -> R {
        const ObjectLocks locks(self, args...);
        const ReleasedInterpreter release;
        return (self.*member)(std::forward<A>(args)...);
    };
}

// A member that finishes with the interpreter lock held: a getter of a data object.
template <typename R, typename C>
auto guardedBrief(R (C::*member)() const) {
    return [member](const C& self) -> R {
        const BriefLocks locks(self);
        return (self.*member)();
    };
}
