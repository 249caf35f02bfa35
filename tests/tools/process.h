// Runs a program and collects its exit status, standard output and standard error, for the
// tests that drive bformat-decode as a user does.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tools_test {

struct ProcessResult {
    int exitCode = -1;  // the exit status, or 128 + the signal that ended it
    std::string out, err;

    // The lines of standard error.
    std::vector<std::string> ErrLines() const
    {
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < err.size()) {
            size_t end = err.find('\n', at);
            if (end == std::string::npos) end = err.size();
            lines.push_back(err.substr(at, end - at));
            at = end + 1;
        }
        return lines;
    }
};

struct ProcessOptions {
    std::vector<std::pair<std::string, std::string>> env;  // set in the child
    long fileSizeLimit = -1;                               // RLIMIT_FSIZE in bytes, when >= 0
    std::string workingDirectory = {};
    int signalAfterMs = -1;  // when >= 0, `signal` is sent to the child this long after it starts
    // When set, `signal` is sent as soon as this returns true (asked every 10 ms): a moment the
    // child reaches, where a delay would depend on the machine's speed.
    std::function<bool()> signalWhen = nullptr;
    int signal = SIGINT;
};

inline ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {})
{
    ProcessResult result;
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
        for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
        if (options.fileSizeLimit >= 0) {
            // Writing past the limit then fails with EFBIG instead of ending the process.
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                                   static_cast<rlim_t>(options.fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* into[2] = {&result.out, &result.err};
    int open = 2;
    int signalIn = options.signalAfterMs;
    bool watching = static_cast<bool>(options.signalWhen);
    int watched = 0;  // ms spent watching, bounded like any wait
    while (open > 0) {
        if (watching && options.signalWhen()) {
            ::kill(pid, options.signal);
            watching = false;
        }
        const int wait = watching ? 10 : signalIn >= 0 ? signalIn : 120000;
        const int ready = ::poll(fds, 2, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0 && watching && (watched += 10) < 120000) continue;
        if (ready == 0 && signalIn >= 0) {
            // Near enough: output that arrives first only brings the signal earlier.
            ::kill(pid, options.signal);
            signalIn = -1;
            continue;
        }
        if (ready <= 0) {
            ::kill(pid, SIGKILL);  // hung: the test fails on its exit code
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& f : fds) {
        if (f.fd >= 0) ::close(f.fd);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace tools_test
