#include "morvane/core/Plaintext.hpp"

#include "morvane/core/Alert.hpp"
#include "morvane/core/DataRecord.hpp"

namespace Morvane {

PlaintextImpl::PlaintextImpl(const Context& context_)
    : context(context_), log_slots(context_->parameter.log_dimension - 1), rescale_counter(0),
      mx(detail::makePolynomial(context_->parameter, context_->parameter.chain_length, false)) {}

Plaintext::Plaintext(const Context& context) : impl_(new PlaintextImpl(context)) {}

u64 Plaintext::getNumberOfSlots() const { return detail::numberOfSlots(impl_->log_slots, "Plaintext"); }

void Plaintext::to(const Device& device) {
    detail::moveCounted(impl_->mx.message, device, *impl_->context, labels::plaintextToDevice, labels::plaintextToHost);
}

bool Plaintext::isZero() const { return detail::isZeroMessage(impl_->mx.message); }

u64* Plaintext::getMxData(unsigned long) const {
    detail::alert("[Plaintext::getMxData] Always return an empty u64* in Morvane-simulator");
    return new u64(0);
}

void Plaintext::save(std::ostream& stream) const {
    detail::saveRecord(stream, *impl_, impl_->mx, labels::savePlaintext);
}

void Plaintext::save(const std::string& path) const {
    detail::checkPath(path, "Plaintext::save");
    detail::saveRecord(path, *impl_, impl_->mx, labels::savePlaintext);
}

void Plaintext::load(std::istream& stream) { detail::loadRecord(stream, *impl_, impl_->mx, labels::loadPlaintext); }

void Plaintext::load(const std::string& path) {
    detail::checkPath(path, "Plaintext::load");
    detail::loadRecord(path, *impl_, impl_->mx, labels::loadPlaintext);
}

Message getMessage(const Plaintext& ptxt) { return detail::getMessageOf(ptxt.message(), ptxt.getLogSlots()); }

void setMessage(const Message& msg, Plaintext& ptxt) { detail::setMessageInto(msg, ptxt.message()); }

} // namespace Morvane
