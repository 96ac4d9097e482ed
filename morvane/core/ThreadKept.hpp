#pragma once

// Library-internal: storage that a thread keeps from one call for its next.

#if !defined(MORVANE_LAYER_CORE) && !defined(MORVANE_LAYER_EVAL) && !defined(MORVANE_LAYER_MATH)
#error "morvane/core/ThreadKept.hpp is internal to the library: include the public headers"
#endif

namespace Morvane::detail {

// The calling thread's `T`, made at its first use and destroyed with the thread; `Tag` keeps apart the uses of one
// type. Once the thread's objects are destroyed (the main thread's before its static destructors and exit handlers
// run, a thread's before or while its other thread_local destructors run), a call gets none, never the destroyed
// object, and works with storage of its own.
template <typename T, typename Tag>
class ThreadKept {
public:
    static T* get() {
        if (gone())
            return nullptr;
        thread_local Holder holder;
        return &holder.value;
    }

private:
    struct Holder {
        Holder() = default;
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
        ~Holder() { gone() = true; }

        T value{};
    };

    // Without a destructor, so it can be read until the thread has ended.
    static bool& gone() {
        thread_local bool destroyed = false;
        return destroyed;
    }
};

} // namespace Morvane::detail
