// SIGINT (Ctrl-C), SIGTERM, SIGHUP (the terminal closed) and SIGQUIT during a
// batch (unless ignored when it starts), and SIGPIPE once standard output
// or error leads to a pipe nobody reads: no save starts after the signal,
// the saves under way finish (each writes a temporary file beside its target
// and renames it into place, so none is left hidden or half made), then the
// process ends with status 128 + the signal's number.
#pragma once

namespace rkcli {

// Blocks the stop signals in the calling thread and every thread made after
// it, hands SIGPIPE on from whichever thread raises it, and starts the thread
// that takes them all; ignores SIGXFSZ (writes past a file-size limit fail
// instead); call before any other thread is made.
void end_batch_on_stop_signals();

// Brackets one save; false once a stop signal came: the save must not start.
bool begin_save();
void end_save();

}  // namespace rkcli
