// The class HomEvaluator: one registration routine per library signature, shared by the Python names that call
// operations of that signature.

#include "morvane/python/Binding.hpp"

#include <string>
#include <type_traits>
#include <vector>

using Morvane::Ciphertext;
using Morvane::Complex;
using Morvane::HomEvaluator;
using Morvane::KeyPack;
using Morvane::Message;
using Morvane::Plaintext;
using Morvane::u64;

namespace {

using Class = py::class_<HomEvaluator>;

// Every operation writes a result of its first operand's length; for a message output that is checked against
// its exported views once the objects are held, before the interpreter lock is released. Plaintexts and
// ciphertexts export nothing.
void prepareOutput(const Message& op, Message& res) { ensureResizable(res, op.getSize()); }
void prepareOutput(const Plaintext&, Plaintext&) {}
void prepareOutput(const Ciphertext&, Ciphertext&) {}

// (X, X&)
template <typename X>
void defUnary(Class& cls, const char* name, void (HomEvaluator::*member)(const X&, X&) const) {
    cls.def(
        name,
        [member](const HomEvaluator& self, const X& op, X& res) {
            const ObjectLocks locks(op, res);
            prepareOutput(op, res);
            const ReleasedInterpreter release;
            (self.*member)(op, res);
        },
        py::arg("op"), py::arg("res"));
}

// (X, complex, X&) and (X, Y, X&)
template <typename X, typename Y>
void defBinary(Class& cls, const char* name, void (HomEvaluator::*member)(const X&, const Y&, X&) const) {
    cls.def(
        name,
        [member](const HomEvaluator& self, const X& op1, const Y& second, X& res) {
            const ObjectLocks locks(op1, second, res);
            prepareOutput(op1, res);
            const ReleasedInterpreter release;
            (self.*member)(op1, second, res);
        },
        py::arg("op1"), py::arg(std::is_same_v<Y, Complex> ? "cnst" : "op2"), py::arg("res"));
}

// (X, unsigned long, X&)
template <typename X>
void defWithInteger(Class& cls, const char* name, void (HomEvaluator::*member)(const X&, u64, X&) const,
                    const char* integer) {
    cls.def(
        name,
        [member](const HomEvaluator& self, const X& op, u64 value, X& res) {
            const ObjectLocks locks(op, res);
            prepareOutput(op, res);
            const ReleasedInterpreter release;
            (self.*member)(op, value, res);
        },
        py::arg("op"), py::arg(integer), py::arg("res"));
}

// (X, const unsigned long&, const unsigned long&, X&)
template <typename X>
void defRotateReduce(Class& cls, const char* name,
                     void (HomEvaluator::*member)(const X&, const u64&, const u64&, X&) const) {
    cls.def(
        name,
        [member](const HomEvaluator& self, const X& op, u64 idx_interval, u64 num_summation, X& ctxt_out) {
            const ObjectLocks locks(op, ctxt_out);
            prepareOutput(op, ctxt_out);
            const ReleasedInterpreter release;
            (self.*member)(op, idx_interval, num_summation, ctxt_out);
        },
        py::arg("op"), py::arg("idx_interval"), py::arg("num_summation"), py::arg("ctxt_out"));
}

// (X&)
template <typename X>
void defInPlace(Class& cls, const char* name, void (HomEvaluator::*member)(X&) const) {
    cls.def(name, guarded(member), py::arg("op"));
}

// (list of Ciphertext, list of unsigned long, Ciphertext&): the indices are converted with the interpreter lock
// held, the ciphertexts copied for the library once they are held.
void defRotSum(Class& cls) {
    cls.def(
        "rot_sum",
        [](const HomEvaluator& self, const CiphertextList& op, const std::vector<u64>& rot_idx, Ciphertext& res) {
            const ObjectLocks locks(op.elements, res);
            const ReleasedInterpreter release;
            const std::vector<Ciphertext> copies = op.copies();
            self.rotSum(copies, rot_idx, res);
        },
        py::arg("op"), py::arg("rot_idx"), py::arg("res"));
}

} // namespace

// The forms of one name over messages, plaintexts and ciphertexts, in the order they are tried.
#define MORVANE_UNARY_FORMS(name, member)                                                                              \
    defUnary<Message>(cls, name, &HomEvaluator::member);                                                               \
    defUnary<Plaintext>(cls, name, &HomEvaluator::member);                                                             \
    defUnary<Ciphertext>(cls, name, &HomEvaluator::member)

#define MORVANE_ROTATION_FORMS(name, member)                                                                           \
    defWithInteger<Message>(cls, name, &HomEvaluator::member, "rot_idx");                                              \
    defWithInteger<Plaintext>(cls, name, &HomEvaluator::member, "rot_idx");                                            \
    defWithInteger<Ciphertext>(cls, name, &HomEvaluator::member, "rot_idx")

