#include "SourceActions.h"

#include "AppCapture.h"
#include "ConsoleCaptures.h"
#include "DeviceInstance.h"
#include "InputCapture.h"

namespace loomwell::ui
{

SourceActions SourceActions::live()
{
    SourceActions actions;
    actions.listApps = [] { return listCapturableApps(); };
    actions.listInputs = [] { return listInputDevices(); };
    actions.startApp = [] (DeviceInstance& console, const std::string& bundleId, int32_t channelId, std::shared_ptr<RingBuffer> ring)
    {
        startAppCapture (&console, bundleId, channelId, std::move (ring));
    };
    actions.startInput = [] (DeviceInstance& console, uint32_t deviceId, int32_t channelId, std::shared_ptr<RingBuffer> ring)
    {
        startInputCapture (&console, deviceId, channelId, std::move (ring));
    };
    actions.removeSource = [] (DeviceInstance& console, uint32_t slot, const std::string& identifier, int32_t channelId, bool isDevice)
    {
        if (isDevice)
            stopInputCapture (&console, channelId);
        else
            stopAppCapture (&console, channelId);

        // The menu's channel id may be out of date by now (a take-over since
        // the menu was built): this also stops whatever entry the table
        // actually removes and re-files a moved source's capture.
        removeSourceFromSlot (console, slot, identifier);
    };
    return actions;
}

} // namespace loomwell::ui
