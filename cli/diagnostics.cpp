#include "diagnostics.h"

#include "reliefkit.h"

namespace rkcli {
namespace {

thread_local std::vector<std::string>* t_collector = nullptr;

// Called from inside the library: it must not throw.
void collect(const char* text, void*) {
    if (!t_collector || !text) return;
    try {
        t_collector->emplace_back(text);
    } catch (...) {
        // Out of memory: the text is lost, the load carries on.
    }
}

}  // namespace

void install_diagnostics_sink() {
    set_debug_output(&collect, nullptr);
}

DiagnosticsCapture::DiagnosticsCapture(std::vector<std::string>& into) noexcept
    : previous_(t_collector) {
    t_collector = &into;
}

DiagnosticsCapture::~DiagnosticsCapture() {
    t_collector = previous_;
}

}  // namespace rkcli
