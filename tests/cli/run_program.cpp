#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

std::string file_bytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

pid_t start_reliefkit(const std::filesystem::path& cwd, std::vector<std::string> args,
                      const std::string& tmpdir) {
    // Output goes to files rather than pipes, so that a chatty run cannot block.
    const auto out = cwd / ".stdout", err = cwd / ".stderr";
    args.insert(args.begin(), RK_CLI_PROGRAM);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(cwd.c_str()) != 0) ::_exit(127);
        if (!tmpdir.empty()) ::setenv("TMPDIR", tmpdir.c_str(), 1);
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

int finish_reliefkit(pid_t child, double seconds) {
    int status = 0;
    for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
        if (waited == static_cast<int>(seconds * 100)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1000;
        }
        ::usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

ProgramRun run_reliefkit(const std::filesystem::path& cwd, std::vector<std::string> args) {
    const pid_t child = start_reliefkit(cwd, std::move(args));
    ProgramRun run;
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    const auto out = cwd / ".stdout", err = cwd / ".stderr";
    run.out = file_bytes(out);
    run.err = file_bytes(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return run;
}
