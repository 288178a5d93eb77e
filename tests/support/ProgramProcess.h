#pragma once

// The loomwell program (LOOMWELL_PROGRAM) as a child of a test, its standard
// error in a file the test reads; and the mocked USB bus it runs on while the
// test's own daemons run on the real system.

#include "PipeWireWorld.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace loomwell::testing
{

class ProgramProcess
{
public:
    explicit ProgramProcess (const std::vector<std::string>& environment)
    {
        std::vector<char*> envp;
        for (const auto& variable : environment)
            envp.push_back (const_cast<char*> (variable.c_str()));
        envp.push_back (nullptr);
        if (const int fd = ::mkostemp (log.data(), O_CLOEXEC); fd >= 0)
            pid = spawn ({ LOOMWELL_PROGRAM }, {}, -1, fd, envp.data()), ::close (fd);
    }

    ~ProgramProcess()
    {
        stopWith (SIGKILL, std::chrono::seconds (5));
        ::unlink (log.c_str());
    }

    bool started() const { return pid > 0 || exitStatus != -2; }
    pid_t processId() const { return pid; }

    // False once the program has ended (it is reaped then).
    bool running()
    {
        int status = 0;
        if (pid <= 0 || ::waitpid (pid, &status, WNOHANG) != pid)
            return pid > 0;
        pid = -1;
        exitStatus = WIFEXITED (status) ? WEXITSTATUS (status) : -1;
        return false;
    }

    // Reads standard error until it holds `text` or the deadline passes.
    bool waitForOutput (const std::string& text, std::chrono::milliseconds deadline)
    {
        return waitUntil ([&] { return read().find (text) != std::string::npos; }, deadline);
    }

    // The exit status after the signal (0 only waits), or -1 when the
    // program did not exit normally within the deadline.
    int stopWith (int signal, std::chrono::milliseconds deadline)
    {
        if (pid > 0 && signal != 0)
            ::kill (pid, signal);
        waitUntil ([this] { return ! running(); }, deadline);
        read();
        return pid > 0 ? -1 : exitStatus;
    }

    std::string output; // its standard error, as last read

private:
    const std::string& read()
    {
        std::ifstream in (log);
        output.assign (std::istreambuf_iterator<char> (in), {});
        return output;
    }

    std::string log = (std::filesystem::temp_directory_path() / "loomwell-program-XXXXXX").string();
    pid_t pid = -1;
    int exitStatus = -2;
};

// Takes the umockdev variables out of this process's environment for its
// life; the program gets them back (programEnvironment()).
//
// umockdev's preload library (0.17) enters every failed open() under /dev in
// a table of 50 entries that nothing clears, through the testbed's default
// ioctl handler, and aborts the program once it is full: JUCE's ALSA type
// fails 64 such opens on a machine without sound cards. Nothing here needs
// that handler (the program reads the mocked bus through sysfs): it goes.
class UmockdevEnvironment
{
public:
    UmockdevEnvironment()
    {
        for (auto& [name, value] : saved)
            if (const char* current = std::getenv (name.c_str()))
                value = current;
        for (const auto& [name, value] : saved)
            ::unsetenv (name.c_str());
        std::error_code ignored;
        if (present())
            std::filesystem::remove (*saved[1].second + "/ioctl/_default", ignored);
    }

    ~UmockdevEnvironment()
    {
        for (const auto& [name, value] : saved)
            if (value)
                ::setenv (name.c_str(), value->c_str(), 1);
    }

    bool present() const { return saved[0].second && saved[1].second; }

    // This process's environment with the umockdev variables back.
    std::vector<std::string> programEnvironment() const
    {
        std::vector<std::string> result;
        for (char** variable = environ; *variable != nullptr; ++variable)
            result.emplace_back (*variable);
        for (const auto& [name, value] : saved)
            if (value)
                result.push_back (name + "=" + *value);
        return result;
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved { { "LD_PRELOAD", {} }, { "UMOCKDEV_DIR", {} } };
};

} // namespace loomwell::testing
