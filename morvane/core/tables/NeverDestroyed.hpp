#pragma once

// The storage of what must outlive a program's exit handlers: every built-in table a call can read, and the module's
// records that its objects and threads use. Exit handlers run while threads may still be inside library calls (a
// daemon thread in a long math call, for instance), or before an embedding program finalizes the interpreter, so an
// object destroyed by them would be used after it was freed.

#if !defined(MORVANE_LAYER_CORE) && !defined(MORVANE_LAYER_MATH) && !defined(MORVANE_LAYER_PYTHON)
#error "morvane/core/tables/NeverDestroyed.hpp is internal to the core, math and python layers: include the public headers"
#endif

#include <new>
#include <utility>

namespace Morvane::detail {

// A T constructed in place from the arguments and never destroyed. Itself trivially destructible, so a static
// NeverDestroyed registers no exit-time destructor; the object stays reachable through the static storage, so a
// leak checker does not count what it owns. Declared as a function-local static, it is constructed once, by the
// first caller, safely against concurrent first calls; readers in a loop take the reference once.
template <typename T>
class NeverDestroyed {
public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    const T& operator*() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }
    T* operator->() { return &**this; }
    const T* operator->() const { return &**this; }

    // A new T over the old one, which is not destroyed: for a forked child, whose copy of a mutex may be held by a
    // thread that is not there.
    void renew() { ::new (static_cast<void*>(storage_)) T(); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

} // namespace Morvane::detail
