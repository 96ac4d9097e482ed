#pragma once

// Library-internal: the evaluator's shared operand checks and bookkeeping; the slot kernels it uses.

#if !defined(MORVANE_LAYER_EVAL)
#error "morvane/eval/EvaluatorUtils.hpp is internal to the eval layer: include the public headers"
#endif

#include "morvane/core/Ciphertext.hpp"
#include "morvane/core/Context.hpp"
#include "morvane/core/Message.hpp"
#include "morvane/core/Plaintext.hpp"
#include "morvane/core/SlotKernels.hpp"
#include "morvane/core/Types.hpp"
#include "morvane/core/tables/OpLabels.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Morvane {

namespace utils {

// Log slots, then rescale counters: "Two operands have different logSlots", then "Two operands have
// different RescaleCounter". Instantiated for (Plaintext, Plaintext), (Ciphertext, Plaintext) and
// (Ciphertext, Ciphertext) only.
template <typename Op1, typename Op2>
void checkPrecondition(const Op1& op1, const Op2& op2);

// "Operands have different devices." unless op1 and op2 agree in type and id; otherwise `res` takes op1's
// device when it differs. Instantiated for (Plaintext; Plaintext, Plaintext), (Ciphertext; Ciphertext,
// Plaintext) and (Ciphertext; Ciphertext, Ciphertext) only.
template <typename Result, typename Op1, typename Op2>
void makeHavingCommonDeviceOrThrow(Result& res, const Op1& op1, const Op2& op2);

extern template void checkPrecondition(const Plaintext&, const Plaintext&);
extern template void checkPrecondition(const Ciphertext&, const Plaintext&);
extern template void checkPrecondition(const Ciphertext&, const Ciphertext&);
extern template void makeHavingCommonDeviceOrThrow(Plaintext&, const Plaintext&, const Plaintext&);
extern template void makeHavingCommonDeviceOrThrow(Ciphertext&, const Ciphertext&, const Plaintext&);
extern template void makeHavingCommonDeviceOrThrow(Ciphertext&, const Ciphertext&, const Ciphertext&);

inline bool isSameDevice(const Device& a, const Device& b) { return a.type() == b.type() && a.id() == b.id(); }

// The device step of a single-operand result: it takes the operand's device when type or id differ.
// Nothing moves and nothing is counted.
template <typename T>
void takeDeviceOf(T& res, const T& op) {
    if (!isSameDevice(res.getDevice(), op.getDevice()))
        res.allocate(op.getDevice());
}

// Counts `label` in `context` by device type: CPU the label, GPU the label with " (GPU)", others nothing.
void updateOpHistoryForDevice(ContextContent& context, const OpLabel& label, int device_type);

// The operand checks that several forms share, each with its fixed message. Where two operands are tested,
// the first is tested before the second.
void throwIfLevelZero(u64 level);                            // "The level of the operand is zero"
void throwIfEitherLevelZero(u64 first, u64 second);          // the same
void throwIfLevelsDiffer(u64 first, u64 second);             // "Operands have different levels."
void throwIfRescaleCounterNotZero(int rescale_counter);      // "The Operand should have rescale counter zero"
void throwIfRescaleCountersNotZero(int first, int second);   // "The Operands should have rescale counter zero"
void throwIfSizeNotTwo(u64 size);                            // "Size should be 2"
void throwIfLogSlotsDiffer(u64 first, u64 second);           // "Two operands have different logSlots"
// The same for a message operand; an empty message has no log slots, so it matches none.
void throwIfMessageLogSlotsDiffer(u64 log_slots, const Message& msg);
void throwIfSlotCountsDiffer(u64 first, u64 second); // "Operands have different numbers of slots."

// Rescale counters are 32-bit and wrap like the real library's, without signed overflow.
inline int addRescaleCounters(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// Slot loops read slot i of every input before writing slot i of the result, so over the whole vector they
// are exact only when the operands have the same length: objects of another log dimension are refused.
// "Operands have different numbers of slots."
void checkSameSlotCount(const Message& a, const Message& b);

// The result of a plaintext or ciphertext operation gets the operand's length before it is written; its
// storage is kept when the length already agrees.
inline void sizeLike(Message& res, const Message& op) {
    if (res.getSize() != op.getSize())
        res.resize(op.getSize());
}

// Slots of a plaintext or ciphertext: its internal message.
template <typename T>
std::size_t slotCount(const T& obj) {
    return obj.message().getSize();
}

// The result's slots of a plaintext or ciphertext operation, given the operand's length first.
template <typename T>
Complex* resultSlots(T& res, const T& op) {
    sizeLike(res.message(), op.message());
    return res.message().begin();
}

template <typename T>
void setMetadata(T& res, u64 level, u64 log_slots, int rescale_counter) {
    res.setLevel(level);
    res.setLogSlots(log_slots);
    res.setRescaleCounter(rescale_counter);
}

// What encryption and decryption pass between a plaintext and a ciphertext: the slot vector with its device,
// level, log slots and rescale counter. The target keeps its context, size, prime count and extended flag.
template <typename From, typename To>
void copySlotsAndBookkeeping(const From& from, To& to) {
    to.message() = from.message();
    setMetadata(to, from.getLevel(), from.getLogSlots(), from.getRescaleCounter());
}

// A one-operand plaintext or ciphertext form that keeps the operand's level, log slots and rescale counter:
// `kernel(in, out, n)` writes the slots, then the bookkeeping is copied and the device step made.
template <typename T, typename Kernel>
void mapKeepingBookkeeping(const T& op, T& res, Kernel kernel) {
    kernel(op.message().begin(), resultSlots(res, op), slotCount(op));
    setMetadata(res, op.getLevel(), op.getLogSlots(), op.getRescaleCounter());
    takeDeviceOf(res, op);
}

// The result of a message operation: kept when its length agrees with the operand's, otherwise replaced by
// zero slots of the operand's length on the default device.
void prepareMessageResult(Message& res, const Message& op);

} // namespace utils

} // namespace Morvane
