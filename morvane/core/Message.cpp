#include "morvane/core/Message.hpp"

#include "morvane/core/SlotKernels.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Morvane {

namespace {

std::size_t slotCountOf(unsigned long log_slots) {
    // 2^64 and beyond have no size; report it as the vector would for any other impossible length.
    if (log_slots >= 64)
        throw std::length_error("cannot create std::vector larger than max_size()");
    return std::size_t{1} << log_slots;
}

} // namespace

Message::Message() : impl_(new MessageImpl()) {}

Message::Message(unsigned long log_slots) : impl_(new MessageImpl()) { impl_->slots.resize(slotCountOf(log_slots)); }

Message::Message(unsigned long log_slots, Complex initial) : impl_(new MessageImpl()) {
    impl_->slots.assign(slotCountOf(log_slots), initial);
}

u64 Message::getLogSlots() const {
    // log2(0) has no value; a sentinel larger than any real log slot count makes every size check refuse it.
    if (impl_->slots.empty())
        return kEmptyLogSlots;
    return static_cast<u64>(std::log2(static_cast<double>(impl_->slots.size())));
}

Message replicateMessage(const Message& source, u64 log_slots) {
    Message result(log_slots);
    const u64 n = result.getSize();
    const u64 m = source.getSize();
    // An empty source has nothing to spread: the result stays zero.
    if (m == 0 || m > n)
        return result;
    // Copy the source once, then double the copied blocks: a short source costs a few long copies instead
    // of one short copy per block.
    const u64 filled = (n / m) * m;
    Complex* out = result.begin();
    std::copy(source.begin(), source.end(), out);
    for (u64 done = m; done < filled;) {
        const u64 chunk = std::min(done, filled - done);
        std::copy(out, out + chunk, out + done);
        done += chunk;
    }
    return result;
}

Message averageReplicas(const Message& source, u64 log_slots) {
    Message result(log_slots);
    const u64 s = result.getSize();
    const u64 n = source.getSize();
    const u64 blocks = n / s;
    // Without one complete replica there is nothing to average: the result stays zero rather than 0 / 0.
    if (blocks == 0)
        return result;
    for (u64 b = 0; b < blocks; ++b)
        utils::accumulateSlots(source.begin() + b * s, result.begin(), s);
    // Dividing by 1 changes no bit; skip the costly division pass for a single replica.
    if (blocks == 1)
        return result;
    utils::divideSlots(result.begin(), static_cast<double>(blocks), s);
    return result;
}

} // namespace Morvane
