#include "morvane/core/Polynomial.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Parameter.hpp"
#include "morvane/core/Serialize.hpp"
#include "morvane/core/SlotKernels.hpp"

#include <cstdint>
#include <string>

namespace Morvane {

void save(cereal::BinaryOutputArchive& archive, const Polynomial& poly) {
    const std::uint8_t extended = poly.is_extended ? 1 : 0;
    archive(poly.numPrimes, extended, poly.level, poly.message);
}

void load(cereal::BinaryInputArchive& archive, Polynomial& poly) {
    archive(poly.numPrimes);
    std::uint8_t extended = 0;
    archive(extended);
    poly.is_extended = extended != 0;
    archive(poly.level, poly.message);
}

namespace detail {

Polynomial makePolynomial(const Parameter& parameter, u64 numPrimes, bool is_extended) {
    Polynomial poly;
    poly.numPrimes = numPrimes;
    poly.level = numPrimes - 1;
    poly.is_extended = is_extended;
    poly.message = Message(parameter.log_dimension - 1);
    return poly;
}

u64 numberOfSlots(u64 log_slots, const char* owner) {
    if (log_slots >= 64)
        throw RuntimeException(std::string("[") + owner + "::getNumberOfSlots] log_slots " +
                               std::to_string(log_slots) + " has no slot count");
    return u64{1} << log_slots;
}

Message getMessageOf(const Message& internal, u64 log_slots, const char* owner) {
    // Without one complete replica the mean would be 0 / 0, and the result could be of any size.
    if (log_slots >= 64 || (u64{1} << log_slots) > internal.getSize())
        throw RuntimeException(std::string(owner) + " log_slots " + std::to_string(log_slots) +
                               " exceeds the slots held");
    return averageReplicas(internal, log_slots);
}

void setMessageInto(const Message& msg, Message& internal) {
    if (msg.isEmpty())
        throw RuntimeException("[setMessage] The input message is empty");
    if (internal.isEmpty())
        throw RuntimeException("[setMessage] The internal message is empty");
    // Copy-assigned, not moved: the internal message keeps its own storage, which callers may point into.
    const Message spread = replicateMessage(msg, internal.getLogSlots());
    internal = spread;
}

bool isZeroMessage(const Message& message) { return utils::allZero(message.begin(), message.getSize()); }

bool moveByDeviceType(Message& message, const Device& device) {
    if (device.type() == message.getDevice().type())
        return false;
    message.to(device);
    return true;
}

} // namespace detail

} // namespace Morvane
