#pragma once

// SecretKey: a key without key material, its files and device.

#include "morvane/core/Context.hpp"
#include "morvane/core/Pointer.hpp"
#include "morvane/core/Polynomial.hpp"
#include "morvane/core/Types.hpp"

#include <istream>
#include <ostream>
#include <string>

namespace Morvane {

struct SecretKeyImpl {
    Context context;
    Polynomial sx;

    explicit SecretKeyImpl(const Context& context);
};

// A simulated secret key: an extended polynomial of zero slots; no key material.
class SecretKey {
public:
    using Coefficients = int*;

    explicit SecretKey(const Context& context);
    SecretKey(const Context& context, std::istream& stream);
    SecretKey(const Context& context, const std::string& key_file_path);
    // Simulated: the default key; the coefficients are not read.
    SecretKey(const Context& context, const Coefficients& coefficients);

    Polynomial& getSx() { return impl_->sx; }
    const Polynomial& getSx() const { return impl_->sx; }
    const Context& getContext() const { return impl_->context; }
    const Device& getDevice() const { return impl_->sx.message.getDevice(); }
    // Stores the device only when its type differs; counts nothing.
    void to(const Device& device);

    void save(std::ostream& stream) const;
    void save(const std::string& path) const;
    // There is no seed to save apart: writes exactly what `save` writes.
    void saveSeedOnly(std::ostream& stream) const;
    void saveSeedOnly(const std::string& path) const;

private:
    ObjectPointer<SecretKeyImpl> impl_;
};

} // namespace Morvane
