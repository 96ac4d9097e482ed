#include "morvane/eval/Encryptor.hpp"

#include "morvane/eval/EnDecoder.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"
#include "morvane/keys/KeyRequirements.hpp"

#include <string>

namespace Morvane {

Encryptor::Encryptor(const Context& context_) : context(context_) {}

void Encryptor::encrypt(const Plaintext& ptxt, const SecretKey&, Ciphertext& ctxt) const {
    utils::copySlotsAndBookkeeping(ptxt, ctxt);
    context->updateOpHistory(labels::encryptFromPlaintextBySecretKey);
}

void Encryptor::encrypt(const Plaintext& ptxt, const KeyPack& pack, Ciphertext& ctxt) const {
    detail::requireKey(pack, detail::KeyKind::Encryption, "[Encryption] There is no encryption key.");
    utils::copySlotsAndBookkeeping(ptxt, ctxt);
    context->updateOpHistory(labels::encryptFromPlaintextByPublicKey);
}

// encode(msg) is encode(msg, encryption level, 0).
void Encryptor::encrypt(const Message& msg, const SecretKey& sk, Ciphertext& ctxt) const {
    encrypt(msg, sk, ctxt, getEncryptionLevel(context), 0);
}

void Encryptor::encrypt(const Message& msg, const SecretKey& sk, Ciphertext& ctxt, unsigned long level,
                        int r_counter) const {
    encrypt(EnDecoder(context).encode(msg, level, r_counter), sk, ctxt);
    context->updateOpHistory(labels::encryptBySecretKey);
}

void Encryptor::encrypt(const Message& msg, const KeyPack& pack, Ciphertext& ctxt) const {
    encrypt(msg, pack, ctxt, getEncryptionLevel(context), 0);
}

void Encryptor::encrypt(const Message& msg, const KeyPack& pack, Ciphertext& ctxt, unsigned long level,
                        int r_counter) const {
    encrypt(EnDecoder(context).encode(msg, level, r_counter), pack, ctxt);
    context->updateOpHistory(labels::encryptByPublicKey);
}

} // namespace Morvane
