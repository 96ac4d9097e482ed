#include "morvane/core/Alert.hpp"

#include "morvane/core/Exception.hpp"

#include <iostream>
#include <string>

namespace Morvane {

// Anchors the vtable of the exception in this translation unit.
RuntimeException::~RuntimeException() = default;

namespace RuntimeAlert {
std::atomic<bool> alert_switch{true};
static_assert(sizeof(alert_switch) == 1, "the alert switch is one byte wide");
} // namespace RuntimeAlert

void simulateAlert(bool onoff) { RuntimeAlert::alert_switch.store(onoff); }

namespace detail {
void alert(std::string_view text) {
    if (!RuntimeAlert::alert_switch.load())
        return;
    // One write of text and newline together, so that lines of concurrent alerts never interleave.
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line += '\n';
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}
} // namespace detail

} // namespace Morvane
