#include "run_program.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

std::string file_bytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

ProgramRun run_reliefkit(const std::filesystem::path& cwd, std::vector<std::string> args) {
    // Output goes to files rather than pipes, so that a chatty run cannot block;
    // numbered, so that runs at once in one folder keep theirs apart.
    static std::atomic<int> runs{0};
    const std::string n = std::to_string(runs++);
    const auto out = cwd / (".stdout" + n), err = cwd / (".stderr" + n);
    args.insert(args.begin(), RK_CLI_PROGRAM);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ProgramRun run;
    int status = 0;
    rusage usage{};
    if (child > 0 && ::wait4(child, &status, 0, &usage) == child && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    run.peak_kib = usage.ru_maxrss;
    run.out = file_bytes(out);
    run.err = file_bytes(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return run;
}
