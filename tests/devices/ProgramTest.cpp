// The loomwell program itself, started under umockdev-run on an empty
// mocked USB bus and without a sound server.

#include "ProgramProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace loomwell::testing
{
namespace
{

using namespace std::chrono_literals;

// The program's environment with its audio layer pointed at an empty runtime
// directory, so that no sound server of the machine answers it.
class EmptyRuntimeDir
{
public:
    EmptyRuntimeDir()
    {
        char dirTemplate[] = "/tmp/loomwell-program-XXXXXX";
        if (::mkdtemp (dirTemplate) != nullptr)
            path = dirTemplate;
    }

    ~EmptyRuntimeDir()
    {
        if (! path.empty())
            ::rmdir (path.c_str());
    }

    std::vector<std::string> environment() const
    {
        std::vector<std::string> env;
        for (auto& variable : currentEnvironment())
            if (! variable.starts_with ("XDG_RUNTIME_DIR=") && ! variable.starts_with ("PIPEWIRE_"))
                env.push_back (std::move (variable));
        env.push_back ("XDG_RUNTIME_DIR=" + path);
        env.push_back ("PIPEWIRE_RUNTIME_DIR=" + path);
        return env;
    }

    std::string path;
};

TEST (Program, ScansAtStartAndQuitsCleanlyOnSigintAndSigterm)
{
    if (std::getenv ("UMOCKDEV_DIR") == nullptr)
        GTEST_SKIP() << "needs umockdev-run";

    for (const int signal : { SIGTERM, SIGINT })
    {
        EmptyRuntimeDir runtimeDir;
        ASSERT_FALSE (runtimeDir.path.empty());
        ProgramProcess program (runtimeDir.environment());
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
} // namespace loomwell::testing
