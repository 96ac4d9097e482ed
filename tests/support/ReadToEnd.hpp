#pragma once

// The reading end of a child process's report pipe, read until every writer has closed it.

#include <cerrno>
#include <cstddef>
#include <string>

#include <unistd.h>

namespace datatest {

// All that `fd` gives until its end (or an error), after which it is closed.
inline std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

} // namespace datatest
