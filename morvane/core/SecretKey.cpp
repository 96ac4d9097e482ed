#include "morvane/core/SecretKey.hpp"

#include "morvane/core/Alert.hpp"
#include "morvane/core/Serialize.hpp"

namespace Morvane {

SecretKeyImpl::SecretKeyImpl(const Context& context_)
    : context(context_),
      sx(detail::makePolynomial(context_->parameter, context_->parameter.chain_length + context_->parameter.numTP,
                                true)) {}

SecretKey::SecretKey(const Context& context) : impl_(new SecretKeyImpl(context)) {}

SecretKey::SecretKey(const Context& context, std::istream& stream) : impl_(new SecretKeyImpl(context)) {
    Serialize::load(stream, impl_->sx);
}

SecretKey::SecretKey(const Context& context, const std::string& key_file_path) : impl_(new SecretKeyImpl(context)) {
    detail::checkPath(key_file_path, "SecretKey::SecretKey");
    Serialize::load(key_file_path, impl_->sx);
}

SecretKey::SecretKey(const Context& context, const Coefficients&) : impl_(new SecretKeyImpl(context)) {
    detail::alert("[SecretKey::SecretKey(const Context &, const SecretKey::Coefficients &)] Always return the "
                  "default SecretKey in Morvane-simulator");
}

void SecretKey::to(const Device& device) { detail::moveByDeviceType(impl_->sx.message, device); }

void SecretKey::save(std::ostream& stream) const { Serialize::save(stream, impl_->sx); }

void SecretKey::save(const std::string& path) const {
    detail::checkPath(path, "SecretKey::save");
    Serialize::save(path, impl_->sx);
}

void SecretKey::saveSeedOnly(std::ostream& stream) const { save(stream); }

void SecretKey::saveSeedOnly(const std::string& path) const {
    detail::checkPath(path, "SecretKey::saveSeedOnly");
    save(path);
}

} // namespace Morvane
