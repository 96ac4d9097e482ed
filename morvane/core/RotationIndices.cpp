#include "morvane/core/Context.hpp"
#include "morvane/core/Exception.hpp"
#include "morvane/core/RadixDecomposition.hpp"

namespace Morvane {

std::set<i64> ContextContent::getRotIndicesForBootstrap(unsigned long log_slots) const {
    if (!parameter.bootstrappable)
        throw RuntimeException("The parameter does not support bootstrap.");
    // 2^log_slots must be a signed 64-bit index.
    if (log_slots >= 63)
        throw RuntimeException("[getRotIndicesForBootstrap] log_slots is too large");

    const RadixDecomposition decomposition(log_slots);
    std::set<i64> indices;
    for (unsigned long l = 0; l < static_cast<unsigned long>(decomposition.levelCount); ++l) {
        for (const i64 index : decomposition.getRotIndicesForBabyStep(l))
            if (index != 0)
                indices.insert(index);
        for (const i64 index : decomposition.getRotIndicesForGiantStep(l))
            if (index != 0)
                indices.insert(index);
    }
    const i64 fullSlots = static_cast<i64>(parameter.fullSlots);
    for (i64 p = i64{1} << log_slots; p < fullSlots; p *= 2)
        indices.insert(p);
    return indices;
}

std::vector<u64> ContextContent::getExtraRotIndicesForBootstrap(unsigned long log_slots) const {
    if (log_slots >= 63)
        throw RuntimeException("[getExtraRotIndicesForBootstrap] log_slots is too large");

    const i64 fullSlots = i64{1} << (parameter.log_dimension - 1);
    const RadixDecomposition decomposition(log_slots);
    std::vector<u64> indices;
    for (i64 l = 0; l < decomposition.levelCount; ++l) {
        const i64 stride = decomposition.stride[l];
        const i64 babySteps = decomposition.babyStepCount[l];
        for (i64 i = 1; i < babySteps; ++i)
            indices.push_back(static_cast<u64>(stride * i));
        const i64 h = decomposition.giantStepCount[l] / 2;
        for (i64 j = -h; j < h; ++j) {
            i64 v = stride * babySteps * j;
            if (v < 0)
                v += fullSlots;
            // Giant steps beyond the full slot count stay negative and wrap modulo 2^64.
            if (v != 0)
                indices.push_back(static_cast<u64>(v));
        }
    }
    return indices;
}

} // namespace Morvane
