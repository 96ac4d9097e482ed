#include "morvane/eval/Encryptor.hpp"

#include "morvane/core/Exception.hpp"
#include "morvane/eval/EnDecoder.hpp"

#include <string>

namespace Morvane {

namespace {

const std::string kFromPlaintextBySecretKey = "Encrypt from ptxt by sk";
const std::string kFromPlaintextByPublicKey = "Encrypt from ptxt by pk";
const std::string kBySecretKey = "Encrypt by sk";
const std::string kByPublicKey = "Encrypt by pk";

void copyIntoCiphertext(const Plaintext& ptxt, Ciphertext& ctxt) {
    ctxt.setLogSlots(ptxt.getLogSlots());
    ctxt.setLevel(ptxt.getLevel());
    ctxt.message() = ptxt.message();
    ctxt.setRescaleCounter(ptxt.getRescaleCounter());
}

} // namespace

Encryptor::Encryptor(const Context& context_) : context(context_) {}

void Encryptor::encrypt(const Plaintext& ptxt, const SecretKey&, Ciphertext& ctxt) const {
    copyIntoCiphertext(ptxt, ctxt);
    context->updateOpHistory(kFromPlaintextBySecretKey);
}

void Encryptor::encrypt(const Plaintext& ptxt, const KeyPack& pack, Ciphertext& ctxt) const {
    pack.getEncKey();
    if (!pack.isEncKeyLoaded())
        throw RuntimeException("[Encryption] There is no encryption key.");
    copyIntoCiphertext(ptxt, ctxt);
    context->updateOpHistory(kFromPlaintextByPublicKey);
}

void Encryptor::encrypt(const Message& msg, const SecretKey& sk, Ciphertext& ctxt) const {
    encrypt(EnDecoder(context).encode(msg), sk, ctxt);
    context->updateOpHistory(kBySecretKey);
}

void Encryptor::encrypt(const Message& msg, const SecretKey& sk, Ciphertext& ctxt, unsigned long level,
                        int r_counter) const {
    encrypt(EnDecoder(context).encode(msg, level, r_counter), sk, ctxt);
    context->updateOpHistory(kBySecretKey);
}

void Encryptor::encrypt(const Message& msg, const KeyPack& pack, Ciphertext& ctxt) const {
    encrypt(EnDecoder(context).encode(msg), pack, ctxt);
    context->updateOpHistory(kByPublicKey);
}

void Encryptor::encrypt(const Message& msg, const KeyPack& pack, Ciphertext& ctxt, unsigned long level,
                        int r_counter) const {
    encrypt(EnDecoder(context).encode(msg, level, r_counter), pack, ctxt);
    context->updateOpHistory(kByPublicKey);
}

} // namespace Morvane
