// Runs the built reliefkit program in a directory and keeps what it printed.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

struct ProgramRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

ProgramRun run_reliefkit(const std::filesystem::path& cwd, std::vector<std::string> args);

// Starts the program in cwd, its output going to the files cwd/.stdout and
// cwd/.stderr, with TMPDIR set to tmpdir when one is given; answers its id.
pid_t start_reliefkit(const std::filesystem::path& cwd, std::vector<std::string> args,
                      const std::string& tmpdir = {});
// Waits for it at most seconds, then kills it: its exit status, minus the
// number of the signal that ended it, or -1000 when it had to be killed.
int finish_reliefkit(pid_t child, double seconds);
std::string file_bytes(const std::filesystem::path& file);
