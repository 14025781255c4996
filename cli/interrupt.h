// SIGINT (Ctrl-C), SIGTERM, SIGHUP (the terminal closed), SIGQUIT and SIGXCPU
// (the soft CPU time limit) during a batch (unless ignored when it starts),
// and SIGPIPE once standard output
// or error leads to a pipe nobody reads: no save starts after the signal,
// the saves under way finish (each writes a temporary file beside its target
// and renames it into place, so none is left hidden or half made), an input
// that has saved a file makes no more maps and tells its outcome, then the
// process ends with status 128 + the signal's number.
#pragma once

namespace rkcli {

// Blocks the stop signals in the calling thread and every thread made after
// it, hands SIGPIPE on from whichever thread raises it, and starts the thread
// that takes them all; ignores SIGXFSZ (writes past a file-size limit fail
// instead); call before any other thread is made. Throws, the stop signals
// as they were, when that thread cannot be started.
void end_batch_on_stop_signals();

// Brackets one save; false once a stop signal came: the save must not start.
bool begin_save();
void end_save();

// Brackets the save of a record of outcomes (the manifest): as begin_save,
// but also let begin after a stop while an input is still telling its outcome.
bool begin_record_save();

// Called as the run ends: once a stop signal has come, the stopping thread
// ends the process with 128 + the signal's number, and this waits for it
// rather than return and let the run's own status win the race. Returns at
// once when no stop signal came.
void leave_the_end_to_a_stop();

// Whether a stop signal came: an input that has saved a file makes no more maps.
bool stop_requested();

// One input's outcome on this thread: from its first save (begin_save) until
// the hold ends, a stop signal waits, so that every file saved is listed and
// reported. An input stopped before its first save holds nothing back.
class JobHold {
  public:
    JobHold();
    ~JobHold();
    JobHold(const JobHold&) = delete;
    JobHold& operator=(const JobHold&) = delete;

    // The hold of the input on this thread, null outside one.
    static JobHold* current();

    // Lends an input's hold to a thread of that input (its height map's saver).
    class Lent {
      public:
        explicit Lent(JobHold* hold);
        ~Lent();
        Lent(const Lent&) = delete;
        Lent& operator=(const Lent&) = delete;

      private:
        JobHold* outer_;
    };

  private:
    friend bool begin_save();
    JobHold* outer_;
    bool taken_ = false;
};

}  // namespace rkcli
