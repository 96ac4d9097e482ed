#pragma once

// The alert lines that the simulated-away functions print, and their process-wide switch.

#include <atomic>
#include <string_view>

namespace Morvane {

namespace RuntimeAlert {
// Process-wide switch of the alert lines; on when the library is loaded.
extern std::atomic<bool> alert_switch;
} // namespace RuntimeAlert

void simulateAlert(bool onoff);

namespace detail {
// The alert line of a simulated-away function: text, newline and flush on standard output, only while the
// switch is on. The caller returns its fixed value either way.
void alert(std::string_view text);
} // namespace detail

} // namespace Morvane
