#pragma once

// RuntimeException, the exception of every failed check.

#include <stdexcept>
#include <string>

namespace Morvane {

// The one exception type of the library: every failed check throws it with its fixed message.
class RuntimeException : public std::runtime_error {
public:
    explicit RuntimeException(const std::string& message) : std::runtime_error(message) {}
    explicit RuntimeException(const char* message) : std::runtime_error(message) {}
    ~RuntimeException() override;
};

} // namespace Morvane
