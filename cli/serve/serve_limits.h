// What one server allows, so that a page left open or a careless client
// cannot take the machine's memory or processors.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace rkserve {

// Bounds on each HTTP connection, so that slow or stalled clients cannot hold
// the server.
struct ConnectionLimits {
    std::chrono::milliseconds header_time{10'000};  // from a request's first byte
    std::chrono::milliseconds body_time{60'000};    // from the end of its headers
    std::chrono::milliseconds send_time{60'000};    // from the first byte of the answer
    unsigned threads = 64;                          // connections served at once
    int backlog = 1024;                             // connections waiting to be accepted
};

struct ServeLimits {
    size_t max_upload_bytes = size_t{64} << 20;
    uint64_t max_pixels = 40'000'000;  // the full image holds 16 bytes per pixel, several times
    unsigned max_sessions = 16;
    // The PNGs kept for download, over all sessions: the oldest sets go first,
    // save one a request holds (the set just made, a download). A full-size
    // set at the default --max-pixels takes up to about 0.75 GiB at 16 bits,
    // so one fits beside every session's previews; a larger one stays until
    // the next set is made.
    size_t max_stored_map_bytes = size_t{1} << 30;
    unsigned work_slots = 2;  // maps made at once; more requests wait for a slot
    std::chrono::seconds idle_timeout{30 * 60};
    // For a session whose upload's client had shut its sending side when it
    // was stored, until a request uses it: a page reloaded or closed during
    // its upload looks so (as does a client still reading its answer), and
    // its session would count against max_sessions for the idle time.
    std::chrono::seconds unclaimed_idle_timeout{60};
    std::chrono::seconds slot_wait{15};  // then the request is refused as busy
    ConnectionLimits connections{};
};

// The long side of the copy the page's maps are made from while controls move.
inline constexpr uint32_t kPreviewLongSide = 1024;

}  // namespace rkserve
