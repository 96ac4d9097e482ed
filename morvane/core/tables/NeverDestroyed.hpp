#pragma once

// The storage of every built-in table a call can read: built once, never destroyed. A program's exit handlers
// run while threads may still be inside library calls (a daemon thread in a long math call, for instance), so a
// table destroyed by them would be read after it was freed.

#if !defined(MORVANE_LAYER_CORE) && !defined(MORVANE_LAYER_MATH)
#error "morvane/core/tables/NeverDestroyed.hpp is internal to the core and math layers: include the public headers"
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

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

} // namespace Morvane::detail
