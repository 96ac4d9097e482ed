#pragma once

// RadixDecomposition: the baby-step/giant-step split of the bootstrapping transform and its rotations.

#include "morvane/core/Types.hpp"

#include <array>
#include <vector>

namespace Morvane {

// The split of the bootstrapping transform of 2^log_slots slots into up to three levels, each done in baby
// steps and giant steps. Only the entries of levels below levelCount are meaningful.
struct RadixDecomposition {
    i64 levelCount = 0;
    std::array<i64, 3> logRadix{};
    std::array<i64, 3> radix{};
    std::array<i64, 3> stride{};
    std::array<i64, 3> babyStepCount{};
    std::array<i64, 3> giantStepCount{};

    // Throws for log_slots of 63 or more, whose strides do not fit in 64 bits.
    explicit RadixDecomposition(unsigned long log_slots);

    // 0, stride, 2 * stride, ... (babyStepCount values) of the level.
    std::vector<i64> getRotIndicesForBabyStep(unsigned long level) const;
    // The giant steps of the level, negative ones first and 0 included; the single value 0 below two steps.
    std::vector<i64> getRotIndicesForGiantStep(unsigned long level) const;
};

} // namespace Morvane
