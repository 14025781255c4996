#include "interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace rkcli {
namespace {

std::mutex g_mutex;
std::condition_variable g_saves_done;
unsigned g_saving = 0;
unsigned g_told_later = 0;  // inputs with a file saved and their outcome not yet told
bool g_stopping = false;
thread_local JobHold* t_job = nullptr;
pthread_t g_stopper;
bool g_stopper_started = false;
sigset_t g_waited;                       // the stop signals the stopping thread takes
std::atomic<bool> g_pipe_broken{false};  // a SIGPIPE handed on, perhaps not yet taken

// A write to a pipe nobody reads any more (`reliefkit *.jpg | head -1`) raises
// SIGPIPE in the writing thread, whose default action would end the process at
// once, in the middle of the other threads' saves. The writer hands it on to
// the thread that ends the batch instead, and its write fails with EPIPE.
void hand_on_broken_pipe(int) {
    g_pipe_broken = true;
    (void)::pthread_kill(g_stopper, SIGPIPE);
}

// Whether a stop signal came that the stopping thread may not have taken yet:
// it waits for a core like any thread, and a busy machine can keep it waiting
// until the run has ended on its own.
bool stop_signal_on_its_way() {
    if (g_pipe_broken) return true;
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU})
        if (sigismember(&g_waited, stop) && sigismember(&pending, stop)) return true;
    return false;
}

}  // namespace

void end_batch_on_stop_signals() {
    sigset_t waited;
    sigemptyset(&waited);
    // A closed terminal (SIGHUP), Ctrl-\ (SIGQUIT) and the soft CPU time
    // limit (SIGXCPU, whose default action would leave temporaries) stop a
    // batch as Ctrl-C does. A signal ignored from the start stays so: nohup
    // and a script's background jobs ignore them so that the command runs on,
    // and a blocked signal would reach sigwait even so.
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU}) {
        struct sigaction was {};
        if (sigaction(stop, nullptr, &was) != 0 || was.sa_handler != SIG_IGN)
            sigaddset(&waited, stop);
    }
    sigaddset(&waited, SIGPIPE);
    // The stopping thread is made with them all blocked, so that it only ever
    // takes them in sigwait; the other threads take SIGPIPE through the handler.
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &waited, &before);
    std::thread stopper;
    try {
        stopper = std::thread([waited] {
            int signal_number = 0;
            sigwait(&waited, &signal_number);
            std::unique_lock hold(g_mutex);
            g_stopping = true;
            g_saves_done.wait(hold, [] { return g_saving == 0 && g_told_later == 0; });
            constexpr char kStopped[] = "reliefkit: stopped\n";
            (void)!::write(STDERR_FILENO, kStopped, sizeof kStopped - 1);
            std::_Exit(128 + signal_number);
        });
    } catch (const std::system_error& e) {
        // Without it a stop would leave temporaries: the run does not begin.
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw std::runtime_error("cannot start the signal thread: " + e.code().message());
    }
    g_stopper = stopper.native_handle();
    stopper.detach();
    g_waited = waited;
    g_stopper_started = true;
    // A write past the file-size limit (ulimit -f) raises SIGXFSZ, whose
    // default action ends the process in the middle of its saves and leaves
    // their temporaries. Ignored, the write fails with EFBIG and that map's
    // save fails with its reason, as on a full disk.
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = hand_on_broken_pipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe_signal, nullptr);
}

bool begin_save() {
    std::lock_guard hold(g_mutex);
    if (g_stopping) return false;
    ++g_saving;
    // From its first file on, the input's outcome must be told before the
    // process ends: a file on disk that neither the listing nor the report
    // names would pass for an older run's.
    if (t_job && !t_job->taken_) {
        t_job->taken_ = true;
        ++g_told_later;
    }
    return true;
}

bool begin_record_save() {
    std::lock_guard hold(g_mutex);
    // The stop waits for the inputs still telling their outcome, and so for
    // the record of it.
    if (g_stopping && g_told_later == 0) return false;
    ++g_saving;
    return true;
}

void end_save() {
    std::lock_guard hold(g_mutex);
    if (--g_saving == 0) g_saves_done.notify_all();
}

void leave_the_end_to_a_stop() {
    std::unique_lock hold(g_mutex);
    if (!g_stopper_started || (!g_stopping && !stop_signal_on_its_way())) return;
    // Nothing is saving any more, so the stopping thread ends the process as
    // soon as it runs; until then this thread must not end it with the run's
    // own status.
    for (;;) g_saves_done.wait(hold);
}

bool stop_requested() {
    std::lock_guard hold(g_mutex);
    return g_stopping;
}

JobHold::JobHold() : outer_(t_job) { t_job = this; }

JobHold::~JobHold() {
    t_job = outer_;
    std::lock_guard hold(g_mutex);
    if (taken_ && --g_told_later == 0) g_saves_done.notify_all();
}

JobHold* JobHold::current() { return t_job; }

JobHold::Lent::Lent(JobHold* hold) : outer_(t_job) { t_job = hold; }

JobHold::Lent::~Lent() { t_job = outer_; }

}  // namespace rkcli
