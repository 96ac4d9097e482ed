#include "morvane/core/Files.hpp"

#include "morvane/core/Exception.hpp"

namespace Morvane::detail {

const std::string& checkPath(const std::string& path, const char* function) {
    if (path.find('\0') != std::string::npos)
        throw RuntimeException("[" + std::string(function) + "] The path has an embedded null byte");
    return path;
}

} // namespace Morvane::detail
