#pragma once

// What the kernel says about a process: its CPU time and resident memory,
// and which of this process's children runs a given program.

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace loomwell::testing
{

struct ProcessStat
{
    std::string name; // comm
    pid_t parent = 0;
    double cpuSeconds = 0.0; // utime + stime
};

// A process, or one of its threads when `thread` is given.
inline std::optional<ProcessStat> processStat (pid_t pid, pid_t thread = 0)
{
    std::ifstream in ("/proc/" + std::to_string (pid) + (thread > 0 ? "/task/" + std::to_string (thread) : std::string()) + "/stat");
    std::string line;
    if (! std::getline (in, line))
        return std::nullopt;
    // The name is in parentheses and may hold spaces and parentheses itself.
    const auto open = line.find ('('), close = line.rfind (')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    ProcessStat stat;
    stat.name = line.substr (open + 1, close - open - 1);
    std::istringstream fields (line.substr (close + 2));
    std::vector<std::string> f;
    for (std::string field; fields >> field;)
        f.push_back (field);
    // From the state on: state ppid pgrp session tty tpgid flags minflt
    // cminflt majflt cmajflt utime stime.
    if (f.size() < 13)
        return std::nullopt;
    stat.parent = static_cast<pid_t> (std::stol (f[1]));
    stat.cpuSeconds = static_cast<double> (std::stoll (f[11]) + std::stoll (f[12])) / static_cast<double> (::sysconf (_SC_CLK_TCK));
    return stat;
}

inline double cpuSeconds (pid_t pid)
{
    const auto stat = processStat (pid);
    return stat ? stat->cpuSeconds : 0.0;
}

// Resident memory in KiB (VmRSS), 0 when the process is gone.
inline long residentKiB (pid_t pid)
{
    std::ifstream in ("/proc/" + std::to_string (pid) + "/status");
    for (std::string line; std::getline (in, line);)
        if (line.rfind ("VmRSS:", 0) == 0)
            return std::stol (line.substr (6));
    return 0;
}

// Children of this process whose program name (comm) is `name`.
inline std::vector<pid_t> childrenNamed (const std::string& name)
{
    std::vector<pid_t> result;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator ("/proc", error))
    {
        const auto file = entry.path().filename().string();
        if (file.empty() || file.find_first_not_of ("0123456789") != std::string::npos)
            continue;
        const auto pid = static_cast<pid_t> (std::stol (file));
        if (const auto stat = processStat (pid); stat && stat->parent == ::getpid() && stat->name == name)
            result.push_back (pid);
    }
    return result;
}

} // namespace loomwell::testing
