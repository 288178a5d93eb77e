#include "MessagePump.h"
#include "WakeObserver.h"

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace loomwell
{
namespace
{

using namespace std::chrono_literals;
using testing::pumpFor;
using testing::pumpUntil;

constexpr const char* loginService = "org.freedesktop.login1";

// A bus daemon of our own, configured as a system bus, reachable only
// through DBUS_SYSTEM_BUS_ADDRESS while it lives.
class PrivateSystemBus
{
public:
    PrivateSystemBus()
    {
        char pattern[] = "/tmp/loomwell-bus-XXXXXX";
        if (mkdtemp (pattern) == nullptr)
            return;
        dir = pattern;
        address = "unix:path=" + dir + "/system_bus";

        // dbus-daemon wants a <listen> even though --address overrides it.
        const auto config = dir + "/system.conf";
        std::ofstream (config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>)" << address << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

        const auto logPath = dir + "/dbus-daemon.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen (&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2 (&actions, 1, 2);

        const std::string configArg = "--config-file=" + config;
        const std::string addressArg = "--address=" + address;
        char* argv[] = { const_cast<char*> ("dbus-daemon"), const_cast<char*> (configArg.c_str()),
                         const_cast<char*> (addressArg.c_str()), const_cast<char*> ("--nofork"),
                         const_cast<char*> ("--nopidfile"), nullptr };
        if (posix_spawnp (&pid, argv[0], &actions, nullptr, argv, environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy (&actions);

        // The socket appears once the daemon listens.
        const auto socket = dir + "/system_bus";
        for (const auto end = std::chrono::steady_clock::now() + 10s;
             pid > 0 && std::chrono::steady_clock::now() < end && ! std::filesystem::exists (socket);)
        {
            if (waitpid (pid, nullptr, WNOHANG) == pid)
                pid = -1;
            std::this_thread::sleep_for (10ms);
        }

        if (pid > 0 && std::filesystem::exists (socket))
            useAsSystemBus (address);
    }

    ~PrivateSystemBus()
    {
        stop();
        restoreAddress();
        if (! dir.empty())
            std::filesystem::remove_all (dir);
    }

    PrivateSystemBus (const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator= (const PrivateSystemBus&) = delete;

    bool running() const { return pid > 0 && std::filesystem::exists (dir + "/system_bus"); }

    void stop()
    {
        if (pid <= 0)
            return;
        kill (pid, SIGTERM);
        bool exited = false;
        for (const auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;)
        {
            if (waitpid (pid, nullptr, WNOHANG) == pid)
            {
                exited = true;
                break;
            }
            std::this_thread::sleep_for (10ms);
        }
        if (! exited)
        {
            kill (pid, SIGKILL);
            waitpid (pid, nullptr, 0);
        }
        pid = -1;
    }

    // Points the system bus somewhere nobody listens.
    void useAsSystemBus (const std::string& busAddress)
    {
        if (! savedAddress)
        {
            const char* old = std::getenv ("DBUS_SYSTEM_BUS_ADDRESS");
            savedAddress = old != nullptr ? std::optional<std::string> (old) : std::nullopt;
            addressSaved = true;
        }
        setenv ("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    }

    std::string log() const
    {
        std::ifstream in (dir + "/dbus-daemon.log");
        return { std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>() };
    }

    std::string dir, address;

private:
    void restoreAddress()
    {
        if (! addressSaved)
            return;
        if (savedAddress)
            setenv ("DBUS_SYSTEM_BUS_ADDRESS", savedAddress->c_str(), 1);
        else
            unsetenv ("DBUS_SYSTEM_BUS_ADDRESS");
    }

    pid_t pid = -1;
    std::optional<std::string> savedAddress;
    bool addressSaved = false;
};

// A client of the private bus, used from the test's thread with blocking
// calls only: as the login manager it owns its name and announces sleep and
// resume; as anybody else it sends the same signal without the name.
class BusPeer
{
public:
    explicit BusPeer (const std::string& address)
    {
        if (sd_bus_new (&bus) < 0)
            return;
        const char* unique = nullptr;
        connected = sd_bus_set_address (bus, address.c_str()) >= 0 && sd_bus_set_bus_client (bus, 1) >= 0
                    && sd_bus_start (bus) >= 0 && sd_bus_get_unique_name (bus, &unique) >= 0;
    }

    ~BusPeer() { sd_bus_flush_close_unref (bus); }

    BusPeer (const BusPeer&) = delete;
    BusPeer& operator= (const BusPeer&) = delete;

    bool own (const char* name) { return connected && sd_bus_request_name (bus, name, 0) >= 0; }

    bool prepareForSleep (bool goingToSleep)
    {
        return connected
               && sd_bus_emit_signal (bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                      "PrepareForSleep", "b", static_cast<int> (goingToSleep))
                      >= 0
               && sd_bus_flush (bus) >= 0;
    }

    bool connected = false;

private:
    sd_bus* bus = nullptr;
};

struct WakeCounter
{
    std::function<void()> callback()
    {
        return [this]
        {
            ++wakes;
            onMessageThread = onMessageThread && juce::MessageManager::existsAndIsCurrentThread();
        };
    }

    int wakes = 0;
    bool onMessageThread = true;
};

class WakeObserverTest : public ::testing::Test
{
protected:
    void SetUp() override { juce::MessageManager::getInstance(); }

    void TearDown() override
    {
        // Nothing left queued may call into a test that has ended.
        pumpUntil ([] { return ! juce::dispatchNextMessageOnSystemQueue (true); }, 5s);
        juce::DeletedAtShutdown::deleteAll();
        juce::MessageManager::deleteInstance();
    }
};

// Only the login manager's resume announcement counts, once, on the message
// thread; its sleep announcement and the same signal sent by anybody else do not.
TEST_F (WakeObserverTest, ReportsResumeFromTheLoginManagerOnceOnTheMessageThread)
{
    PrivateSystemBus systemBus;
    ASSERT_TRUE (systemBus.running()) << systemBus.log();
    BusPeer logind (systemBus.address), impostor (systemBus.address);
    ASSERT_TRUE (logind.own (loginService));
    ASSERT_TRUE (impostor.connected);

    WakeCounter counter;
    auto observer = WakeObserver::create (counter.callback());
    ASSERT_NE (observer, nullptr);

    ASSERT_TRUE (logind.prepareForSleep (true));
    ASSERT_TRUE (impostor.prepareForSleep (false));
    pumpFor (500ms);
    EXPECT_EQ (counter.wakes, 0);

    ASSERT_TRUE (logind.prepareForSleep (false));
    ASSERT_TRUE (pumpUntil ([&] { return counter.wakes > 0; }));
    pumpFor (300ms);
    EXPECT_EQ (counter.wakes, 1);
    EXPECT_TRUE (counter.onMessageThread);

    // A second night works like the first.
    ASSERT_TRUE (logind.prepareForSleep (true));
    ASSERT_TRUE (logind.prepareForSleep (false));
    ASSERT_TRUE (pumpUntil ([&] { return counter.wakes > 1; }));
    pumpFor (300ms);
    EXPECT_EQ (counter.wakes, 2);
}

TEST_F (WakeObserverTest, IsNotCreatedWithoutSystemBusOrLoginManager)
{
    PrivateSystemBus systemBus;
    ASSERT_TRUE (systemBus.running()) << systemBus.log();

    // A bus on which nobody owns the login manager's name.
    {
        WakeCounter counter;
        EXPECT_EQ (WakeObserver::create (counter.callback()), nullptr);
    }

    // The login manager left again before the program started.
    {
        BusPeer logind (systemBus.address);
        ASSERT_TRUE (logind.own (loginService));
    }
    {
        WakeCounter counter;
        EXPECT_EQ (WakeObserver::create (counter.callback()), nullptr);
    }

    // No bus listening at the system bus's address.
    systemBus.useAsSystemBus ("unix:path=" + systemBus.dir + "/absent");
    {
        WakeCounter counter;
        EXPECT_EQ (WakeObserver::create (counter.callback()), nullptr);
    }
}

// Once destroyed, the observer reports nothing, not even a resume it had
// already read from the bus, and leaves nothing behind in the event loop.
TEST_F (WakeObserverTest, ReportsNothingOnceDestroyed)
{
    PrivateSystemBus systemBus;
    ASSERT_TRUE (systemBus.running()) << systemBus.log();
    BusPeer logind (systemBus.address);
    ASSERT_TRUE (logind.own (loginService));

    WakeCounter counter;
    auto observer = WakeObserver::create (counter.callback());
    ASSERT_NE (observer, nullptr);

    ASSERT_TRUE (logind.prepareForSleep (false));
    ASSERT_TRUE (pumpUntil ([&] { return counter.wakes == 1; }));

    // One round of the loop reads the next resume from the bus; its report
    // is then still queued when the observer goes.
    ASSERT_TRUE (logind.prepareForSleep (false));
    std::this_thread::sleep_for (100ms);
    juce::dispatchNextMessageOnSystemQueue (true);
    const auto seen = counter.wakes;
    observer.reset();

    ASSERT_TRUE (logind.prepareForSleep (false));
    pumpFor (300ms);
    EXPECT_EQ (counter.wakes, seen);
    EXPECT_TRUE (pumpUntil ([] { return ! juce::dispatchNextMessageOnSystemQueue (true); }, 5s));
}

// A system bus that goes away leaves the program running: the observer stops
// serving the dead connection instead of waking the event loop over and over.
TEST_F (WakeObserverTest, SurvivesTheSystemBusGoingAway)
{
    PrivateSystemBus systemBus;
    ASSERT_TRUE (systemBus.running()) << systemBus.log();
    auto logind = std::make_unique<BusPeer> (systemBus.address);
    ASSERT_TRUE (logind->own (loginService));

    WakeCounter counter;
    auto observer = WakeObserver::create (counter.callback());
    ASSERT_NE (observer, nullptr);

    logind.reset();
    systemBus.stop();

    // Once the hang-up is handled, the loop has nothing left to dispatch.
    ASSERT_TRUE (pumpUntil ([] { return ! juce::dispatchNextMessageOnSystemQueue (true); }, 5s));
    ASSERT_FALSE (juce::dispatchNextMessageOnSystemQueue (true));
    observer.reset();
    EXPECT_EQ (counter.wakes, 0);
}

} // namespace
} // namespace loomwell
