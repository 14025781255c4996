#include "process_probe.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace rkbench {
namespace {

constexpr const char* kTimeProgram = "/usr/bin/time";

// The number after "label: " on a line of time's report, if that line has it.
bool read_field(std::string_view line, std::string_view label, double& value) {
    const size_t at = line.find(label);
    if (at == std::string_view::npos) return false;
    value = std::stod(std::string(line.substr(at + label.size())));
    return true;
}

ProcessFigures parse_report(const std::string& log_path) {
    std::ifstream log(log_path);
    ProcessFigures figures;
    double user = -1.0, system = -1.0, rss_kib = -1.0, status = -1.0, minor = 0.0, major = 0.0;
    for (std::string line; std::getline(log, line);) {
        read_field(line, "User time (seconds): ", user);
        read_field(line, "System time (seconds): ", system);
        read_field(line, "Minor (reclaiming a frame) page faults: ", minor);
        read_field(line, "Major (requiring I/O) page faults: ", major);
        read_field(line, "Maximum resident set size (kbytes): ", rss_kib);
        read_field(line, "Exit status: ", status);
    }
    if (user < 0 || system < 0 || rss_kib < 0 || status < 0)
        throw std::runtime_error("no report from " + std::string(kTimeProgram) + " in " + log_path);
    figures.cpu_seconds = user + system;
    figures.system_seconds = system;
    figures.page_faults = minor + major;
    figures.max_rss_mib = rss_kib / 1024.0;
    figures.exit_status = static_cast<int>(status);
    return figures;
}

}  // namespace

ProcessFigures run_timed(const std::vector<std::string>& argv, const std::string& log_path) {
    std::vector<std::string> args = {kTimeProgram, "-v"};
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char*> raw;
    for (std::string& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, kTimeProgram, &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error(std::string("cannot start ") + kTimeProgram);
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;

    ProcessFigures figures = parse_report(log_path);
    figures.wall_seconds = wall.count();
    return figures;
}

}  // namespace rkbench
