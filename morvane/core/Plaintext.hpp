#pragma once

// Plaintext: an encoded message with its level, rescale counter and device.

#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Pointer.hpp"
#include "morvane/core/Polynomial.hpp"
#include "morvane/core/Types.hpp"

#include <istream>
#include <ostream>
#include <string>

namespace Morvane {

struct PlaintextImpl {
    Context context;
    u64 log_slots = 0;
    int rescale_counter = 0;
    Polynomial mx;

    explicit PlaintextImpl(const Context& context);
};

// An encoded message of one context: the slots in the clear with the bookkeeping of a real encoding.
class Plaintext {
public:
    explicit Plaintext(const Context& context);

    u64 getLogSlots() const { return impl_->log_slots; }
    void setLogSlots(unsigned long log_slots) { impl_->log_slots = log_slots; }
    // 2^log_slots; throws RuntimeException for log_slots of 64 or more.
    u64 getNumberOfSlots() const;
    u64 getLevel() const { return impl_->mx.level; }
    void setLevel(unsigned long level) { impl_->mx.level = level; }
    int getRescaleCounter() const { return impl_->rescale_counter; }
    void setRescaleCounter(int rescale_counter) { impl_->rescale_counter = rescale_counter; }

    Polynomial& getMx() { return impl_->mx; }
    const Polynomial& getMx() const { return impl_->mx; }

    const Device& getDevice() const { return impl_->mx.message.getDevice(); }
    // Compares device types only; on a change stores the device and counts "To Device (ptxt)"/"To Host (ptxt)".
    void to(const Device& device);
    void allocate(const Device& device) { impl_->mx.message.allocate(device); }

    bool isZero() const;
    u64* getMxData(unsigned long index) const;

    void save(std::ostream& stream) const;
    void save(const std::string& path) const;
    void load(std::istream& stream);
    void load(const std::string& path);

    // Library-internal direct access for the evaluator's slot loops.
    Message& message() { return impl_->mx.message; }
    const Message& message() const { return impl_->mx.message; }
    const Context& context() const { return impl_->context; }
    PlaintextImpl& impl() { return *impl_; }
    const PlaintextImpl& impl() const { return *impl_; }

private:
    ObjectPointer<PlaintextImpl> impl_;
};

// The mean of the replicas of the internal message over 2^log_slots slots; throws RuntimeException when
// log_slots exceeds what the internal message holds.
Message getMessage(const Plaintext& ptxt);
// Spreads `msg` end to end over the internal message (device becomes CPU 0); throws RuntimeException when
// either message is empty.
void setMessage(const Message& msg, Plaintext& ptxt);

} // namespace Morvane
