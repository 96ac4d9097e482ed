#pragma once

// The reductions of rotation indices: to a left index below a power-of-two slot count, and to 2^log_slots.

#include "morvane/core/Types.hpp"

namespace Morvane {
namespace detail {

// A left rotation by `idx` over `slots` slots (a power of two) as its left index: idx mod slots.
inline u64 leftRotationIndex(u64 idx, u64 slots) { return idx & (slots - 1); }

// A right rotation by `idx` as the left rotation of the same effect: (slots - idx mod slots) mod slots.
inline u64 leftIndexOfRightRotation(u64 idx, u64 slots) {
    return leftRotationIndex(slots - leftRotationIndex(idx, slots), slots);
}

// A rotation index reduced modulo 2^log_slots; every index is already below 2^64.
inline u64 reduceRotationIndex(u64 idx, u64 log_slots) {
    return log_slots >= 64 ? idx : idx & ((u64{1} << log_slots) - 1);
}

} // namespace detail
} // namespace Morvane
