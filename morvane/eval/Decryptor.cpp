#include "morvane/eval/Decryptor.hpp"

#include "morvane/eval/EnDecoder.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"

#include <string>

namespace Morvane {

Decryptor::Decryptor(const Context& context_) : context(context_) {}

void Decryptor::decrypt(const Ciphertext& ctxt, const SecretKey&, Plaintext& ptxt) const {
    utils::copySlotsAndBookkeeping(ctxt, ptxt);
    context->updateOpHistory(labels::decryptToPlaintext);
}

void Decryptor::decrypt(const Ciphertext& ctxt, const SecretKey& sk, Message& msg) const {
    Plaintext ptxt(context);
    decrypt(ctxt, sk, ptxt);
    msg = EnDecoder(context).decode(ptxt);
    context->updateOpHistory(labels::decrypt);
}

void Decryptor::partialDecrypt(const Ciphertext& ctxt, const SecretKey&, Ciphertext& ctxt_out) const {
    ctxt_out = ctxt;
}

} // namespace Morvane
