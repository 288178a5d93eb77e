#include "DeviceListListener.h"

namespace loomwell
{

std::unique_ptr<DeviceListListener> DeviceListListener::install (std::function<void()> onChange)
{
    auto& connection = PipeWireConnection::instance();
    if (connection.threadLoop() == nullptr)
        return nullptr;

    // A daemon that is not there yet (a session that starts the sound server
    // after us) is waited for: its devices arrive as changes.
    const auto answered = connection.refresh();
    std::unique_ptr<DeviceListListener> listener (new DeviceListListener (std::move (onChange)));
    if (! answered)
        connection.keepReconnecting();
    return listener;
}

DeviceListListener::DeviceListListener (std::function<void()> callback)
    : onChange (std::move (callback))
{
    PipeWireConnection::instance().addListener (this);
}

DeviceListListener::~DeviceListListener()
{
    PipeWireConnection::instance().removeListener (this);
}

void DeviceListListener::pipeWireNodesChanged (uint32_t changeBits)
{
    if ((changeBits & watchedChanges) != 0 && onChange)
        onChange();
}

} // namespace loomwell
