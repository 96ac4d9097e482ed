#pragma once

// The reading end of a child process's report pipe, read until every writer has closed it.

#include <cstddef>
#include <string>

#include <unistd.h>

namespace datatest {

// All that `fd` gives until its end (or an error), after which it is closed.
inline std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

} // namespace datatest
