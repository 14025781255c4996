#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace rkcli {
namespace {

std::mutex g_mutex;
std::condition_variable g_saves_done;
unsigned g_saving = 0;
bool g_stopping = false;

}  // namespace

void end_batch_on_stop_signals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::thread([stop_signals] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        std::unique_lock hold(g_mutex);
        g_stopping = true;
        g_saves_done.wait(hold, [] { return g_saving == 0; });
        constexpr char kStopped[] = "reliefkit: stopped\n";
        (void)!::write(STDERR_FILENO, kStopped, sizeof kStopped - 1);
        std::_Exit(128 + signal_number);
    }).detach();
}

bool begin_save() {
    std::lock_guard hold(g_mutex);
    if (g_stopping) return false;
    ++g_saving;
    return true;
}

void end_save() {
    std::lock_guard hold(g_mutex);
    if (--g_saving == 0) g_saves_done.notify_all();
}

}  // namespace rkcli