// add, sub and mult each have these eight forms, tried in this order.
#define MORVANE_ARITHMETIC_FORMS(name, member)                                                                         \
    defBinary<Message, Complex>(cls, name, &HomEvaluator::member);                                                     \
    defBinary<Message, Message>(cls, name, &HomEvaluator::member);                                                     \
    defBinary<Plaintext, Complex>(cls, name, &HomEvaluator::member);                                                   \
    defBinary<Plaintext, Plaintext>(cls, name, &HomEvaluator::member);                                                 \
    defBinary<Ciphertext, Complex>(cls, name, &HomEvaluator::member);                                                  \
    defBinary<Ciphertext, Message>(cls, name, &HomEvaluator::member);                                                  \
    defBinary<Ciphertext, Plaintext>(cls, name, &HomEvaluator::member);                                                \
    defBinary<Ciphertext, Ciphertext>(cls, name, &HomEvaluator::member)

void bindHomEvaluator(py::module_& m) {
    Class cls(m, "HomEvaluator");
    cls.def(py::init([](const ContextWrapper& context, const std::string& key_dir_path) {
                return HomEvaluator(context.context, key_dir_path);
            }),
            ReleaseLock(), "construct a homevaluator from context and key_dir_path", py::arg("context"),
            py::arg("key_dir_path"))
        .def(py::init([](const ContextWrapper& context, const KeyPack& pack) {
                 return HomEvaluator(context.context, pack);
             }),
             ReleaseLock(), "construct a homevaluator from context and keypack", py::arg("context"),
             py::arg("pack"));

    MORVANE_UNARY_FORMS("negate", negate);
    MORVANE_ARITHMETIC_FORMS("add", add);
    MORVANE_ARITHMETIC_FORMS("sub", sub);
    MORVANE_ARITHMETIC_FORMS("mult", mult);
    MORVANE_UNARY_FORMS("i_mult", multImagUnit);
    MORVANE_UNARY_FORMS("square", square);
    MORVANE_ROTATION_FORMS("left_rotate", leftRotate);
    MORVANE_ROTATION_FORMS("right_rotate", rightRotate);
    MORVANE_UNARY_FORMS("conjugate", conjugate);
    defBinary<Ciphertext, Complex>(cls, "mult_without_rescale", &HomEvaluator::multWithoutRescale);
    defBinary<Ciphertext, Plaintext>(cls, "mult_without_rescale", &HomEvaluator::multWithoutRescale);
    defBinary<Ciphertext, Ciphertext>(cls, "mult_without_rescale", &HomEvaluator::multWithoutRescale);
    defWithInteger<Plaintext>(cls, "integer_mult", &HomEvaluator::multInteger, "cnst_integer");
    defWithInteger<Ciphertext>(cls, "integer_mult", &HomEvaluator::multInteger, "cnst_integer");
    defRotSum(cls);
    defRotateReduce<Message>(cls, "left_rotate_reduce", &HomEvaluator::leftRotateReduce);
    defRotateReduce<Message>(cls, "right_rotate_reduce", &HomEvaluator::rightRotateReduce);
    defRotateReduce<Ciphertext>(cls, "left_rotate_reduce", &HomEvaluator::leftRotateReduce);
    defRotateReduce<Ciphertext>(cls, "right_rotate_reduce", &HomEvaluator::rightRotateReduce);
    defUnary<Ciphertext>(cls, "kill_imag", &HomEvaluator::killImag);
    defBinary<Ciphertext, Ciphertext>(cls, "tensor", &HomEvaluator::tensor);
    defUnary<Ciphertext>(cls, "relinearize", &HomEvaluator::relinearize);
    defInPlace<Plaintext>(cls, "inverse_rescale", &HomEvaluator::inverseRescale);
    defInPlace<Ciphertext>(cls, "inverse_rescale", &HomEvaluator::inverseRescale);
    defInPlace<Plaintext>(cls, "rescale", &HomEvaluator::rescale);
    defInPlace<Ciphertext>(cls, "rescale", &HomEvaluator::rescale);
    defWithInteger<Ciphertext>(cls, "level_down", &HomEvaluator::levelDown, "target_level");
    defUnary<Ciphertext>(cls, "level_down_one", &HomEvaluator::levelDownOne);
    defWithInteger<Plaintext>(cls, "relevel", &HomEvaluator::relevel, "target_level");
    // A new Context object on each read, sharing the evaluator's context.
    cls.def_property_readonly("context", [](const HomEvaluator& self) { return ContextWrapper{self.context}; });
}
