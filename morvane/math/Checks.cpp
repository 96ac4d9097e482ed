#include "morvane/math/Checks.hpp"

#include "morvane/core/Context.hpp"
#include "morvane/math/detail/Toolbox.hpp"

#include <cstdio>
#include <string>

namespace Morvane::Math {

namespace {

using detail::fail;

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
        fail(name, "Parameter should be bootstrappable.");
}

void checkAvailableMult(const Bootstrapper& btp, std::string_view name, u64 n) {
    if (btp.getMinLevelForBootstrap() + n > btp.getLevelAfterFullSlotBootstrap())
        fail(name, "Available level (maximum level after bootstrap - minimum level for bootstrap)  >= " +
                       std::to_string(n) + " is needed.");
}

void checkLevelOfInput(std::string_view name, const Ciphertext& ctxt, u64 n) {
    if (ctxt.getLevel() < n)
        fail(name, "Input level >= " + std::to_string(n) + " is needed.");
}

void checkLevelForBootstrapExtended(const Bootstrapper& btp, std::string_view name, const Ciphertext& ctxt) {
    checkLevelOfInput(name, ctxt, btp.getMinLevelForBootstrap() + 1);
}

void checkLevelForBootstrap(const Bootstrapper& btp, std::string_view name, const Ciphertext& ctxt) {
    checkLevelOfInput(name, ctxt, btp.getMinLevelForBootstrap());
}

void checkLogRange(std::string_view name, u64 log_range, u64 max) {
    if (log_range > max)
        fail(name, "log_range must be <= " + std::to_string(max) + ".");
}

void checkBootstrapReady(const Bootstrapper& btp, std::string_view name, u64 log_slots) {
    if (!btp.isBootstrapReady(log_slots))
        fail(name, "bootstraper not ready for " + std::to_string(log_slots) + " slot bootstrapping.");
}

void checkBootstrapExtendedReady(const Bootstrapper& btp, std::string_view name, u64 log_slots, u64 log_full_slots) {
    checkBootstrapReady(btp, name, log_slots);
    if (!btp.isBootstrapReady(log_full_slots))
        fail(name, "bootstraper not ready for full slot (" + std::to_string(log_full_slots) + " slot) bootstrapping.");
}

void checkRightEnd(std::string_view name, double right_end, double max) {
    if (right_end > max)
        fail(name, "right_end must be <= " + fixed(max) + ".");
}

void checkLeftEnd(std::string_view name, double left_end, double min) {
    if (left_end < min)
        fail(name, "left_end must be >= " + fixed(min) + ".");
}

namespace detail {

void checkPrelude(const HomEvaluator& eval, const Bootstrapper& btp, std::string_view name,
                  std::initializer_list<const Ciphertext*> inputs, Readiness readiness, std::optional<u64> levels) {
    checkBootstrappableParameter(eval, name);
    for (const Ciphertext* input : inputs) {
        if (readiness == Readiness::SlotsAndFullSlots)
            checkBootstrapExtendedReady(btp, name, input->getLogSlots(), getLogFullSlots(eval.context));
        else
            checkBootstrapReady(btp, name, input->getLogSlots());
    }
    if (levels)
        checkAvailableMult(btp, name, *levels);
}

} // namespace detail

} // namespace Morvane::Math
