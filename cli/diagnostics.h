// Attributes the library's diagnostics to the input they concern.
//
// The library has one process-wide sink, but calls it on the thread that made
// the failing call; a collector set for the current thread while that thread
// loads or saves gathers exactly the texts of its own input.
#pragma once

#include <string>
#include <vector>

namespace rkcli {

// Installs the sink; call once before any worker starts.
void install_diagnostics_sink();

// While alive, the current thread's diagnostics are appended to `into`;
// outside any capture they are dropped.
class DiagnosticsCapture {
  public:
    explicit DiagnosticsCapture(std::vector<std::string>& into) noexcept;
    ~DiagnosticsCapture();
    DiagnosticsCapture(const DiagnosticsCapture&) = delete;
    DiagnosticsCapture& operator=(const DiagnosticsCapture&) = delete;

  private:
    std::vector<std::string>* previous_;
};

}  // namespace rkcli
