// `reliefkit serve [--port N] [--listen ADDR] [--open] [limits] [PHOTO]`.
#pragma once

#include <span>
#include <string_view>

namespace rkserve {

// Runs the server until SIGINT or SIGTERM; answers the exit status. args
// follow the word "serve".
int serve_main(std::span<const std::string_view> args);

}  // namespace rkserve
