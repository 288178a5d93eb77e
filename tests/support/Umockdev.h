#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace loomwell::testing
{

// Takes the umockdev variables out of this process's environment for its
// life, so that the daemons of the PipeWire world run on the real system;
// only the program is started under the mocked bus.
class UmockdevEnvironment
{
public:
    UmockdevEnvironment()
    {
        for (auto& [name, value] : saved)
            if (const char* current = std::getenv (name.c_str()))
            {
                value = current;
                ::unsetenv (name.c_str());
            }
    }

    ~UmockdevEnvironment()
    {
        for (const auto& [name, value] : saved)
            if (value)
                ::setenv (name.c_str(), value->c_str(), 1);
    }

    bool present() const { return saved[0].second && saved[1].second; }
    const std::string& dir() const { return *saved[1].second; }

    std::vector<std::string> variables() const
    {
        std::vector<std::string> result;
        for (const auto& [name, value] : saved)
            if (value)
                result.push_back (name + "=" + *value);
        return result;
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved { { "LD_PRELOAD", {} },
                                                                            { "UMOCKDEV_DIR", {} } };
};

// umockdev's preload library (0.17) mishandles every open() of a path under
// /dev that fails: it connects a socket to the testbed's default ioctl
// handler and enters the failed descriptor (-1) in a table of 50 entries
// that nothing ever clears, and it returns ENOENT whatever the real error
// was. ALSA looks for 32 sound cards by opening two device nodes for each,
// so JUCE's ALSA type overflows that table on a machine without sound cards
// and umockdev aborts the program. Without the default handler's socket the
// failed open is left alone. Nothing here needs the default handler: the
// program reads the mocked bus through sysfs and opens no device node.
inline void withoutDefaultIoctlHandler (const std::string& umockdevDir)
{
    std::error_code ignored;
    std::filesystem::remove (umockdevDir + "/ioctl/_default", ignored);
}

} // namespace loomwell::testing
