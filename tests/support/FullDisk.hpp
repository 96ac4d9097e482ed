#pragma once

// A full disk without root: the file size limit of a child process.

#include <gtest/gtest.h>

#include <csignal>
#include <exception>
#include <functional>
#include <string>

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace datatest {

// What `save` throws (its what(), or "<no exception>") when run in a child process whose files cannot grow past
// `limit` bytes. SIGXFSZ is ignored there, so a write past the limit fails with EFBIG as on a full disk.
inline std::string messageOnAFullDisk(const std::function<void()>& save, rlim_t limit = 100) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        ADD_FAILURE() << "no pipe";
        return std::string();
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ADD_FAILURE() << "no child process";
        return std::string();
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fileSize{limit, limit};
        std::string message = "<no exception>";
        if (::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
            message = "<no file size limit>";
        } else {
            try {
                save();
            } catch (const std::exception& e) {
                message = e.what();
            }
        }
        for (std::size_t sent = 0; sent < message.size();) {
            const ssize_t n = ::write(pipeFds[1], message.data() + sent, message.size() - sent);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string message;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the saving child did not finish";
    return message;
}

} // namespace datatest
