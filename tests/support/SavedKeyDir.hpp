#pragma once

// A key directory written by a key generator, removed with the object.

#include "morvane/morvane.hpp"
#include "tests/support/DataTestSupport.hpp"

#include <string>

namespace datatest {

// Keys that `generate(keygen)` makes with a fresh secret key of `context`, saved into a fresh key directory.
// The directory goes with the object, also when a failed assertion ends the test early.
class SavedKeyDir {
public:
    template <typename Generate>
    SavedKeyDir(const Morvane::Context& context, Generate&& generate) {
        Morvane::SecretKey sk(context);
        Morvane::KeyGenerator keygen(context, sk);
        generate(keygen);
        keygen.save(path());
    }

    std::string path() const { return root_.file("keys"); }

private:
    TempDir root_;
};

} // namespace datatest
