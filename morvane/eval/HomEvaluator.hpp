#pragma once

// HomEvaluator: the arithmetic, level, rotation and conjugation operations on plaintexts and ciphertexts.

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/RotationIndex.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/keys/KeyPack.hpp"

#include <memory>
#include <string>
#include <vector>

namespace Morvane {

class EnDecoder;
struct OpLabel;
namespace detail {
class ScratchCiphertexts;
} // namespace detail

// The evaluator's state and every operation. Operations write into the caller's result, which may be the
// same object as an operand; failed checks throw RuntimeException and leave written what was written.
// Ciphertext results count their label in `context`; message and plaintext results count nothing.
class HomEvaluatorImpl {
public:
    HomEvaluatorImpl(const Context& context, KeyPack pack);
    HomEvaluatorImpl(const Context& context, const std::string& key_dir_path);
    ~HomEvaluatorImpl();

    // Messages.
    void negate(const Message& op, Message& res) const;
    void add(const Message& op1, const Complex& cnst, Message& res) const;
    void add(const Message& op1, const Message& op2, Message& res) const;
    void sub(const Message& op1, const Complex& cnst, Message& res) const;
    void sub(const Message& op1, const Message& op2, Message& res) const;
    void mult(const Message& op1, const Complex& cnst, Message& res) const;
    void mult(const Message& op1, const Message& op2, Message& res) const;
    void multImagUnit(const Message& op, Message& res) const;
    void square(const Message& op, Message& res) const;
    void conjugate(const Message& op, Message& res) const;
    void leftRotate(const Message& op, u64 rot_idx, Message& res) const;
    void rightRotate(const Message& op, u64 rot_idx, Message& res) const;
    void leftRotateReduce(const Message& op, const u64& idx_interval, const u64& num_summation,
                          Message& ctxt_out) const;
    void rightRotateReduce(const Message& op, const u64& idx_interval, const u64& num_summation,
                           Message& ctxt_out) const;

