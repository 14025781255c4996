// The HTTP library's server with bounds on each connection, so that slow or
// stalled clients cannot hold the server: a request's headers and body must
// arrive within set times, a response must be taken within a set time, each
// connection has a thread of its own (up to a cap, so a few slow clients leave
// the rest served), the listen queue is long, and stop() ends every
// connection at once.
#pragma once

#include <httplib.h>

#include <mutex>
#include <set>

#include "serve_limits.h"

namespace rkserve {

class BoundedHttpServer final : public httplib::Server {
  public:
    explicit BoundedHttpServer(const ConnectionLimits& limits);

    // After bind_to_port: the listen queue gets its full length (the library
    // asks for 5, and a burst of clients then meets resets).
    void widen_backlog();
    // Stops listening and ends every open connection; a request that a handler
    // is already working on still finishes.
    void stop_now();
    // From a handler: the connection ends once this request's answer is sent
    // (a request refused before its body was read leaves the body's bytes on
    // the connection, which must not be taken for the next request). The
    // answer says Connection: close.
    static void close_after_answer() noexcept;
    // From the error handler: whether the request failed because it did not
    // arrive within its time (its headers' or its body's), not as malformed.
    static bool came_too_slowly() noexcept;
    // What a handler, on its connection's own thread, can tell of its client.
    // A client that has sent all it will may have closed the connection (a
    // page reloaded or closed) or only shut its sending side and still wait
    // for the answer: the two look the same from here.
    enum class ClientEnd {
        open,      // may send more (bytes waiting are its next request, sent ahead)
        sent_all,  // its sending side is shut: gone, or half-closed and reading
        broken,    // reset or failed: no answer reaches it
    };
    static ClientEnd client_end() noexcept;

  private:
    bool process_and_close_socket(socket_t sock) override;
    bool track(socket_t sock, bool add);
    bool stopping();

    ConnectionLimits limits_;
    std::mutex mutex_;
    std::set<socket_t> open_;
    bool stopping_ = false;
};

}  // namespace rkserve
