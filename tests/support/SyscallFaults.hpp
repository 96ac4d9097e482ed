#pragma once

// Faults of chosen system calls, for a child process (see inChildProcess): a seccomp filter sends each call of the
// listed numbers to a handler, which asks the test's decision and then makes the call itself, fails it without
// making it, or makes it and reports a failure all the same (a close that releases the descriptor and reports
// EINTR). No privilege is needed; the filter lasts as long as the process.

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#define MORVANE_TEST_SYSCALL_FAULTS 1
#endif

namespace datatest {

struct SyscallCall {
    long number;
    long args[6];
    // The result of the call, when the handler made it (what `after` sees).
    long result;
};

struct SyscallFault {
    // 0: the call is made as asked.
    int error = 0;
    // Made first, then reported as failed with `error`.
    bool made = false;
};

// Called in the signal handler, so it may only keep plain static state. `after`, if given, sees every call that
// was made, with its result.
using SyscallDecision = SyscallFault (*)(const SyscallCall& call);
using SyscallObserver = void (*)(const SyscallCall& call);

namespace syscallfaults_detail {
// In the sixth argument of the handler's own calls, which the filter lets through; every call faulted has fewer.
constexpr std::uint64_t bypass = 0x6d6f7276616e6566ull;
inline SyscallDecision decision = nullptr;
inline SyscallObserver observer = nullptr;

#ifdef MORVANE_TEST_SYSCALL_FAULTS
inline void onTrap(int, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    auto* uc = static_cast<ucontext_t*>(context);
    SyscallCall call{};
    call.number = info->si_syscall;
#if defined(__x86_64__)
    greg_t* regs = uc->uc_mcontext.gregs;
    const greg_t values[6] = {regs[REG_RDI], regs[REG_RSI], regs[REG_RDX], regs[REG_R10], regs[REG_R8], regs[REG_R9]};
#else
    const auto* values = uc->uc_mcontext.regs;
#endif
    for (int i = 0; i < 6; ++i)
        call.args[i] = static_cast<long>(values[i]);
    const SyscallFault fault = decision(call);
    long result = -fault.error;
    if (fault.error == 0 || fault.made) {
        const long made = ::syscall(call.number, call.args[0], call.args[1], call.args[2], call.args[3], call.args[4],
                                    static_cast<long>(bypass));
        call.result = made < 0 ? -errno : made;
        if (fault.error == 0)
            result = call.result;
        if (observer != nullptr)
            observer(call);
    }
#if defined(__x86_64__)
    regs[REG_RAX] = result;
#else
    uc->uc_mcontext.regs[0] = static_cast<unsigned long long>(result);
#endif
    errno = savedErrno;
}
#endif
} // namespace syscallfaults_detail

// From now on every call of `numbers` goes through `decide` (and `after`); false where this cannot be had.
inline bool faultSyscalls(std::initializer_list<long> numbers, SyscallDecision decide,
                          SyscallObserver after = nullptr) {
#ifdef MORVANE_TEST_SYSCALL_FAULTS
    namespace d = syscallfaults_detail;
    d::decision = decide;
    d::observer = after;
    struct sigaction action {};
    action.sa_sigaction = d::onTrap;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGSYS, &action, nullptr) != 0)
        return false;
#if defined(__x86_64__)
    constexpr std::uint32_t arch = AUDIT_ARCH_X86_64;
#else
    constexpr std::uint32_t arch = AUDIT_ARCH_AARCH64;
#endif
    const auto at = [](std::size_t offset) { return static_cast<std::uint32_t>(offset); };
    const std::uint32_t argument5 = at(offsetof(seccomp_data, args) + 5 * sizeof(std::uint64_t));
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at(offsetof(seccomp_data, arch))),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at(offsetof(seccomp_data, nr))),
    };
    // A listed number jumps to the check of the sixth argument, past the other numbers and the ALLOW after them.
    auto left = static_cast<std::uint8_t>(numbers.size());
    for (const long number : numbers) {
        const auto skip = static_cast<std::uint8_t>(left--);
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), skip, 0));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const std::vector<sock_filter> check = {
        // Little-endian: the low half first.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument5),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(d::bypass), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument5 + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(d::bypass >> 32), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    program.insert(program.end(), check.begin(), check.end());
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
#else
    static_cast<void>(numbers);
    static_cast<void>(decide);
    static_cast<void>(after);
    return false;
#endif
}

} // namespace datatest
