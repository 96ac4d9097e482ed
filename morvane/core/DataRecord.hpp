#pragma once

// Library-internal: what plaintexts and ciphertexts share: their stored record and their counted device move.

#if !defined(MORVANE_LAYER_CORE)
#error "morvane/core/DataRecord.hpp is internal to the core layer: include the public headers"
#endif

#include "morvane/core/Context.hpp"
#include "morvane/core/Polynomial.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/core/tables/OpLabels.hpp"

namespace Morvane {
namespace detail {

// The record of a plaintext or ciphertext implementation `impl`, to or from a stream or a file: log slots,
// rescale counter, then its polynomial `poly`. `label` is counted in its context once the record is written or
// read.
template <typename Destination, typename Impl>
void saveRecord(Destination& to, const Impl& impl, const Polynomial& poly, const HistoryLabel& label) {
    Serialize::save(to, impl.log_slots, impl.rescale_counter, poly);
    impl.context->updateOpHistory(label);
}

template <typename Source, typename Impl>
void loadRecord(Source& from, Impl& impl, Polynomial& poly, const HistoryLabel& label) {
    Serialize::load(from, impl.log_slots, impl.rescale_counter, poly);
    impl.context->updateOpHistory(label);
}

// The device move of plaintexts and ciphertexts: moveByDeviceType, counting `toDevice` on a change to a GPU
// and `toHost` on any other change.
inline void moveCounted(Message& message, const Device& device, ContextContent& context, const HistoryLabel& toDevice,
                        const HistoryLabel& toHost) {
    if (moveByDeviceType(message, device))
        context.updateOpHistory(device.type() == DeviceType::GPU ? toDevice : toHost);
}

} // namespace detail
} // namespace Morvane
