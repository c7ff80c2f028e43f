#pragma once
// A child process for the network and command-line tests: started with pipes
// on stdin, stdout and stderr and extra environment variables; ended (killed
// if need be) when the object goes. While the test process lives the child's
// stdin stays open, so helpers that wait for stdin to close end with the test
// even when it crashes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

class Subprocess {
public:
    Subprocess() = default;
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;
    ~Subprocess()
    {
        CloseStdin();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        CloseFd(out_);
        CloseFd(err_);
    }

    // Starts argv[0] (a path) with `env` entries ("NAME=VALUE") added to, or
    // replacing, this process's environment. False when it cannot start.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {})
    {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);

        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            bool replaced = false;
            for (const std::string& x : env)
                if (x.substr(0, x.find('=')) == name) replaced = true;
            if (!replaced) envStrings.push_back(entry);
        }
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (std::string& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (std::string& s : args) argp.push_back(s.data());
        argp.push_back(nullptr);

        const int r = posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        if (r != 0) pid_ = -1;
        return r == 0;
    }

    // The next line of stdout (without the newline); empty on timeout or end.
    std::string ReadLine(int timeoutMs)
    {
        const auto deadline = Now() + timeoutMs;
        for (;;) {
            const auto nl = stdout_.find('\n');
            if (nl != std::string::npos) {
                std::string line = stdout_.substr(0, nl);
                stdout_.erase(0, nl + 1);
                return line;
            }
            const int64_t left = deadline - Now();
            if (left <= 0 || !Collect(static_cast<int>(left))) return {};
        }
    }

    // Waits for the child to end, collecting its output. Its exit code, or
    // -1 when it had not ended in time (it is then killed) or died by signal.
    int Wait(int timeoutMs)
    {
        const auto deadline = Now() + timeoutMs;
        while (out_ >= 0 || err_ >= 0) {
            const int64_t left = deadline - Now();
            if (left <= 0) break;
            Collect(static_cast<int>(left));
        }
        if (pid_ <= 0) return -1;
        int status = 0;
        for (;;) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (Now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return -1;
            }
            usleep(5000);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Collects stderr until it holds `text`; false when it did not within
    // timeoutMs (or the child's stderr ended without it).
    bool WaitForStderr(const std::string& text, int timeoutMs)
    {
        const auto deadline = Now() + timeoutMs;
        while (stderr_.find(text) == std::string::npos) {
            const int64_t left = deadline - Now();
            if (left <= 0 || err_ < 0 || !Collect(static_cast<int>(left))) return false;
        }
        return true;
    }

    void CloseStdin() { CloseFd(in_); }
    // Sends `signal` to the child.
    void Signal(int signal)
    {
        if (pid_ > 0) kill(pid_, signal);
    }
    void Kill()
    {
        if (pid_ > 0) kill(pid_, SIGKILL);
    }
    const std::string& Stdout() const { return stdout_; }
    const std::string& Stderr() const { return stderr_; }

private:
    static int64_t Now()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    static void CloseFd(int& fd)
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    // Reads what stdout and stderr have within timeoutMs; false when both
    // have ended.
    bool Collect(int timeoutMs)
    {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0) return false;
        if (poll(fds, 2, timeoutMs) <= 0) return true;
        char buf[4096];
        int* fdsRef[2] = {&out_, &err_};
        std::string* sinks[2] = {&stdout_, &stderr_};
        for (int i = 0; i < 2; ++i) {
            if (*fdsRef[i] < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(*fdsRef[i], buf, sizeof buf);
            if (n > 0)
                sinks[i]->append(buf, static_cast<size_t>(n));
            else
                CloseFd(*fdsRef[i]);
        }
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string stdout_;
    std::string stderr_;
};
