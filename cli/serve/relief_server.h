// The HTTP server of `reliefkit serve`: the page, and the API it calls
// (described in the README).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "serve_limits.h"

namespace rkserve {

// The photograph named on the command line: each page that asks for it gets
// a session of its own.
struct StartupPhoto {
    std::string name;
    std::string bytes;
};

// Whether a server listening on that address is reached from this machine
// alone (127.0.0.1, ::1, localhost): it then answers only requests naming a
// loopback Host, which a page whose name was pointed here cannot send.
bool loopback_address(std::string_view listen);

class ReliefServer {
  public:
    // check_host: answer only requests addressed to the loopback names, so
    // that no other site's page can reach the server through a DNS name of
    // its own that resolves to 127.0.0.1.
    ReliefServer(const ServeLimits& limits, std::optional<StartupPhoto> startup, bool check_host);
    ~ReliefServer();
    ReliefServer(const ReliefServer&) = delete;
    ReliefServer& operator=(const ReliefServer&) = delete;

    // Binds host:port (0: any free port); answers the port, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); false when the listening socket failed.
    bool run();
    // Stops listening and ends every connection at once; run() returns when
    // the requests already at work are done.
    void stop();

    // For tests, which must not depend on how long maps take: holds one work
    // slot, as a request making maps does, until the answer goes (null when
    // none became free within the limit's wait); and the requests waiting for
    // a slot now.
    std::shared_ptr<void> hold_work_slot();
    unsigned requests_waiting_for_slot() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rkserve
