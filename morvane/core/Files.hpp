#pragma once

// Library-internal: the checks of every path the library takes.

#include <string>

namespace Morvane {
namespace detail {

// Refuses a path that holds a NUL byte with "[<function>] ...": the system reads a path only up to its first
// NUL, so a save would write, and a load read, another file. Called by every function that takes a path
// before anything is touched. Returns `path`, for member initialisers.
const std::string& checkPath(const std::string& path, const char* function);

} // namespace detail
} // namespace Morvane
