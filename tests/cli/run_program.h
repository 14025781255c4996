// Runs the built reliefkit program in a directory and keeps what it printed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ProgramRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
    long peak_kib = 0;  // the largest resident set it reached
};

ProgramRun run_reliefkit(const std::filesystem::path& cwd, std::vector<std::string> args);
std::string file_bytes(const std::filesystem::path& file);
