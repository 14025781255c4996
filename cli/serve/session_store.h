// Uploaded photographs in memory, one session each, dropped when the page
// ends them or after the idle time.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "image.h"
#include "serve_limits.h"

namespace rkserve {

// One set of maps a session made: the PNG files as the command writes them.
struct StoredMaps {
    uint64_t number = 0;
    std::string height_png;
    std::string normal_png;
    std::array<std::string, 4> material_png;  // as MadeMaps
};

struct Session {
    std::string id;
    std::string name;      // the file name the client gave; only ever shown, never opened
    std::string upload;    // the uploaded file's bytes, decoded again for full-size maps
    rkcli::Image preview;  // at most kPreviewLongSide on the long side; read-only once made
    uint32_t width = 0;
    uint32_t height = 0;
    std::atomic<uint64_t> latest_request{0};  // a request older than this gives way
    std::atomic<bool> closed{false};          // removed: maps still in the making go unwanted

    // Keeps the last few results; older numbers are gone.
    void keep(std::shared_ptr<const StoredMaps> maps);
    std::shared_ptr<const StoredMaps> find(uint64_t number) const;

    // What its kept results take, and the number of its oldest that no
    // request holds (0: none).
    struct Kept {
        size_t bytes = 0;
        uint64_t oldest_unheld = 0;
    };
    Kept kept() const;
    // Drops the result `number` unless a request has taken it meanwhile.
    bool drop(uint64_t number);

  private:
    mutable std::mutex mutex_;
    std::deque<std::shared_ptr<const StoredMaps>> results_;
};

class SessionStore {
  public:
    explicit SessionStore(const ServeLimits& limits) : limits_(limits) {}

    // Keeps `maps` as the session's latest, then drops the oldest results of
    // every session, save those a request holds, until all fit in
    // limits.max_stored_map_bytes.
    void keep(Session& session, std::shared_ptr<const StoredMaps> maps);
    // Adds the session under a new random id; null when the store is full.
    // An unclaimed one (its client may be gone) has the shorter idle limit
    // until found.
    std::shared_ptr<Session> add(std::unique_ptr<Session> session, bool unclaimed = false);
    // The session, its idle time restarted; null when unknown or expired.
    std::shared_ptr<Session> find(const std::string& id);
    // Restarts the session's idle time (a request that held it is done).
    void touch(const std::string& id);
    bool remove(const std::string& id);
    // Drops sessions idle for longer than the limit and held by no request;
    // answers how many remain.
    size_t sweep();

  private:
    struct Entry {
        std::shared_ptr<Session> session;
        std::chrono::steady_clock::time_point last_used;
        std::chrono::seconds idle_limit;
    };
    const ServeLimits& limits_;
    std::mutex mutex_;
    std::map<std::string, Entry> sessions_;
};

}  // namespace rkserve
