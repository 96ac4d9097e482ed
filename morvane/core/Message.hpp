#pragma once

// Message: a vector of complex slots with its device; replicating and averaging slots.

#include "morvane/core/Pointer.hpp"
#include "morvane/core/Types.hpp"

#include <complex>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace Morvane {

using Complex = std::complex<double>;

// getLogSlots() of an empty message.
inline constexpr u64 kEmptyLogSlots = u64{1} << 63;

struct MessageImpl {
    std::vector<Complex> slots;
    Device device = getDefaultDevice();
};

// A vector of complex slots with the device it is recorded on: the data every object carries.
class Message {
public:
    Message();
    explicit Message(unsigned long log_slots);
    Message(unsigned long log_slots, Complex initial);

    u64 getSize() const { return impl_->slots.size(); }
    // floor(log2(size)); kEmptyLogSlots for an empty message.
    u64 getLogSlots() const;
    bool isEmpty() const { return impl_->slots.empty(); }

    Complex& operator[](unsigned long i) { return impl_->slots[i]; }
    const Complex& operator[](unsigned long i) const { return impl_->slots[i]; }

    Complex* begin() { return impl_->slots.data(); }
    Complex* end() { return impl_->slots.data() + impl_->slots.size(); }
    const Complex* begin() const { return impl_->slots.data(); }
    const Complex* end() const { return impl_->slots.data() + impl_->slots.size(); }

    void resize(unsigned long n) { impl_->slots.resize(n); }

    void to(const Device& device) { impl_->device = device; }
    void allocate(const Device& device) { impl_->device = device; }
    const Device& getDevice() const { return impl_->device; }

    void save(std::ostream& stream) const;
    void save(const std::string& path) const;
    void load(std::istream& stream);
    void load(const std::string& path);

    // The slot vector itself, for the library's own slot loops and formats.
    std::vector<Complex>& slots() { return impl_->slots; }
    const std::vector<Complex>& slots() const { return impl_->slots; }

private:
    ObjectPointer<MessageImpl> impl_;
};

// Spreads `source` end to end over 2^log_slots slots; a source longer than the target gives zeros.
Message replicateMessage(const Message& source, u64 log_slots);

// Reads 2^log_slots slots back as the mean of the complete replicas in `source`.
Message averageReplicas(const Message& source, u64 log_slots);

namespace detail {
// The longest working slot vector a thread keeps from one library call for its next: freed at the end of every
// call, the vectors would let the allocator hand the top of its heap back to the system, and the next call would
// fault them in anew. Longer ones are freed when their call ends.
inline constexpr u64 kKeptSlotsLimit = u64{1} << 16;
inline bool keptBetweenCalls(const std::vector<Complex>& slots) { return slots.capacity() <= kKeptSlotsLimit; }
} // namespace detail

} // namespace Morvane
