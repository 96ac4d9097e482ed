#include "morvane/core/Interrupt.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace Morvane {

namespace {
std::atomic<InterruptCheck> installedCheck{nullptr};
} // namespace

InterruptCheck setInterruptCheck(InterruptCheck check) {
    return installedCheck.exchange(check, std::memory_order_acq_rel);
}

bool replaceInterruptCheck(InterruptCheck expected, InterruptCheck check) {
    return installedCheck.compare_exchange_strong(expected, check, std::memory_order_acq_rel);
}

namespace utils {

void pollInterrupt() {
    using Clock = std::chrono::steady_clock;
    constexpr std::uint32_t kPollsPerClockRead = 16;
    constexpr auto kCheckInterval = std::chrono::milliseconds(20);

    const InterruptCheck check = installedCheck.load(std::memory_order_acquire);
    if (check == nullptr)
        return;
    thread_local std::uint32_t polls = 0;
    thread_local Clock::time_point nextCheck{};
    if (++polls % kPollsPerClockRead != 0)
        return;
    const Clock::time_point now = Clock::now();
    if (now < nextCheck)
        return;
    nextCheck = now + kCheckInterval;
    check();
}

void checkInterrupt() {
    if (const InterruptCheck check = installedCheck.load(std::memory_order_acquire))
        check();
}

} // namespace utils
} // namespace Morvane
