// The loomwell program itself, started under umockdev-run on an empty
// mocked USB bus. (With consoles on the mocked bus the program would probe
// ALSA's cards, which umockdev's preload library does not survive.)

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

using namespace std::chrono_literals;

class Program
{
public:
    // Starts the program with its standard error on a pipe and its audio
    // layer pointed at an empty runtime directory, so that no sound server
    // of the machine answers it.
    Program()
    {
        char dirTemplate[] = "/tmp/loomwell-program-XXXXXX";
        runtimeDir = ::mkdtemp (dirTemplate) != nullptr ? dirTemplate : "";

        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry)
        {
            const std::string variable = *entry;
            if (! variable.starts_with ("XDG_RUNTIME_DIR=") && ! variable.starts_with ("PIPEWIRE_"))
                env.push_back (variable);
        }
        env.push_back ("XDG_RUNTIME_DIR=" + runtimeDir);
        env.push_back ("PIPEWIRE_RUNTIME_DIR=" + runtimeDir);

        std::vector<char*> envp;
        for (auto& variable : env)
            envp.push_back (variable.data());
        envp.push_back (nullptr);

        int fds[2];
        if (::pipe (fds) != 0)
            return;
        errFd = fds[0];

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
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

    ~Program()
    {
        if (pid > 0)
        {
            ::kill (pid, SIGKILL);
            ::waitpid (pid, nullptr, 0);
        }
        if (errFd >= 0)
            ::close (errFd);
        if (! runtimeDir.empty())
            ::rmdir (runtimeDir.c_str());
    }

    bool started() const { return pid > 0; }

    bool running() const
    {
        int status = 0;
        return pid > 0 && ::waitpid (pid, &status, WNOHANG) == 0;
    }

    // Reads standard error until it holds `text` or the deadline passes.
    bool waitForOutput (const std::string& text, std::chrono::seconds deadline)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (output.find (text) == std::string::npos && std::chrono::steady_clock::now() < end)
            if (! readSome (100))
                return false;
        return output.find (text) != std::string::npos;
    }

    // Sends the signal and waits for the program to end; its exit status,
    // or -1 when it did not exit normally within the deadline.
    int stopWith (int signal, std::chrono::seconds deadline)
    {
        ::kill (pid, signal);
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end)
        {
            int status = 0;
            if (::waitpid (pid, &status, WNOHANG) == pid)
            {
                pid = -1;
                while (readSome (0))
                {
                }
                return WIFEXITED (status) ? WEXITSTATUS (status) : -1;
            }
            readSome (20);
        }
        return -1;
    }

    std::string output;

private:
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
    int errFd = -1;
    std::string runtimeDir;
};

TEST (Program, ScansAtStartAndQuitsCleanlyOnSigintAndSigterm)
{
    if (std::getenv ("UMOCKDEV_DIR") == nullptr)
        GTEST_SKIP() << "needs umockdev-run";

    for (const int signal : { SIGTERM, SIGINT })
    {
        Program program;
        ASSERT_TRUE (program.started());
        ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 0 devices\n", 60s)) << program.output;

        // The scan's end is not the program's.
        std::this_thread::sleep_for (200ms);
        ASSERT_TRUE (program.running()) << program.output;
        EXPECT_EQ (program.stopWith (signal, 20s), 0) << program.output;
        EXPECT_EQ (program.output, "LMW: === scanForDevices ===\n"
                                   "LMW: found 0 Vesko multitrack USB devices\n"
                                   "LMW: now tracking 0 devices\n");
    }
}

} // namespace
