#pragma once

// Ciphertext: slots in the clear with a real ciphertext's level, rescale counter, size and device.

#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Parameter.hpp"
#include "morvane/core/Pointer.hpp"
#include "morvane/core/Polynomial.hpp"
#include "morvane/core/Types.hpp"

#include <istream>
#include <ostream>
#include <string>

namespace Morvane {

struct CiphertextImpl {
    Context context;
    u64 log_slots = 0;
    int rescale_counter = 0;
    u64 size = 2;
    Polynomial poly;

    CiphertextImpl(const Context& context, bool is_extended);

    // Takes the context, log_slots and rescale counter of `other`; size and polynomial stay.
    void copyMetaDataFrom(const CiphertextImpl& other);
};

// A simulated ciphertext: the slots in the clear with the bookkeeping of a real ciphertext.
class Ciphertext {
public:
    explicit Ciphertext(const Context& context, bool is_extended = false);
    // Simulated: a copy of `ctxt` (of its own context; `context` is not read), then an alert.
    Ciphertext(const Context& context, const Ciphertext& ctxt);

    u64 getSize() const { return impl_->size; }
    void setSize(unsigned long size) { impl_->size = size; }
    u64 getLogSlots() const { return impl_->log_slots; }
    void setLogSlots(unsigned long log_slots) { impl_->log_slots = log_slots; }
    // 2^log_slots; throws RuntimeException for log_slots of 64 or more.
    u64 getNumberOfSlots() const;
    u64 getLevel() const { return impl_->poly.level; }
    void setLevel(unsigned long level) { impl_->poly.level = level; }
    int getRescaleCounter() const { return impl_->rescale_counter; }
    void setRescaleCounter(int rescale_counter) { impl_->rescale_counter = rescale_counter; }
    bool isModUp() const { return impl_->poly.is_extended; }

    // Every index gives the one polynomial.
    Polynomial& getPoly(unsigned long) { return impl_->poly; }
    const Polynomial& getPoly(unsigned long) const { return impl_->poly; }

    const Device& getDevice() const { return impl_->poly.message.getDevice(); }
    // Compares device types only; on a change stores the device and counts "To Device (ctxt)"/"To Host (ctxt)".
    void to(const Device& device);
    void allocate(const Device& device) { impl_->poly.message.allocate(device); }

    ParameterPreset getParameterPreset() const { return impl_->context->parameter.preset; }
    u64 getCurrentPrime() const;
    Real getCurrentScaleFactor() const;
    u64* getPolyData(unsigned long, unsigned long) const;

    void save(std::ostream& stream) const;
    void save(const std::string& path) const;
    void load(std::istream& stream);
    void load(const std::string& path);

    // Library-internal direct access for the evaluator's slot loops.
    Message& message() { return impl_->poly.message; }
    const Message& message() const { return impl_->poly.message; }
    const Context& context() const { return impl_->context; }
    CiphertextImpl& impl() { return *impl_; }
    const CiphertextImpl& impl() const { return *impl_; }

private:
    ObjectPointer<CiphertextImpl> impl_;
};

// The mean of the replicas of the internal message over 2^log_slots slots; throws RuntimeException when
// log_slots exceeds what the internal message holds.
Message getMessage(const Ciphertext& ctxt);
// Spreads `msg` end to end over the internal message (device becomes CPU 0); throws RuntimeException when
// either message is empty.
void setMessage(const Message& msg, Ciphertext& ctxt);

namespace detail {
// Library-internal: `ctxt` in the state of a fresh Ciphertext(context, false) in everything but its slot values,
// for working ciphertexts that are reused: the slot vector keeps its storage, and its values where it already has
// the context's length (every user writes them before reading). A failure to grow it leaves ctxt as it was.
void makeFresh(Ciphertext& ctxt, const Context& context);
} // namespace detail

} // namespace Morvane
