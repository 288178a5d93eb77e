#pragma once

// The loomwell program as a child process of a test, with its standard error
// on a pipe that the test reads.

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace loomwell::testing
{

// This process's environment as "NAME=value" entries.
inline std::vector<std::string> currentEnvironment()
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry)
        env.emplace_back (*entry);
    return env;
}

class ProgramProcess
{
public:
    explicit ProgramProcess (std::vector<std::string> environment)
    {
        std::vector<char*> envp;
        for (auto& variable : environment)
            envp.push_back (variable.data());
        envp.push_back (nullptr);

        int fds[2];
        if (::pipe (fds) != 0)
            return;
        errFd = fds[0];

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2 (&actions, fds[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose (&actions, fds[0]);
        posix_spawn_file_actions_addclose (&actions, fds[1]);

        char path[] = LOOMWELL_PROGRAM;
        char* argv[] = { path, nullptr };
        if (::posix_spawn (&pid, path, &actions, nullptr, argv, envp.data()) != 0)
            pid = -1;

        posix_spawn_file_actions_destroy (&actions);
        ::close (fds[1]);
    }

    ~ProgramProcess()
    {
        if (pid > 0)
        {
            ::kill (pid, SIGKILL);
            ::waitpid (pid, nullptr, 0);
        }
        if (errFd >= 0)
            ::close (errFd);
    }

    ProgramProcess (const ProgramProcess&) = delete;
    ProgramProcess& operator= (const ProgramProcess&) = delete;

    bool started() const { return pid > 0 || exited; }

    // False once the program has ended; an ended program is reaped here.
    bool running()
    {
        if (pid <= 0)
            return false;
        int status = 0;
        if (::waitpid (pid, &status, WNOHANG) != pid)
            return true;
        reaped (status);
        return false;
    }

    // Reads standard error until it holds `text` or the deadline passes.
    bool waitForOutput (const std::string& text, std::chrono::milliseconds deadline)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (output.find (text) == std::string::npos && std::chrono::steady_clock::now() < end)
            if (! readSome (100))
                return false;
        return output.find (text) != std::string::npos;
    }

    // Sends the signal and waits for the program to end; its exit status,
    // or -1 when it did not exit normally within the deadline (it is then
    // killed by the destructor).
    int stopWith (int signal, std::chrono::milliseconds deadline)
    {
        if (pid <= 0)
            return exitStatus;

        ::kill (pid, signal);
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end)
        {
            int status = 0;
            if (::waitpid (pid, &status, WNOHANG) == pid)
            {
                reaped (status);
                while (readSome (0))
                {
                }
                return exitStatus;
            }
            readSome (20);
        }
        return -1;
    }

    std::string output;
    pid_t processId() const { return pid; }

private:
    void reaped (int status)
    {
        pid = -1;
        exited = true;
        exitStatus = WIFEXITED (status) ? WEXITSTATUS (status) : -1;
    }

    // False at the end of the stream.
    bool readSome (int timeoutMs)
    {
        pollfd entry { errFd, POLLIN, 0 };
        if (::poll (&entry, 1, timeoutMs) <= 0)
            return timeoutMs > 0;

        char buffer[4096];
        const auto count = ::read (errFd, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        output.append (buffer, static_cast<size_t> (count));
        return true;
    }

    pid_t pid = -1;
    bool exited = false;
    int exitStatus = -1;
    int errFd = -1;
};

} // namespace loomwell::testing
