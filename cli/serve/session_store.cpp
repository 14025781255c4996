#include "session_store.h"

#include <algorithm>
#include <random>

namespace rkserve {
namespace {

constexpr size_t kResultsKept = 4;  // a preview in flight, the one shown, a download

// 128 random bits as hex: ids cannot be guessed from one another.
std::string random_id() {
    static std::mutex mutex;
    static std::random_device device;
    std::lock_guard hold(mutex);
    std::string id;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(device()));
        id += part;
    }
    return id;
}

}  // namespace

void Session::keep(std::shared_ptr<const StoredMaps> maps) {
    std::lock_guard hold(mutex_);
    results_.push_back(std::move(maps));
    // A set older than the latest kResultsKept goes unless a download still
    // sends from it: then it stays, counted against the budget of kept maps,
    // until a later set is kept after the download ends.
    for (size_t i = 0; i + kResultsKept < results_.size();) {
        if (results_[i].use_count() == 1) {
            results_.erase(results_.begin() + static_cast<ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

std::shared_ptr<const StoredMaps> Session::find(uint64_t number) const {
    std::lock_guard hold(mutex_);
    for (const auto& maps : results_) {
        if (maps->number == number) return maps;
    }
    return nullptr;
}

Session::Kept Session::kept() const {
    std::lock_guard hold(mutex_);
    Kept kept;
    for (const auto& maps : results_) {
        kept.bytes += maps->height_png.capacity() + maps->normal_png.capacity();
        for (const std::string& png : maps->material_png) kept.bytes += png.capacity();
        // A download holds the set while it sends a file from it.
        if (kept.oldest_unheld == 0 && maps.use_count() == 1) kept.oldest_unheld = maps->number;
    }
    return kept;
}

bool Session::drop(uint64_t number) {
    std::lock_guard hold(mutex_);
    return std::erase_if(results_, [&](const auto& maps) {
               return maps->number == number && maps.use_count() == 1;
           }) > 0;
}

void SessionStore::keep(Session& session, std::shared_ptr<const StoredMaps> maps) {
    std::lock_guard hold(mutex_);
    session.keep(std::move(maps));
    for (;;) {
        size_t bytes = 0;
        Session* oldest = nullptr;
        uint64_t oldest_number = 0;
        for (const auto& [id, entry] : sessions_) {
            const Session::Kept kept = entry.session->kept();
            bytes += kept.bytes;
            // Numbers rise with every set made, whichever the session.
            if (kept.oldest_unheld != 0 && (!oldest || kept.oldest_unheld < oldest_number)) {
                oldest = entry.session.get();
                oldest_number = kept.oldest_unheld;
            }
        }
        if (bytes <= limits_.max_stored_map_bytes || !oldest || !oldest->drop(oldest_number)) {
            return;
        }
    }
}

std::shared_ptr<Session> SessionStore::add(std::unique_ptr<Session> session, bool unclaimed) {
    sweep();
    std::lock_guard hold(mutex_);
    if (sessions_.size() >= limits_.max_sessions) return nullptr;
    session->id = random_id();
    std::shared_ptr<Session> shared(std::move(session));
    const auto idle_limit = unclaimed
                                ? std::min(limits_.unclaimed_idle_timeout, limits_.idle_timeout)
                                : limits_.idle_timeout;
    sessions_[shared->id] = {shared, std::chrono::steady_clock::now(), idle_limit};
    return shared;
}

std::shared_ptr<Session> SessionStore::find(const std::string& id) {
    sweep();
    std::lock_guard hold(mutex_);
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return nullptr;
    it->second.last_used = std::chrono::steady_clock::now();
    it->second.idle_limit = limits_.idle_timeout;
    return it->second.session;
}

void SessionStore::touch(const std::string& id) {
    std::lock_guard hold(mutex_);
    const auto it = sessions_.find(id);
    if (it != sessions_.end()) it->second.last_used = std::chrono::steady_clock::now();
}

bool SessionStore::remove(const std::string& id) {
    std::lock_guard hold(mutex_);
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return false;
    it->second.session->closed = true;
    sessions_.erase(it);
    return true;
}

size_t SessionStore::sweep() {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard hold(mutex_);
    // A session a request holds is in use, however long its maps take: its
    // idle time starts again when the request is done (touch()).
    std::erase_if(sessions_, [&](const auto& item) {
        return now - item.second.last_used > item.second.idle_limit &&
               item.second.session.use_count() == 1;
    });
    return sessions_.size();
}

}  // namespace rkserve
