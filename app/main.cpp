#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "InstanceClaim.h"
#include "LibudevUsbRegistry.h"
#include "PipeWireConnection.h"
#include "PipeWireDeviceType.h"
#include "SourceRouter.h"

#if LOOMWELL_GUI
 #include "StatusItem.h"
#endif

#include <juce_events/juce_events.h>

#include <csignal>
#include <cstdio>
#include <memory>
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

    // A second start (say, from the menu while autostart already ran it)
    // leaves the running one alone.
    const InstanceClaim claim;
    if (claim.result() == InstanceClaim::Result::alreadyHeld)
    {
        std::fprintf (stderr, "LMW: Loomwell is already running in this session\n");
        return 0;
    }

    // The main thread becomes JUCE's message thread before any console opens.
    juce::initialiseJuce_GUI();

    // The one connection to the sound server; everything made below that
    // uses it is gone before it.
    PipeWireConnection pipeWire;
    const auto captures = CaptureBackend::live (pipeWire);
    SourceRouter router (*captures);

    static LibudevUsbRegistry usbRegistry;
    deviceBackends().usbRegistry = &usbRegistry;
    deviceBackends().createDeviceTypes = [&pipeWire] (auto& types) { addLinuxDeviceTypes (pipeWire, types); };

    auto& tracker = DeviceTracker::instance();
    router.connect (tracker);
    tracker.scanForDevices();

    // The change sources come after the first scan: it posts nothing, and
    // nothing may run a hot-plug pass before it.
    tracker.installDeviceListListener (pipeWire);
    tracker.wakeObserver = WakeObserver::create ([] { DeviceTracker::instance().handleSystemWake(); });

    // "Quit Loomwell" ends the loop as a signal does, so both take the same
    // ordered shut-down below.
    const auto stopLoop = [] { juce::MessageManager::getInstance()->stopDispatchLoop(); };
    juce::LinuxEventLoop::registerFdCallback (quitPipe[0], [stopLoop] (int) { stopLoop(); });

#if LOOMWELL_GUI
    // Without a display the program runs as before, with no interface.
    std::unique_ptr<StatusItem> statusItem;
    if (StatusItem::displayAvailable())
        statusItem = std::make_unique<StatusItem> (stopLoop, router, ui::SourceActions::live (pipeWire));
#endif

    juce::MessageManager::getInstance()->runDispatchLoop();

    juce::LinuxEventLoop::unregisterFdCallback (quitPipe[0]);

#if LOOMWELL_GUI
    // Ends the observation of the state notification and takes the panels
    // down while their consoles still exist.
    statusItem.reset();
#endif

    // No new runs may be queued once the consoles start closing; runs
    // already queued are dropped with the message manager.
    tracker.wakeObserver.reset();
    if (tracker.listenerInstalled)
        tracker.removeDeviceListListener();

    // Stops each console's captures before its channels go away.
    tracker.closeAndDestroyAll();
    deviceBackends().createDeviceTypes = nullptr;
    juce::shutdownJuce_GUI();
    return 0;
}
