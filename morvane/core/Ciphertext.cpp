#include "morvane/core/Ciphertext.hpp"

#include "morvane/core/Alert.hpp"
#include "morvane/core/DataRecord.hpp"

namespace Morvane {

CiphertextImpl::CiphertextImpl(const Context& context_, bool is_extended)
    : context(context_), log_slots(context_->parameter.log_dimension - 1), rescale_counter(0), size(2),
      poly(detail::makePolynomial(context_->parameter,
                                  context_->parameter.chain_length + (is_extended ? context_->parameter.numTP : 0),
                                  is_extended)) {}

namespace detail {

void makeFresh(Ciphertext& ctxt, const Context& context) {
    const Parameter& parameter = context->parameter;
    CiphertextImpl& impl = ctxt.impl();
    Message& message = impl.poly.message;
    if (message.getSize() != parameter.fullSlots)
        message.slots().assign(parameter.fullSlots, Complex());
    impl.context = context;
    impl.log_slots = parameter.log_dimension - 1;
    impl.rescale_counter = 0;
    impl.size = 2;
    impl.poly.numPrimes = parameter.chain_length;
    impl.poly.level = parameter.chain_length - 1;
    impl.poly.is_extended = false;
    message.allocate(getDefaultDevice());
}

} // namespace detail

void CiphertextImpl::copyMetaDataFrom(const CiphertextImpl& other) {
    context = other.context;
    log_slots = other.log_slots;
    rescale_counter = other.rescale_counter;
}

Ciphertext::Ciphertext(const Context& context, bool is_extended) : impl_(new CiphertextImpl(context, is_extended)) {}

Ciphertext::Ciphertext(const Context&, const Ciphertext& ctxt) : impl_(ctxt.impl_) {
    detail::alert("[Ciphertext::Ciphertext(const Context &, const Ciphertext &)] Always return a copy of the input "
                  "ciphertext in Morvane-simulator");
}

u64 Ciphertext::getNumberOfSlots() const { return detail::numberOfSlots(impl_->log_slots, "Ciphertext"); }

void Ciphertext::to(const Device& device) {
    detail::moveCounted(impl_->poly.message, device, *impl_->context, labels::ciphertextToDevice,
                        labels::ciphertextToHost);
}

u64 Ciphertext::getCurrentPrime() const {
    detail::alert("[Ciphertext::getCurrentPrime] Always return 1 in Morvane-simulator");
    return 1;
}

Real Ciphertext::getCurrentScaleFactor() const {
    detail::alert("[Ciphertext::getCurrentScaleFactor] Always return 1.0 in Morvane-simulator");
    return 1.0;
}

u64* Ciphertext::getPolyData(unsigned long, unsigned long) const {
    detail::alert("[Ciphertext::getPolyData] Always return an empty u64* in Morvane-simulator");
    return new u64(0);
}

// The ciphertext format is the plaintext format: size, context and device are not stored.
void Ciphertext::save(std::ostream& stream) const {
    detail::saveRecord(stream, *impl_, impl_->poly, labels::saveCiphertext);
}

void Ciphertext::save(const std::string& path) const {
    detail::checkPath(path, "Ciphertext::save");
    detail::saveRecord(path, *impl_, impl_->poly, labels::saveCiphertext);
}

void Ciphertext::load(std::istream& stream) { detail::loadRecord(stream, *impl_, impl_->poly, labels::loadCiphertext); }

void Ciphertext::load(const std::string& path) {
    detail::checkPath(path, "Ciphertext::load");
    detail::loadRecord(path, *impl_, impl_->poly, labels::loadCiphertext);
}

Message getMessage(const Ciphertext& ctxt) { return detail::getMessageOf(ctxt.message(), ctxt.getLogSlots()); }

void setMessage(const Message& msg, Ciphertext& ctxt) { detail::setMessageInto(msg, ctxt.message()); }

} // namespace Morvane
