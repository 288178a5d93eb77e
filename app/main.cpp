#include "ConsoleCaptures.h"
#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "LibudevUsbRegistry.h"
#include "PipeWireDeviceType.h"

#include <juce_events/juce_events.h>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// SIGINT and SIGTERM only write a byte into this pipe; the message loop
// reads it and quits on the message thread.
int quitPipe[2] = { -1, -1 };

extern "C" void requestQuit (int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write (quitPipe[1], &byte, 1);
}

bool installQuitSignals()
{
    if (::pipe2 (quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;

    struct sigaction action {};
    action.sa_handler = requestQuit;
    sigemptyset (&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction (SIGINT, &action, nullptr) == 0 && ::sigaction (SIGTERM, &action, nullptr) == 0;
}

} // namespace

int main()
{
    using namespace loomwell;

    if (! installQuitSignals())
        return 1;

    // The main thread becomes JUCE's message thread before any console opens.
    juce::initialiseJuce_GUI();

    static LibudevUsbRegistry usbRegistry;
    deviceBackends().usbRegistry = &usbRegistry;
    deviceBackends().createDeviceTypes = addLinuxDeviceTypes;

    auto& tracker = DeviceTracker::instance();
    connectTrackerToCaptures (tracker);
    tracker.scanForDevices();

    // The change sources come after the first scan: it posts nothing, and
    // nothing may run a hot-plug pass before it.
    tracker.installDeviceListListener();
    tracker.wakeObserver = WakeObserver::create ([] { DeviceTracker::instance().handleSystemWake(); });

    juce::LinuxEventLoop::registerFdCallback (quitPipe[0], [] (int)
    {
        juce::MessageManager::getInstance()->stopDispatchLoop();
    });

    juce::MessageManager::getInstance()->runDispatchLoop();

    juce::LinuxEventLoop::unregisterFdCallback (quitPipe[0]);

    // No new runs may be queued once the consoles start closing; runs
    // already queued are dropped with the message manager.
    tracker.wakeObserver.reset();
    if (tracker.listenerInstalled)
        tracker.removeDeviceListListener();

    // Stops each console's captures before its channels go away.
    tracker.closeAndDestroyAll();
    juce::shutdownJuce_GUI();
    return 0;
}
