#pragma once

// Decryptor: ciphertexts back into plaintexts and messages.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/SecretKey.hpp"

namespace Morvane {

// Copies a ciphertext's slots and bookkeeping back into a plaintext (or decodes them into a message). The
// secret key is never read.
class Decryptor {
public:
    explicit Decryptor(const Context& context);

    void decrypt(const Ciphertext& ctxt, const SecretKey& sk, Plaintext& ptxt) const;
    void decrypt(const Ciphertext& ctxt, const SecretKey& sk, Message& msg) const;
    // A plain copy of the ciphertext; counts nothing.
    void partialDecrypt(const Ciphertext& ctxt, const SecretKey& sk, Ciphertext& ctxt_out) const;

private:
    Context context;
};

} // namespace Morvane
