// The HTTP server of `reliefkit serve`: the page, and the API it calls
// (described in the README).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "serve_limits.h"

namespace rkserve {

// The photograph named on the command line: each page that asks for it gets
// a session of its own.
struct StartupPhoto {
    std::string name;
    std::string bytes;
};

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
    // Removes the server's files now, for a process about to end without
    // waiting for its requests at work (their files included).
    void discard_files();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rkserve
