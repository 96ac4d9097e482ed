// The classes Decryptor, Encryptor and EnDecoder, registered in this order.

#include "morvane/python/Binding.hpp"

#include <algorithm>

using Morvane::Ciphertext;
using Morvane::Decryptor;
using Morvane::EnDecoder;
using Morvane::Encryptor;
using Morvane::KeyPack;
using Morvane::Message;
using Morvane::Plaintext;
using Morvane::SecretKey;
using Morvane::u64;

namespace {

// The library replaces the message's storage with the decoded one. While a view is exported, the decoded slots
// are copied into the storage the view shows instead, which needs the slot count to stay.
void decryptToMessage(const Decryptor& self, const Ciphertext& ctxt, const SecretKey& sk, Message& msg) {
    const ObjectLocks locks(ctxt, msg);
    if (!hasExports(msg)) {
        const ReleasedInterpreter release;
        self.decrypt(ctxt, sk, msg);
        return;
    }
    // The decoded message has 2^log_slots slots; a log_slots without a slot count fails before any write.
    const u64 log_slots = ctxt.getLogSlots();
    if (log_slots < 64)
        ensureResizable(msg, u64{1} << log_slots);
    const ReleasedInterpreter release;
    Message decoded;
    self.decrypt(ctxt, sk, decoded);
    std::copy(decoded.begin(), decoded.end(), msg.begin());
    msg.to(decoded.getDevice());
}

} // namespace

void bindDecryptor(py::module_& m) {
    py::class_<Decryptor>(m, "Decryptor")
        .def(py::init([](const ContextWrapper& context) { return Decryptor(context.context); }), ReleaseLock(),
             "construct a decryptor from context", py::arg("context"))
        .def("decrypt", &decryptToMessage, py::arg("ctxt"), py::arg("sk"), py::arg("msg"))
        .def("decrypt",
             guarded(static_cast<void (Decryptor::*)(const Ciphertext&, const SecretKey&, Plaintext&) const>(
                 &Decryptor::decrypt)),
             py::arg("ctxt"), py::arg("sk"), py::arg("ptxt"))
        .def("partial_decrypt", guarded(&Decryptor::partialDecrypt), py::arg("ctxt"), py::arg("sk"),
             py::arg("ctxt_out"));
}

void bindEncryptor(py::module_& m) {
    using FromMessage = void (Encryptor::*)(const Message&, const SecretKey&, Ciphertext&) const;
    using FromMessageAt = void (Encryptor::*)(const Message&, const SecretKey&, Ciphertext&, unsigned long, int) const;
    using FromMessageByPack = void (Encryptor::*)(const Message&, const KeyPack&, Ciphertext&) const;
    using FromMessageByPackAt =
        void (Encryptor::*)(const Message&, const KeyPack&, Ciphertext&, unsigned long, int) const;
    using FromPlaintext = void (Encryptor::*)(const Plaintext&, const SecretKey&, Ciphertext&) const;
    using FromPlaintextByPack = void (Encryptor::*)(const Plaintext&, const KeyPack&, Ciphertext&) const;
    py::class_<Encryptor>(m, "Encryptor")
        .def(py::init([](const ContextWrapper& context) { return Encryptor(context.context); }), ReleaseLock(),
             "construct an encryptor from context", py::arg("context"))
        .def("encrypt", guarded(static_cast<FromMessage>(&Encryptor::encrypt)), py::arg("msg"), py::arg("sk"),
             py::arg("ctxt"))
        .def("encrypt", guarded(static_cast<FromMessageAt>(&Encryptor::encrypt)),
             "encrypt the message to target level", py::arg("msg"), py::arg("sk"), py::arg("ctxt"), py::arg("level"),
             py::arg_v("r_counter", 0))
        .def("encrypt", guarded(static_cast<FromMessageByPack>(&Encryptor::encrypt)), py::arg("msg"),
             py::arg("pack"), py::arg("ctxt"))
        .def("encrypt", guarded(static_cast<FromMessageByPackAt>(&Encryptor::encrypt)),
             "encrypt the message to target level", py::arg("msg"), py::arg("pack"), py::arg("ctxt"),
             py::arg("level"), py::arg_v("r_counter", 0))
        .def("encrypt", guarded(static_cast<FromPlaintext>(&Encryptor::encrypt)), py::arg("ptxt"),
             py::arg("sk"), py::arg("ctxt"))
        .def("encrypt", guarded(static_cast<FromPlaintextByPack>(&Encryptor::encrypt)), py::arg("ptxt"),
             py::arg("pack"), py::arg("ctxt"));
}

void bindEnDecoder(py::module_& m) {
    py::class_<EnDecoder>(m, "EnDecoder")
        .def(py::init([](const ContextWrapper& context) { return EnDecoder(context.context); }), ReleaseLock(),
             "construct an endecoder from context", py::arg("context"))
        .def("encode",
             guarded(static_cast<Plaintext (EnDecoder::*)(const Message&, unsigned long, int) const>(
                 &EnDecoder::encode)),
             "encode the message to target level", py::arg("msg"), py::arg("level"), py::arg_v("r_counter", 0))
        .def("encode", guarded(static_cast<Plaintext (EnDecoder::*)(const Message&) const>(&EnDecoder::encode)),
             py::arg("msg"))
        .def("decode", guarded(&EnDecoder::decode), py::arg("ptxt"));
}
