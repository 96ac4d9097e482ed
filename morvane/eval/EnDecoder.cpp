#include "morvane/eval/EnDecoder.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/core/Polynomial.hpp"

#include <string>

namespace Morvane {

EnDecoder::EnDecoder(const Context& context_) : context(context_) {}

Plaintext EnDecoder::encode(const Message& msg, unsigned long level, int r_counter) const {
    // A message between the full slot count and twice it would pass a log-slots test and spread as zeros.
    if (msg.isEmpty() || msg.getSize() > context->parameter.fullSlots)
        throw RuntimeException("[Encode] Message size is too large.");
    Plaintext ptxt(context);
    ptxt.setLogSlots(msg.getLogSlots());
    ptxt.setLevel(level);
    ptxt.message() = replicateMessage(msg, getLogFullSlots(context));
    ptxt.setRescaleCounter(r_counter);
    context->updateOpHistory(labels::encode);
    return ptxt;
}

Plaintext EnDecoder::encode(const Message& msg) const { return encode(msg, getEncryptionLevel(context), 0); }

Plaintext EnDecoder::encodeWithoutNTT(const Message& msg, unsigned long level, int r_counter) const {
    return encode(msg, level, r_counter);
}

Plaintext EnDecoder::encodeWithoutNTT(const Message& msg) const { return encode(msg); }

Message EnDecoder::decode(const Plaintext& ptxt) const {
    Message msg = detail::getMessageOf(ptxt.message(), ptxt.getLogSlots(), "[Decode]");
    context->updateOpHistory(labels::decode);
    return msg;
}

} // namespace Morvane
