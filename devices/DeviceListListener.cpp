#include "DeviceListListener.h"

namespace loomwell
{

std::unique_ptr<DeviceListListener> DeviceListListener::install (PipeWireConnection& connection, std::function<void()> onChange)
{
    if (connection.threadLoop() == nullptr)
        return nullptr;

    // A daemon that is not there yet (a session that starts the sound server
    // after us) is waited for: its devices arrive as changes.
    const auto answered = connection.refresh();
    std::unique_ptr<DeviceListListener> listener (new DeviceListListener (connection, std::move (onChange)));
    if (! answered)
        connection.keepReconnecting();
    return listener;
}

DeviceListListener::DeviceListListener (PipeWireConnection& c, std::function<void()> callback)
    : connection (c), onChange (std::move (callback))
{
    connection.addListener (this);
}

DeviceListListener::~DeviceListListener()
{
    connection.removeListener (this);
}

void DeviceListListener::pipeWireNodesChanged (uint32_t changeBits)
{
    if ((changeBits & watchedChanges) != 0 && onChange)
        onChange();
}

} // namespace loomwell
