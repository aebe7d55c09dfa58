#include "testing/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace kelvo::testing {

using namespace std::chrono_literals;

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::vector<std::string>& launcher) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    out_.reset(out[0]);
    err_.reset(err[0]);
    kelvo::UniqueFd outWrite(out[1]), errWrite(err[1]);
    std::vector<std::string> words = launcher;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string var = *e;
        if (!var.starts_with("DISPLAY=") && !var.starts_with("WAYLAND_DISPLAY=") &&
            !var.starts_with("QT_QPA_PLATFORM="))
            vars.push_back(var);
    }
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&files, errWrite.get(), STDERR_FILENO);
    const int failed = ::posix_spawnp(&pid_, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (failed != 0)
        throw std::runtime_error("cannot start " + words[0]);
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void Process::Signal(int signal) {
    ::kill(pid_, signal);
}

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (early_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out_.get(), POLLIN, 0};
        if (left <= 0ms || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::read(out_.get(), buffer, sizeof buffer);
        if (n <= 0)
            return false;
        early_.append(buffer, size_t(n));
    }
    return true;
}

Finished Process::Finish(std::chrono::milliseconds limit) {
    Finished done;
    done.out = std::move(early_);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool outOpen = out_.get() >= 0, errOpen = true;
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms)
            break;
        pollfd fds[2] = {{outOpen ? out_.get() : -1, POLLIN, 0},
                         {errOpen ? err_.get() : -1, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0)
                (i == 0 ? outOpen : errOpen) = false;
            else
                (i == 0 ? done.out : done.err).append(buffer, size_t(n));
        }
    }
    if (outOpen || errOpen)
        ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status) && !outOpen && !errOpen)
        done.status = WEXITSTATUS(status);
    return done;
}

}  // namespace kelvo::testing
