#include "morvane/math/Checks.hpp"

#include "morvane/core/Context.hpp"
#include "morvane/core/Exception.hpp"

#include <cstdio>
#include <string>

namespace Morvane::Math {

namespace {

[[noreturn]] void fail(std::string_view name, std::string_view text) {
    std::string message;
    message.reserve(name.size() + text.size() + 2);
    message.append("[").append(name).append("]").append(text);
    throw RuntimeException(message);
}

// Bounds are printed as "%f" prints them: fixed, six decimals.
std::string fixed(double value) {
    const int length = std::snprintf(nullptr, 0, "%f", value);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%f", value);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

} // namespace

void checkBootstrappableParameter(const HomEvaluator& eval, std::string_view name) {
    if (!isBootstrappableParameter(eval.context))
        fail(name, " Parameter should be bootstrappable.");
}

void checkAvailableMult(const Bootstrapper& btp, std::string_view name, u64 n) {
    if (btp.getMinLevelForBootstrap() + n > btp.getLevelAfterFullSlotBootstrap())
        fail(name, " Available level (maximum level after bootstrap - minimum level for bootstrap)  >= " +
                       std::to_string(n) + " is needed.");
}

void checkLevelOfInput(std::string_view name, const Ciphertext& ctxt, u64 n) {
    if (ctxt.getLevel() < n)
        fail(name, " Input level >= " + std::to_string(n) + " is needed.");
}

void checkLevelForBootstrapExtended(const Bootstrapper& btp, std::string_view name, const Ciphertext& ctxt) {
    checkLevelOfInput(name, ctxt, btp.getMinLevelForBootstrap() + 1);
}

void checkLevelForBootstrap(const Bootstrapper& btp, std::string_view name, const Ciphertext& ctxt) {
    checkLevelOfInput(name, ctxt, btp.getMinLevelForBootstrap());
}

void checkLogRange(std::string_view name, u64 log_range, u64 max) {
    if (log_range > max)
        fail(name, " log_range must be <= " + std::to_string(max) + ".");
}

void checkBootstrapReady(const Bootstrapper& btp, std::string_view name, u64 log_slots) {
    if (!btp.isBootstrapReady(log_slots))
        fail(name, " bootstraper not ready for " + std::to_string(log_slots) + " slot bootstrapping.");
}

void checkBootstrapExtendedReady(const Bootstrapper& btp, std::string_view name, u64 log_slots, u64 log_full_slots) {
    checkBootstrapReady(btp, name, log_slots);
    if (!btp.isBootstrapReady(log_full_slots))
        fail(name, " bootstraper not ready for full slot (" + std::to_string(log_full_slots) + " slot) bootstrapping.");
}

void checkRightEnd(std::string_view name, double right_end, double max) {
    if (right_end > max)
        fail(name, " right_end must be <= " + fixed(max) + ".");
}

void checkLeftEnd(std::string_view name, double left_end, double min) {
    if (left_end < min)
        fail(name, " left_end must be >= " + fixed(min) + ".");
}

} // namespace Morvane::Math
