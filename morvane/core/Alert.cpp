#include "morvane/core/Alert.hpp"

#include "morvane/core/Exception.hpp"

#include <iostream>

namespace Morvane {

// Anchors the vtable of the exception in this translation unit.
RuntimeException::~RuntimeException() = default;

namespace RuntimeAlert {
std::atomic<bool> alert_switch{true};
} // namespace RuntimeAlert

void simulateAlert(bool onoff) { RuntimeAlert::alert_switch.store(onoff); }

namespace detail {
void alert(std::string_view text) {
    if (RuntimeAlert::alert_switch.load())
        std::cout << text << std::endl;
}
} // namespace detail

} // namespace Morvane
