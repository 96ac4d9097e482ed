#pragma once

// A full disk without root: the file size limit of a child process. With root (or a user namespace), a small file
// system of a child's own, and a second user.

#include "tests/support/ReadToEnd.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace datatest {

// A child process of startInChildProcess, and the reading end of its report.
struct ChildProcess {
    pid_t pid = -1;
    int report = -1;
};

// Runs `run` in a child process, which reports the string it returns (the what() of what it throws) and ends.
// SIGXFSZ is ignored there, so a write past a file size limit fails with EFBIG as on a full disk. Children that run
// at once are all started from one thread: a process forked while another thread of its parent is inside the
// allocator (the address checker's, say) may find it locked for good.
inline ChildProcess startInChildProcess(const std::function<std::string()>& run) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        ADD_FAILURE() << "no pipe";
        return {};
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ADD_FAILURE() << "no child process";
        return {};
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        std::string message;
        try {
            message = run();
        } catch (const std::exception& e) {
            message = e.what();
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
    return {child, pipeFds[0]};
}

// What the child reported, once it has ended; it must have ended normally.
inline std::string finishChildProcess(const ChildProcess& child) {
    if (child.pid < 0)
        return std::string();
    const std::string message = readToEnd(child.report);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not finish";
    return message;
}

// What `run` returns when run in a child process (see startInChildProcess).
inline std::string inChildProcess(const std::function<std::string()>& run) {
    return finishChildProcess(startInChildProcess(run));
}

// What `save` throws (its what(), or "<no exception>").
inline std::string messageOf(const std::function<void()>& save) {
    try {
        save();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

// Files of the calling process cannot grow past `limit` bytes from now on.
inline bool limitFileSize(rlim_t limit) {
    const rlimit fileSize{limit, limit};
    return ::setrlimit(RLIMIT_FSIZE, &fileSize) == 0;
}

// What `save` throws when run in a child process whose files cannot grow past `limit` bytes.
inline std::string messageOnAFullDisk(const std::function<void()>& save, rlim_t limit = 100) {
    return inChildProcess([&] { return limitFileSize(limit) ? messageOf(save) : "<no file size limit>"; });
}

// The text a child gives back for a case the machine does not allow; the test skips on it.
inline const std::string notAllowed = "<not allowed here> ";

inline bool isNotAllowed(const std::string& result) { return result.rfind(notAllowed, 0) == 0; }

namespace fulldisk_detail {
inline bool writeText(const char* file, const std::string& text) {
    const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && written;
}
} // namespace fulldisk_detail

// In a child process: mounts of its own, gone with it. Root gets a mount namespace; another user a user namespace
// in which it is root, where the system allows one.
inline bool privateMounts() {
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0)
            return false;
    } else {
        const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            !fulldisk_detail::writeText("/proc/self/uid_map", "0 " + uid + " 1") ||
            !fulldisk_detail::writeText("/proc/self/setgroups", "deny") ||
            !fulldisk_detail::writeText("/proc/self/gid_map", "0 " + gid + " 1"))
            return false;
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A tmpfs at `directory` with the given options ("size=16k,nr_inodes=4"), in mounts made private before.
inline bool mountSmallFileSystem(const std::string& directory, const std::string& options) {
    return ::mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// The user and group nobody, which owns nothing in the test directories.
constexpr uid_t secondUser = 65534;

// In a child process run by root: from now on the second user, without root's groups.
inline bool becomeSecondUser() {
    return ::geteuid() == 0 && ::setgroups(0, nullptr) == 0 && ::setgid(secondUser) == 0 && ::setuid(secondUser) == 0;
}

} // namespace datatest
