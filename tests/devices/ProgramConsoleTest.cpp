// The loomwell program with one console attached: under umockdev-run, whose
// mocked USB bus holds a Vantor, and with a private PipeWire world whose
// 10-channel null sink stands in for the console's multitrack device.

#include "PipeWireWorld.h"
#include "Umockdev.h"
#include "OpenDescriptors.h"
#include "ProgramProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

namespace loomwell::testing
{
namespace
{

using namespace std::chrono_literals;

// libjack reads its metadata database under /dev/shm each time JUCE's JACK
// type scans. Berkeley DB opens the database's region file with O_EXCL first
// and reopens it when that fails with EEXIST; under umockdev the failure
// reads ENOENT (see above), so Berkeley DB reports it on standard error
// itself, past libjack's message functions. Outside umockdev the line never
// appears; it is the only foreign line this test lets through.
std::string withoutJackDatabaseLines (const std::string& output)
{
    static const std::regex jackDatabase (R"(/dev/shm/jack_db-[0-9]+/__db\.[0-9]+: No such file or directory)");
    std::istringstream in (output);
    std::string result, line;
    while (std::getline (in, line))
        if (! std::regex_match (line, jackDatabase))
            result += line + "\n";
    return result;
}

TEST (ProgramWithConsole, OpensTheConsoleAtStartAndQuitsCleanlyOnSigterm)
{
    UmockdevEnvironment umockdev;
    if (! umockdev.present())
        GTEST_SKIP() << "needs umockdev-run";
    withoutDefaultIoctlHandler (umockdev.dir());

    PipeWireWorld world;
    ASSERT_TRUE (world.start()) << world.logs();
    const auto sink = world.createNullSink ({ "mixora-vantor", "Mixora Vantor Main Multitrack", 10, {}, 0 });
    ASSERT_TRUE (sink) << world.logs();

    // The world's variables are in this process's environment now; home
    // and the XDG directories are empty ones of the test's.
    auto environment = currentEnvironment();
    for (auto& variable : umockdev.variables())
        environment.push_back (std::move (variable));
    for (const auto& [variable, dir] : { std::pair { "HOME", "home" }, { "XDG_CONFIG_HOME", "config" },
                                         { "XDG_CACHE_HOME", "cache" }, { "XDG_DATA_HOME", "data" } })
    {
        const auto path = world.runtimeDir() + "/program-" + dir;
        std::filesystem::create_directories (path);
        const auto prefix = std::string (variable) + "=";
        std::erase_if (environment, [&prefix] (const std::string& v) { return v.rfind (prefix, 0) == 0; });
        environment.push_back (prefix + path);
    }

    ProgramProcess program (environment);
    ASSERT_TRUE (program.started());
    ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 1 devices\n", 60s)) << program.output << world.logs();

    // A second start in the same session says so and ends at once, without
    // touching the consoles; the first runs on.
    {
        ProgramProcess second (environment);
        ASSERT_TRUE (second.started());
        EXPECT_TRUE (second.waitForOutput ("LMW: Loomwell is already running in this session\n", 20s)) << second.output;
        for (int i = 0; i < 200 && second.running(); ++i)
            std::this_thread::sleep_for (50ms);
        EXPECT_FALSE (second.running());
        EXPECT_EQ (second.stopWith (SIGTERM, 1s), 0);
        EXPECT_EQ (second.output.find ("scanForDevices"), std::string::npos) << second.output;
    }

    std::this_thread::sleep_for (200ms);
    ASSERT_TRUE (program.running()) << program.output;

    // It talks to the sound server and the buses it was given and nothing
    // else: no network socket, nothing listening, no file open for writing,
    // nothing left in its home or its XDG directories.
    const auto open = openDescriptors (program.processId());
    std::string listing;
    for (const auto& line : open.all)
        listing += line + "\n";
    EXPECT_TRUE (open.networkSockets.empty()) << listing;
    EXPECT_TRUE (open.listeningSockets.empty()) << listing;
    EXPECT_TRUE (open.filesOpenForWriting.empty()) << listing;

    EXPECT_EQ (program.stopWith (SIGTERM, 20s), 0) << program.output;
    for (const auto* dir : { "home", "config", "cache", "data" })
        EXPECT_TRUE (std::filesystem::is_empty (world.runtimeDir() + "/program-" + dir)) << dir;

    // The sinks are listed in the order the world made them; the stream runs
    // at the graph's default rate and quantum, as the world leaves them.
    const std::string startUp =
        "LMW: === scanForDevices ===\n"
        "LMW:   USB device: serial=VN-2503-0107 pid=0x7401 fw=1.23\n"
        "LMW: found 1 Vesko multitrack USB devices\n"
        "LMW:   adding Mixora Vantor (S/N VN-2503-0107)\n"
        "LMW: DeviceInstance::open() for Mixora Vantor (S/N VN-2503-0107)\n"
        "LMW:   tryOpen for 'Mixora Vantor' (coreAudioId=0), JUCE sees 2 devices:\n"
        "LMW:     [0] 'Speakers'\n"
        "LMW:     [1] 'Mixora Vantor Main Multitrack'\n"
        "LMW:   opened JUCE device 'Mixora Vantor Main Multitrack'\n"
        "LMW:   claimed JUCE name 'Mixora Vantor Main Multitrack'\n"
        "LMW: Opened Mixora Vantor with 10 channels (S/N: VN-2503-0107, FW: 1.23)\n"
        "LMW: Mixora Vantor started \xE2\x80\x94 Mixora Vantor Main Multitrack @ 48000Hz, block=1024\n"
        "LMW:   opened Mixora Vantor (S/N VN-2503-0107)\n"
        "LMW: now tracking 1 devices\n";
    const auto output = withoutJackDatabaseLines (program.output);
    ASSERT_EQ (output.substr (0, startUp.size()), startUp) << program.output;

    // The device manager's change broadcasts from the opening arrive after
    // it and may lead to further scans before the signal; those keep the
    // console as it is.
    std::istringstream rest (output.substr (startUp.size()));
    for (std::string line; std::getline (rest, line);)
        EXPECT_TRUE (line == "LMW: handleDeviceListChange" || line == "LMW: === scanForDevices ==="
                     || line == "LMW:   USB device: serial=VN-2503-0107 pid=0x7401 fw=1.23"
                     || line == "LMW: found 1 Vesko multitrack USB devices" || line == "LMW: now tracking 1 devices")
            << line << "\n" << program.output;

    EXPECT_TRUE (world.destroyNode (*sink));
}

} // namespace
} // namespace loomwell::testing
