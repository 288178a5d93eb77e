#pragma once

// What a running process has open, read from /proc: sockets on the network
// (TCP, UDP, raw, of either family), listening local sockets, and regular
// files open for writing.

#include <sys/types.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace loomwell::testing
{

struct OpenDescriptors
{
    std::vector<std::string> all;
    std::vector<std::string> networkSockets;
    std::vector<std::string> listeningSockets;
    std::vector<std::string> filesOpenForWriting;
};

inline OpenDescriptors openDescriptors (pid_t pid)
{
    const auto proc = "/proc/" + std::to_string (pid);

    // Socket inodes by kind, from the process's own network namespace view.
    std::set<std::string> network, listening;
    for (const char* table : { "tcp", "tcp6", "udp", "udp6", "raw", "raw6" })
    {
        std::ifstream in (proc + "/net/" + table);
        std::string line;
        std::getline (in, line);
        while (std::getline (in, line))
        {
            std::istringstream fields (line);
            std::vector<std::string> f;
            for (std::string x; fields >> x;)
                f.push_back (x);
            if (f.size() > 9)
                network.insert (f[9]);
        }
    }
    {
        // Num RefCount Protocol Flags Type St Inode Path; flag 0x10000 is a
        // socket that accepts connections.
        std::ifstream in (proc + "/net/unix");
        std::string line;
        std::getline (in, line);
        while (std::getline (in, line))
        {
            std::istringstream fields (line);
            std::vector<std::string> f;
            for (std::string x; fields >> x;)
                f.push_back (x);
            if (f.size() > 6 && (std::stoul (f[3], nullptr, 16) & 0x10000u) != 0)
                listening.insert (f[6]);
        }
    }

    OpenDescriptors result;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator (proc + "/fd", error))
    {
        const auto target = std::filesystem::read_symlink (entry.path(), error).string();
        if (error)
            continue;
        result.all.push_back (entry.path().filename().string() + " -> " + target);

        if (target.rfind ("socket:[", 0) == 0)
        {
            const auto inode = target.substr (8, target.size() - 9);
            if (network.count (inode) > 0)
                result.networkSockets.push_back (target);
            if (listening.count (inode) > 0)
                result.listeningSockets.push_back (target);
            continue;
        }

        if (target.empty() || target[0] != '/' || target.rfind ("/dev/", 0) == 0 || target.rfind ("/proc/", 0) == 0
            || ! std::filesystem::is_regular_file (target, error))
            continue;

        std::ifstream info (proc + "/fdinfo/" + entry.path().filename().string());
        for (std::string line; std::getline (info, line);)
            if (line.rfind ("flags:", 0) == 0 && (std::stoul (line.substr (6), nullptr, 8) & O_ACCMODE) != O_RDONLY)
                result.filesOpenForWriting.push_back (target);
    }
    return result;
}

} // namespace loomwell::testing
