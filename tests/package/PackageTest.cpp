// The Debian package as a user gets it: made by CPack from this build tree,
// read back with dpkg's own tools (control fields, file list, configuration
// files), its desktop entries checked with desktop-file-validate, and the
// program it installs started from an extracted copy under a private
// PipeWire world, as a login session would start it without a display.

#include "PipeWireWorld.h"
#include "ProgramProcess.h"
#include "Umockdev.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace loomwell::testing
{
namespace
{

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Where the package is made and extracted; the program's path in the
// extracted tree is LOOMWELL_PROGRAM.
const fs::path scratchDir = LOOMWELL_PACKAGE_DIR;
const fs::path extractedRoot = scratchDir / "root";

const std::vector<int> iconSizes { 16, 22, 24, 32, 48, 64, 128, 256 };

struct Finished
{
    bool started = false;
    int status = -1; // exit status, -1 when killed by a signal
    std::string output; // standard output and standard error together
};

// Runs a command to its end with this process's environment.
Finished run (std::vector<std::string> argv)
{
    Finished result;
    int fds[2];
    if (::pipe (fds) != 0)
        return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2 (&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2 (&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose (&actions, fds[0]);
    posix_spawn_file_actions_addclose (&actions, fds[1]);

    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back (a.data());
    args.push_back (nullptr);

    pid_t pid = -1;
    result.started = ::posix_spawnp (&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy (&actions);
    ::close (fds[1]);

    char buffer[4096];
    for (ssize_t count; (count = ::read (fds[0], buffer, sizeof buffer)) > 0;)
        result.output.append (buffer, static_cast<size_t> (count));
    ::close (fds[0]);

    if (result.started)
    {
        int status = 0;
        ::waitpid (pid, &status, 0);
        result.status = WIFEXITED (status) ? WEXITSTATUS (status) : -1;
    }
    return result;
}

bool onPath (const std::string& program)
{
    const char* path = std::getenv ("PATH");
    std::istringstream dirs (path != nullptr ? path : "");
    for (std::string dir; std::getline (dirs, dir, ':');)
        if (! dir.empty() && ::access ((fs::path (dir) / program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string trimmed (const std::string& text)
{
    const auto first = text.find_first_not_of (" \t\n");
    const auto last = text.find_last_not_of (" \t\n");
    return first == std::string::npos ? std::string() : text.substr (first, last - first + 1);
}

// The package names of a relationship field, without versions or
// alternatives' separators: "a (>= 1), b | c" gives a, b, c.
std::set<std::string> packageNames (const std::string& field)
{
    std::set<std::string> names;
    std::string current;
    bool inVersion = false;
    for (const char c : field + ",")
    {
        if (c == '(')
            inVersion = true;
        else if (c == ')')
            inVersion = false;
        else if (! inVersion && (c == ',' || c == '|'))
        {
            if (auto name = trimmed (current); ! name.empty())
                names.insert (name);
            current.clear();
        }
        else if (! inVersion)
            current += c;
    }
    return names;
}

// The keys of a desktop entry's [Desktop Entry] group.
std::map<std::string, std::string> desktopEntry (const fs::path& file)
{
    std::map<std::string, std::string> keys;
    std::ifstream in (file);
    bool inGroup = false;
    for (std::string line; std::getline (in, line);)
    {
        if (line.starts_with ("["))
            inGroup = line == "[Desktop Entry]";
        else if (inGroup && ! line.starts_with ("#"))
            if (const auto eq = line.find ('='); eq != std::string::npos)
                keys[line.substr (0, eq)] = line.substr (eq + 1);
    }
    return keys;
}

// Width and height from a PNG's header, or nothing when it is not a PNG.
std::optional<std::pair<int, int>> pngSize (const fs::path& file)
{
    std::ifstream in (file, std::ios::binary);
    unsigned char header[24] {};
    if (! in.read (reinterpret_cast<char*> (header), sizeof header) || header[1] != 'P' || header[2] != 'N' || header[3] != 'G')
        return {};
    const auto be32 = [&header] (int at)
    { return (header[at] << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) | header[at + 3]; };
    return std::make_pair (be32 (16), be32 (20));
}

class Package : public ::testing::Test
{
protected:
    // One package for the whole suite: making it is the slow part.
    static void SetUpTestSuite()
    {
        // cpack, dpkg and the PipeWire daemons run on the real system; only
        // the program is started under the mocked USB bus.
        umockdev = std::make_unique<UmockdevEnvironment>();

        std::error_code ignored;
        fs::remove_all (scratchDir, ignored);
        fs::create_directories (scratchDir);

        const auto made = run ({ LOOMWELL_CPACK, "-G", "DEB", "--config", LOOMWELL_CPACK_CONFIG, "-B", scratchDir.string() });
        log = made.output;
        if (made.status != 0)
            return;

        for (const auto& entry : fs::directory_iterator (scratchDir))
            if (entry.path().extension() == ".deb")
                deb = entry.path();
        if (deb.empty())
            return;

        const auto extracted = run ({ "dpkg", "-x", deb.string(), extractedRoot.string() });
        if (extracted.status != 0)
            log += extracted.output;
    }

    static void TearDownTestSuite()
    {
        // A failed run leaves the package and its extracted tree to look at.
        if (::testing::UnitTest::GetInstance()->current_test_suite()->Passed())
        {
            std::error_code ignored;
            fs::remove_all (scratchDir, ignored);
        }
        umockdev.reset();
    }

    void SetUp() override
    {
        ASSERT_FALSE (deb.empty()) << "cpack made no package:\n" << log;
    }

    static std::string field (const std::string& name)
    {
        return trimmed (run ({ "dpkg-deb", "--field", deb.string(), name }).output);
    }

    static inline std::unique_ptr<UmockdevEnvironment> umockdev;
    static inline fs::path deb;
    static inline std::string log;
};

TEST_F (Package, ControlNamesTheRuntimeDependenciesAndTheConfigurationFile)
{
    const auto architecture = trimmed (run ({ "dpkg", "--print-architecture" }).output);
    EXPECT_EQ (deb.filename().string(), std::string ("loomwell_") + LOOMWELL_VERSION + "_" + architecture + ".deb");

    const auto info = run ({ "dpkg-deb", "-I", deb.string() });
    ASSERT_EQ (info.status, 0) << info.output;

    EXPECT_EQ (field ("Package"), "loomwell");
    EXPECT_EQ (field ("Version"), LOOMWELL_VERSION);
    EXPECT_EQ (field ("Architecture"), architecture);
    EXPECT_EQ (field ("Section"), "sound");
    EXPECT_TRUE (field ("Maintainer").find ('@') != std::string::npos) << info.output;
    EXPECT_FALSE (field ("Description").empty()) << info.output;

    // The libraries it links (from dpkg-shlibdeps) and what it talks to
    // or loads at run time.
    const auto depends = packageNames (field ("Depends"));
    for (const auto* name : { "pipewire", "wireplumber", "libpipewire-0.3-0", "libudev1", "libsystemd0",
                              "libx11-6", "libxext6", "libc6", "libstdc++6" })
        EXPECT_TRUE (depends.contains (name)) << name << " missing from Depends: " << field ("Depends");

    // The autostart entry in /etc is a configuration file of the package.
    const auto conffiles = run ({ "dpkg-deb", "-I", deb.string(), "conffiles" });
    EXPECT_EQ (conffiles.status, 0) << info.output;
    EXPECT_EQ (trimmed (conffiles.output), "/etc/xdg/autostart/loomwell.desktop");
}

TEST_F (Package, HoldsTheProgramItsEntriesAndItsIconsAndNothingElse)
{
    const auto listing = run ({ "dpkg-deb", "-c", deb.string() });
    ASSERT_EQ (listing.status, 0) << listing.output;

    // "-rwxr-xr-x root/root 123 2024-01-01 00:00 ./usr/bin/loomwell"
    std::map<std::string, std::string> files; // path -> mode
    std::istringstream lines (listing.output);
    for (std::string line; std::getline (lines, line);)
    {
        std::istringstream fields (line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        EXPECT_EQ (owner, "root/root") << line;
        if (! mode.starts_with ("d"))
            files[path] = mode;
    }

    std::set<std::string> expected { "./usr/bin/loomwell",
                                     "./usr/share/applications/loomwell.desktop",
                                     "./etc/xdg/autostart/loomwell.desktop",
                                     "./usr/share/icons/hicolor/scalable/apps/loomwell.svg" };
    for (const int size : iconSizes)
        expected.insert ("./usr/share/icons/hicolor/" + std::to_string (size) + "x" + std::to_string (size) + "/apps/loomwell.png");

    std::set<std::string> listed;
    for (const auto& [path, mode] : files)
        listed.insert (path);
    EXPECT_EQ (listed, expected) << listing.output;
    EXPECT_EQ (files["./usr/bin/loomwell"], "-rwxr-xr-x");
    EXPECT_EQ (files["./etc/xdg/autostart/loomwell.desktop"], "-rw-r--r--");

    // Each PNG is of the size its directory promises.
    for (const int size : iconSizes)
    {
        const auto png = extractedRoot / "usr/share/icons/hicolor" / (std::to_string (size) + "x" + std::to_string (size))
                         / "apps/loomwell.png";
        EXPECT_EQ (pngSize (png), std::make_pair (size, size)) << png;
    }
}

TEST_F (Package, DesktopEntriesAreValidAndNameTheInstalledProgramAndIcon)
{
    for (const auto* entry : { "usr/share/applications/loomwell.desktop", "etc/xdg/autostart/loomwell.desktop" })
    {
        SCOPED_TRACE (entry);
        const auto keys = desktopEntry (extractedRoot / entry);

        // The menu and the session start the program by this name on PATH.
        const auto exec = keys.contains ("Exec") ? keys.at ("Exec") : std::string();
        const auto program = exec.substr (0, exec.find (' '));
        ASSERT_FALSE (program.empty());
        EXPECT_EQ (::access ((extractedRoot / "usr/bin" / program).c_str(), X_OK), 0) << exec;

        const auto icon = keys.contains ("Icon") ? keys.at ("Icon") : std::string();
        ASSERT_FALSE (icon.empty());
        EXPECT_TRUE (fs::exists (extractedRoot / "usr/share/icons/hicolor/scalable/apps" / (icon + ".svg"))) << icon;
        EXPECT_TRUE (fs::exists (extractedRoot / "usr/share/icons/hicolor/48x48/apps" / (icon + ".png"))) << icon;
    }

    if (! onPath ("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate not installed (Debian package desktop-file-utils)";

    for (const auto* entry : { "usr/share/applications/loomwell.desktop", "etc/xdg/autostart/loomwell.desktop" })
    {
        const auto validated = run ({ "desktop-file-validate", (extractedRoot / entry).string() });
        EXPECT_EQ (validated.status, 0) << entry << ":\n" << validated.output;
        // It exits 0 on hints and warnings too; an entry of ours has none.
        EXPECT_EQ (validated.output, "") << entry;
    }
}

TEST_F (Package, InstalledProgramStartsAndQuitsUnderPipeWire)
{
    if (! umockdev->present())
        GTEST_SKIP() << "needs umockdev-run";
    withoutDefaultIoctlHandler (umockdev->dir());

    ASSERT_EQ (::access (LOOMWELL_PROGRAM, X_OK), 0) << "not extracted: " << LOOMWELL_PROGRAM << "\n" << log;

    PipeWireWorld world;
    ASSERT_TRUE (world.start()) << world.logs();

    // As a session without a display would start it: no tray.
    std::vector<std::string> environment;
    for (auto& variable : currentEnvironment())
        if (! variable.starts_with ("DISPLAY=") && ! variable.starts_with ("WAYLAND_DISPLAY="))
            environment.push_back (std::move (variable));
    for (auto& variable : umockdev->variables())
        environment.push_back (std::move (variable));

    ProgramProcess program (std::move (environment));
    ASSERT_TRUE (program.started());
    ASSERT_TRUE (program.waitForOutput ("LMW: now tracking 0 devices\n", 60s)) << program.output;

    std::this_thread::sleep_for (200ms);
    ASSERT_TRUE (program.running()) << program.output;
    EXPECT_EQ (program.stopWith (SIGTERM, 20s), 0) << program.output;
}

} // namespace
} // namespace loomwell::testing
