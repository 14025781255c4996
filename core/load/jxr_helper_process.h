// Runs the JPEG XR decoding helper (reliefkit-jxr-decode) on a file's bytes and
// collects its reply. The helper is a process of its own under resource limits
// and a system-call filter, so a decoder fault on damaged data ends only the
// helper; the caller gets the reason instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "reliefkit.h"

namespace rk {

struct JxrHelperRun {
    std::unique_ptr<uint8_t[]> reply;
    size_t reply_size = 0;
    // Empty when the helper ended normally (the reply is still to be checked);
    // otherwise why there is no reply to read: crashed, timed out, missing, ...
    std::string failure;
    // What the failure means: RK_ERROR_HELPER for anything the helper did or
    // could not do, RK_ERROR_LIMIT or RK_ERROR_MEMORY when the picture could
    // not be received at all.
    rk_status status = RK_OK;
};

// Hands file (a JPEG XR file of width x height pixels by its container) to a new
// helper process and waits for it, at most a time that grows with the picture.
// Nothing outlives the call: the process is reaped, every descriptor closed.
JxrHelperRun run_jxr_helper(std::span<const uint8_t> file, uint32_t width, uint32_t height);

// Where the helper is looked for: beside the shared library (its libexec
// directory relative to the library's own), or in the build tree for the
// library there and for programs that link the static archive. Empty when the
// library's own file cannot be told.
std::string jxr_helper_path();

// For tests: another helper program (empty: the real one again), and the
// smallest time limit in milliseconds (0: the default).
void set_jxr_helper_for_tests(const std::string& path, uint32_t min_timeout_ms);
// For tests: waits as on a kernel without pidfd_open (true) or as usual (false).
void set_jxr_pidfd_off_for_tests(bool off);

}  // namespace rk
