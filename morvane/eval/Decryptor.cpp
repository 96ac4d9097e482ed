#include "morvane/eval/Decryptor.hpp"

#include "morvane/eval/EnDecoder.hpp"
#include "morvane/eval/EvaluatorUtils.hpp"

#include <string>

namespace Morvane {

namespace {
const std::string kToPlaintext = "Decrypt to ptxt";
const std::string kToMessage = "Decrypt";
} // namespace

Decryptor::Decryptor(const Context& context_) : context(context_) {}

void Decryptor::decrypt(const Ciphertext& ctxt, const SecretKey&, Plaintext& ptxt) const {
    utils::copySlotsAndBookkeeping(ctxt, ptxt);
    context->updateOpHistory(kToPlaintext);
}

void Decryptor::decrypt(const Ciphertext& ctxt, const SecretKey& sk, Message& msg) const {
    Plaintext ptxt(context);
    decrypt(ctxt, sk, ptxt);
    msg = EnDecoder(context).decode(ptxt);
    context->updateOpHistory(kToMessage);
}

void Decryptor::partialDecrypt(const Ciphertext& ctxt, const SecretKey&, Ciphertext& ctxt_out) const {
    ctxt_out = ctxt;
}

} // namespace Morvane
