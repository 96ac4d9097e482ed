#include "morvane/eval/EvaluatorUtils.hpp"

#include "morvane/core/Exception.hpp"

namespace Morvane {
namespace utils {

template <typename Op1, typename Op2>
void checkPrecondition(const Op1& op1, const Op2& op2) {
    throwIfLogSlotsDiffer(op1.getLogSlots(), op2.getLogSlots());
    if (op1.getRescaleCounter() != op2.getRescaleCounter())
        throw RuntimeException("Two operands have different RescaleCounter");
}

template <typename Result, typename Op1, typename Op2>
void makeHavingCommonDeviceOrThrow(Result& res, const Op1& op1, const Op2& op2) {
    if (!isSameDevice(op1.getDevice(), op2.getDevice()))
        throw RuntimeException("Operands have different devices.");
    if (!isSameDevice(res.getDevice(), op1.getDevice()))
        res.allocate(op1.getDevice());
}

template void checkPrecondition(const Plaintext&, const Plaintext&);
template void checkPrecondition(const Ciphertext&, const Plaintext&);
template void checkPrecondition(const Ciphertext&, const Ciphertext&);
template void makeHavingCommonDeviceOrThrow(Plaintext&, const Plaintext&, const Plaintext&);
template void makeHavingCommonDeviceOrThrow(Ciphertext&, const Ciphertext&, const Plaintext&);
template void makeHavingCommonDeviceOrThrow(Ciphertext&, const Ciphertext&, const Ciphertext&);

void updateOpHistoryForDevice(ContextContent& context, const OpLabel& label, int device_type) {
    if (device_type == static_cast<int>(DeviceType::CPU))
        context.updateOpHistory(label.cpu);
    else if (device_type == static_cast<int>(DeviceType::GPU))
        context.updateOpHistory(label.gpuIndex);
}

void throwIfLevelZero(u64 level) {
    if (level == 0)
        throw RuntimeException("The level of the operand is zero");
}

void throwIfEitherLevelZero(u64 first, u64 second) {
    throwIfLevelZero(first);
    throwIfLevelZero(second);
}

void throwIfLevelsDiffer(u64 first, u64 second) {
    if (first != second)
        throw RuntimeException("Operands have different levels.");
}

void throwIfRescaleCounterNotZero(int rescale_counter) {
    if (rescale_counter != 0)
        throw RuntimeException("The Operand should have rescale counter zero");
}

void throwIfRescaleCountersNotZero(int first, int second) {
    if (first != 0 || second != 0)
        throw RuntimeException("The Operands should have rescale counter zero");
}

void throwIfSizeNotTwo(u64 size) {
    if (size != 2)
        throw RuntimeException("Size should be 2");
}

namespace {
[[noreturn]] void throwLogSlotsDiffer() { throw RuntimeException("Two operands have different logSlots"); }
} // namespace

void throwIfLogSlotsDiffer(u64 first, u64 second) {
    if (first != second)
        throwLogSlotsDiffer();
}

void throwIfMessageLogSlotsDiffer(u64 log_slots, const Message& msg) {
    if (msg.isEmpty() || msg.getLogSlots() != log_slots)
        throwLogSlotsDiffer();
}

void throwIfSlotCountsDiffer(u64 first, u64 second) {
    if (first != second)
        throw RuntimeException("Operands have different numbers of slots.");
}

void checkSameSlotCount(const Message& a, const Message& b) { throwIfSlotCountsDiffer(a.getSize(), b.getSize()); }

void prepareMessageResult(Message& res, const Message& op) {
    if (res.getSize() == op.getSize())
        return;
    res.slots().assign(op.getSize(), Complex());
    res.allocate(getDefaultDevice());
}

} // namespace utils
} // namespace Morvane