    // Plaintexts.
    void negate(const Plaintext& op, Plaintext& res) const;
    void add(const Plaintext& op1, const Complex& cnst, Plaintext& res) const;
    void add(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const;
    void sub(const Plaintext& op1, const Complex& cnst, Plaintext& res) const;
    void sub(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const;
    void mult(const Plaintext& op1, const Complex& cnst, Plaintext& res) const;
    void mult(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const;
    void multImagUnit(const Plaintext& op, Plaintext& res) const;
    void multInteger(const Plaintext& op, u64 cnst_integer, Plaintext& res) const;
    void square(const Plaintext& op, Plaintext& res) const;
    void multWithoutRescale(const Plaintext& op1, const Complex& cnst, Plaintext& res) const;
    void multWithoutRescale(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const;
    void rescale(Plaintext& op) const;
    void inverseRescale(Plaintext& op) const;
    void relevel(const Plaintext& op, u64 target_level, Plaintext& res) const;
    void conjugate(const Plaintext& op, Plaintext& res) const;
    void leftRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const;
    void rightRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const;

    // Ciphertext arithmetic.
    void negate(const Ciphertext& op, Ciphertext& res) const;
    void add(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const;
    void add(const Ciphertext& op1, const Message& op2, Ciphertext& res) const;
    void add(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const;
    void add(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const;
    void sub(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const;
    void sub(const Ciphertext& op1, const Message& op2, Ciphertext& res) const;
    void sub(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const;
    void sub(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const;
    void multImagUnit(const Ciphertext& op, Ciphertext& res) const;
    void multInteger(const Ciphertext& op, u64 cnst_integer, Ciphertext& res) const;
    void mult(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const;
    void mult(const Ciphertext& op1, const Message& op2, Ciphertext& res) const;
    void mult(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const;
    void mult(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const;
    void square(const Ciphertext& op, Ciphertext& res) const;
    void multWithoutRescale(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const;
    void multWithoutRescale(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const;
    void multWithoutRescale(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const;
    void tensor(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const;
    void relinearize(const Ciphertext& op, Ciphertext& res) const;

    // Ciphertext levels, rescaling and conjugation.
    void rescale(Ciphertext& op) const;
    void inverseRescale(Ciphertext& op) const;
    void levelDown(const Ciphertext& op, u64 target_level, Ciphertext& res) const;
    void levelDownOne(const Ciphertext& op, Ciphertext& res) const;
    void conjugate(const Ciphertext& op, Ciphertext& res) const;
    void killImag(const Ciphertext& op, Ciphertext& res) const;

    // Ciphertext rotations.
    void leftRotate(const Ciphertext& op, u64 rot_idx, Ciphertext& res) const;
    void rightRotate(const Ciphertext& op, u64 rot_idx, Ciphertext& res) const;
    void leftRotateReduce(const Ciphertext& op, const u64& idx_interval, const u64& num_summation,
                          Ciphertext& ctxt_out) const;
    void rightRotateReduce(const Ciphertext& op, const u64& idx_interval, const u64& num_summation,
                           Ciphertext& ctxt_out) const;
    void rotSum(const std::vector<Ciphertext>& op, const std::vector<u64>& rot_idx, Ciphertext& res) const;
    // Checks the rotation keys a left rotation by `rot_idx` needs and counts its "Rotate" steps.
    void recordLeftRotation(KeyPack& pack, u64 rot_idx, int device_type) const;

    // The counting rule of every ciphertext result: the label on CPU, the label with " (GPU)" on GPU,
    // nothing on any other device type.
    void updateOpHistoryForDevice(const OpLabel& label, const Device& device) const;
    void updateOpHistoryForDevice(const OpLabel& label, int device_type) const;

    Context context;
    // Mutable because lazy key loads change the shared pack, not the evaluator.
    mutable KeyPack keyPack;
    std::shared_ptr<EnDecoder> enDecoder;
    // Temporaries of the composite operations, reused from call to call.
    const std::unique_ptr<detail::ScratchCiphertexts> scratch;
};

// The homomorphic evaluator: a handle sharing one HomEvaluatorImpl between its copies (and bootstrappers).
// Inputs come first, then option values, then the result.
class HomEvaluator {
public:
    // Builds KeyPack(context, key_dir_path); counts "Generate homevaluator" twice.
    HomEvaluator(const Context& context, const std::string& key_dir_path);
    // Shares the pack's keys; counts "Generate homevaluator" once.
    HomEvaluator(const Context& context, const KeyPack& pack);

    void negate(const Message& op, Message& res) const { impl->negate(op, res); }
    void negate(const Plaintext& op, Plaintext& res) const { impl->negate(op, res); }
    void negate(const Ciphertext& op, Ciphertext& res) const { impl->negate(op, res); }

    void add(const Message& op1, const Complex& cnst, Message& res) const { impl->add(op1, cnst, res); }
    void add(const Message& op1, const Message& op2, Message& res) const { impl->add(op1, op2, res); }
    void add(const Plaintext& op1, const Complex& cnst, Plaintext& res) const { impl->add(op1, cnst, res); }
    void add(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const { impl->add(op1, op2, res); }
    void add(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const { impl->add(op1, cnst, res); }
    void add(const Ciphertext& op1, const Message& op2, Ciphertext& res) const { impl->add(op1, op2, res); }
    void add(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const { impl->add(op1, op2, res); }
    void add(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const { impl->add(op1, op2, res); }

    void sub(const Message& op1, const Complex& cnst, Message& res) const { impl->sub(op1, cnst, res); }
    void sub(const Message& op1, const Message& op2, Message& res) const { impl->sub(op1, op2, res); }
    void sub(const Plaintext& op1, const Complex& cnst, Plaintext& res) const { impl->sub(op1, cnst, res); }
    void sub(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const { impl->sub(op1, op2, res); }
    void sub(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const { impl->sub(op1, cnst, res); }
    void sub(const Ciphertext& op1, const Message& op2, Ciphertext& res) const { impl->sub(op1, op2, res); }
    void sub(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const { impl->sub(op1, op2, res); }
    void sub(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const { impl->sub(op1, op2, res); }

    void mult(const Message& op1, const Complex& cnst, Message& res) const { impl->mult(op1, cnst, res); }
    void mult(const Message& op1, const Message& op2, Message& res) const { impl->mult(op1, op2, res); }
    void mult(const Plaintext& op1, const Complex& cnst, Plaintext& res) const { impl->mult(op1, cnst, res); }
    void mult(const Plaintext& op1, const Plaintext& op2, Plaintext& res) const { impl->mult(op1, op2, res); }
    void mult(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const { impl->mult(op1, cnst, res); }
    void mult(const Ciphertext& op1, const Message& op2, Ciphertext& res) const { impl->mult(op1, op2, res); }
    void mult(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const { impl->mult(op1, op2, res); }
    void mult(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const { impl->mult(op1, op2, res); }

    void multImagUnit(const Message& op, Message& res) const { impl->multImagUnit(op, res); }
    void multImagUnit(const Plaintext& op, Plaintext& res) const { impl->multImagUnit(op, res); }
    void multImagUnit(const Ciphertext& op, Ciphertext& res) const { impl->multImagUnit(op, res); }

    void multInteger(const Plaintext& op, u64 cnst_integer, Plaintext& res) const {
        impl->multInteger(op, cnst_integer, res);
    }
    void multInteger(const Ciphertext& op, u64 cnst_integer, Ciphertext& res) const {
        impl->multInteger(op, cnst_integer, res);
    }

    void square(const Message& op, Message& res) const { impl->square(op, res); }
    void square(const Plaintext& op, Plaintext& res) const { impl->square(op, res); }
    void square(const Ciphertext& op, Ciphertext& res) const { impl->square(op, res); }

    // A message index is masked with 2^(its own log slots) - 1; a plaintext or ciphertext index is reduced
    // modulo 2^log_slots of the object, however long its internal message is.
    void leftRotate(const Message& op, u64 rot_idx, Message& res) const {
        impl->leftRotate(op, detail::reduceRotationIndex(rot_idx, op.getLogSlots()), res);
    }
    void rightRotate(const Message& op, u64 rot_idx, Message& res) const {
        impl->rightRotate(op, detail::reduceRotationIndex(rot_idx, op.getLogSlots()), res);
    }
    void leftRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const {
        impl->leftRotate(op, detail::reduceRotationIndex(rot_idx, op.getLogSlots()), res);
    }
    void rightRotate(const Plaintext& op, u64 rot_idx, Plaintext& res) const {
        impl->rightRotate(op, detail::reduceRotationIndex(rot_idx, op.getLogSlots()), res);
    }
    void leftRotate(const Ciphertext& op, u64 rot_idx, Ciphertext& res) const {
        impl->leftRotate(op, detail::reduceRotationIndex(rot_idx, op.getLogSlots()), res);
    }
    void rightRotate(const Ciphertext& op, u64 rot_idx, Ciphertext& res) const {
        impl->rightRotate(op, detail::reduceRotationIndex(rot_idx, op.getLogSlots()), res);
    }

    void rotSum(const std::vector<Ciphertext>& op, const std::vector<u64>& rot_idx, Ciphertext& res) const {
        impl->rotSum(op, rot_idx, res);
    }
    void leftRotateReduce(const Message& op, const u64& idx_interval, const u64& num_summation,
                          Message& ctxt_out) const {
        impl->leftRotateReduce(op, idx_interval, num_summation, ctxt_out);
    }
    void leftRotateReduce(const Ciphertext& op, const u64& idx_interval, const u64& num_summation,
                          Ciphertext& ctxt_out) const {
        impl->leftRotateReduce(op, idx_interval, num_summation, ctxt_out);
    }
    void rightRotateReduce(const Message& op, const u64& idx_interval, const u64& num_summation,
                           Message& ctxt_out) const {
        impl->rightRotateReduce(op, idx_interval, num_summation, ctxt_out);
    }
    void rightRotateReduce(const Ciphertext& op, const u64& idx_interval, const u64& num_summation,
                           Ciphertext& ctxt_out) const {
        impl->rightRotateReduce(op, idx_interval, num_summation, ctxt_out);
    }

    void conjugate(const Message& op, Message& res) const { impl->conjugate(op, res); }
    void conjugate(const Plaintext& op, Plaintext& res) const { impl->conjugate(op, res); }
    void conjugate(const Ciphertext& op, Ciphertext& res) const { impl->conjugate(op, res); }
    void killImag(const Ciphertext& op, Ciphertext& res) const { impl->killImag(op, res); }

    void multWithoutRescale(const Ciphertext& op1, const Complex& cnst, Ciphertext& res) const {
        impl->multWithoutRescale(op1, cnst, res);
    }
    void multWithoutRescale(const Ciphertext& op1, const Plaintext& op2, Ciphertext& res) const {
        impl->multWithoutRescale(op1, op2, res);
    }
    void multWithoutRescale(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const {
        impl->multWithoutRescale(op1, op2, res);
    }
    void tensor(const Ciphertext& op1, const Ciphertext& op2, Ciphertext& res) const { impl->tensor(op1, op2, res); }
    void relinearize(const Ciphertext& op, Ciphertext& res) const { impl->relinearize(op, res); }

    void rescale(Plaintext& op) const { impl->rescale(op); }
    void rescale(Ciphertext& op) const { impl->rescale(op); }
    void inverseRescale(Plaintext& op) const { impl->inverseRescale(op); }
    void inverseRescale(Ciphertext& op) const { impl->inverseRescale(op); }
    void levelDown(const Ciphertext& op, u64 target_level, Ciphertext& res) const {
        impl->levelDown(op, target_level, res);
    }
    void levelDownOne(const Ciphertext& op, Ciphertext& res) const { impl->levelDownOne(op, res); }
    void relevel(const Plaintext& op, u64 target_level, Plaintext& res) const {
        impl->relevel(op, target_level, res);
    }

    // The evaluator's context, for callers that make objects for it.
    Context context;
    // Shared with every copy of the handle and with the bootstrappers made from it.
    std::shared_ptr<HomEvaluatorImpl> impl;
};

} // namespace Morvane
