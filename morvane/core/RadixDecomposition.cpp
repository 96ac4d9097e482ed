#include "morvane/core/RadixDecomposition.hpp"

#include "morvane/core/Exception.hpp"

namespace Morvane {

namespace {

constexpr i64 pow2(i64 exponent) { return i64{1} << exponent; }

} // namespace

RadixDecomposition::RadixDecomposition(unsigned long log_slots) {
    if (log_slots >= 63)
        throw RuntimeException("[RadixDecomposition] log_slots is too large");
    const i64 ls = static_cast<i64>(log_slots);
    if (ls == 0)
        return;

    if (ls <= 4) {
        levelCount = 1;
        logRadix[0] = ls;
    } else if (ls <= 7) {
        levelCount = 2;
        logRadix[0] = (ls + 1) / 2;
        logRadix[1] = ls / 2;
    } else if (ls == 14) {
        // 2^14 slots take a tuned split, not the (5, 5, 4) of the general rule.
        levelCount = 3;
        logRadix = {5, 4, 5};
    } else {
        levelCount = 3;
        const i64 q = ls / 3;
        const i64 r = ls % 3;
        logRadix = {r != 0 ? q + 1 : q, r == 2 ? q + 1 : q, q};
    }

    for (i64 l = 0; l < levelCount; ++l)
        radix[l] = pow2(logRadix[l]);

    stride[0] = pow2(ls - logRadix[0]);
    if (levelCount > 1)
        stride[1] = stride[0] / radix[1];
    if (levelCount > 2)
        stride[2] = stride[1] / radix[2];

    babyStepCount[0] = pow2((logRadix[0] + 1) / 2);
    giantStepCount[0] = radix[0] / babyStepCount[0];
    for (i64 l = 1; l < levelCount; ++l) {
        babyStepCount[l] = pow2(logRadix[l] / 2 + 1);
        giantStepCount[l] = 2 * radix[l] / babyStepCount[l];
    }
}

std::vector<i64> RadixDecomposition::getRotIndicesForBabyStep(unsigned long level) const {
    if (level >= static_cast<unsigned long>(levelCount))
        throw RuntimeException("[RadixDecomposition] Invalid level");
    std::vector<i64> indices;
    for (i64 i = 0; i < babyStepCount[level]; ++i)
        indices.push_back(i * stride[level]);
    return indices;
}

std::vector<i64> RadixDecomposition::getRotIndicesForGiantStep(unsigned long level) const {
    if (level >= static_cast<unsigned long>(levelCount))
        throw RuntimeException("[RadixDecomposition] Invalid level");
    const i64 g = giantStepCount[level];
    if (g < 2)
        return {0};
    const i64 step = stride[level] * babyStepCount[level];
    std::vector<i64> indices;
    indices.reserve(static_cast<std::size_t>(g));
    for (i64 i = -(g / 2); i < g / 2; ++i)
        indices.push_back(step * i);
    return indices;
}

} // namespace Morvane
