#pragma once

// EnDecoder: messages into plaintexts and back.

#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/Types.hpp"

namespace Morvane {

// Turns a message into a plaintext of the context's full slot count (copies end to end) and back (the mean
// of the copies). Counts "Encode" and "Decode".
class EnDecoder {
public:
    explicit EnDecoder(const Context& context);

    // "[Encode] Message size is too large." for an empty message or one longer than the full slot count.
    // The level and rescale counter are taken as given.
    Plaintext encode(const Message& msg, unsigned long level, int r_counter) const;
    // At the context's encryption level, rescale counter 0.
    Plaintext encode(const Message& msg) const;
    Plaintext encodeWithoutNTT(const Message& msg, unsigned long level, int r_counter) const;
    Plaintext encodeWithoutNTT(const Message& msg) const;

    // 2^log_slots slots of the plaintext, each the mean of its replicas.
    Message decode(const Plaintext& ptxt) const;

private:
    Context context;
};

} // namespace Morvane
