#pragma once

// Polynomial, the one polynomial of a data object, its stored format and the helpers the data objects share.

#include "morvane/core/Message.hpp"
#include "morvane/core/Types.hpp"

#include <cereal/archives/binary.hpp>

namespace Morvane {

struct Parameter;

// The one polynomial a plaintext, ciphertext or secret key holds: prime count, level, extended flag and the
// slots (normally the context's full slot count), whose device is the device of the holder.
struct Polynomial {
    u64 numPrimes = 0;
    u64 level = 0;
    bool is_extended = false;
    Message message;
};

// Polynomial format: numPrimes, the extended flag as one byte, level, then the message. The flag is read as a
// byte and stored as `!= 0`, so any stored byte gives a valid bool.
void save(cereal::BinaryOutputArchive& archive, const Polynomial& poly);
void load(cereal::BinaryInputArchive& archive, Polynomial& poly);

namespace detail {
// A fresh polynomial of a context: `numPrimes` primes, level numPrimes - 1, zero slots of the full slot count.
Polynomial makePolynomial(const Parameter& parameter, u64 numPrimes, bool is_extended);
// 2^log_slots; log_slots of 64 or more has no count and throws RuntimeException naming `owner`.
u64 numberOfSlots(u64 log_slots, const char* owner);
// The rules behind getMessage/setMessage of plaintexts and ciphertexts, with their guards; `owner` names the
// operation in the refusal.
Message getMessageOf(const Message& internal, u64 log_slots, const char* owner = "[getMessage]");
void setMessageInto(const Message& msg, Message& internal);
bool isZeroMessage(const Message& message);
// The device move of plaintexts, ciphertexts and secret keys: only the types are compared; on a change the
// device (type and id) is stored and true returned, so the caller can count its label.
bool moveByDeviceType(Message& message, const Device& device);
} // namespace detail

} // namespace Morvane
