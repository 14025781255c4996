#include "syscall_filter.h"

#include <seccomp.h>

#include <cerrno>
#include <initializer_list>

// The sanitizers' runtimes need more than the decode does (reading
// /proc/self/maps for a report, threads for the leak check): in such builds a
// call outside the list fails with EPERM instead of ending the helper, so that a
// report still comes out (the parent sees the sanitizer's exit status either way).

namespace rkjxr {

bool restrict_system_calls() noexcept {
#ifdef RKJXR_SANITIZED
    const uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
#else
    const uint32_t refuse = SCMP_ACT_KILL_PROCESS;
#endif
    scmp_filter_ctx ctx = seccomp_init(refuse);
    if (!ctx) return false;
    bool ok = true;
    // Memory for jxrlib's buffers (malloc, free, realloc), and the way out.
    for (const int call :
         {SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise),
          SCMP_SYS(mprotect), SCMP_SYS(futex), SCMP_SYS(rt_sigreturn), SCMP_SYS(exit),
          SCMP_SYS(exit_group), SCMP_SYS(newfstatat), SCMP_SYS(fstat),
          // AddressSanitizer's exit takes down its signal stack and names the
          // thread; harmless in every build.
          SCMP_SYS(sigaltstack), SCMP_SYS(gettid)}) {
        ok = ok && seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0) == 0;
    }
    // Writes only to the reply (3) and to stdout and stderr, which lead nowhere.
    // The comparison is spelt out: seccomp.h's SCMP_A0 is a C compound literal.
    for (const unsigned fd : {1u, 2u, 3u}) {
        scmp_arg_cmp first_is_fd{};
        first_is_fd.arg = 0;
        first_is_fd.op = SCMP_CMP_EQ;
        first_is_fd.datum_a = fd;
        ok = ok && seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, first_is_fd) == 0;
    }
    ok = ok && seccomp_load(ctx) == 0;
    seccomp_release(ctx);
    return ok;
}

}  // namespace rkjxr
